#include "platform/Automation.h"

#include "platform/ComPtr.h"

// Declared by dispex.h, missing from mingw's libuuid.
extern "C" const IID IID_IDispatchEx = MakeGuid("A6EF9860-C720-11D0-9337-00A0C90DCAA9");

BSTR SysAllocStringU16(OleStringView text) {
  return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}
