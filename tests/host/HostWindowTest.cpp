// The host window's request and exit handlers: every request is released and
// marks the peer alive, nothing a request raises escapes, readiness is
// signalled only by the proxy, and the exit ends the loop.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "WindowFixture.h"

namespace {

using namespace std::chrono_literals;

Json::Value* Request(const std::string& text) {
  auto* v = new Json::Value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, *v)) << text;
  return v;
}

using HostWindow = HostWindowTest;

TEST_F(HostWindow, MessageMapTakesItsFourMessagesAndLeavesTheRest) {
  LRESULT result = -1;
  EXPECT_TRUE(window.ProcessWindowMessage(window.m_hWnd, WM_HOST_REQUEST, 0,
                                          reinterpret_cast<LPARAM>(Request(R"({"method":"ping"})")), result));
  EXPECT_EQ(result, 0);
  for (UINT other : {WM_CREATE, WM_SIZE, WM_DESTROY, WM_USER, WM_USER + 100, WM_USER + 104})
    EXPECT_FALSE(window.ProcessWindowMessage(window.m_hWnd, other, 0, 0, result)) << other;
}

TEST_F(HostWindow, ARequestMarksThePeerAlive) {
  KPAxWindowTestAccess::SetPeerAlive(window, false);
  BOOL handled = FALSE;
  window.OnRequest(WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(Request(R"({"method":"ping"})")), handled);
  EXPECT_TRUE(handled);
  EXPECT_TRUE(KPAxWindowTestAccess::PeerAlive(window));
}

TEST_F(HostWindow, ErrorsRaisedByARequestAreCaughtAndNothingIsWritten) {
  BOOL handled = FALSE;
  for (const char* text : {R"({"method":"setOffsetPage","event":"e","params":["3"]})",
                           R"({"method":"isImplemented","event":"e","params":[12]})",
                           R"({"method":5,"event":"e"})", R"({"method":"getVersion","event":{}})"}) {
    EXPECT_NO_THROW(window.OnRequest(WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(Request(text)), handled)) << text;
  }
  EXPECT_TRUE(output.empty());
}

TEST_F(HostWindow, RequestsBeforeTheProxyIsReadySignalNothing) {
  BOOL handled = FALSE;
  window.OnRequest(WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(Request(R"({"method":"ping"})")), handled);
  window.CheckControlReady();
  EXPECT_FALSE(window.IsControlReady());
  // A request still held by the gate stays held.
  auto submit = std::async(std::launch::async, [this] { window.SubmitMessage(R"({"method":"getFonts","event":"f"})"); });
  EXPECT_NE(submit.wait_for(300ms), std::future_status::ready);
  KPAxWindowTestAccess::MakeReady(window);
  EXPECT_EQ(submit.wait_for(5s), std::future_status::ready);
}

TEST_F(HostWindow, ExitDestroysTheWindowAndEndsTheLoop) {
  HWND hwnd = window.m_hWnd;
  window.PostMessage(WM_HOST_EXIT);
  MSG msg{};
  int loops = 0;
  // The host's loop, with a deadline per message.
  while (GetMessageTimeout(&msg, 5000) && msg.message != WM_QUIT) {
    DispatchMessageW(&msg);
    ASSERT_LT(++loops, 100);
  }
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(window.m_hWnd, nullptr);
  // Whoever ordered it, the exit stops the gate: a reader waiting for room
  // or for the control drops what it holds and ends.
  EXPECT_TRUE(window.IsStopping());
}

TEST_F(HostWindow, ARequestQueuedBehindTheExitIsNeverCarriedOut) {
  window.SubmitMessage(R"({"method":"exit"})");
  // Posted by hand after the exit, as a reader that raced the stop would.
  window.PostMessage(WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(Request(R"({"method":"ping"})")));
  KPAxWindowTestAccess::SetPeerAlive(window, false);
  MSG msg{};
  while (GetMessageTimeout(&msg, 5000) && msg.message != WM_QUIT) DispatchMessageW(&msg);
  EXPECT_EQ(msg.message, WM_QUIT);
  // The exit freed it (the leak checker watches) and it never reached OnRequest.
  EXPECT_FALSE(KPAxWindowTestAccess::PeerAlive(window));
  EXPECT_FALSE(SomethingQueued());
}

TEST_F(HostWindow, DiscardPendingRequestsEmptiesTheQueueOfRequests) {
  for (int i = 0; i < 3; ++i)
    window.PostMessage(WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(Request(R"({"method":"ping"})")));
  // And what the gate has put into the inbox, with its hand-over message.
  window.SetBatchInput(true);
  KPAxWindowTestAccess::MakeReady(window);
  window.SubmitMessage(R"({"method":"ping"})");
  window.EndOfBatch();
  window.PostMessage(WM_HOST_EXIT);
  window.DiscardPendingRequests();
  std::vector<QueuedRequest> left;
  EXPECT_EQ(window.TakeRequests(&left), 0u);
  EXPECT_TRUE(left.empty());
  MSG msg{};
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_USER, 0xFFFF, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_HOST_EXIT);  // only requests are discarded
  EXPECT_FALSE(SomethingQueued());
}

// A modal loop inside a call (a dialog's, a script engine's) dispatches the
// messages that come meanwhile: a request among them waits until the call
// has returned, then runs, in order.
TEST_F(HostWindow, ARequestThatArrivesDuringACallWaitsForItToReturn) {
  bool inModalLoop = false, wroteInModalLoop = false, looped = false;
  onWrite = [&] {
    wroteInModalLoop = wroteInModalLoop || inModalLoop;
    if (looped) return;
    looped = inModalLoop = true;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    inModalLoop = false;
  };
  window.PostMessage(WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(Request(R"({"method":"siteList","event":"a"})")));
  window.PostMessage(WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(Request(R"({"method":"siteList","event":"b"})")));
  MSG msg{};
  for (int i = 0; i < 10 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) DispatchMessageW(&msg);
  EXPECT_TRUE(looped);
  EXPECT_FALSE(wroteInModalLoop) << "the second request ran inside the first";
  size_t a = output.find(R"("event":"a")"), b = output.find(R"("event":"b")");
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  EXPECT_LT(a, b);
}

// No browser control, so no page: known at once. "new" and every request
// after it answer controlUnavailable (nothing waits for a page that cannot
// come), and the gate holds nothing back any more.
TEST_F(HostWindow, AControlOutOfReachAnswersEveryRequestWithAnError) {
  // Were the proxy to wait for the page instead, this exit would end the wait.
  window.PostMessage(WM_HOST_EXIT);
  BOOL handled = FALSE;
  window.OnRequest(WM_HOST_REQUEST, 0,
                   reinterpret_cast<LPARAM>(Request(R"({"method":"new","event":"n","sender":{"tab":{"id":9}}})")), handled);
  window.OnRequest(WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(Request(R"({"method":"getVersion","event":"v"})")),
                   handled);
  for (const char* event : {"n", "v"}) {
    std::string reply = R"({"error":{"code":"controlUnavailable","message":"the printing control is unavailable: )"
                        R"(the browser control could not be created"},"event":")" + std::string(event) + R"(","tab":9})";
    EXPECT_NE(output.find(reply), std::string::npos) << output;
  }
  auto submit = std::async(std::launch::async, [this] { window.SubmitMessage(R"({"method":"getFonts","event":"f"})"); });
  EXPECT_EQ(submit.wait_for(5s), std::future_status::ready) << "the gate still holds requests back";
}

}  // namespace
