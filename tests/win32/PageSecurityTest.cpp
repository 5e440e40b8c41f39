// What the host's browser site lets pages do, asked through the security
// manager's interface (wine's browser loads no document to try it on), and
// that the site hands that manager out. The program carries our host's name
// (kestrix-host*.exe): only there is a page the host's bootstrap page.
// The new-window manager's declaration (the browser of XP SP2 and later).
#define _WIN32_IE 0x0603
#include <gtest/gtest.h>

#include <downloadmgr.h>
#include <mshtmhst.h>
#include <shobjidl.h>

#include <string>
#include <vector>

#include "platform/AxHost.h"
#include "platform/ComPtr.h"
#include "platform/PageSecurity.h"
#include "platform/WebBrowserApi.h"

namespace {

constexpr CLSID kControl = {0x5e0a7c21, 0x9b3d, 0x4f18, {0xa6, 0xc4, 0x2d, 0x91, 0xe0, 0x7b, 0x3f, 0x58}};
constexpr CLSID kOtherControl = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

std::wstring TempFolder() {
  wchar_t temp[MAX_PATH + 1];
  DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
  return std::wstring(temp, n);
}

std::wstring FileAddress(std::wstring path) {
  for (wchar_t& c : path)
    if (c == L'\\') c = L'/';
  return L"file:///" + path;
}

// The page as the host writes it: named after the creation time of the program.
std::wstring BootstrapPage() {
  wchar_t program[MAX_PATH];
  ::GetModuleFileNameW(nullptr, program, MAX_PATH);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ::GetFileAttributesExW(program, GetFileExInfoStandard, &data);
  return FileAddress(TempFolder() + std::to_wstring(data.ftCreationTime.dwLowDateTime) + L"7.htm");
}

// Everything a page could be shown that is not the bootstrap page.
std::vector<std::wstring> OtherContent() {
  return {FileAddress(TempFolder() + L"job-1.htm"), BootstrapPage() + L"?x", L"file:///C:/windows/temp/other.htm",
          L"http://example.com/print.htm", L"about:blank", L"javascript:1", L"res://ieframe.dll/navcancl.htm",
          L"mk:@MSITStore:" + TempFolder() + L"a.chm::/" + BootstrapPage().substr(8), L"data:text/html,x"};
}

struct Decision {
  HRESULT hr;
  DWORD policy;
};

Decision Ask(IInternetSecurityManager* manager, const std::wstring& url, DWORD action, const CLSID* cls = nullptr) {
  DWORD policy = 0xdeadbeef;
  CLSID context = cls ? *cls : CLSID{};
  HRESULT hr = manager->ProcessUrlAction(url.c_str(), action, reinterpret_cast<BYTE*>(&policy), sizeof policy,
                                         cls ? reinterpret_cast<BYTE*>(&context) : nullptr, cls ? sizeof context : 0,
                                         0, 0);
  return {hr, policy};
}

bool Allowed(const Decision& d) { return d.hr == S_OK && d.policy == URLPOLICY_ALLOW; }
bool Refused(const Decision& d) { return d.hr == S_FALSE && d.policy == URLPOLICY_DISALLOW; }

// GUID_CUSTOM_CONFIRMOBJECTSAFETY: is the object safe to script.
DWORD ConfirmSafety(IInternetSecurityManager* manager, const std::wstring& url, const CLSID& cls) {
  static constexpr GUID kConfirm = {0x10200490, 0xfa38, 0x11d0, {0xac, 0x0e, 0x00, 0xa0, 0xc9, 0x0f, 0xff, 0xc0}};
  CONFIRMSAFETY safety{cls, nullptr, 0};
  BYTE* policy = nullptr;
  DWORD size = 0;
  if (FAILED(manager->QueryCustomPolicy(url.c_str(), kConfirm, &policy, &size, reinterpret_cast<BYTE*>(&safety),
                                        sizeof safety, 0)) ||
      size != sizeof(DWORD))
    return 0xdeadbeef;
  DWORD value = *reinterpret_cast<DWORD*>(policy);
  ::CoTaskMemFree(policy);
  return value;
}

class PageSecurity : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_HRESULT_SUCCEEDED(::CoInitialize(nullptr)); }
  void TearDown() override {
    manager.Release();
    ::CoUninitialize();
  }
  ComPtr<IInternetSecurityManager> manager = MakePageSecurityManager(kControl);
};

