// The value bridge and the event listener against a real script engine:
// wine's (or Windows') JScript, reached only through IDispatch/IDispatchEx as
// the host reaches the page's script.
#include <gtest/gtest.h>

#include "JScriptEngine.h"
#include "bridge/PrinterListener.h"
#include "bridge/ScriptValueBridge.h"
#include "platform/CodePage.h"

namespace {

const wchar_t kScript[] =
    L"function describe(o) {"
    L"  return o.name + '|' + o.list.length + '|' + o.list[1] + '|' + o.nested.flag + '|' + typeof o.nested.flag"
    L"       + '|' + typeof o.none + '|' + o.count; }"
    L"function make() { return { b: [1, 'x\\u00e9', true], a: null, n: 2.5, o: { k: 'v' } }; }"
    L"function callback() { return { done: 'jobDone', onState: 'jobState', listener: 'jobEvents' }; }"
    L"function job() { return { printerName: 'Office', totalPages: 3, pagesPrinted: 1, status: 'printing' }; }";

class OwnerStub : public ListenerOwner {
 public:
  explicit OwnerStub(ScriptValueBridge& bridge) : m_bridge(bridge) {}
  ScriptValueBridge& Bridge() override { return m_bridge; }
  Json::Value GetTab() const override { return 7; }
  void WriteMessage(const std::string& text) override { messages.push_back(text); }
  std::vector<std::string> messages;

 private:
  ScriptValueBridge& m_bridge;
};

class JScriptBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    ::OleInitialize(nullptr);
    engine = new JScriptEngine(kScript);
    ASSERT_TRUE(engine->Ok()) << "JScript could not be started";
    bridge.SetScriptContext(engine->Global());
  }
  void TearDown() override {
    bridge.SetScriptContext(nullptr);
    delete engine;
    ::OleUninitialize();
  }
  // Calls a script function without arguments and converts its result.
  Json::Value FromScript(const wchar_t* name) {
    Variant result;
    EXPECT_TRUE(engine->Call(name, {}, &result));
    return bridge.VariantToJson(result);
  }

  JScriptEngine* engine = nullptr;
  ScriptValueBridge bridge;
};

TEST_F(JScriptBridge, JsonBecomesScriptObjectsTheScriptCanRead) {
  Json::Value value;
  value["name"] = "Kestrix";
  value["list"].append(1);
  value["list"].append("two");
  value["nested"]["flag"] = true;
  value["none"] = Json::nullValue;  // VT_EMPTY: undefined in the script
  value["count"] = 42;
  Variant object;
  static_cast<VARIANT&>(object) = bridge.JsonToVariant(value);
  ASSERT_EQ(object.vt, VT_DISPATCH);
  Variant text;
  ASSERT_TRUE(engine->Call(L"describe", {object}, &text));
  ASSERT_EQ(text.vt, VT_BSTR);
  EXPECT_EQ(OleString(text.bstrVal), L"Kestrix|2|two|true|boolean|undefined|42");
}

TEST_F(JScriptBridge, ScriptObjectsAndArraysBecomeJson) {
  Json::Value made = FromScript(L"make");
  ASSERT_TRUE(made.isObject());
  EXPECT_EQ(made.getMemberNames(), (std::vector<std::string>{"a", "b", "n", "o"}));
  EXPECT_TRUE(made["a"].isNull());
  ASSERT_TRUE(made["b"].isArray());
  ASSERT_EQ(made["b"].size(), 3u);
  EXPECT_EQ(made["b"][0].asInt(), 1);
  // Text comes back in the thread's code page; é exists in every Western one.
  EXPECT_EQ(AnsiToUtf8(made["b"][1].asString()), "x\xc3\xa9");
  EXPECT_TRUE(made["b"][2].asBool());
  EXPECT_DOUBLE_EQ(made["n"].asDouble(), 2.5);
  EXPECT_EQ(made["o"]["k"].asString(), "v");
}

TEST_F(JScriptBridge, ListenerReadsNamesAndWritesEventsFromScriptObjects) {
  OwnerStub owner(bridge);
  CPrinterListener* listener = CPrinterListener::CreateInstance();
  listener->AddRef();
  Variant callback;
  ASSERT_TRUE(engine->Call(L"callback", {}, &callback));
  ASSERT_EQ(callback.vt, VT_DISPATCH);
  listener->SetEventNames(callback.pdispVal, &owner);
  EXPECT_EQ(listener->DoneEvent(), "jobDone");
  EXPECT_EQ(listener->StateEvent(), "jobState");
  EXPECT_EQ(listener->ListenerEvent(), "jobEvents");

  // The control fires through IDispatch::Invoke, as a real control does.
  Variant job;
  ASSERT_TRUE(engine->Call(L"job", {}, &job));
  DISPPARAMS params{&job, nullptr, 1, 0};
  ASSERT_EQ(listener->Invoke(DISPID_PRINTEREVENT_ONJOBSTATE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                             nullptr, nullptr),
            S_OK);
  ASSERT_EQ(owner.messages.size(), 1u);
  Json::Value message;
  ASSERT_TRUE(Json::Reader().parse(owner.messages[0], message));
  EXPECT_EQ(message["tab"].asInt(), 7);
  EXPECT_NE(owner.messages[0].find("Office"), std::string::npos);
  EXPECT_NE(owner.messages[0].find("printing"), std::string::npos);
  EXPECT_EQ(listener->Release(), 0u);
}

}  // namespace
