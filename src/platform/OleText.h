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
// Writes to out[0..room) the UTF-8 of the longest prefix of text whose
// UTF-8 fits (whole characters: a surrogate pair is never parted),
// converted as Utf16ToUtf8 does; *written is the bytes written, the result
// the UTF-16 units used. Lets a long text be converted a stretch at a time
// into a buffer that is reused.
size_t ConvertUtf16ToUtf8(OleStringView text, char* out, size_t room, size_t* written);
// The units of text before its first NUL (all of them when it has none);
// eight at a time where it can, for texts of hundreds of MB.
size_t UnitsBeforeNul(OleStringView text);
