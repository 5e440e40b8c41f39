// Shared set-up of the bridge tests: a fake engine whose context object the
// bridge holds, and checks at the end that no object and no BSTR was lost.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "FakeScript.h"
#include "bridge/ScriptValueBridge.h"
#include "platform/CodePage.h"

inline Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, v)) << text;
  return v;
}

inline std::string Compact(const Json::Value& v) {
  std::string s = Json::FastWriter().write(v);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// Owns a VARIANT the bridge handed out.
inline Variant Adopt(VARIANT raw) {
  Variant v;
  static_cast<VARIANT&>(v) = raw;
  return v;
}

// Switches the thread's code page for one test and puts UTF-8 back.
class CodePageScope {
 public:
  explicit CodePageScope(const char* charset) { EXPECT_TRUE(SetThreadCodePage(charset)); }
  ~CodePageScope() { SetThreadCodePage("UTF-8"); }
};

class BridgeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    m_bstrs = SysAllocatedCount();
    context = engine.NewContext();
    bridge.SetScriptContext(context);
    context->Release();  // the bridge holds the only reference now
  }
  void TearDown() override {
    bridge.SetScriptContext(nullptr);
    EXPECT_EQ(engine.live, 0) << "script objects leaked";
    EXPECT_EQ(SysAllocatedCount(), m_bstrs) << "BSTRs leaked";
  }

  // JSON text -> VARIANT through the bridge, described.
  std::string ToScript(const std::string& json) {
    Variant v = Adopt(bridge.JsonToVariant(ParseJson(json)));
    return Describe(v);
  }
  std::string ToJson(const VARIANT& v) { return Compact(bridge.VariantToJson(v)); }

  FakeEngine engine;
  FakeObject* context = nullptr;
  ScriptValueBridge bridge;

 private:
  long m_bstrs = 0;
};

// A new fake object held by the test; released at scope end.
struct Held {
  explicit Held(FakeObject* o) : object(o) {}
  ~Held() { object->Release(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  FakeObject* operator->() const { return object; }
  Variant AsVariant() const { return Variant::FromDispatch(object); }
  FakeObject* object;
};
