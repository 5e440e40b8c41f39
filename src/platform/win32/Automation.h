// OLE Automation from the SDK (oleaut32, ole32), plus the few helpers the
// stand-ins offer under the same names, so the layers above compile alike.
#pragma once

#include <windows.h>
// windows.h first: these need its types.
#include <dispex.h>
#include <ocidl.h>
#include <olectl.h>  // CONNECT_E_*
#include <oleauto.h>

#include <string>
#include <string_view>

#include "platform/GuidText.h"
#include "platform/OleText.h"

// The SDK takes the source of these as a non-const pointer; neither changes it.
inline HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
  return ::VariantCopy(dest, const_cast<VARIANTARG*>(src));
}
inline HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt) {
  return ::VariantChangeType(dest, const_cast<VARIANTARG*>(src), flags, vt);
}

// A BSTR holding the UTF-16 text (SysAllocStringLen of its length).
BSTR SysAllocStringU16(OleStringView text);

// Connects a sink to the container's connection point for iid, as the
// template library's helpers of these names do.
HRESULT AtlAdvise(IUnknown* pUnkCP, IUnknown* pUnk, const IID& iid, DWORD* pdw);
HRESULT AtlUnadvise(IUnknown* pUnkCP, const IID& iid, DWORD dw);
