// Text at the control's automation boundary. Everything inside the control is
// UTF-8; BSTRs are UTF-16. The host converts to and from its own code page.
#pragma once

#include <string>
#include <string_view>

#include "platform/Automation.h"

// A null BSTR gives "".
inline std::string BstrToUtf8(BSTR s) {
  if (!s) return std::string();
  return Utf16ToUtf8(OleStringView(s, SysStringLen(s)));
}

inline BSTR Utf8ToBstr(std::string_view text) { return SysAllocStringU16(Utf8ToUtf16(text)); }

// Stores text in an out-parameter (freeing what was there). Null out: nothing.
inline void SetBstrResult(BSTR* out, std::string_view text) {
  if (!out) return;
  SysFreeString(*out);
  *out = Utf8ToBstr(text);
}
