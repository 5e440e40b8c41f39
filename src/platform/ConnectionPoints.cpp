// Connection points: the same on both platforms, over the interfaces alone.
#include "platform/Automation.h"

#include "platform/ComPtr.h"

namespace {
HRESULT FindPoint(IUnknown* container, const IID& iid, IConnectionPoint** point) {
  if (!container) return E_INVALIDARG;
  ComPtr<IConnectionPointContainer> cpc;
  HRESULT hr = container->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  if (FAILED(hr)) return hr;
  return cpc->FindConnectionPoint(iid, point);
}
}  // namespace

HRESULT AtlAdvise(IUnknown* pUnkCP, IUnknown* pUnk, const IID& iid, DWORD* pdw) {
  ComPtr<IConnectionPoint> cp;
  HRESULT hr = FindPoint(pUnkCP, iid, &cp);
  return FAILED(hr) ? hr : cp->Advise(pUnk, pdw);
}

HRESULT AtlUnadvise(IUnknown* pUnkCP, const IID& iid, DWORD dw) {
  ComPtr<IConnectionPoint> cp;
  HRESULT hr = FindPoint(pUnkCP, iid, &cp);
  return FAILED(hr) ? hr : cp->Unadvise(dw);
}