TEST_F(PageSecurity, TheBootstrapPageCreatesAndScriptsItsControlAndNoOther) {
  const std::wstring page = BootstrapPage();
  EXPECT_TRUE(Allowed(Ask(manager, page, URLACTION_ACTIVEX_RUN, &kControl)));
  EXPECT_TRUE(Allowed(Ask(manager, page, URLACTION_SCRIPT_SAFE_ACTIVEX)));
  EXPECT_TRUE(Allowed(Ask(manager, page, URLACTION_SCRIPT_SAFE_ACTIVEX, &kControl)));
  EXPECT_EQ(ConfirmSafety(manager, page, kControl), static_cast<DWORD>(URLPOLICY_ALLOW));
  // Treated as trusted: the restricting action is not taken.
  Decision untrusted = Ask(manager, page, URLACTION_ACTIVEX_TREATASUNTRUSTED, &kControl);
  EXPECT_EQ(untrusted.policy, static_cast<DWORD>(URLPOLICY_DISALLOW));

  EXPECT_TRUE(Refused(Ask(manager, page, URLACTION_ACTIVEX_RUN, &kOtherControl)));
  EXPECT_TRUE(Refused(Ask(manager, page, URLACTION_ACTIVEX_OVERRIDE_SCRIPT_SAFETY, &kOtherControl)));
  EXPECT_EQ(ConfirmSafety(manager, page, kOtherControl), static_cast<DWORD>(URLPOLICY_DISALLOW));
  // A plug-in: an object that names no class.
  EXPECT_TRUE(Refused(Ask(manager, page, URLACTION_ACTIVEX_RUN)));
  // The control is installed, never downloaded.
  EXPECT_TRUE(Refused(Ask(manager, page, URLACTION_DOWNLOAD_SIGNED_ACTIVEX, &kControl)));
  EXPECT_TRUE(Refused(Ask(manager, page, URLACTION_SHELL_FILE_DOWNLOAD)));
  // The rest is the browser's own decision for its local page.
  EXPECT_EQ(Ask(manager, page, URLACTION_SCRIPT_RUN).hr, INET_E_DEFAULT_ACTION);

  // A browser given no class creates none, not even in the bootstrap page.
  ComPtr<IInternetSecurityManager> none = MakePageSecurityManager(GUID_NULL);
  EXPECT_TRUE(Refused(Ask(none, page, URLACTION_ACTIVEX_RUN, &GUID_NULL)));
  EXPECT_TRUE(Refused(Ask(none, page, URLACTION_SCRIPT_SAFE_ACTIVEX)));
}

TEST_F(PageSecurity, NoOtherContentCreatesOrScriptsAnyControl) {
  for (const std::wstring& url : OtherContent()) {
    SCOPED_TRACE(std::string(url.begin(), url.end()));
    EXPECT_TRUE(Refused(Ask(manager, url, URLACTION_ACTIVEX_RUN, &kControl)));
    EXPECT_TRUE(Refused(Ask(manager, url, URLACTION_SCRIPT_SAFE_ACTIVEX)));
    EXPECT_TRUE(Refused(Ask(manager, url, URLACTION_ACTIVEX_OVERRIDE_OBJECT_SAFETY, &kControl)));
    EXPECT_EQ(ConfirmSafety(manager, url, kControl), static_cast<DWORD>(URLPOLICY_DISALLOW));
    EXPECT_EQ(Ask(manager, url, URLACTION_ACTIVEX_TREATASUNTRUSTED, &kControl).policy,
              static_cast<DWORD>(URLPOLICY_ALLOW));
  }
}

TEST_F(PageSecurity, OnlyTheBootstrapPageHasLocalMachineRights) {
  DWORD zone = 99;
  ASSERT_HRESULT_SUCCEEDED(manager->MapUrlToZone(BootstrapPage().c_str(), &zone, 0));
  EXPECT_EQ(zone, static_cast<DWORD>(URLZONE_LOCAL_MACHINE));

  ComPtr<IInternetSecurityManager> standard;
  ASSERT_HRESULT_SUCCEEDED(::CoInternetCreateSecurityManager(nullptr, &standard, 0));
  for (const std::wstring& url : OtherContent()) {
    SCOPED_TRACE(std::string(url.begin(), url.end()));
    ASSERT_HRESULT_SUCCEEDED(manager->MapUrlToZone(url.c_str(), &zone, 0));
    EXPECT_EQ(zone, static_cast<DWORD>(URLZONE_INTERNET));
    // Wine's defaults: the local machine zone lets a page read across
    // domains and submit forms; the Internet zone refuses the one and asks
    // about the other. Nothing asks the user here.
    EXPECT_TRUE(Refused(Ask(manager, url, URLACTION_CROSS_DOMAIN_DATA)));
    EXPECT_TRUE(Refused(Ask(manager, url, URLACTION_HTML_SUBMIT_FORMS)));
    EXPECT_TRUE(Allowed(Ask(manager, url, URLACTION_SCRIPT_RUN)));
    // A custom policy too is the Internet zone's, never the browser's answer for a file.
    BYTE* custom = nullptr;
    DWORD customSize = 0;
    HRESULT hr = manager->QueryCustomPolicy(url.c_str(), kOtherControl, &custom, &customSize, nullptr, 0, 0);
    EXPECT_NE(hr, INET_E_DEFAULT_ACTION);
    if (SUCCEEDED(hr)) ::CoTaskMemFree(custom);
  }
  EXPECT_EQ(Ask(manager, BootstrapPage(), URLACTION_CROSS_DOMAIN_DATA).hr, INET_E_DEFAULT_ACTION);

  // A job's file is not the same origin as the local pages.
  const std::wstring job = OtherContent()[0];
  BYTE ours[512], theirs[512];
  DWORD oursSize = sizeof ours, theirsSize = sizeof theirs;
  ASSERT_HRESULT_SUCCEEDED(manager->GetSecurityId(job.c_str(), ours, &oursSize, 0));
  ASSERT_HRESULT_SUCCEEDED(standard->GetSecurityId(job.c_str(), theirs, &theirsSize, 0));
  ASSERT_EQ(oursSize, theirsSize);
  ASSERT_GE(oursSize, sizeof(DWORD));
  EXPECT_EQ(*reinterpret_cast<DWORD*>(theirs + theirsSize - 4), static_cast<DWORD>(URLZONE_LOCAL_MACHINE));
  EXPECT_EQ(*reinterpret_cast<DWORD*>(ours + oursSize - 4), static_cast<DWORD>(URLZONE_INTERNET));
  EXPECT_EQ(std::string(ours, ours + oursSize - 4), std::string(theirs, theirs + theirsSize - 4));
}

