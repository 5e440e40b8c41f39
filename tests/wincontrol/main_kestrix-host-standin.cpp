// kestrix-host-standin.exe: the Windows host with the browser stand-in
// registered, through COM, as the WebBrowser class (wine has no HTML
// engine), and nothing else: the page's OBJECT element gets the printing
// control the machine has installed, kestrix-control.dll, through COM.
//
// KESTRIX_STANDIN_PAGE_FOLDER (tests): the stand-in reads each page from a
// copy in that folder, so the host's page is loaded from another address.
#include <cstdlib>

#include "host/HostMain.h"
#include "platform/CodePage.h"
#include "platform/webbrowser/WebBrowser.h"

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

// The page copied into folder under its own name; "" when it cannot be.
std::string CopyInto(const std::string& folder, const std::string& path) {
  const std::string copy = folder + "\\" + path.substr(path.find_last_of("\\/") + 1);
  if (!::CopyFileW(AnsiToWide(path).c_str(), AnsiToWide(copy).c_str(), FALSE)) return {};
  return copy;
}

}  // namespace

int wmain(int argc, wchar_t**) {
  InitThreadCodePage();
  if (const char* folder = std::getenv("KESTRIX_STANDIN_PAGE_FOLDER"); folder && *folder)
    SetPageLocator([dir = std::string(folder)](const std::string& path) { return CopyInto(dir, path); });
  // OLE first: a class object is registered in an initialised apartment.
  // The host initialises it again (counted) and uninitialises its own.
  ::OleInitialize(nullptr);
  static BrowserFactory factory;
  DWORD cookie = 0;
  if (FAILED(::CoRegisterClassObject(CLSID_WebBrowser, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie)))
    return 2;
  int status = HostMain(argc);
  ::CoRevokeClassObject(cookie);
  ::OleUninitialize();
  return status;
}
