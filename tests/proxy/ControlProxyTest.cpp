// Obtaining the control from the page: waiting, readiness, "new".
#include <string>
#include <thread>
#include <utility>

#include "ProxyFixture.h"

namespace {

TEST_F(ProxyTest, NewWaitsForThePageAndASlowControlWhileOtherMessagesRun) {
  UnregisterControlClass(CLSID_KestrixPrinter);
  RegisterFakeControl(/*slowAttempts=*/3, &control);
  MakeProxy(WritePage(kControlPage));
  ProbeWindow probe;
  probe.PostMessage(WM_USER + 1);  // e.g. a "ping" request posted by the gate
  probe.SetTimer(1, 5);
  proxy->OnNew(NewRequest(7, "https://shop.example/cart"));
  EXPECT_TRUE(proxy->IsReady());
  EXPECT_EQ(probe.Count(WM_USER + 1), 1) << "posted messages are handled during the wait";
  EXPECT_GE(probe.Count(WM_TIMER), 1) << "timer ticks are handled during the wait (the control takes 3 retries of 10 ms)";
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(Members(), (std::vector<std::string>{"setPageURL", "setHostCode", "setPageURL", "setHostCode"}));
  EXPECT_EQ(control->calls[0]["args"][0], "https://shop.example/cart");
  EXPECT_EQ(control->calls[1]["args"][0], 20);
  EXPECT_EQ(proxy->GetTab(), Json::Value(7));
}

TEST_F(ProxyTest, ASecondNewReplacesTabAndUrlButNotTheControl) {
  MakeProxy(WritePage(kControlPage));
  proxy->OnNew(NewRequest(1, "https://a.example/"));
  FakeControl* first = control;
  proxy->OnNew(NewRequest(2, "https://b.example/"));
  EXPECT_EQ(control, first) << "the control is not obtained again";
  EXPECT_EQ(proxy->GetTab(), Json::Value(2));
  ASSERT_EQ(Members().size(), 6u);
  EXPECT_EQ(control->calls[4]["member"], "setPageURL");
  EXPECT_EQ(control->calls[4]["args"][0], "https://b.example/");
  EXPECT_EQ(control->calls[5]["member"], "setHostCode");
  // Later requests that need the control call neither.
  proxy->getVersion("v");
  EXPECT_EQ(Members().back(), "getVersion");
  EXPECT_EQ(Members().size(), 7u);
}

TEST_F(ProxyTest, ASecondNewDuringTheWaitEndsWithTheSameControl) {
  MakeProxy(WritePage(kControlPage));
  ProbeWindow probe;
  bool nestedDone = false;
  probe.onMessage = [&](UINT m, WPARAM) {
    if (m == WM_USER + 5) {
      proxy->OnNew(NewRequest(2, "https://second.example/"));
      nestedDone = true;
    }
  };
  probe.PostMessage(WM_USER + 5);
  proxy->OnNew(NewRequest(1, "https://first.example/"));
  EXPECT_TRUE(nestedDone);
  EXPECT_TRUE(proxy->IsReady());
  EXPECT_EQ(proxy->GetTab(), Json::Value(2)) << "the nested request set the tab last";
  int controls = 0;
  for (const Json::Value& c : control->calls) {
    if (c["member"] != "setPageURL") continue;
    EXPECT_EQ(c["args"][0], "https://second.example/");
    ++controls;
  }
  EXPECT_GE(controls, 2);
}

TEST_F(ProxyTest, TheControlGetsThePageAddressAsTheOneOriginParserReadsIt) {
  // What the site guard decided on is what the control keys the site by, whatever the text conversions do.
  MakeProxy(WritePage(kControlPage));
  const std::pair<std::string, const char*> cases[] = {
      {"HTTPS://User:pw@Shop.Example.:443\\a\\b?q#f", "https://shop.example/a/b?q"},
      {"https://shop.example\\@evil.example/", "https://shop.example/@evil.example/"},
      {"file:///home/a/page.html", "file:///home/a/page.html"},
      {std::string("https://shop.example\0.evil.example/", sizeof "https://shop.example\0.evil.example/" - 1), ""},
  };
  for (const auto& [given, handed] : cases) {
    proxy->OnNew(NewRequest(1, given));
    EXPECT_EQ(control->calls.back()["member"], "setHostCode");
    EXPECT_EQ(control->calls[control->calls.size() - 2]["args"][0], handed) << given;
  }
}

TEST_F(ProxyTest, NewWithoutSenderGivesNullTabAndEmptyUrl) {
  MakeProxy(WritePage(kControlPage));
  Json::Value r;
  r["method"] = "new";
  proxy->OnNew(r);
  EXPECT_TRUE(proxy->GetTab().isNull());
  EXPECT_EQ(control->calls[0]["args"][0], "");
  proxy->getVersion("v");
  EXPECT_EQ(messages.back()["tab"], Json::Value());
}

TEST_F(ProxyTest, SenderOrTabThatAreNotObjectsCountAsAbsent) {
  MakeProxy(WritePage(kControlPage));
  Json::Value r;
  r["sender"] = "not an object";
  proxy->OnNew(r);
  EXPECT_TRUE(proxy->GetTab().isNull());
  Json::Value r2;
  r2["sender"]["tab"] = 12;
  r2["sender"]["url"] = "https://x.example/";
  proxy->OnNew(r2);
  EXPECT_TRUE(proxy->GetTab().isNull());
  EXPECT_EQ(control->calls.back()["member"], "setHostCode");
}

TEST_F(ProxyTest, GetKPWithoutAnObjectElementRaisesAndLeavesTheProxyNotReady) {
  MakeProxy(WritePage("<html><head><script>function getKP(){ return 5; }</script></head><body></body></html>"));
  EXPECT_THROW(proxy->OnNew(NewRequest(1, "u")), KestrixNotFound);
  EXPECT_FALSE(proxy->IsReady());
}

TEST_F(ProxyTest, AClassThatIsNotRegisteredEndsTheWaitWithNotFound) {
  UnregisterControlClass(CLSID_KestrixPrinter);
  MakeProxy(WritePage(kControlPage));
  EXPECT_THROW(proxy->OnNew(NewRequest(1, "u")), KestrixNotFound);
  EXPECT_FALSE(proxy->IsReady());
}

TEST_F(ProxyTest, AQuitMessageTakenInsideTheWaitIsPostedAgain) {
  // No getKP ever appears: only the quit message can end the wait.
  MakeProxy(WritePage("<html><body>no script</body></html>"));
  ProbeWindow probe;
  probe.onMessage = [](UINT m, WPARAM) {
    if (m == WM_USER + 9) PostQuitMessage(4);
  };
  probe.PostMessage(WM_USER + 9);
  EXPECT_THROW(proxy->OnNew(NewRequest(1, "u")), KestrixNotFound);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_QUIT) << "the loop of process entry must still see the quit";
  EXPECT_EQ(msg.wParam, 4u);
}

