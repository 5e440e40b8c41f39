#include "platform/Automation.h"

#include "platform/ComPtr.h"

// Declared by dispex.h, missing from mingw's libuuid.
extern "C" const IID IID_IDispatchEx = MakeGuid("A6EF9860-C720-11D0-9337-00A0C90DCAA9");

BSTR SysAllocStringU16(OleStringView text) {
  return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

HRESULT AtlAdvise(IUnknown* pUnkCP, IUnknown* pUnk, const IID& iid, DWORD* pdw) {
  if (!pUnkCP) return E_INVALIDARG;
  ComPtr<IConnectionPointContainer> cpc;
  HRESULT hr = pUnkCP->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  if (FAILED(hr)) return hr;
  ComPtr<IConnectionPoint> cp;
  hr = cpc->FindConnectionPoint(iid, &cp);
  if (FAILED(hr)) return hr;
  return cp->Advise(pUnk, pdw);
}

HRESULT AtlUnadvise(IUnknown* pUnkCP, const IID& iid, DWORD dw) {
  if (!pUnkCP) return E_INVALIDARG;
  ComPtr<IConnectionPointContainer> cpc;
  HRESULT hr = pUnkCP->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  if (FAILED(hr)) return hr;
  ComPtr<IConnectionPoint> cp;
  hr = cpc->FindConnectionPoint(iid, &cp);
  if (FAILED(hr)) return hr;
  return cp->Unadvise(dw);
}
