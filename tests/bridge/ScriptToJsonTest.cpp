// Automation values and script objects towards JSON.
#include <string>

#include "BridgeFixture.h"

namespace {

class ScriptToJson : public BridgeFixture {
 protected:
  template <class Setter>
  std::string Of(VARTYPE vt, Setter set) {
    Variant v;
    v.vt = vt;
    set(v);
    return ToJson(v);
  }
};

TEST_F(ScriptToJson, IntegerKindsNarrowToSigned32Bits) {
  EXPECT_EQ(Of(VT_I2, [](VARIANT& v) { v.iVal = -3; }), "-3");
  EXPECT_EQ(Of(VT_I4, [](VARIANT& v) { v.lVal = 5; }), "5");
  EXPECT_EQ(Of(VT_I1, [](VARIANT& v) { v.cVal = -1; }), "-1");
  EXPECT_EQ(Of(VT_UI1, [](VARIANT& v) { v.bVal = 200; }), "200");
  EXPECT_EQ(Of(VT_UI2, [](VARIANT& v) { v.uiVal = 60000; }), "60000");
  EXPECT_EQ(Of(VT_UI4, [](VARIANT& v) { v.ulVal = 7; }), "7");
  EXPECT_EQ(Of(VT_I8, [](VARIANT& v) { v.llVal = 7; }), "7");
  EXPECT_EQ(Of(VT_UI8, [](VARIANT& v) { v.ullVal = 9; }), "9");
  EXPECT_EQ(Of(VT_INT, [](VARIANT& v) { v.intVal = -9; }), "-9");
  EXPECT_EQ(Of(VT_UINT, [](VARIANT& v) { v.uintVal = 11; }), "11");
  // Out of range: the coercion fails and the value is null.
  EXPECT_EQ(Of(VT_UI4, [](VARIANT& v) { v.ulVal = 2147483648u; }), "null");
  EXPECT_EQ(Of(VT_I8, [](VARIANT& v) { v.llVal = -5000000000LL; }), "null");
}

TEST_F(ScriptToJson, RealKindsBecomeReals) {
  EXPECT_EQ(Of(VT_R4, [](VARIANT& v) { v.fltVal = 1.5f; }), "1.5");
  EXPECT_EQ(Of(VT_R8, [](VARIANT& v) { v.dblVal = 5.0; }), "5.0");
  EXPECT_EQ(Of(VT_DECIMAL, [](VARIANT& v) { v.decVal = {0, 2, 0x80, 0, 1225}; }), "-12.25");
}

TEST_F(ScriptToJson, StringKindsBecomeText) {
  EXPECT_EQ(Of(VT_BSTR, [](VARIANT& v) { v.bstrVal = SysAllocStringU16(u"a\"b"); }), R"("a\"b")");
  EXPECT_EQ(Of(VT_BSTR, [](VARIANT& v) { v.bstrVal = nullptr; }), R"("")");
  GUID id = MakeGuid("5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F58");
  Variant clsid;
  clsid.vt = VT_CLSID;
  clsid.puuid = new GUID(id);
  EXPECT_EQ(ToJson(clsid), R"("{5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F58}")");
}

TEST_F(ScriptToJson, BooleanIsTrueOnlyForMinusOne) {
  EXPECT_EQ(Of(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), "true");
  EXPECT_EQ(Of(VT_BOOL, [](VARIANT& v) { v.boolVal = 1; }), "false");
  EXPECT_EQ(Of(VT_BOOL, [](VARIANT& v) { v.boolVal = 0; }), "false");
  // An error code keeps its low 16 bits.
  EXPECT_EQ(Of(VT_ERROR, [](VARIANT& v) { v.scode = static_cast<SCODE>(0x8000FFFFu); }), "true");
  EXPECT_EQ(Of(VT_ERROR, [](VARIANT& v) { v.scode = 1; }), "false");
}

TEST_F(ScriptToJson, EverythingElseIsNull) {
  EXPECT_EQ(Of(VT_EMPTY, [](VARIANT&) {}), "null");
  EXPECT_EQ(Of(VT_NULL, [](VARIANT&) {}), "null");
  EXPECT_EQ(Of(VT_DATE, [](VARIANT& v) { v.date = 45000.5; }), "null");
  EXPECT_EQ(Of(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 10000; }), "null");
  EXPECT_EQ(Of(VT_DISPATCH, [](VARIANT& v) { v.pdispVal = nullptr; }), "null");
  LONG target = 4;
  EXPECT_EQ(Of(VT_I4 | VT_BYREF, [&](VARIANT& v) { v.byref = &target; }), "null");
  Variant array;
  array.vt = VT_ARRAY | VT_I4;  // no payload is read or freed for these tags
  EXPECT_EQ(ToJson(array), "null");
  array.vt = VT_EMPTY;
  Variant unknown;
  unknown.vt = 73;
  EXPECT_EQ(ToJson(unknown), "null");
}

