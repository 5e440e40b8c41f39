// The host window is a real window of the class the host registers.
#include <gtest/gtest.h>

#include "browser/KPAxWindow.h"

TEST(HostWindowClass, IsTabBrowserTabPageWindow) {
  KPAxWindow window;
  ASSERT_NE(window.Create(nullptr, RECT{0, 0, 500, 500}, nullptr, WS_POPUP | WS_BORDER | WS_SYSMENU), nullptr);
  wchar_t name[64] = {};
  ASSERT_GT(::GetClassNameW(window.m_hWnd, name, 64), 0);
  EXPECT_STREQ(name, L"TabBrowser_TabPageWindow");
  EXPECT_FALSE(::IsWindowVisible(window.m_hWnd));
}

// Windows destroys a window with its owner, or another process may destroy
// it: the host then ends through its one way out, as on "exit", instead of
// running on without its window and keepalive.
TEST(HostWindowClass, AWindowDestroyedFromOutsideEndsTheHost) {
  KPAxWindow window;
  ASSERT_NE(window.Create(nullptr, RECT{0, 0, 500, 500}, nullptr, WS_POPUP | WS_BORDER | WS_SYSMENU), nullptr);
  ASSERT_TRUE(::DestroyWindow(window.m_hWnd));
  EXPECT_TRUE(window.IsStopping());
  MSG msg;
  bool quit = false;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) quit = quit || msg.message == WM_QUIT;
  EXPECT_TRUE(quit);
}
