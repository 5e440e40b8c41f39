#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Kernel.h"
#include "platform/Window.h"

namespace {

class RecordingWindow : public CWindowImplBase {
 public:
  std::vector<UINT> seen;
  std::vector<WPARAM> timers;
  std::function<void(UINT)> onMessage;
  bool handleAll = true;

  RecordingWindow() { Create(nullptr, RECT{0, 0, 10, 10}, nullptr, 0); }
  ~RecordingWindow() override {
    if (IsWindow()) DestroyWindow();
  }
  BOOL ProcessWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM, LRESULT& result, DWORD) override {
    seen.push_back(message);
    if (message == WM_TIMER) timers.push_back(wParam);
    if (onMessage) onMessage(message);
    result = 0;
    return handleAll ? TRUE : FALSE;
  }
};

// Pumps until pred holds or the deadline passes; false on time-out.
template <class Pred>
bool PumpUntil(Pred pred, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    MSG msg;
    if (GetMessageTimeout(&msg, static_cast<DWORD>(left.count()))) DispatchMessageW(&msg);
  }
  return true;
}

void Drain() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST(MessageLoop, PostedMessagesArriveInOrderFromAnotherThread) {
  RecordingWindow w;
  w.seen.clear();
  std::thread poster([h = w.m_hWnd] {
    for (UINT i = 0; i < 100; ++i) PostMessageW(h, WM_USER + i, 0, 0);
  });
  poster.join();
  ASSERT_TRUE(PumpUntil([&] { return w.seen.size() == 100; }));
  for (UINT i = 0; i < 100; ++i) EXPECT_EQ(w.seen[i], WM_USER + i);
}

TEST(MessageLoop, NestedPumpingFromInsideAHandler) {
  RecordingWindow w;
  w.seen.clear();
  bool nestedSawSecond = false;
  w.onMessage = [&](UINT m) {
    if (m == WM_USER + 1) {
      // A handler waits for a later message by pumping, as the proxy does.
      nestedSawSecond = PumpUntil([&] { return w.seen.back() == WM_USER + 2; }, 2000);
    }
  };
  w.PostMessage(WM_USER + 1);
  w.PostMessage(WM_USER + 2);
  ASSERT_TRUE(PumpUntil([&] { return w.seen.size() >= 2; }));
  EXPECT_TRUE(nestedSawSecond);
  EXPECT_EQ(w.seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
}

TEST(MessageLoop, QuitComesAfterPostedMessagesAndOnlyOnce) {
  RecordingWindow w;
  w.PostMessage(WM_USER + 7);
  PostQuitMessage(3);
  MSG msg;
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_USER + 7);
  EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << "a taken quit message must not come back by itself";
}

TEST(MessageLoop, TimersTickThroughTheQueueAndStopWithTheWindow) {
  auto* w = new RecordingWindow;
  w->SetTimer(1, 10);
  w->SetTimer(2, 15);
  ASSERT_TRUE(PumpUntil([&] {
    int one = 0, two = 0;
    for (WPARAM t : w->timers) (t == 1 ? one : two)++;
    return one >= 3 && two >= 2;
  }));
  HWND h = w->m_hWnd;
  w->DestroyWindow();
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(PostMessageW(h, WM_USER, 0, 0)) << "posting to a destroyed window fails";
  MSG msg;
  EXPECT_FALSE(GetMessageTimeout(&msg, 50)) << "no timer outlives its window";
  delete w;
}

TEST(MessageLoop, DestroyWindowSendsDestroyMessagesAndUnhandledGoToDefault) {
  struct DefaultCounting : RecordingWindow {
    int defaults = 0;
    LRESULT DefWindowProc(UINT, WPARAM, LPARAM) override {
      ++defaults;
      return 0;
    }
  } w;
  w.handleAll = false;
  w.seen.clear();
  w.PostMessage(WM_USER + 3);
  ASSERT_TRUE(PumpUntil([&] { return !w.seen.empty(); }));
  EXPECT_EQ(w.defaults, 1);
  w.DestroyWindow();
  EXPECT_EQ(w.seen, (std::vector<UINT>{WM_USER + 3, WM_DESTROY, WM_NCDESTROY}));
  Drain();
}

TEST(Events, AutoResetEventReleasesOneWaitAndResets) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, L"kx-test");
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  SetEvent(e);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "auto-reset";
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    WaitForSingleObject(e, INFINITE);
    released = true;
  });
  SetEvent(e);
  waiter.join();
  EXPECT_TRUE(released);
  CloseHandle(e);
}

TEST(Events, TwoEventsOfTheSameNameAreIndependent) {
  // Names are kept for the record only: two hosts never share a ready event.
  HANDLE a = CreateEventW(nullptr, FALSE, FALSE, L"kpnaAAA1");
  HANDLE b = CreateEventW(nullptr, FALSE, FALSE, L"kpnaAAA1");
  SetEvent(a);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
}

}  // namespace
