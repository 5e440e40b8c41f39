// The browser control: registered by class id, navigation finishes only
// when messages are pumped, a new page replaces the old one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "BrowserTestSupport.h"
#include "platform/webbrowser/AxHost.h"
#include "platform/webbrowser/WebBrowser.h"

using namespace browsertest;

namespace {

class NavigationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AtlAxWinInit();
    ASSERT_EQ(CreateControlInstance(CLSID_WebBrowser, IID_IWebBrowser2, reinterpret_cast<void**>(&browser_)), S_OK);
    ASSERT_EQ(browser_->put_Silent(VARIANT_TRUE), S_OK);
  }
  void TearDown() override {
    if (browser_) browser_->Release();
    for (const std::string& p : files_) remove(p.c_str());
  }
  std::string WritePage(const std::string& name, const std::string& html) {
    // The process's own name: ctest runs these tests side by side, and each removes its pages.
    std::string path = ::testing::TempDir() + std::to_string(getpid()) + "_" + name;
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    fwrite(html.data(), 1, html.size(), f);
    fclose(f);
    files_.push_back(path);
    return path;
  }
  HRESULT Navigate(const std::string& path) {
    Variant url = Variant::FromString(Utf8ToUtf16(path));
    return browser_->Navigate2(&url, nullptr, nullptr, nullptr, nullptr);
  }
  ComPtr<IDispatch> Script() {
    ComPtr<IDispatch> d;
    if (FAILED(browser_->get_Document(&d)) || !d) return nullptr;
    ComPtr<IHTMLDocument2> doc;
    if (FAILED(d.QueryInterface(IID_IHTMLDocument2, std::addressof(doc)))) return nullptr;
    ComPtr<IDispatch> script;
    doc->get_Script(&script);
    return script;
  }
  std::u16string CallName(IDispatch* script) {
    Variant r;
    if (FAILED(Call(script, u"name", {}, &r))) return u"<failed>";
    return Text(r);
  }

  IWebBrowser2* browser_ = nullptr;
  std::vector<std::string> files_;
};

TEST_F(NavigationTest, PageLoadsOnlyWhenMessagesArePumped) {
  std::string path = WritePage("nav_a.htm", "<html><head><script>function name() { return 'a'; }</script></head></html>");
  ComPtr<IDispatch> d;
  ASSERT_EQ(browser_->get_Document(&d), S_OK);
  EXPECT_FALSE(d) << "no document before any page";
  ASSERT_EQ(Navigate(path), S_OK);
  ASSERT_EQ(browser_->get_Document(&d), S_OK);
  EXPECT_FALSE(d) << "Navigate2 returns before the page loads";
  ASSERT_TRUE(PumpUntil([&] { return Script() != nullptr; }));
  ComPtr<IDispatch> script = Script();
  EXPECT_EQ(CallName(script.Get()), u"a");
  // The document's own IDispatch is the script's document.
  ComPtr<IDispatch> doc;
  ASSERT_EQ(browser_->get_Document(&doc), S_OK);
  Variant nodeType;
  ASSERT_EQ(Get(doc.Get(), u"nodeType", &nodeType), S_OK);
  EXPECT_EQ(nodeType.lVal, 9);
}

TEST_F(NavigationTest, ANewPageReplacesTheOldOneAndItsScript) {
  std::string a = WritePage("nav_a.htm", "<script>function name() { return 'a'; }</script>");
  std::string b = WritePage("nav_b.htm", "<script>function name() { return 'b'; }</script>");
  ASSERT_EQ(Navigate(a), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return Script() != nullptr; }));
  ComPtr<IDispatch> oldScript = Script();
  ASSERT_EQ(Navigate(b), S_OK);
  EXPECT_EQ(CallName(oldScript.Get()), u"a") << "still the old page until pumped";
  ASSERT_TRUE(PumpUntil([&] {
    ComPtr<IDispatch> s = Script();
    return s && CallName(s.Get()) == u"b";
  }));
  DISPID id;
  EXPECT_EQ(IdOf(oldScript.Get(), u"name", &id), E_UNEXPECTED) << "the old heap is gone";
}

TEST_F(NavigationTest, OnlyTheLastOfQuickNavigationsLoads) {
  std::string a = WritePage("nav_a.htm", "<script>var loads = (this.loads || 0) + 1; function name() { return 'a'; }</script>");
  std::string b = WritePage("nav_b.htm", "<script>function name() { return 'b'; }</script>");
  ASSERT_EQ(Navigate(a), S_OK);
  ASSERT_EQ(Navigate(b), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return Script() != nullptr; }));
  PumpPending();
  EXPECT_EQ(CallName(Script().Get()), u"b");
}

TEST_F(NavigationTest, ScriptErrorsStopOneScriptNotThePage) {
  std::string path = WritePage("nav_err.htm",
                               "<script>undefinedFunction();</script><script>function name() { return 'ok'; }</script>"
                               "<script type='text/vbscript'>function name() { return 'vb'; }</script>"
                               "<script src='other.js'>function name() { return 'src'; }</script>");
  ASSERT_EQ(Navigate(path), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return Script() != nullptr; }));
  EXPECT_EQ(CallName(Script().Get()), u"ok");
}

TEST_F(NavigationTest, BadTargetsAreRefusedOrNeverLoad) {
  Variant number = Variant::FromLong(5);
  EXPECT_EQ(browser_->Navigate2(&number, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(browser_->Navigate2(nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  Variant empty = Variant::FromString(u"");
  EXPECT_EQ(browser_->Navigate2(&empty, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  ASSERT_EQ(Navigate(::testing::TempDir() + "no_such_page.htm"), S_OK);
  ASSERT_EQ(Navigate(::testing::TempDir()), S_OK);  // a directory
  PumpPending();
  ComPtr<IDispatch> d;
  ASSERT_EQ(browser_->get_Document(&d), S_OK);
  EXPECT_FALSE(d);
}

TEST_F(NavigationTest, ReleasingTheBrowserBeforeTheLoadIsHarmless) {
  std::string path = WritePage("nav_a.htm", "<script>function name() { return 'a'; }</script>");
  ASSERT_EQ(Navigate(path), S_OK);
  browser_->Release();  // its load message is still queued
  ASSERT_EQ(CreateWebBrowser(&browser_), S_OK);
  ASSERT_EQ(Navigate(path), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return Script() != nullptr; }));
  EXPECT_EQ(CallName(Script().Get()), u"a");
}

}  // namespace
