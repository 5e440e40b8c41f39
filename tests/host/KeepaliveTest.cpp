// The keepalive tick: a ping while the extension answers, the exit on
// silence (with standard input closed), and nothing for other timers.
#include <gtest/gtest.h>

#include <string>

#include "WindowFixture.h"

namespace {

TEST(KeepaliveDecision, PingWhileAliveExitWhenSilentNothingForOtherTimers) {
  EXPECT_EQ(DecideKeepalive(1, true), KeepaliveAction::Ping);
  EXPECT_EQ(DecideKeepalive(1, false), KeepaliveAction::Exit);
  EXPECT_EQ(DecideKeepalive(2, true), KeepaliveAction::None);
  EXPECT_EQ(DecideKeepalive(0, false), KeepaliveAction::None);
}

int g_inputClosed = 0;
void CountClose() { ++g_inputClosed; }

using Keepalive = HostWindowTest;

TEST_F(Keepalive, APeerThatAnsweredGetsExactlyThePingFrame) {
  BOOL handled = FALSE;
  EXPECT_EQ(window.OnKeepaliveTimer(WM_TIMER, kKeepaliveTimerId, 0, handled), 0);
  EXPECT_TRUE(handled);
  EXPECT_EQ(output, std::string("\x11\x00\x00\x00{\"method\":\"ping\"}", 21));
  EXPECT_FALSE(KPAxWindowTestAccess::PeerAlive(window));
  EXPECT_FALSE(window.IsStopping());
  EXPECT_FALSE(SomethingQueued());
}

TEST_F(Keepalive, TheSecondTickWithoutTrafficOrdersTheExitAndClosesInput) {
  g_inputClosed = 0;
  window.SetInputCloser(CountClose);
  BOOL handled = FALSE;
  window.OnKeepaliveTimer(WM_TIMER, kKeepaliveTimerId, 0, handled);
  output.clear();
  window.OnKeepaliveTimer(WM_TIMER, kKeepaliveTimerId, 0, handled);
  EXPECT_TRUE(output.empty());  // no second ping
  EXPECT_TRUE(window.IsStopping());
  EXPECT_EQ(g_inputClosed, 1);
  EXPECT_EQ(NextMessage().message, WM_HOST_EXIT);
}

TEST_F(Keepalive, AHandledRequestBetweenTicksKeepsTheHostAlive) {
  BOOL handled = FALSE;
  window.OnKeepaliveTimer(WM_TIMER, kKeepaliveTimerId, 0, handled);
  window.OnRequest(WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(new Json::Value(Json::objectValue)), handled);
  output.clear();
  window.OnKeepaliveTimer(WM_TIMER, kKeepaliveTimerId, 0, handled);
  EXPECT_EQ(output.size(), 21u);
  EXPECT_FALSE(window.IsStopping());
}

TEST_F(Keepalive, OtherTimerIdsAreTakenButChangeNothing) {
  LRESULT result = -1;
  EXPECT_TRUE(window.ProcessWindowMessage(window.m_hWnd, WM_TIMER, 7, 0, result));
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(output.empty());
  EXPECT_TRUE(KPAxWindowTestAccess::PeerAlive(window));
  KPAxWindowTestAccess::SetPeerAlive(window, false);
  EXPECT_TRUE(window.ProcessWindowMessage(window.m_hWnd, WM_TIMER, 7, 0, result));
  EXPECT_FALSE(window.IsStopping());
  EXPECT_FALSE(SomethingQueued());
}

TEST_F(Keepalive, TicksArriveFromTheTimerThroughTheMessageMap) {
  // The real timer at a short period, dispatched like the host's loop does.
  window.SetTimer(kKeepaliveTimerId, 20);
  MSG msg{};
  for (int ticks = 0; ticks < 2;) {
    ASSERT_TRUE(GetMessageTimeout(&msg, 5000));
    if (msg.message == WM_TIMER) ++ticks;
    DispatchMessageW(&msg);
  }
  EXPECT_EQ(output.size(), 21u);  // one ping, then the exit
  EXPECT_TRUE(window.IsStopping());
  window.KillTimer(kKeepaliveTimerId);
}

}  // namespace
