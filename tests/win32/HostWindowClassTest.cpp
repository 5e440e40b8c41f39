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
