// The control inside a program named like our host (kestrix-host-*.exe):
// where it agrees to work, how it refuses elsewhere, and what a member not
// built on Windows answers.
#include <gtest/gtest.h>
#include <objsafe.h>

#include <algorithm>

#include "ControlHarness.h"
#include "control/members/AutomationToJson.h"
#include "control/win32/HostCheck.h"
#include "control/win32/WideText.h"

namespace {

TEST(HostPageAddress, OnlyThePageFileInTheTemporaryFolderPasses) {
  const std::wstring temp = L"C:\\users\\anna k\\Temp\\";
  for (const wchar_t* good : {L"file:///C:/users/anna%20k/Temp/123451.htm", L"file://C:\\users\\anna k\\Temp\\1234512.htm",
                              L"FILE:///c:/USERS/anna k/temp/123457.HTM",
                              L"file:///C:/users/anna k/Temp/.123451.htm.a1b2.tmp",
                              L"file:///C:/users/anna%20k/Temp/%2e123451.htm.0a1b2c3d11110001.tmp"})
    EXPECT_TRUE(IsBootstrapPageAddress(good, temp, 12345)) << Narrow(good);
  // The folder's characters as the page's address spells them: raw, or UTF-8 escapes.
  const std::wstring rene = L"C:\\users\\ren\u00e9\\Temp";
  for (const wchar_t* good : {L"file:///C:/users/ren\u00e9/Temp/123451.htm", L"file:///C:/users/ren%C3%A9/Temp/123451.htm"})
    EXPECT_TRUE(IsBootstrapPageAddress(good, rene, 12345)) << Narrow(good);
  EXPECT_FALSE(IsBootstrapPageAddress(L"file:///C:/users/ren%E9/Temp/123451.htm", rene, 12345));  // not UTF-8
  // What follows a NUL or another control character is no part of the path
  // the system sees: it must not hide where the address leads.
  const std::wstring hidden = std::wstring(L"file:///C:/users/anna k/Temp/123451.htm") + L'\0' + L"/../../x/y.htm";
  EXPECT_FALSE(IsBootstrapPageAddress(hidden, temp, 12345));
  for (const wchar_t* bad : {
           L"https://evil.example/123451.htm",           // a web page
           L"file:///C:/users/anna k/123451.htm",        // another folder
           L"file:///C:/users/anna k/Temp/sub/123451.htm",
           L"file:///C:/users/anna k/Temp/../123451.htm",  // steps out of the folder
           L"file:///C:/users/anna k/Temp/999991.htm",   // another program's page
           L"file:///C:/users/anna k/Temp/12345.htm",    // no counter
           L"file:///C:/users/anna k/Temp/12345\uff11.htm",  // a digit, but not one the host writes
           L"file:///C:/users/anna k/Temp/123451.html",
           L"file:///C:/users/anna k/Temp/123451.htm.x.y.tmp",
           L"file:///C:/users/anna k/Temp/123451.htm.a1b2.tmp",  // the host writes ".<page>.<suffix>.tmp"
           L"file:///C:/users/anna k/Temp/.123451.htm.x:s.tmp",  // a stream of another file
           L"file:///C:/users/anna k/Temp/.123451.htm.x%3as.tmp",
           L"file:///C:/users/anna k/Temp/123451.htm\t",
           L"file:///C:123451.htm",  // relative to the current folder of drive C:
           L"file:///C:/users/other/Temp/123451.htm",  // another user's folder
           L"file://localhost/C:/users/anna k/Temp/123451.htm",
           L"file:////?/C:/users/anna k/Temp/123451.htm",
           L"file:///C:/users/anna k/Temp/sub/%2e%2e/%2e%2e/123451.htm",
           L"file://server/share/Temp/123451.htm",
           L"file:///C:/users/anna k/Temp%2f123451.htm",  // an escaped separator
           L"file:///C:/users/anna k/Temp%C0%AF123451.htm",  // the same, overlong
           L"file:///C:/users/anna k/Temp/123451.htm%C0%80/../../x.htm",
           L"file:///C:/users/anna k/Temp/123451.htm?x=1",
       })
    EXPECT_FALSE(IsBootstrapPageAddress(bad, temp, 12345)) << Narrow(bad);
}

TEST(HostProgram, OnlyOurHostsNamePasses) {
  EXPECT_TRUE(IsHostProgramPath(L"C:\\Program Files\\Kestrix\\kestrix-host.exe"));
  EXPECT_TRUE(IsHostProgramPath(L"Z:\\build\\KESTRIX-HOST-standin.EXE"));
  EXPECT_FALSE(IsHostProgramPath(L"C:\\Program Files\\Internet Explorer\\iexplore.exe"));
  EXPECT_FALSE(IsHostProgramPath(L"C:\\kestrix-host\\iexplore.exe"));
  EXPECT_FALSE(IsHostProgramPath(L"C:\\x\\kestrix-host.exe.bat"));
}

class HostControl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_HRESULT_SUCCEEDED(CallDllInstall(true, L"machine")); }
  static void TearDownTestSuite() { CallDllInstall(false, L"machine"); }
  void SetUp() override {
    ::CoInitialize(nullptr);
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(CLSID_KestrixPrinter, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_IPrinterControl, reinterpret_cast<void**>(&m_control)));
  }
  void TearDown() override {
    m_control.Release();
    ::CoUninitialize();
  }
  HRESULT SiteAt(const std::wstring& address) {
    ComPtr<IObjectWithSite> withSite;
    HRESULT hr = m_control->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite));
    return FAILED(hr) ? hr : withSite->SetSite(MakeSiteAt(address));
  }
  HRESULT MakeSafe() {
    ComPtr<IObjectSafety> safety;
    HRESULT hr = m_control->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety));
    const DWORD options = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    return FAILED(hr) ? hr : safety->SetInterfaceSafetyOptions(IID_IDispatch, options, options);
  }
  ComPtr<IPrinterControl> m_control;
};

