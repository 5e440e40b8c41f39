// A control proxy on the real browser stand-in, with the fake control
// registered under the printing control's class id and every output frame
// captured.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dispatch/ControlProxy.h"
#include "framing/ByteSink.h"
#include "framing/FrameWriter.h"
#include "platform/CodePage.h"
#include "platform/Window.h"
#include "platform/webbrowser/AxHost.h"
#include "platform/webbrowser/WebBrowser.h"
#include "support/fake/FakeControl.h"

// A window that records what reaches it and can run code on a message.
class ProbeWindow : public CWindowImplBase {
 public:
  std::vector<UINT> seen;
  std::function<void(UINT, WPARAM)> onMessage;
  ProbeWindow() { Create(nullptr, RECT{}, nullptr, 0); }
  ~ProbeWindow() override {
    if (IsWindow()) DestroyWindow();
  }
  BOOL ProcessWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM, LRESULT& result, DWORD) override {
    seen.push_back(message);
    if (onMessage) onMessage(message, wParam);
    result = 0;
    return TRUE;
  }
  int Count(UINT message) const { return static_cast<int>(std::count(seen.begin(), seen.end(), message)); }
};

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetThreadCodePage("UTF-8");
    AtlAxWinInit();
    ASSERT_EQ(CreateWebBrowser(&browser), S_OK);
    RegisterFakeControl(0, &control);
  }
  void TearDown() override {
    proxy.reset();
    browser.Release();
    UnregisterControlClass(CLSID_KestrixPrinter);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    for (const std::string& p : pages) std::remove(p.c_str());
  }

  // A page file with the given HTML; removed after the test.
  std::string WritePage(const std::string& html) {
    std::string path = "/tmp/kx-proxy-test-" + std::to_string(::getpid()) + "-" + std::to_string(pages.size()) + ".htm";
    std::ofstream(path) << html;
    pages.push_back(path);
    return path;
  }

  // The proxy navigates to the page at once; nothing waits for it yet.
  void MakeProxy(const std::string& pagePath) {
    proxy = std::make_unique<ControlProxy>(browser.Get(), nullptr, [pagePath] { return pagePath; });
    proxy->SetFrameWriter(&writer);
  }

  static Json::Value NewRequest(const Json::Value& tab, const std::string& url) {
    Json::Value r;
    r["method"] = "new";
    r["sender"]["tab"]["id"] = tab;
    r["sender"]["url"] = url;
    return r;
  }

  std::vector<std::string> Members() const { return control ? control->CalledMembers() : std::vector<std::string>{}; }

  static constexpr const char* kControlPage =
      "<html><head><script>"
      "function getKP(){ var e=document.getElementById('_kestrixPrinter');"
      " if(!e){ document.getElementById('w').innerHTML="
      "'<OBJECT ID=\"_kestrixPrinter\" CLASSID=\"CLSID:5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F58\"></OBJECT>';"
      " e=document.getElementById('_kestrixPrinter'); } return e; }"
      "</script></head><body><div id=\"w\"></div></body></html>";

  std::vector<Json::Value> messages;
  FunctionSink sink{[this](const char* b, size_t n) {
    Json::Value v;
    Json::Reader().parse(std::string(b + 4, n - 4), v);
    messages.push_back(v);
    return true;
  }};
  FrameWriter writer{sink, FrameWriter::Mode::Inline};
  ComPtr<IWebBrowser2> browser;
  FakeControl* control = nullptr;  // borrowed: the proxy holds it
  std::unique_ptr<ControlProxy> proxy;
  std::vector<std::string> pages;
};
