#include "control/win32/HostCheck.h"

#include <mshtml.h>
#include <ole2.h>

#include <string>

#include "platform/ComPtr.h"

std::wstring SiteDocumentAddress(IUnknown* site) {
  if (!site) return {};
  ComPtr<IOleClientSite> client;
  if (FAILED(site->QueryInterface(IID_IOleClientSite, reinterpret_cast<void**>(&client))) || !client) return {};
  // The document itself, as the browser's sites give it.
  ComPtr<IOleContainer> container;
  if (SUCCEEDED(client->GetContainer(&container)) && container) {
    ComPtr<IHTMLDocument2> document;
    if (SUCCEEDED(container->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(&document))) && document) {
      BSTR url = nullptr;
      std::wstring address;
      if (SUCCEEDED(document->get_URL(&url)) && url) address.assign(url, ::SysStringLen(url));
      ::SysFreeString(url);
      return address;
    }
  }
  // Else the moniker of the container (the document's address).
  ComPtr<IMoniker> moniker;
  if (FAILED(client->GetMoniker(OLEGETMONIKER_ONLYIFTHERE, OLEWHICHMK_CONTAINER, &moniker)) || !moniker) return {};
  ComPtr<IBindCtx> bind;
  if (FAILED(::CreateBindCtx(0, &bind)) || !bind) return {};
  LPOLESTR name = nullptr;
  std::wstring address;
  if (SUCCEEDED(moniker->GetDisplayName(bind, nullptr, &name)) && name) address = name;
  ::CoTaskMemFree(name);
  return address;
}