TEST_F(ScriptToJson, ObjectsAreWalkedAndReadByName) {
  Held o(engine.NewObject());
  o->Set(u"b", Variant::FromString(u"x"));
  o->Set(u"a", Variant::FromBool(true));
  EXPECT_EQ(ToJson(o.AsVariant()), R"({"a":true,"b":"x"})");
  EXPECT_EQ(engine.log, (std::vector<std::string>{"GetIDsOfNames length", "GetIDsOfNames b", "GET b",
                                                   "GetIDsOfNames a", "GET a"}));
}

TEST_F(ScriptToJson, ArraysWithHolesAsNull) {
  Held a(engine.NewArray());
  a->Set(u"0", Variant::FromString(u"x"));
  a->Set(u"2", Variant::FromString(u"z"));
  a->Set(u"length", Variant::FromLong(4));
  // Index 3 is missing after the last one found: not represented.
  EXPECT_EQ(ToJson(a.AsVariant()), R"(["x",null,"z"])");
  a->Set(u"length", Variant::FromLong(0));
  EXPECT_EQ(ToJson(a.AsVariant()), "[]");
}

// A "length" the object lists is one of its members, whatever its value: only
// arrays keep theirs unlisted.
TEST_F(ScriptToJson, ALengthMemberDoesNotMakeAnArray) {
  Held o(engine.NewObject());
  o->Set(u"width", Variant::FromLong(62));
  o->Set(u"length", Variant::FromLong(3));
  EXPECT_EQ(ToJson(o.AsVariant()), R"({"length":3,"width":62})");
  o->Set(u"length", Variant::FromString(u"1"));
  EXPECT_EQ(ToJson(o.AsVariant()), R"({"length":"1","width":62})");
  // Without a list of members, a whole length is all there is to go by.
  engine.Fail(FakeOp::QueryInterface, u"IDispatchEx", 0, 0, 1);
  o->Set(u"length", Variant::FromLong(1));
  o->Set(u"0", Variant::FromLong(5));
  EXPECT_EQ(ToJson(o.AsVariant()), "[5]");
}

TEST_F(ScriptToJson, FailingIndexesAreSkipped) {
  Held a(engine.NewArray());
  a->Set(u"0", Variant::FromString(u"x"));
  a->Set(u"1", Variant::FromString(u"y"));
  a->Set(u"2", Variant::FromString(u"z"));
  a->Set(u"length", Variant::FromLong(3));
  engine.Fail(FakeOp::Invoke, u"1", DISPATCH_PROPERTYGET, 0, 1);
  EXPECT_EQ(ToJson(a.AsVariant()), R"(["x",null,"z"])");
  engine.Fail(FakeOp::GetIDsOfNames, u"1", 0, 0, 1);
  engine.Fail(FakeOp::GetIDsOfNames, u"2", 0, 0, 1);
  EXPECT_EQ(ToJson(a.AsVariant()), R"(["x"])");
}

TEST_F(ScriptToJson, MemberWalkFailures) {
  Held o(engine.NewObject());
  o->Set(u"a", Variant::FromLong(1));
  o->Set(u"b", Variant::FromLong(2));
  o->Set(u"c", Variant::FromLong(3));
  engine.Fail(FakeOp::GetIDsOfNames, u"b", 0, 0, 1);
  EXPECT_EQ(ToJson(o.AsVariant()), R"({"a":1,"c":3})");
  engine.Fail(FakeOp::GetMemberName, u"b", 0, 0, 1);  // ends the walk
  EXPECT_EQ(ToJson(o.AsVariant()), R"({"a":1})");
  engine.Fail(FakeOp::GetNextDispID, u"", 0, 0, 1);
  EXPECT_EQ(ToJson(o.AsVariant()), "{}");
  engine.Fail(FakeOp::QueryInterface, u"IDispatchEx", 0, 0, 1);
  EXPECT_EQ(ToJson(o.AsVariant()), "{}");
}

