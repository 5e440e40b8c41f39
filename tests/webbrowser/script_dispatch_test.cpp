// IDispatchEx over script objects: names, members, calls, construction,
// enumeration, value conversions, wrapper identity, lifetimes and leaks.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "BrowserTestSupport.h"
#include "ScriptPageTest.h"
#include "platform/webbrowser/HtmlDocument.h"
#include "platform/webbrowser/ScriptEngine.h"
#include "platform/webbrowser/ScriptObject.h"

using namespace browsertest;

namespace {

constexpr const char* kPage = R"(<html><head><script>
function join(a, b, c) { return a + "|" + b + "|" + c; }
function fail(message) { throw new Error(message); }
function same(a, b) { return a === b; }
function kind(v) { return v === null ? "null" : typeof v; }
function echo(v) { return v; }
function lengthOf(s) { return s.length; }
function unit(s, i) { return s.charCodeAt(i); }
function thisName() { return this.name; }
var counter = { name: "counter", n: 0, bump: function (k) { this.n += k; return this.n; } };
var held = null;
function hold(v) { held = v; }
function drop() { held = null; }
</script></head><body></body></html>)";

// A foreign object that closes the document as soon as the engine looks at
// it, that is in the middle of a call into the heap.
class ClosingObject final : public EmptyDispatch {
 public:
  explicit ClosingObject(HtmlDocument* doc) : m_doc(doc) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IScriptObjectWrapper) {
      *ppv = nullptr;
      m_doc->Close();
      return E_NOINTERFACE;
    }
    return EmptyDispatch::QueryInterface(riid, ppv);
  }

 private:
  HtmlDocument* m_doc;
};

class ScriptDispatchTest : public ScriptPageTest {
 protected:
  void SetUp() override { Open(kPage, true); }

  ComPtr<IDispatchEx> Eval(const char* expression) {
    std::string error;
    EXPECT_TRUE(doc_->Engine()->Eval(std::string("var __r = ") + expression + ";", &error)) << error;
    Variant v;
    EXPECT_EQ(Get(global_.Get(), u"__r", &v), S_OK);
    ComPtr<IDispatchEx> out;
    if (v.vt == VT_DISPATCH && v.pdispVal) ComPtr<IDispatch>(v.pdispVal).QueryInterface(IID_IDispatchEx, std::addressof(out));
    return out;
  }

  Variant Value(const char* expression) {
    std::string error;
    EXPECT_TRUE(doc_->Engine()->Eval(std::string("var __r = ") + expression + ";", &error)) << error;
    Variant v;
    EXPECT_EQ(Get(global_.Get(), u"__r", &v), S_OK);
    return v;
  }
};