TEST_F(ProxyTest, CallScriptFunctionWithAnUnknownNameGivesFalse) {
  MakeProxy(WritePage(kControlPage));
  proxy->OnNew(NewRequest(1, "u"));
  Variant r = proxy->CallScriptFunction("noSuchFunction", nullptr, 0);
  EXPECT_EQ(r.vt, VT_BOOL);
  EXPECT_EQ(r.boolVal, VARIANT_FALSE);
  Variant ok = proxy->CallScriptFunction("getKP", nullptr, 0);
  EXPECT_EQ(ok.vt, VT_DISPATCH);
}

}  // namespace

#ifdef KX_CHECK_THREADS
// The proxy belongs to the thread that made it: a reply or an operation from
// another thread stops a checking build at once instead of racing the main thread.
TEST_F(ProxyTest, ACallFromAnotherThreadStopsACheckingBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  MakeProxy(WritePage(kControlPage));
  EXPECT_DEATH(std::thread([&] { proxy->WriteMessage("{}"); }).join(), "ControlProxy::WriteMessage called on a thread");
  EXPECT_DEATH(std::thread([&] { proxy->getVersion("v"); }).join(), "ControlProxy::GetControl called on a thread");
  proxy->WriteMessage("{}");  // its own thread: written
  EXPECT_EQ(messages.size(), 1u);
}
#endif
