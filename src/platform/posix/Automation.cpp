#include "platform/Automation.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <limits>
#include <new>

#include "platform/ComPtr.h"

// ---- BSTR -------------------------------------------------------------------
namespace {
std::atomic<long> g_bstrCount{0};
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > (std::numeric_limits<uint32_t>::max() - 8) / 2) return nullptr;
  size_t bytes = 4 + static_cast<size_t>(length) * 2 + 2;
  auto* block = static_cast<char*>(std::malloc(bytes));
  if (!block) return nullptr;
  uint32_t byteLen = length * 2;
  std::memcpy(block, &byteLen, 4);
  auto* s = reinterpret_cast<OLECHAR*>(block + 4);
  if (text)
    std::memcpy(s, text, static_cast<size_t>(length) * 2);
  else
    std::memset(s, 0, static_cast<size_t>(length) * 2);
  s[length] = 0;
  g_bstrCount.fetch_add(1, std::memory_order_relaxed);
  return s;
}

BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  UINT n = 0;
  while (text[n]) ++n;
  return SysAllocStringLen(text, n);
}

BSTR SysAllocStringU16(std::u16string_view text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

void SysFreeString(BSTR s) {
  if (!s) return;
  g_bstrCount.fetch_sub(1, std::memory_order_relaxed);
  std::free(reinterpret_cast<char*>(s) - 4);
}

UINT SysStringByteLen(BSTR s) {
  if (!s) return 0;
  uint32_t n;
  std::memcpy(&n, reinterpret_cast<char*>(s) - 4, 4);
  return n;
}

UINT SysStringLen(BSTR s) { return SysStringByteLen(s) / 2; }

long SysAllocatedCount() { return g_bstrCount.load(std::memory_order_relaxed); }

// ---- VARIANT ----------------------------------------------------------------
void VariantInit(VARIANT* v) { std::memset(v, 0, sizeof *v); }

HRESULT VariantClear(VARIANT* v) {
  if (!v) return E_INVALIDARG;
  if (!(v->vt & VT_BYREF)) {
    switch (v->vt) {
      case VT_BSTR: SysFreeString(v->bstrVal); break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (v->punkVal) v->punkVal->Release();
        break;
      case VT_LPSTR: std::free(v->pszVal); break;
      case VT_LPWSTR: std::free(v->pwszVal); break;
      case VT_CLSID: delete v->puuid; break;
      default: break;
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (dest == src) return S_OK;
  VARIANT tmp = *src;
  if (!(src->vt & VT_BYREF)) {
    switch (src->vt) {
      case VT_BSTR:
        if (src->bstrVal) {
          tmp.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
          if (!tmp.bstrVal) return E_OUTOFMEMORY;
        }
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (src->punkVal) src->punkVal->AddRef();
        break;
      case VT_LPSTR:
        tmp.pszVal = src->pszVal ? strdup(src->pszVal) : nullptr;
        break;
      case VT_LPWSTR:
        if (src->pwszVal) {
          size_t n = 0;
          while (src->pwszVal[n]) ++n;
          tmp.pwszVal = static_cast<OLECHAR*>(std::malloc((n + 1) * 2));
          if (!tmp.pwszVal) return E_OUTOFMEMORY;
          std::memcpy(tmp.pwszVal, src->pwszVal, (n + 1) * 2);
        }
        break;
      case VT_CLSID:
        tmp.puuid = src->puuid ? new GUID(*src->puuid) : nullptr;
        break;
      default: break;
    }
  }
  VariantClear(dest);
  *dest = tmp;
  return S_OK;
}

namespace {
// The numeric value of a scalar VARIANT, with whether it is integral.
bool NumericValue(const VARIANT& v, long double* out) {
  switch (v.vt) {
    case VT_I2: *out = v.iVal; return true;
    case VT_I4: case VT_INT: case VT_ERROR: *out = v.lVal; return true;
    case VT_R4: *out = v.fltVal; return true;
    case VT_R8: case VT_DATE: *out = v.dblVal; return true;
    case VT_CY: *out = static_cast<long double>(v.cyVal.int64) / 10000; return true;
    case VT_BOOL: *out = v.boolVal; return true;
    case VT_I1: *out = v.cVal; return true;
    case VT_UI1: *out = v.bVal; return true;
    case VT_UI2: *out = v.uiVal; return true;
    case VT_UI4: case VT_UINT: *out = v.ulVal; return true;
    case VT_I8: *out = static_cast<long double>(v.llVal); return true;
    case VT_UI8: *out = static_cast<long double>(v.ullVal); return true;
    case VT_DECIMAL: {
      long double mag = static_cast<long double>(v.decVal.Hi32) * 18446744073709551616.0L +
                        static_cast<long double>(v.decVal.Lo64);
      for (int i = 0; i < v.decVal.scale; ++i) mag /= 10;
      *out = (v.decVal.sign & 0x80) ? -mag : mag;
      return true;
    }
    default: return false;
  }
}

std::u16string NumberText(long double x, bool integral) {
  char buf[64];
  if (integral)
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(x));
  else
    std::snprintf(buf, sizeof buf, "%.15g", static_cast<double>(x));
  std::u16string out;
  for (char* p = buf; *p; ++p) out.push_back(static_cast<char16_t>(*p));
  return out;
}

bool IsIntegralType(VARTYPE vt) {
  switch (vt) {
    case VT_I2: case VT_I4: case VT_INT: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_UINT: case VT_I8: case VT_UI8: case VT_ERROR: return true;
    default: return false;
  }
}

// Text of a string-like VARIANT; false when it is not one.
bool TextValue(const VARIANT& v, std::u16string* out) {
  switch (v.vt) {
    case VT_BSTR:
      *out = v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : std::u16string();
      return true;
    case VT_LPSTR: *out = v.pszVal ? Utf8ToUtf16(v.pszVal) : std::u16string(); return true;
    case VT_LPWSTR: *out = v.pwszVal ? std::u16string(v.pwszVal) : std::u16string(); return true;
    case VT_CLSID: *out = v.puuid ? Utf8ToUtf16(GuidToString(*v.puuid)) : std::u16string(); return true;
    default: return false;
  }
}

// Parses a whole text as a number (blanks around it allowed), as OLE does.
bool ParseNumber(const std::u16string& text, long double* out) {
  std::string narrow;
  for (char16_t c : text) {
    if (c > 0x7F) return false;
    narrow.push_back(static_cast<char>(c));
  }
  const char* begin = narrow.c_str();
  while (*begin == ' ' || *begin == '\t') ++begin;
  if (!*begin) return false;
  char* end = nullptr;
  long double v = std::strtold(begin, &end);
  if (end == begin) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end) return false;
  *out = v;
  return true;
}

// Banker's rounding, as OLE rounds reals to integers.
long double RoundHalfEven(long double x) {
  long double r = std::nearbyint(x);  // default rounding mode is to nearest, ties to even
  return r;
}
}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) {
  if (!dest || !src) return E_INVALIDARG;
  if (src->vt & (VT_ARRAY | VT_BYREF)) return DISP_E_TYPEMISMATCH;
  if (src->vt == vt) return VariantCopy(dest, src);

  VARIANT out;
  VariantInit(&out);
  long double num = 0;
  std::u16string text;

  switch (vt) {
    case VT_EMPTY:
      break;
    case VT_I4: {
      if (src->vt == VT_EMPTY) {
        num = 0;
      } else if (TextValue(*src, &text)) {
        if (!ParseNumber(text, &num)) return DISP_E_TYPEMISMATCH;
      } else if (!NumericValue(*src, &num)) {
        return DISP_E_TYPEMISMATCH;
      }
      if (!IsIntegralType(src->vt)) num = RoundHalfEven(num);
      if (std::isnan(static_cast<double>(num)) || num < -2147483648.0L || num > 2147483647.0L)
        return DISP_E_OVERFLOW;
      out.vt = VT_I4;
      out.lVal = static_cast<LONG>(num);
      break;
    }
    case VT_R8: {
      if (src->vt == VT_EMPTY) {
        num = 0;
      } else if (TextValue(*src, &text)) {
        if (!ParseNumber(text, &num)) return DISP_E_TYPEMISMATCH;
      } else if (!NumericValue(*src, &num)) {
        return DISP_E_TYPEMISMATCH;
      }
      out.vt = VT_R8;
      out.dblVal = static_cast<double>(num);
      break;
    }
    case VT_BOOL: {
      if (src->vt == VT_EMPTY) {
        num = 0;
      } else if (TextValue(*src, &text)) {
        if (text == u"true" || text == u"True" || text == u"TRUE" || text == u"#TRUE#") {
          num = 1;
        } else if (text == u"false" || text == u"False" || text == u"FALSE" || text == u"#FALSE#") {
          num = 0;
        } else if (!ParseNumber(text, &num)) {
          return DISP_E_TYPEMISMATCH;
        }
      } else if (src->vt == VT_ERROR) {
        // An error code keeps its bits: VT_BOOL takes the low 16 bits.
        out.vt = VT_BOOL;
        out.boolVal = static_cast<VARIANT_BOOL>(src->scode & 0xFFFF);
        break;
      } else if (!NumericValue(*src, &num)) {
        return DISP_E_TYPEMISMATCH;
      }
      out.vt = VT_BOOL;
      out.boolVal = num != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    }
    case VT_BSTR: {
      if (src->vt == VT_EMPTY) {
        text.clear();
      } else if (TextValue(*src, &text)) {
        // as it is
      } else if (src->vt == VT_BOOL) {
        text = src->boolVal ? u"True" : u"False";
      } else if (src->vt == VT_NULL) {
        return DISP_E_TYPEMISMATCH;
      } else if (NumericValue(*src, &num)) {
        text = NumberText(num, IsIntegralType(src->vt) || src->vt == VT_CY);
        if (src->vt == VT_I8)
          text = Utf8ToUtf16(std::to_string(src->llVal));
        else if (src->vt == VT_UI8)
          text = Utf8ToUtf16(std::to_string(src->ullVal));
      } else {
        return DISP_E_TYPEMISMATCH;
      }
      out.vt = VT_BSTR;
      out.bstrVal = SysAllocStringU16(text);
      if (!out.bstrVal) return E_OUTOFMEMORY;
      break;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
  (void)flags;
  VariantClear(dest);
  *dest = out;
  return S_OK;
}
