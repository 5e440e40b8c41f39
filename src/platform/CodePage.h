// The thread's ANSI code page and conversions to and from it.
//
// Text inside the process is held in the locale's charset, taken once at
// start: UTF-8 when the locale is UTF-8 or the plain C/POSIX locale, any other
// charset through iconv. Like the Windows conversions without flags: invalid
// UTF-8 becomes U+FFFD, characters the charset lacks become '?', and every
// conversion takes its input up to the first NUL.
#pragma once

#include <string>
#include <string_view>

#include "platform/OleText.h"

// Reads the locale (setlocale(LC_CTYPE, "") + nl_langinfo(CODESET)). Call once
// at start, before other threads run.
void InitThreadCodePage();
// Uses the given charset ("UTF-8", "WINDOWS-1252", ...) from now on; false
// when iconv does not know it. For tests; call while no other thread converts.
bool SetThreadCodePage(const std::string& charset);
// "UTF-8" or the iconv name in use.
std::string ThreadCodePage();

// True when the code page is UTF-8: WideToAnsi is then Utf16ToUtf8 up to
// the first NUL, and may be done a stretch at a time (AppendUtf16AsUtf8).
bool WideToAnsiIsUtf8();

OleString AnsiToWide(std::string_view text);
std::string WideToAnsi(OleStringView text);
std::string Utf8ToAnsi(std::string_view text);
// The same into *out, reusing its storage where the text needs no change (a
// reader converting one message after another allocates nothing then).
void Utf8ToAnsiInto(std::string_view text, std::string* out);
std::string AnsiToUtf8(std::string_view text);
// The same, reusing the text's storage when it is already valid UTF-8.
std::string AnsiToUtf8(std::string&& text);
inline std::string AnsiToUtf8(const char* text) { return AnsiToUtf8(std::string_view(text)); }

// The length of the longest prefix of text (at most limit bytes) that does
// not end inside a multi-byte character of the thread's code page. Used to
// cut long texts into pieces.
size_t CharacterBoundary(std::string_view text, size_t limit);
