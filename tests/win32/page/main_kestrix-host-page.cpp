// kestrix-host-page.exe: the Windows host with the browser stand-in
// registered, through COM, as the WebBrowser class (so the host's own OLE
// container creates, sites and activates it) and the fake control registered
// with the stand-in (its OBJECT elements create controls from there).
#include "host/HostMain.h"
#include "platform/CodePage.h"
#include "platform/webbrowser/WebBrowser.h"
#include "support/fake/FakeControl.h"

namespace {

class BrowserFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  // Lives as long as the program.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    IWebBrowser2* browser = nullptr;
    HRESULT hr = CreateWebBrowser(&browser);
    if (FAILED(hr)) return hr;
    hr = browser->QueryInterface(riid, ppv);
    browser->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

int wmain(int argc, wchar_t**) {
  InitThreadCodePage();
  // OLE first: a class object is registered in an initialised apartment.
  // The host initialises it again (counted) and uninitialises its own.
  ::OleInitialize(nullptr);
  static BrowserFactory factory;
  DWORD cookie = 0;
  if (FAILED(::CoRegisterClassObject(CLSID_WebBrowser, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie)))
    return 2;
  // KX_TEST_NO_CONTROL: the page loads but its control class is not there,
  // as on a machine where the printing control is not installed.
  if (!::GetEnvironmentVariableW(L"KX_TEST_NO_CONTROL", nullptr, 0)) RegisterFakeControl();
  int status = HostMain(argc);
  ::CoRevokeClassObject(cookie);
  ::OleUninitialize();
  return status;
}