TEST_F(HostControl, RefusesEverythingUntilSitedInTheBootstrapPage) {
  BSTR version = nullptr;
  EXPECT_EQ(m_control->getVersion(&version), E_ACCESSDENIED);
  EXPECT_EQ(version, nullptr);
  // The refusal says why, to a script as to the caller.
  IErrorInfo* error = nullptr;
  ASSERT_EQ(::GetErrorInfo(0, &error), S_OK);
  BSTR description = nullptr;
  error->GetDescription(&description);
  EXPECT_NE(BstrText(description).find("only inside the Kestrix host's own page"), std::string::npos);
  ::SysFreeString(description);
  error->Release();
  // In our process, safety is granted before the site is known...
  EXPECT_HRESULT_SUCCEEDED(MakeSafe());

  for (const std::wstring& elsewhere : {std::wstring(L"https://evil.example/print.htm"),
                                        std::wstring(L"file:///C:/windows/temp/12341.htm")}) {
    ASSERT_HRESULT_SUCCEEDED(SiteAt(elsewhere));
    EXPECT_EQ(m_control->getVersion(&version), E_ACCESSDENIED);
    VARIANT printers;
    ::VariantInit(&printers);
    EXPECT_EQ(m_control->getPrinters(&printers), E_ACCESSDENIED);
    EXPECT_EQ(printers.vt, VT_EMPTY);
    // ...but not in a page that is not the host's.
    EXPECT_TRUE(FAILED(MakeSafe()));
    DWORD cookie = 0;
    EXPECT_EQ(Advise(m_control, EventRecorder::Create().Get(), &cookie), E_ACCESSDENIED);
    // Through IDispatch too, as a page's script calls.
    OLECHAR* name = const_cast<OLECHAR*>(L"getVersion");
    DISPID id = 0;
    ASSERT_HRESULT_SUCCEEDED(m_control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    ::VariantInit(&result);
    EXPECT_TRUE(FAILED(m_control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr, nullptr)));
    EXPECT_NE(result.vt == VT_BSTR ? BstrText(result.bstrVal) : std::string(), KESTRIX_VERSION);
    ::VariantClear(&result);
  }
}

TEST_F(HostControl, WorksInTheBootstrapPageAndStopsWhenMovedElsewhere) {
  ASSERT_HRESULT_SUCCEEDED(SiteAt(BootstrapPageAddressOfThisProgram()));
  EXPECT_HRESULT_SUCCEEDED(MakeSafe());
  BSTR version = nullptr;
  ASSERT_EQ(m_control->getVersion(&version), S_OK);
  EXPECT_EQ(BstrText(version), KESTRIX_VERSION);
  ::SysFreeString(version);
  // The page's script reaches the same members by name (the type library).
  OLECHAR* name = const_cast<OLECHAR*>(L"isImplemented");
  DISPID id = 0;
  ASSERT_HRESULT_SUCCEEDED(m_control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
  for (const auto& [member, built] :
       {std::pair{L"getPrinters", true}, std::pair{L"readString", true}, std::pair{L"printToPDF", false}}) {
    VARIANT arg;
    arg.vt = VT_BSTR;
    arg.bstrVal = ::SysAllocString(member);
    DISPPARAMS params{&arg, nullptr, 1, 0};
    VARIANT result;
    ::VariantInit(&result);
    ASSERT_HRESULT_SUCCEEDED(m_control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                                               nullptr, nullptr));
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal != 0, built) << Narrow(member);
    ::VariantClear(&arg);
  }

  ASSERT_HRESULT_SUCCEEDED(SiteAt(L"https://evil.example/"));
  EXPECT_EQ(m_control->getVersion(&version), E_ACCESSDENIED);
}

