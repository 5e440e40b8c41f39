// The bridge against the real script engine of the browser stand-in: JSON
// values become Duktape objects a page script can read, and values a script
// made come back as JSON.
#include <string>

#include "BridgeFixture.h"
#include "platform/webbrowser/HtmlDocument.h"
#include "platform/webbrowser/ScriptEngine.h"

namespace {

class DuktapeBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    m_bstrs = SysAllocatedCount();
    document = HtmlDocument::LoadText("<html><body></body></html>", nullptr);
    ASSERT_TRUE(document);
    ASSERT_EQ(document->get_Script(&global), S_OK);
    bridge.SetScriptContext(global);
  }
  void TearDown() override {
    bridge.SetScriptContext(nullptr);
    global.Release();
    if (document) document->Close();
    document.Release();
    EXPECT_EQ(SysAllocatedCount(), m_bstrs) << "BSTRs leaked";
  }

  void Run(const std::string& source) {
    std::string error;
    ASSERT_TRUE(document->Engine()->Eval(source, &error)) << error;
  }
  // A global the page's script holds, as the bridge reads members.
  Variant Global(const char16_t* name) {
    std::u16string text = name;
    LPOLESTR names[1] = {text.data()};
    DISPID id = DISPID_UNKNOWN;
    Variant value;
    EXPECT_EQ(global->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(global->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value, nullptr,
                             nullptr),
              S_OK);
    return value;
  }
  std::string GlobalText(const char16_t* name) {
    Variant v = Global(name);
    return v.vt == VT_BSTR ? Utf16ToUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal))) : "(not text)";
  }
  // Hands a JSON value to the script as the global `made`.
  void Make(const Json::Value& value) {
    Variant v = Adopt(bridge.JsonToVariant(value));
    ComPtr<IDispatchEx> ex;
    IDispatchEx* raw = nullptr;
    ASSERT_EQ(global->QueryInterface(IID_IDispatchEx, reinterpret_cast<void**>(&raw)), S_OK);
    ex = ComPtr<IDispatchEx>::Attach(raw);
    bridge.SetScriptMember(ex.Get(), "made", &v);
  }
  Json::Value ScriptValue(const std::string& expression) {
    Run("var probe = " + expression + ";");
    return bridge.VariantToJson(Global(u"probe"));
  }

  ComPtr<HtmlDocument> document;
  ComPtr<IDispatch> global;
  ScriptValueBridge bridge;

 private:
  long m_bstrs = 0;
};

TEST_F(DuktapeBridge, EveryJsonKindSurvivesTheRoundTrip) {
  const std::string text =
      R"({"arr":[1,-2,2.5,"s",true,false,null,{"deep":[[]]}],"empty":{},"num":2147483647,"str":"t \u00e9 \ud83d\ude00"})";
  Variant v = Adopt(bridge.JsonToVariant(ParseJson(text)));
  ASSERT_EQ(v.vt, VT_DISPATCH);
  EXPECT_EQ(bridge.VariantToJson(v), ParseJson(text));
}

TEST_F(DuktapeBridge, ScriptSeesMembersInByteOrderAndNullAsUndefined) {
  Make(ParseJson(R"({"b": 1, "a": [null, true], "B": {"x": "y"}, "u": null, "big": 2147483648})"));
  Run("var keys = Object.keys(made).join(',');"
      "var kinds = [typeof made.u, 'u' in made, made.a.length, typeof made.a[0], made.a[1] === true,"
      "             made.big === 2147483648, made.B.x, Array.isArray(made.a)].join(',');");
  EXPECT_EQ(GlobalText(u"keys"), "B,a,b,big,u");
  EXPECT_EQ(GlobalText(u"kinds"), "undefined,true,2,undefined,true,true,y,true");
}

TEST_F(DuktapeBridge, ScriptValuesComeBackAsJson) {
  Json::Value v = ScriptValue(
      "{b: 'x', a: [1, , 3], n: null, u: undefined, f: 1.5, t: true, nested: {length: 2, 0: 'p', 1: 'q'},"
      " z: {length: 0}, s: '\\ud83d\\ude00'}");
  EXPECT_EQ(Compact(v), R"({"a":[1,null,3],"b":"x","f":1.5,"n":null,"nested":{"0":"p","1":"q","length":2},)"
                        R"("s":"\ud83d\ude00","t":true,"u":null,"z":{"length":0}})");
}

// Repeats are found by COM identity (the IUnknown of each object), which the
// engine must keep: one script object, one IUnknown, however often it is read.
bool KeepsComIdentity(const VARIANT& a, const VARIANT& b) {
  IUnknown* first = nullptr;
  IUnknown* second = nullptr;
  a.pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&first));
  b.pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&second));
  const bool same = first && first == second;
  if (first) first->Release();
  if (second) second->Release();
  return same;
}

TEST_F(DuktapeBridge, CyclesEndAtTheObjectMetAgain) {
  Run("var c = {n: 1}; c.self = c; c.list = [c, 2];");
  Variant once = Global(u"c");
  Variant twice = Global(u"c");
  ASSERT_EQ(once.vt, VT_DISPATCH);
  ASSERT_TRUE(KeepsComIdentity(once, twice)) << "the engine keeps one IUnknown per script object";
  EXPECT_EQ(Compact(bridge.VariantToJson(once)), R"({"list":[null,2],"n":1,"self":null})");
}

TEST_F(DuktapeBridge, DeepScriptNestingIsCut) {
  Json::Value v = ScriptValue("(function () { var o = {}; for (var i = 0; i < 300; i++) o = {next: o}; return o; })()");
  int depth = 0;
  const Json::Value* at = &v;
  while (at->isObject()) {
    ++depth;
    at = &(*at)["next"];
  }
  EXPECT_EQ(depth, ScriptValueBridge::kMaxDepth);
}

TEST_F(DuktapeBridge, NamesOutsideTheCodePageCollapse) {
  CodePageScope scope("WINDOWS-1252");
  Json::Value v = ScriptValue("{'\\u03a9': 1, '\\u0416': 2, 'caf\\u00e9': 'ok'}");
  EXPECT_EQ(v.getMemberNames(), (std::vector<std::string>{"?", "caf\xE9"}));
  EXPECT_EQ(v["?"], Json::Value(2));
}

}  // namespace