class SiteWindow : public CAxWindowT {
 public:
  BOOL ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&, DWORD) override { return FALSE; }
};

TEST(BrowserSite, HandsTheBrowserItsSecurityManagerAndShowsNothing) {
  ASSERT_HRESULT_SUCCEEDED(::OleInitialize(nullptr));
  for (bool withControl : {true, false}) {
    SiteWindow window;
    ASSERT_NE(window.Create(nullptr, RECT{0, 0, 100, 100}, nullptr, WS_POPUP), nullptr);
    if (withControl) window.AllowPageControl(kControl);
    ASSERT_EQ(window.CreateControl(StringFromCLSID(CLSID_WebBrowser)), S_OK);
    ComPtr<IOleObject> browser;
    ASSERT_EQ(window.QueryControl(IID_IOleObject, reinterpret_cast<void**>(&browser)), S_OK);
    ComPtr<IOleClientSite> site;
    ASSERT_HRESULT_SUCCEEDED(browser->GetClientSite(&site));
    ASSERT_TRUE(site);
    ComPtr<IServiceProvider> services;
    ASSERT_HRESULT_SUCCEEDED(site->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&services)));

    ComPtr<IInternetSecurityManager> manager;
    ASSERT_HRESULT_SUCCEEDED(services->QueryService(SID_SInternetSecurityManager, IID_IInternetSecurityManager,
                                                    reinterpret_cast<void**>(&manager)));
    // The window's class, and only in the bootstrap page.
    EXPECT_EQ(Allowed(Ask(manager, BootstrapPage(), URLACTION_ACTIVEX_RUN, &kControl)), withControl);
    EXPECT_TRUE(Refused(Ask(manager, OtherContent()[0], URLACTION_ACTIVEX_RUN, &kControl)));

    // Downloads are taken and nothing is asked or fetched; no window opens.
    ComPtr<IDownloadManager> downloads;
    ASSERT_HRESULT_SUCCEEDED(services->QueryService(__uuidof(IDownloadManager), __uuidof(IDownloadManager),
                                                    reinterpret_cast<void**>(&downloads)));
    EXPECT_EQ(downloads->Download(nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, CP_UTF8), S_OK);
    ComPtr<INewWindowManager> windows;
    ASSERT_HRESULT_SUCCEEDED(services->QueryService(__uuidof(INewWindowManager), __uuidof(INewWindowManager),
                                                    reinterpret_cast<void**>(&windows)));
    EXPECT_EQ(windows->EvaluateNewWindow(L"http://example.com/", L"", L"", L"", FALSE, 0, 0), S_FALSE);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(services->QueryService(IID_IWebBrowser2, IID_IUnknown, reinterpret_cast<void**>(&unknown)),
              E_NOINTERFACE);

    // A script's alert() shows nothing, confirm() is false.
    ComPtr<IDocHostShowUI> showUi;
    ASSERT_HRESULT_SUCCEEDED(site->QueryInterface(__uuidof(IDocHostShowUI), reinterpret_cast<void**>(&showUi)));
    LRESULT answer = IDOK;
    wchar_t text[] = L"Print?";
    EXPECT_EQ(showUi->ShowMessage(nullptr, text, text, MB_OKCANCEL, nullptr, 0, &answer), S_OK);
    EXPECT_EQ(answer, IDCANCEL);

    site.Release();
    browser.Release();
    EXPECT_TRUE(window.DestroyWindow());
  }
  ::OleUninitialize();
}

}  // namespace
