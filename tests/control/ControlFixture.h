// A control of its own for each test, with private XDG folders and a
// recording sink advised on its event connection point.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <functional>
#include <memory>

#include "ControlTestSupport.h"
#include "control/base/ControlText.h"
#include "control/members/AutomationToJson.h"
#include "platform/JsonDispatch.h"
#include "control/object/LinuxPrinterControl.h"
#include "control/render/RenderService.h"
#include "control/site/SiteOrigin.h"
#include "platform/WebOrigin.h"
#include "interfaces/PrinterControl.h"

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_bstrs = SysAllocatedCount();
    m_data = std::make_unique<ScopedEnv>("XDG_DATA_HOME", m_folder / "data");
    m_config = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", m_folder / "config");
    // A warm renderer of the test's own, started with the test's environment.
    m_renderDir = std::make_unique<ScopedEnv>("KESTRIX_RENDER_DIR", m_folder / "render");
    // Job places are per user and held in the temporary folder: a private one
    // keeps tests that run at the same time (and jobs that outlive earlier
    // tests) from taking this test's places and making its jobs wait.
    ASSERT_EQ(mkdir((m_folder / "tmp").c_str(), 0700), 0);
    m_temp = std::make_unique<ScopedEnv>("TMPDIR", m_folder / "tmp");
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(CreateLinuxPrinterControl(&unknown), S_OK);
    ASSERT_EQ(unknown.QueryInterface(IID_IPrinterControl, std::addressof(control)), S_OK);
    // Every page belongs to a site; the tests' pages to this one.
    ASSERT_EQ(control->setPageURL(Text("https://test.example/page.html").Get()), S_OK);
    sink = RecordingSink::Create();
    ASSERT_EQ(AtlAdvise(control.Get(), static_cast<IDispatch*>(sink.Get()), IID_IPrinterEvent, &m_cookie), S_OK);
  }
  void TearDown() override {
    // The test's warm renderer (if a job started one) goes with the test.
    Json::Value status;
    if (RenderServiceStatus(&status)) {
      kill(status["pid"].asInt(), SIGTERM);
      PumpUntil([] { return !FileExists(RenderServiceSocket()); }, 20000);
    }
    if (control && m_cookie) AtlUnadvise(control.Get(), IID_IPrinterEvent, m_cookie);
    control.Release();
    if (sink) sink->events.clear();
    // Every text the control handed out or took in has been freed.
    EXPECT_EQ(SysAllocatedCount(), m_bstrs);
  }

  // The folder of the tests' site.
  std::string FilesFolder() const { return m_folder / "data/kestrix/files/https_test.example"; }
  // The folder of the site of the page at url.
  std::string SiteFolder(const std::string& url) const {
    return SharedFolder() + "/" + SiteFolderName(WebOrigin::Parse(url).Key());
  }
  // The folder shared by every site before each had its own.
  std::string SharedFolder() const { return m_folder / "data/kestrix/files"; }
  std::string Outside() const { return m_folder.Path(); }

  // Pumps until the first OnDone (or a minute).
  bool WaitDone(int timeoutMs = 60000) {
    return PumpUntil([&] { return sink->HasDone(); }, timeoutMs);
  }
  // Pumps until at least n OnMessage events have arrived.
  bool WaitMessages(size_t n, int timeoutMs = 10000) {
    return PumpUntil([&] { return sink->Of(DISPID_PRINTEREVENT_ONMESSAGE).size() >= n; }, timeoutMs);
  }
  std::string LastMessageCode() const {
    auto messages = sink->Of(DISPID_PRINTEREVENT_ONMESSAGE);
    return messages.empty() ? std::string() : messages.back().args[0]["code"].asString();
  }
  std::string LastMessageText() const {
    auto messages = sink->Of(DISPID_PRINTEREVENT_ONMESSAGE);
    return messages.empty() ? std::string() : messages.back().args[0]["message"].asString();
  }

  static Bstr Text(const std::string& s) { return Bstr::Attach(Utf8ToBstr(s)); }
  static ComPtr<IDispatch> Job(const Json::Value& v) { return CJsonDispatch::Create(v); }

  TempFolder m_folder;
  std::unique_ptr<ScopedEnv> m_data, m_config, m_renderDir, m_temp;
  ComPtr<IPrinterControl> control;
  ComPtr<RecordingSink> sink;
  DWORD m_cookie = 0;
  long m_bstrs = 0;
};

// A control test against the private scheduler (start-cups.sh), shared by every
// test of the program.
class CupsControlTest : public ControlTest {
 protected:
  void SetUp() override {
    std::string error;
    bench = CupsBench::Get(&error);
    ASSERT_NE(bench, nullptr) << error;
    bench->Select();
    ControlTest::SetUp();
  }
  // What a member wrote to its VARIANT out parameter, as JSON.
  Json::Value Result(const std::function<void(VARIANT*)>& call) {
    Variant v;
    call(&v);
    return VariantToJsonValue(v);
  }
  CupsBench* bench = nullptr;
};