TEST_F(HostControl, AMemberNotBuiltRefusesAfterTheCallWithItsOwnError) {
  ASSERT_HRESULT_SUCCEEDED(SiteAt(BootstrapPageAddressOfThisProgram()));
  auto sink = EventRecorder::Create();
  DWORD cookie = 0;
  ASSERT_HRESULT_SUCCEEDED(Advise(m_control, sink.Get(), &cookie));
  BOOL written = TRUE;
  ASSERT_HRESULT_SUCCEEDED(m_control->printToPDF(nullptr, nullptr, &written));
  EXPECT_FALSE(written);
  EXPECT_TRUE(sink->events.empty());  // never inside the call
  ASSERT_TRUE(PumpUntil([&] { return sink->events.size() >= 2; }, 10000));
  ASSERT_EQ(sink->events.size(), 2u);
  EXPECT_EQ(sink->events[0]["event"], "message");
  EXPECT_EQ(sink->events[0]["object"]["code"], "notBuilt");
  EXPECT_EQ(sink->events[1]["event"], "done");
  EXPECT_EQ(sink->events[1]["status"], "error");
  EXPECT_EQ(sink->events[1]["object"]["type"], "printToPDF");
  EXPECT_NE(sink->events[1]["object"]["message"].asString().find("not built"), std::string::npos);
}

TEST_F(HostControl, SystemMembersAnswerAsOnLinux) {
  ASSERT_HRESULT_SUCCEEDED(SiteAt(BootstrapPageAddressOfThisProgram()));
  auto sink = EventRecorder::Create();
  DWORD cookie = 0;
  ASSERT_HRESULT_SUCCEEDED(Advise(m_control, sink.Get(), &cookie));
  VARIANT fonts;
  ::VariantInit(&fonts);
  ASSERT_HRESULT_SUCCEEDED(m_control->getFonts(&fonts));
  const Json::Value families = VariantToJsonValue(fonts);
  ::VariantClear(&fonts);
  ASSERT_TRUE(families.isArray());
  std::vector<std::string> names;
  for (const auto& family : families) names.push_back(family.asString());
  // Wine lists the fonts of the machine it runs on (fontconfig brings some).
  EXPECT_FALSE(names.empty());
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
  // What a job here can carry: the images it draws, not yet PDF or text.
  for (const auto& [type, printable] :
       {std::pair{L"label.PNG", true}, std::pair{L"image/bmp", true}, std::pair{L"scan.tif", true},
        std::pair{L"invoice.pdf", false}, std::pair{L"notes.txt", false}, std::pair{L"application/zip", false}}) {
    BSTR text = ::SysAllocString(type);
    BOOL answer = !printable;
    EXPECT_HRESULT_SUCCEEDED(m_control->isPrintableFileType(text, &answer));
    EXPECT_EQ(answer != FALSE, printable) << Narrow(type);
    ::SysFreeString(text);
  }
  // Addresses against the given base, else the page's; "" with neither.
  auto absolute = [&](const wchar_t* url, const wchar_t* base) {
    VARIANT given;
    given.vt = VT_BSTR;
    given.bstrVal = ::SysAllocString(base);
    BSTR text = ::SysAllocString(url), out = nullptr;
    EXPECT_HRESULT_SUCCEEDED(m_control->getAbsoluteURL(text, &given, &out));
    const std::string result = out ? BstrText(out) : std::string();
    ::SysFreeString(out);
    ::SysFreeString(text);
    ::VariantClear(&given);
    return result;
  };
  EXPECT_EQ(absolute(L"print.css", L""), "");
  EXPECT_EQ(absolute(L"../img/logo.png", L"https://shop.test/orders/list.html?x=1"), "https://shop.test/img/logo.png");
  BSTR page = ::SysAllocString(L"http://intranet.test/app/page.html");
  ASSERT_HRESULT_SUCCEEDED(m_control->setPageURL(page));
  ::SysFreeString(page);
  EXPECT_EQ(absolute(L"print.css", L""), "http://intranet.test/app/print.css");
  EXPECT_EQ(absolute(L"https://other.test/a", L""), "https://other.test/a");
  ASSERT_HRESULT_SUCCEEDED(m_control->setHostCode(20));
  ASSERT_HRESULT_SUCCEEDED(m_control->about());
  ASSERT_TRUE(PumpUntil([&] { return !sink->events.empty(); }, 10000));
  ASSERT_EQ(sink->events.size(), 1u);
  const Json::Value& about = sink->events[0]["object"];
  EXPECT_EQ(about["type"], "about");
  EXPECT_EQ(about["name"], "Kestrix printing control for Windows");
  EXPECT_EQ(about["version"], KESTRIX_VERSION);
  EXPECT_EQ(about["hostCode"], 20);
}

}  // namespace
