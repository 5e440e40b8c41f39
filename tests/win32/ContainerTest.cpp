// The OLE container over the real WebBrowser control: created by class id,
// sited and activated in place in a hidden window, Navigate2 accepted.
#include <gtest/gtest.h>

#include "platform/AxHost.h"
#include "platform/ComPtr.h"
#include "platform/WebBrowserApi.h"

namespace {

class HostWindow : public CAxWindowT {
 public:
  BOOL ProcessWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT& result, DWORD) override {
    if (message != WM_APP) return FALSE;
    ++appMessages;
    result = 0;
    return TRUE;
  }
  int appMessages = 0;
};

TEST(Container, HostsTheWebBrowserInPlaceAndAcceptsNavigation) {
  ASSERT_TRUE(SUCCEEDED(::OleInitialize(nullptr)));
  {
    HostWindow window;
    ASSERT_NE(window.Create(nullptr, RECT{0, 0, 500, 500}, nullptr, WS_POPUP | WS_BORDER | WS_SYSMENU), nullptr);
    ASSERT_EQ(window.CreateControl(StringFromCLSID(CLSID_WebBrowser)), S_OK);

    ComPtr<IWebBrowser2> browser;
    ASSERT_EQ(window.QueryControl(IID_IWebBrowser2, reinterpret_cast<void**>(&browser)), S_OK);
    EXPECT_EQ(browser->put_Silent(VARIANT_TRUE), S_OK);
    // In place: the control made a window of its own inside ours.
    EXPECT_NE(::GetWindow(window.m_hWnd, GW_CHILD), nullptr);

    Variant url = Variant::FromString(L"C:\\windows\\temp\\kestrix-container-test.htm");
    EXPECT_EQ(browser->Navigate2(&url, nullptr, nullptr, nullptr, nullptr), S_OK);

    // Messages the map handles reach it; the rest go on to the hosting procedure.
    ::PostMessageW(window.m_hWnd, WM_APP, 0, 0);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    EXPECT_EQ(window.appMessages, 1);

    browser = nullptr;
    EXPECT_TRUE(window.DestroyWindow());
    EXPECT_EQ(window.m_hWnd, nullptr);
    // The control went with the window.
    ComPtr<IWebBrowser2> gone;
    EXPECT_NE(window.QueryControl(IID_IWebBrowser2, reinterpret_cast<void**>(&gone)), S_OK);
  }
  ::OleUninitialize();
}

TEST(Container, AnUnknownClassIsReportedAndNothingIsHosted) {
  ASSERT_TRUE(SUCCEEDED(::OleInitialize(nullptr)));
  {
    HostWindow window;
    ASSERT_NE(window.Create(nullptr, RECT{0, 0, 10, 10}, nullptr, WS_POPUP), nullptr);
    EXPECT_EQ(window.CreateControl("{00000000-1111-2222-3333-444444444444}"), REGDB_E_CLASSNOTREG);
    IUnknown* control = nullptr;
    EXPECT_NE(window.QueryControl(IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
    EXPECT_EQ(control, nullptr);
  }
  ::OleUninitialize();
}

}  // namespace
