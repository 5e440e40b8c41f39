#include "platform/InstalledControls.h"

#include <objsafe.h>
#include <shlwapi.h>
#include <urlmon.h>

#include "platform/CodePage.h"
#include "platform/ComPtr.h"

namespace {

// What the page's script may do with the control: call it and hand it data.
constexpr DWORD kScriptSafety = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

// The page's address as its document gives it: the file: address of the
// page's file (the system's own conversion of the full path).
std::wstring PageAddress(const std::string& pagePath) {
  if (pagePath.empty()) return L"about:blank";
  const OleString path = AnsiToWide(pagePath);
  wchar_t full[MAX_PATH * 2];
  DWORD n = ::GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  wchar_t url[MAX_PATH * 6];
  DWORD length = MAX_PATH * 6;
  if (FAILED(::UrlCreateFromPathW(full, url, &length, 0))) return {};
  return std::wstring(url, length);
}

// The control's site in the page: no container document (the stand-in's
// document offers the browser's document interface only in part), the
// container's moniker names the page.
class PageSite final : public IOleClientSite {
 public:
  explicit PageSite(std::wstring address) : m_address(std::move(address)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IOleClientSite) return E_NOINTERFACE;
    *ppv = static_cast<IOleClientSite*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --m_refs;
    if (!left) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD which, IMoniker** moniker) override {
    if (!moniker) return E_POINTER;
    *moniker = nullptr;
    if (which != OLEWHICHMK_CONTAINER) return E_NOTIMPL;
    return ::CreateURLMonikerEx(nullptr, m_address.c_str(), moniker, URL_MK_UNIFORM);
  }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override {
    if (container) *container = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

 private:
  ULONG m_refs = 0;
  std::wstring m_address;
};

}  // namespace

HRESULT CreateInstalledControl(const CLSID& clsid, const std::string& pagePath, IUnknown** control) {
  if (!control) return E_POINTER;
  *control = nullptr;
  const std::wstring address = PageAddress(pagePath);
  if (address.empty()) return E_INVALIDARG;
  ComPtr<IUnknown> instance;
  HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&instance));
  if (FAILED(hr)) return hr;
  if (!instance) return E_FAIL;
  // Safe for scripting first, as the control asks (before it is sited it
  // answers on the process alone); one that is not is never scripted.
  ComPtr<IObjectSafety> safety;
  if (FAILED(instance->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety))) || !safety)
    return E_ACCESSDENIED;
  hr = safety->SetInterfaceSafetyOptions(IID_IDispatch, kScriptSafety, kScriptSafety);
  if (FAILED(hr)) return hr;
  // Then sited: an OLE control through its client site, others through IObjectWithSite.
  ComPtr<IOleClientSite> site(new PageSite(address));
  ComPtr<IOleObject> ole;
  ComPtr<IObjectWithSite> withSite;
  if (SUCCEEDED(instance->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole))) && ole)
    hr = ole->SetClientSite(site.Get());
  else if (SUCCEEDED(instance->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite))) && withSite)
    hr = withSite->SetSite(site.Get());
  if (FAILED(hr)) return hr;
  *control = instance.Detach();
  return S_OK;
}