TEST_F(ScriptDispatchTest, NamesResolveOnlyWhenTheMemberExistsPrototypeIncluded) {
  DISPID id = 0;
  EXPECT_EQ(IdOf(global_.Get(), u"join", &id), S_OK);
  EXPECT_GT(id, 0);
  EXPECT_EQ(IdOf(global_.Get(), u"nosuchFunction", &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  EXPECT_EQ(IdOf(global_.Get(), u"JOIN", &id), DISP_E_UNKNOWNNAME) << "names are case-sensitive";

  ComPtr<IDispatchEx> array = Eval("[1, 2]");
  ASSERT_TRUE(array);
  EXPECT_EQ(IdOf(array.Get(), u"push", &id), S_OK) << "inherited from Array.prototype";
  EXPECT_EQ(IdOf(array.Get(), u"length", &id), S_OK);
  Variant length;
  ASSERT_EQ(Get(array.Get(), u"length", &length), S_OK);
  EXPECT_EQ(length.vt, VT_I4);
  EXPECT_EQ(length.lVal, 2);
}

TEST_F(ScriptDispatchTest, TheSameNameGivesTheSameIdOnEveryObject) {
  ComPtr<IDispatchEx> a = Eval("({x: 1})");
  ComPtr<IDispatchEx> b = Eval("({x: 2})");
  DISPID ia, ib;
  ASSERT_EQ(IdOf(a.Get(), u"x", &ia), S_OK);
  ASSERT_EQ(IdOf(b.Get(), u"x", &ib), S_OK);
  EXPECT_EQ(ia, ib);
}

TEST_F(ScriptDispatchTest, MethodCallsTakeArgumentsLastFirstAndThisIsTheObject) {
  Variant r;
  ASSERT_EQ(Call(global_.Get(), u"join", {Variant::FromLong(1), Variant::FromString(u"two"), Variant::FromBool(true)},
                 &r),
            S_OK);
  EXPECT_EQ(Text(r), u"1|two|true");

  ComPtr<IDispatchEx> counter = Eval("counter");
  ASSERT_EQ(Call(counter.Get(), u"bump", {Variant::FromLong(5)}, &r), S_OK);
  ASSERT_EQ(Call(counter.Get(), u"bump", {Variant::FromLong(2)}, &r), S_OK);
  EXPECT_EQ(r.vt, VT_I4);
  EXPECT_EQ(r.lVal, 7);

  // Missing arguments are undefined; a call without result slot is fine.
  ASSERT_EQ(Call(global_.Get(), u"join", {Variant::FromLong(1)}, &r), S_OK);
  EXPECT_EQ(Text(r), u"1|undefined|undefined");
  EXPECT_EQ(Call(global_.Get(), u"join", {}, nullptr), S_OK);
}

TEST_F(ScriptDispatchTest, ScriptErrorsBecomeExceptionsWithTheirMessage) {
  EXCEPINFO ei;
  Variant r;
  HRESULT hr = Call(global_.Get(), u"fail", {Variant::FromString(u"broken glass")}, &r, &ei);
  EXPECT_EQ(hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.vt, VT_EMPTY);
  ASSERT_NE(ei.bstrDescription, nullptr);
  std::u16string text(ei.bstrDescription, SysStringLen(ei.bstrDescription));
  EXPECT_NE(text.find(u"broken glass"), std::u16string::npos);
  SysFreeString(ei.bstrDescription);
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrHelpFile);

  // Calling something that is not a function, and an unknown id.
  ComPtr<IDispatchEx> counter = Eval("counter");
  EXPECT_TRUE(FAILED(Call(counter.Get(), u"n", {}, &r)));
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(global_->Invoke(0x3FFFFFF0, IID_NULL, 0, DISPATCH_METHOD, &none, &r, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  // The heap survives all that.
  EXPECT_EQ(Call(global_.Get(), u"join", {Variant::FromLong(1), Variant::FromLong(2), Variant::FromLong(3)}, &r),
            S_OK);
}

TEST_F(ScriptDispatchTest, MethodAndPropertyGetTogetherReadANonFunction) {
  ComPtr<IDispatchEx> counter = Eval("counter");
  DISPID id;
  ASSERT_EQ(IdOf(counter.Get(), u"name", &id), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant r;
  ASSERT_EQ(counter->Invoke(id, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(Text(r), u"counter");
}

TEST_F(ScriptDispatchTest, GetDispIdEnsureCreatesAnUndefinedMemberAndKeepsCase) {
  ComPtr<IDispatchEx> object = Eval("({})");
  Bstr lower(u"key"), upper(u"KEY");
  DISPID id;
  EXPECT_EQ(object->GetDispID(lower.Get(), fdexNameCaseSensitive, &id), DISP_E_UNKNOWNNAME);
  ASSERT_EQ(object->GetDispID(lower.Get(), fdexNameCaseSensitive | fdexNameEnsure, &id), S_OK);
  DISPID upperId;
  ASSERT_EQ(object->GetDispID(upper.Get(), fdexNameCaseSensitive | fdexNameEnsure, &upperId), S_OK);
  EXPECT_NE(id, upperId);

  doc_->Engine()->Eval("", nullptr);
  ASSERT_EQ(Put(global_.Get(), u"probe", Variant::FromDispatch(object.Get())), S_OK);
  Variant keys = Value("Object.keys(probe).join(',') + ':' + typeof probe.key + ':' + ('key' in probe)");
  EXPECT_EQ(Text(keys), u"key,KEY:undefined:true");

  // Without the case-sensitive flag a different case finds the member.
  Bstr mixed(u"Key");
  DISPID found;
  ASSERT_EQ(object->GetDispID(mixed.Get(), fdexNameCaseInsensitive, &found), S_OK);
  EXPECT_TRUE(found == id || found == upperId);
}

TEST_F(ScriptDispatchTest, PutAndPutRefSetMembersThroughTheNamedArgument) {
  ComPtr<IDispatchEx> object = Eval("({})");
  ComPtr<IDispatchEx> inner = Eval("({deep: 42})");
  ASSERT_EQ(Put(object.Get(), u"n", Variant::FromDouble(2.5)), S_OK);
  ASSERT_EQ(Put(object.Get(), u"s", Variant::FromString(u"text")), S_OK);
  ASSERT_EQ(Put(object.Get(), u"o", Variant::FromDispatch(inner.Get()), DISPATCH_PROPERTYPUTREF), S_OK);
  ASSERT_EQ(Put(global_.Get(), u"target", Variant::FromDispatch(object.Get())), S_OK);
  EXPECT_EQ(Text(Value("JSON.stringify(target)")), u"{\"n\":2.5,\"s\":\"text\",\"o\":{\"deep\":42}}");

  // "__proto__" from outside is an ordinary member, not the prototype.
  ComPtr<IDispatchEx> fake = Eval("({length: 3})");
  ASSERT_EQ(Put(object.Get(), u"__proto__", Variant::FromDispatch(fake.Get()), DISPATCH_PROPERTYPUTREF), S_OK);
  EXPECT_EQ(Text(Value("String(target.length) + ':' + Object.keys(target).join(',')")),
            u"undefined:n,s,o,__proto__");

  // A put without a value is refused.
  DISPID id;
  ASSERT_EQ(IdOf(object.Get(), u"n", &id), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_TRUE(FAILED(object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &none, nullptr, nullptr, nullptr)));
}

TEST_F(ScriptDispatchTest, ConstructMakesNewObjectsAndArrays) {
  DISPID objectId, arrayId;
  ASSERT_EQ(IdOf(global_.Get(), u"Object", &objectId), S_OK);
  ASSERT_EQ(IdOf(global_.Get(), u"Array", &arrayId), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant o1, o2, a;
  ASSERT_EQ(global_->InvokeEx(objectId, LOCALE_USER_DEFAULT, DISPATCH_CONSTRUCT, &none, &o1, nullptr, nullptr), S_OK);
  ASSERT_EQ(global_->InvokeEx(objectId, LOCALE_USER_DEFAULT, DISPATCH_CONSTRUCT, &none, &o2, nullptr, nullptr), S_OK);
  ASSERT_EQ(global_->InvokeEx(arrayId, LOCALE_USER_DEFAULT, DISPATCH_CONSTRUCT, &none, &a, nullptr, nullptr), S_OK);
  ASSERT_EQ(o1.vt, VT_DISPATCH);
  ASSERT_EQ(a.vt, VT_DISPATCH);
  Variant same;
  ASSERT_EQ(Call(global_.Get(), u"same", {o1, o2}, &same), S_OK);
  EXPECT_EQ(same.boolVal, VARIANT_FALSE) << "each construction is a new object";

  ASSERT_EQ(Call(a.pdispVal, u"push", {Variant::FromLong(10)}, nullptr), S_OK);
  ASSERT_EQ(Call(a.pdispVal, u"push", {Variant::FromString(u"x")}, nullptr), S_OK);
  Variant length, second;
  ASSERT_EQ(Get(a.pdispVal, u"length", &length), S_OK);
  EXPECT_EQ(length.lVal, 2);
  ASSERT_EQ(Get(a.pdispVal, u"1", &second), S_OK);
  EXPECT_EQ(Text(second), u"x");

  // Constructing something that is no constructor fails.
  DISPID joinId;
  ASSERT_EQ(IdOf(global_.Get(), u"Math", &joinId), S_OK);
  Variant r;
  EXPECT_TRUE(FAILED(global_->InvokeEx(joinId, 0, DISPATCH_CONSTRUCT, &none, &r, nullptr, nullptr)));
}

TEST_F(ScriptDispatchTest, EnumerationWalksOwnMembersInEngineOrder) {
  ComPtr<IDispatchEx> object = Eval("(function(){ var o = Object.create({inherited: 1}); o.b = 1; o.a = 2; o[3] = 0; return o; })()");
  std::vector<std::u16string> names;
  DISPID id = DISPID_STARTENUM;
  HRESULT hr;
  while ((hr = object->GetNextDispID(fdexEnumAll, id, &id)) == S_OK) {
    BSTR name = nullptr;
    ASSERT_EQ(object->GetMemberName(id, &name), S_OK);
    names.emplace_back(name, SysStringLen(name));
    SysFreeString(name);
    ASSERT_LT(names.size(), 10u);
  }
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"3", u"b", u"a"}));
  BSTR none = nullptr;
  EXPECT_TRUE(FAILED(object->GetMemberName(DISPID_UNKNOWN, &none)));
  EXPECT_EQ(none, nullptr);

  ComPtr<IDispatchEx> empty = Eval("({})");
  EXPECT_EQ(empty->GetNextDispID(fdexEnumAll, DISPID_STARTENUM, &id), S_FALSE);
}

TEST_F(ScriptDispatchTest, ScriptValuesBecomeTheMatchingVariants) {
  Variant v = Value("5");
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 5);
  v = Value("-2147483648");
  EXPECT_EQ(v.vt, VT_I4);
  v = Value("2147483648");
  EXPECT_EQ(v.vt, VT_R8);
  EXPECT_EQ(v.dblVal, 2147483648.0);
  v = Value("1.5");
  EXPECT_EQ(v.vt, VT_R8);
  v = Value("0/0");
  EXPECT_EQ(v.vt, VT_R8);
  EXPECT_TRUE(std::isnan(v.dblVal));
  v = Value("true");
  EXPECT_EQ(v.vt, VT_BOOL);
  EXPECT_EQ(v.boolVal, VARIANT_TRUE);
  v = Value("false");
  EXPECT_EQ(v.boolVal, VARIANT_FALSE);
  v = Value("undefined");
  EXPECT_EQ(v.vt, VT_EMPTY);
  v = Value("null");
  EXPECT_EQ(v.vt, VT_NULL);
  v = Value("'caf\\u00e9'");
  EXPECT_EQ(Text(v), u"caf\u00e9");
  v = Value("function () {}");
  EXPECT_EQ(v.vt, VT_DISPATCH);
}

TEST_F(ScriptDispatchTest, VariantsBecomeTheMatchingScriptValues) {
  auto kindOf = [&](const Variant& v) {
    Variant r;
    EXPECT_EQ(Call(global_.Get(), u"kind", {v}, &r), S_OK);
    return Text(r);
  };
  Variant i2;
  i2.vt = VT_I2;
  i2.iVal = -3;
  Variant ui4;
  ui4.vt = VT_UI4;
  ui4.ulVal = 4000000000u;
  Variant null;
  null.vt = VT_NULL;
  Variant nullBstr;
  nullBstr.vt = VT_BSTR;
  nullBstr.bstrVal = nullptr;
  EXPECT_EQ(kindOf(i2), u"number");
  EXPECT_EQ(kindOf(ui4), u"number");
  EXPECT_EQ(kindOf(Variant::FromDouble(0.25)), u"number");
  EXPECT_EQ(kindOf(Variant::FromString(u"s")), u"string");
  EXPECT_EQ(kindOf(nullBstr), u"string");
  EXPECT_EQ(kindOf(Variant::FromBool(false)), u"boolean");
  EXPECT_EQ(kindOf(Variant()), u"undefined");
  EXPECT_EQ(kindOf(null), u"null");

  Variant back;
  ASSERT_EQ(Call(global_.Get(), u"echo", {ui4}, &back), S_OK);
  EXPECT_EQ(back.vt, VT_R8);
  EXPECT_EQ(back.dblVal, 4000000000.0);
  ASSERT_EQ(Call(global_.Get(), u"echo", {i2}, &back), S_OK);
  EXPECT_EQ(back.vt, VT_I4);
  EXPECT_EQ(back.lVal, -3);
  Variant truthy;
  truthy.vt = VT_BOOL;
  truthy.boolVal = 1;  // any non-zero payload is true in script
  ASSERT_EQ(Call(global_.Get(), u"echo", {truthy}, &back), S_OK);
  EXPECT_EQ(back.boolVal, VARIANT_TRUE);
}

TEST_F(ScriptDispatchTest, WrappersComeBackAsTheSameScriptObject) {
  ComPtr<IDispatchEx> object = Eval("counter");
  ComPtr<IDispatchEx> again = Eval("counter");
  Variant r;
  ASSERT_EQ(Call(global_.Get(), u"same", {Variant::FromDispatch(object.Get()), Variant::FromDispatch(again.Get())}, &r),
            S_OK);
  EXPECT_EQ(r.boolVal, VARIANT_TRUE);
}

TEST_F(ScriptDispatchTest, ForeignObjectsAreHeldByScriptAndComeBackUnchanged) {
  int before = CountedObject::live;
  IDispatch* foreign = new CountedObject();
  ASSERT_EQ(Call(global_.Get(), u"hold", {Variant::FromDispatch(foreign)}, nullptr), S_OK);
  EXPECT_EQ(RefCount(foreign), 2u) << "script holds one reference";
  Variant back;
  ASSERT_EQ(Get(global_.Get(), u"held", &back), S_OK);
  ASSERT_EQ(back.vt, VT_DISPATCH);
  EXPECT_EQ(back.pdispVal, foreign);
  back.Clear();
  ASSERT_EQ(Call(global_.Get(), u"drop", {}, nullptr), S_OK);
  EXPECT_EQ(RefCount(foreign), 1u) << "released once script dropped it";
  foreign->Release();
  EXPECT_EQ(CountedObject::live, before);
}

TEST_F(ScriptDispatchTest, ClosingTheHeapReleasesWhatScriptHeldAndDisarmsWrappers) {
  int before = CountedObject::live;
  IDispatch* foreign = new CountedObject();
  ASSERT_EQ(Call(global_.Get(), u"hold", {Variant::FromDispatch(foreign)}, nullptr), S_OK);
  foreign->Release();
  ComPtr<IDispatchEx> counter = Eval("counter");
  doc_->Close();
  EXPECT_EQ(CountedObject::live, before) << "the heap's references went with it";
  Variant r;
  DISPID id;
  EXPECT_EQ(IdOf(counter.Get(), u"bump", &id), E_UNEXPECTED);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(counter->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, &r, nullptr, nullptr), E_UNEXPECTED);
  EXPECT_EQ(counter->GetNextDispID(fdexEnumAll, DISPID_STARTENUM, &id), E_UNEXPECTED);
  ComPtr<IDispatch> script;
  EXPECT_TRUE(FAILED(doc_->get_Script(&script)));
  counter.Release();  // safe after the heap is gone
}

TEST_F(ScriptDispatchTest, ClosingDuringACallWaitsUntilTheCallReturns) {
  IDispatch* closer = new ClosingObject(doc_.Get());
  Variant r;
  ASSERT_EQ(Call(global_.Get(), u"join", {Variant::FromDispatch(closer), Variant::FromString(u"b"),
                                          Variant::FromString(u"c")},
                 &r),
            S_OK)
      << "the running call completes on its heap";
  EXPECT_EQ(Text(r), u"[object Object]|b|c");
  DISPID id;
  EXPECT_EQ(IdOf(global_.Get(), u"join", &id), E_UNEXPECTED) << "and then the heap is gone";
  EXPECT_EQ(RefCount(closer), 1u) << "with it the reference script held";
  closer->Release();
}

TEST_F(ScriptDispatchTest, WrapperReferenceCountsAndStashReferences) {
  ComPtr<IDispatchEx> object = Eval("({tag: 'kept'})");
  ASSERT_TRUE(object);
  EXPECT_EQ(RefCount(object.Get()), 1u);
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(object.QueryInterface(IID_IUnknown, std::addressof(unknown)), S_OK);
  EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(object.Get()));
  EXPECT_EQ(RefCount(object.Get()), 2u);
  unknown.Release();
  // The wrapper keeps the object alive after script forgot it.
  ASSERT_TRUE(doc_->Engine()->Eval("__r = null; Duktape.gc();", nullptr));
  Variant tag;
  ASSERT_EQ(Get(object.Get(), u"tag", &tag), S_OK);
  EXPECT_EQ(Text(tag), u"kept");
  ComPtr<IUnknown> element;
  EXPECT_EQ(object.QueryInterface(IID_IHTMLObjectElement, std::addressof(element)), E_NOINTERFACE);
}

TEST_F(ScriptDispatchTest, ManyCallsLeaveNoStringsBehind) {
  long before = SysAllocatedCount();
  for (int i = 0; i < 200; ++i) {
    Variant r;
    ASSERT_EQ(Call(global_.Get(), u"join", {Variant::FromString(u"a"), Variant::FromString(u"b"),
                                            Variant::FromString(u"c")},
                   &r),
              S_OK);
    EXCEPINFO ei;
    ASSERT_EQ(Call(global_.Get(), u"fail", {Variant::FromString(u"x")}, &r, &ei), DISP_E_EXCEPTION);
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    BSTR name = nullptr;
    DISPID id;
    ASSERT_EQ(IdOf(global_.Get(), u"join", &id), S_OK);
    ASSERT_EQ(global_->GetMemberName(id, &name), S_OK);
    SysFreeString(name);
  }
  EXPECT_EQ(SysAllocatedCount(), before);
}

TEST_F(ScriptDispatchTest, NonBmpTextSurvivesTheRoundTripAsSurrogatePairs) {
  const std::u16string face = u"a\U0001F600b";  // a, U+1F600, b
  Variant length, high, back;
  ASSERT_EQ(Call(global_.Get(), u"lengthOf", {Variant::FromString(face)}, &length), S_OK);
  EXPECT_EQ(length.lVal, 4) << "script sees UTF-16 code units";
  ASSERT_EQ(Call(global_.Get(), u"unit", {Variant::FromString(face), Variant::FromLong(1)}, &high), S_OK);
  EXPECT_EQ(high.lVal, 0xD83D);
  ASSERT_EQ(Call(global_.Get(), u"echo", {Variant::FromString(face)}, &back), S_OK);
  EXPECT_EQ(Text(back), face);
  // A pair made by script comes out as the same pair.
  Variant made = Value("String.fromCharCode(0xD83D, 0xDE00)");
  EXPECT_EQ(Text(made), u"\U0001F600");
  // An unpaired surrogate stays one code unit.
  Variant lone = Value("String.fromCharCode(0xDC00) + 'z'");
  EXPECT_EQ(Text(lone), std::u16string(u"\xDC00z", 2));
}

}  // namespace
