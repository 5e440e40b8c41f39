// Character sets for the text members: files are read into UTF-8 and written
// from UTF-8 through the system's converter (iconv on POSIX, the code pages
// of MultiByteToWideChar and WideCharToMultiByte on Windows:
// TextEncoding-posix.cpp, TextEncoding-win32.cpp). An empty name means UTF-8.
#pragma once

#include <string>
#include <string_view>

// Invalid input becomes U+FFFD; a leading byte order mark is dropped.
bool DecodeToUtf8(std::string_view bytes, const std::string& charset, std::string* out, std::string* error);
// Characters the target lacks become '?'.
bool EncodeFromUtf8(std::string_view text, const std::string& charset, std::string* out, std::string* error);
// The charset an HTML file declares (byte order mark, <meta charset> or
// http-equiv content type within its first 4096 bytes); "UTF-8" when none.
std::string SniffHtmlCharset(std::string_view bytes);
// "UTF-8", "utf8", "utf_8" and "" all name UTF-8.
bool IsUtf8Name(const std::string& charset);
