// JSON values towards automation values and new script objects.
#include <string>

#include "BridgeFixture.h"

namespace {

using ::testing::ElementsAre;

class JsonToScript : public BridgeFixture {};

TEST_F(JsonToScript, ScalarsTakeTheirTaggedForms) {
  EXPECT_EQ(ToScript("null"), "EMPTY");
  EXPECT_EQ(ToScript("5"), "I4:5");
  EXPECT_EQ(ToScript("-7"), "I4:-7");
  EXPECT_EQ(ToScript("2147483647"), "I4:2147483647");
  EXPECT_EQ(ToScript("2147483648"), "UI4:2147483648");
  EXPECT_EQ(ToScript("4294967295"), "UI4:4294967295");
  EXPECT_EQ(ToScript("5.0"), "R8:5");
  EXPECT_EQ(ToScript("-0.25"), "R8:-0.25");
  EXPECT_EQ(ToScript("\"x y\""), "BSTR:x y");
  EXPECT_EQ(ToScript("true"), "BOOL:-1");
  EXPECT_EQ(ToScript("false"), "BOOL:0");
  EXPECT_EQ(ToScript(R"({"on": true})"), "Object{on=BOOL:-1}");
  // Beyond 32 bits jsoncpp still holds an integer; it travels as a real.
  EXPECT_EQ(ToScript("5000000000"), "R8:5000000000");
  EXPECT_EQ(ToScript("-3000000000"), "R8:-3000000000");
}

TEST_F(JsonToScript, EmptyStringIsAnAllocatedBstrAndTextStopsAtNul) {
  Variant empty = Adopt(bridge.JsonToVariant(Json::Value("")));
  ASSERT_EQ(empty.vt, VT_BSTR);
  ASSERT_NE(empty.bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(empty.bstrVal), 0u);
  EXPECT_EQ(ToScript("\"ab\\u0000cd\""), "BSTR:ab");
}

TEST_F(JsonToScript, ObjectMembersAreCreatedInByteOrderOfTheirNames) {
  EXPECT_EQ(ToScript(R"({"b": 1, "a": 2, "B": 3})"), "Object{B=I4:3,a=I4:2,b=I4:1}");
  EXPECT_THAT(engine.log, ElementsAre("GetIDsOfNames Object", "Construct Object", "GetDispID B", "PUT B",
                                      "GetDispID a", "PUT a", "GetDispID b", "PUT b"));
}

TEST_F(JsonToScript, ReferencesAreOfferedAsReferenceAssignmentFirst) {
  EXPECT_EQ(ToScript(R"({"o": {}, "l": [], "s": "x", "n": null})"),
            "Object{l=Array[],n=EMPTY,o=Object{},s=BSTR:x}");
  std::vector<std::string> puts;
  for (const std::string& entry : engine.log)
    if (entry.rfind("PUT", 0) == 0) puts.push_back(entry);
  EXPECT_THAT(puts, ElementsAre("PUTREF l", "PUT n", "PUTREF o", "PUT s"));
}

TEST_F(JsonToScript, RefusedReferenceAssignmentFallsBackToPlainAssignment) {
  engine.Fail(FakeOp::Invoke, u"o", DISPATCH_PROPERTYPUTREF);
  EXPECT_EQ(ToScript(R"({"o": {"k": 1}})"), "Object{o=Object{k=I4:1}}");
  std::vector<std::string> puts;
  for (const std::string& entry : engine.log)
    if (entry.rfind("PUT", 0) == 0) puts.push_back(entry);
  EXPECT_THAT(puts, ElementsAre("PUT k", "PUTREF o", "PUT o"));
}

TEST_F(JsonToScript, ArrayElementsArePushedInOrderAfterBeingBuilt) {
  EXPECT_EQ(ToScript(R"([[1], null, "z"])"), "Array[Array[I4:1],EMPTY,BSTR:z]");
  EXPECT_THAT(engine.log,
              ElementsAre("GetIDsOfNames Array", "Construct Array",        // outer
                          "GetIDsOfNames Array", "Construct Array",        // inner
                          "GetIDsOfNames push", "push",                    // 1 into inner
                          "GetIDsOfNames push", "push",                    // inner into outer
                          "GetIDsOfNames push", "push",                    // null
                          "GetIDsOfNames push", "push"));                  // "z"
}

TEST_F(JsonToScript, EveryKindNestedSurvivesTheRoundTrip) {
  const std::string text =
      R"({"arr":[1,-2,2.5,"s",true,false,null,{"deep":[[]]}],"empty":{},"num":2147483647,"str":"t"})";
  Variant v = Adopt(bridge.JsonToVariant(ParseJson(text)));
  ASSERT_EQ(v.vt, VT_DISPATCH);
  EXPECT_EQ(ToJson(v), text);
}

TEST_F(JsonToScript, WithoutScriptContextOnlyScalarsConvert) {
  bridge.SetScriptContext(nullptr);
  EXPECT_EQ(ToScript(R"({"a": 1})"), "EMPTY");
  EXPECT_EQ(ToScript("[1]"), "EMPTY");
  EXPECT_EQ(ToScript("3"), "I4:3");
  EXPECT_TRUE(engine.log.empty());
}

TEST_F(JsonToScript, RefusedConstructionGivesUndefined) {
  engine.Fail(FakeOp::InvokeEx, u"Array");
  EXPECT_EQ(ToScript(R"({"a": [1], "b": 2})"), "Object{a=EMPTY,b=I4:2}");
  engine.Fail(FakeOp::GetIDsOfNames, u"Object");
  EXPECT_EQ(ToScript(R"({"a": 1})"), "EMPTY");
}

TEST_F(JsonToScript, ContextWithoutDispatchExCannotConstruct) {
  engine.Fail(FakeOp::QueryInterface, u"IDispatchEx");
  EXPECT_EQ(ToScript("[1]"), "EMPTY");
}

TEST_F(JsonToScript, FailedSetsLeaveMembersAndElementsOut) {
  engine.Fail(FakeOp::GetDispID, u"a");
  engine.Fail(FakeOp::Invoke, u"c", DISPATCH_PROPERTYPUT);
  // "c" is created by GetDispID but its value never arrives.
  EXPECT_EQ(ToScript(R"({"a": 1, "b": 2, "c": 3})"), "Object{b=I4:2,c=EMPTY}");

  engine.Fail(FakeOp::Invoke, u"push", DISPATCH_METHOD, /*skip=*/1, /*times=*/1);
  EXPECT_EQ(ToScript("[1, 2, 3]"), "Array[I4:1,I4:3]");
  engine.Fail(FakeOp::GetIDsOfNames, u"push", 0, /*skip=*/2, /*times=*/1);
  EXPECT_EQ(ToScript("[1, 2, 3]"), "Array[I4:1,I4:2]");
}

TEST_F(JsonToScript, NestingBeyondTheDepthLimitBecomesUndefined) {
  const int levels = ScriptValueBridge::kMaxDepth + 40;
  std::string text = std::string(levels, '[') + "1" + std::string(levels, ']');
  const int kept = ScriptValueBridge::kMaxDepth;
  std::string expected;
  for (int i = 0; i < kept; ++i) expected += "Array[";
  expected += "EMPTY";  // the first array too deep to build
  for (int i = 0; i < kept; ++i) expected += "]";
  EXPECT_EQ(ToScript(text), expected);
}

TEST_F(JsonToScript, NamesAndTextComeFromTheThreadCodePage) {
  CodePageScope scope("WINDOWS-1252");
  // \xE9 is e-acute, \x80 the euro sign in this code page.
  Json::Value object(Json::objectValue);
  object["caf\xE9"] = "\x80 5";
  Variant v = Adopt(bridge.JsonToVariant(object));
  EXPECT_EQ(Describe(v), "Object{caf\xC3\xA9=BSTR:\xE2\x82\xAC 5}");
}

}  // namespace