TEST_F(ScriptToJson, NamesOutsideTheCodePageCollapse) {
  CodePageScope scope("WINDOWS-1252");
  Held o(engine.NewObject());
  o->Set(u"\u03A9", Variant::FromLong(1));  // Greek capital omega: not in the code page
  o->Set(u"\u0416", Variant::FromLong(2));  // Cyrillic capital zhe: not either
  o->Set(u"caf\u00E9", Variant::FromString(u"\u20AC"));
  Json::Value result = bridge.VariantToJson(o.AsVariant());
  EXPECT_EQ(result.getMemberNames(), (std::vector<std::string>{"?", "caf\xE9"}));
  EXPECT_EQ(result["?"], Json::Value(2));  // the later one enumerated
  EXPECT_EQ(result["caf\xE9"], Json::Value("\x80"));
}

TEST_F(ScriptToJson, ObjectsOnTheCurrentPathBecomeNull) {
  Held a(engine.NewObject());
  Held b(engine.NewObject());
  Held arr(engine.NewArray());
  a->SetDispatch(u"self", a.object);
  a->SetDispatch(u"b", b.object);
  b->SetDispatch(u"back", a.object);
  b->SetDispatch(u"list", arr.object);
  arr->SetDispatch(u"0", arr.object);
  arr->SetDispatch(u"1", b.object);
  arr->Set(u"length", Variant::FromLong(2));
  EXPECT_EQ(ToJson(a.AsVariant()), R"({"b":{"back":null,"list":[null,null]},"self":null})");
  EXPECT_EQ(ToJson(arr.AsVariant()), R"([null,{"back":{"b":null,"self":null},"list":null}])");
  for (const Held* h : {&a, &b, &arr}) h->object->ClearMembers();
}

TEST_F(ScriptToJson, SharedObjectsOffThePathAreConvertedEachTime) {
  Held shared(engine.NewObject());
  shared->Set(u"v", Variant::FromLong(1));
  Held o(engine.NewObject());
  o->SetDispatch(u"x", shared.object);
  o->SetDispatch(u"y", shared.object);
  EXPECT_EQ(ToJson(o.AsVariant()), R"({"x":{"v":1},"y":{"v":1}})");
}

TEST_F(ScriptToJson, NestingBeyondTheDepthLimitBecomesNull) {
  const int chain = ScriptValueBridge::kMaxDepth + 20;
  std::vector<FakeObject*> objects;
  for (int i = 0; i < chain; ++i) objects.push_back(engine.NewObject());
  for (int i = 0; i + 1 < chain; ++i) objects[i]->SetDispatch(u"next", objects[i + 1]);
  Json::Value result = bridge.VariantToJson(Variant::FromDispatch(objects[0]));
  int objectsSeen = 0;
  const Json::Value* at = &result;
  while (at->isObject()) {
    ++objectsSeen;
    at = &(*at)["next"];
  }
  EXPECT_EQ(objectsSeen, ScriptValueBridge::kMaxDepth);
  EXPECT_TRUE(at->isNull());
  for (FakeObject* o : objects) o->Release();  // each held the next one
}

TEST_F(ScriptToJson, LengthIsCappedAtTheIndexLimit) {
  engine.logging = false;
  Held o(engine.NewArray());
  o->Set(u"0", Variant::FromLong(1));
  o->Set(u"length", Variant::FromLong(5000000));
  EXPECT_EQ(ToJson(o.AsVariant()), "[1]");
  // "length", the context's "Object" (the fake has none to ask), then each index up to the cap.
  EXPECT_EQ(engine.nameLookups, 2 + ScriptValueBridge::kMaxLength);
}

TEST_F(ScriptToJson, OneConversionHasABoundedNumberOfLookups) {
  engine.logging = false;
  Held big(engine.NewArray());
  big->Set(u"0", Variant::FromLong(1));
  big->Set(u"length", Variant::FromLong(ScriptValueBridge::kMaxLength));
  Held top(engine.NewArray());
  for (const char16_t* index : {u"0", u"1", u"2"}) top->SetDispatch(index, big.object);
  top->Set(u"length", Variant::FromLong(3));
  // The budget runs out inside the second element; the third is never reached.
  EXPECT_EQ(ToJson(top.AsVariant()), "[[1],[1]]");
  // The budget also pays for walking the arrays' member lists (a few steps).
  EXPECT_LE(engine.nameLookups, ScriptValueBridge::kMaxLookups);
  EXPECT_GT(engine.nameLookups, ScriptValueBridge::kMaxLookups - 16);
}

}  // namespace
