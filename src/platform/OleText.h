// Automation text on both platforms: UTF-16 in OLECHAR units, which are
// wchar_t on Windows and char16_t here (wchar_t is 4 bytes on Linux).
// Literals are written OLESTR("text"); strings of them are OleString.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinTypes.h"

using OleString = std::basic_string<OLECHAR>;
using OleStringView = std::basic_string_view<OLECHAR>;

// UTF-8 <-> UTF-16 without going through the thread's code page (invalid
// input becomes U+FFFD). The host's own conversions live in CodePage.h.
OleString Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(OleStringView text);
