#include <windows.h>

#include <cctype>
#include <cstdlib>

#include "control/formats/TextEncoding.h"
#include "platform/OleText.h"

namespace {
constexpr UINT kUtf16Le = 1200, kUtf16Be = 1201;

// The code page a charset name stands for, 0 when none: the names iconv and
// the web use for the code pages Windows converts.
UINT CodePageOf(const std::string& charset) {
  std::string name;
  for (char c : charset)
    if (c != '-' && c != '_' && c != ' ') name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const struct {
    const char* name;
    UINT page;
  } kNames[] = {
      {"utf8", CP_UTF8},     {"utf16", kUtf16Le},  {"utf16le", kUtf16Le}, {"utf16be", kUtf16Be},
      {"ucs2le", kUtf16Le},  {"ucs2be", kUtf16Be}, {"utf7", CP_UTF7},      {"ascii", 20127},
      {"usascii", 20127},    {"latin1", 28591},    {"l1", 28591},          {"latin2", 28592},
      {"shiftjis", 932},     {"sjis", 932},        {"mskanji", 932},       {"windows31j", 932},
      {"eucjp", 20932},      {"iso2022jp", 50220}, {"gb2312", 936},        {"gbk", 936},
      {"euccn", 936},        {"gb18030", 54936},   {"big5", 950},          {"big5hkscs", 950},
      {"euckr", 949},        {"uhc", 949},         {"koi8r", 20866},       {"koi8u", 21866},
      {"macintosh", 10000},  {"macroman", 10000},  {"tis620", 874},
  };
  for (const auto& entry : kNames)
    if (name == entry.name) return entry.page;
  // iso8859N, windowsNNNN, cpNNN, ibmNNN.
  auto numbered = [&](const char* prefix, UINT base) -> UINT {
    const size_t length = std::char_traits<char>::length(prefix);
    if (name.compare(0, length, prefix) != 0 || name.size() == length || name.size() > length + 5) return 0;
    for (size_t i = length; i < name.size(); ++i)
      if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    return base + static_cast<UINT>(std::strtoul(name.c_str() + length, nullptr, 10));
  };
  UINT page = numbered("iso8859", 28590);
  if (page == 0) page = numbered("windows", 0);
  if (page == 0) page = numbered("cp", 0);
  if (page == 0) page = numbered("ibm", 0);
  if (page == kUtf16Le || page == kUtf16Be || page == CP_UTF8) return page;
  return page != 0 && IsValidCodePage(page) ? page : 0;
}

// The flags a code page takes: those listed take none (WideCharToMultiByte's rules).
bool TakesFlags(UINT page) {
  return page < 50000 && page != 42 && page != CP_UTF7 && page != CP_UTF8 && page != 54936;
}

std::wstring Utf16Of(std::string_view bytes, bool bigEndian) {
  std::wstring text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const unsigned a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    text += static_cast<wchar_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
  }
  if (bytes.size() % 2) text += L'\xFFFD';  // an odd byte at the end: cut short
  return text;
}
}  // namespace

bool DecodeToUtf8(std::string_view bytes, const std::string& charset, std::string* out, std::string* error) {
  const UINT page = IsUtf8Name(charset) ? CP_UTF8 : CodePageOf(charset);
  if (page == 0) {
    if (error) *error = "unknown encoding '" + charset + "'";
    return false;
  }
  if (page == CP_UTF8) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    *out = Utf16ToUtf8(Utf8ToUtf16(bytes));  // invalid sequences become U+FFFD
    return true;
  }
  if (page == kUtf16Le || page == kUtf16Be) {
    *out = Utf16ToUtf8(Utf16Of(bytes, page == kUtf16Be));
    return true;
  }
  std::wstring wide;
  // In pieces that fit an int; a piece never ends inside a character of a
  // double-byte code page.
  for (size_t pos = 0; pos < bytes.size();) {
    size_t piece = std::min<size_t>(bytes.size() - pos, size_t(1) << 24);
    if (pos + piece < bytes.size() && IsDBCSLeadByteEx(page, static_cast<BYTE>(bytes[pos + piece - 1]))) --piece;
    const int need = MultiByteToWideChar(page, 0, bytes.data() + pos, static_cast<int>(piece), nullptr, 0);
    if (need <= 0) {
      if (error) *error = "cannot decode the text as '" + charset + "'";
      return false;
    }
    const size_t at = wide.size();
    wide.resize(at + static_cast<size_t>(need));
    MultiByteToWideChar(page, 0, bytes.data() + pos, static_cast<int>(piece), &wide[at], need);
    pos += piece;
  }
  *out = Utf16ToUtf8(wide);
  return true;
}

bool EncodeFromUtf8(std::string_view text, const std::string& charset, std::string* out, std::string* error) {
  const UINT page = IsUtf8Name(charset) ? CP_UTF8 : CodePageOf(charset);
  if (page == 0) {
    if (error) *error = "unknown encoding '" + charset + "'";
    return false;
  }
  const std::wstring wide = Utf8ToUtf16(text);
  if (page == CP_UTF8) {
    *out = Utf16ToUtf8(wide);
    return true;
  }
  if (page == kUtf16Le || page == kUtf16Be) {
    std::string bytes;
    bytes.reserve(wide.size() * 2);
    for (wchar_t c : wide) {
      const char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
      bytes += page == kUtf16Be ? std::string{high, low} : std::string{low, high};
    }
    *out = std::move(bytes);
    return true;
  }
  // Characters the code page lacks become '?', never a look-alike.
  const DWORD flags = TakesFlags(page) ? WC_NO_BEST_FIT_CHARS : 0;
  const char* question = TakesFlags(page) ? "?" : nullptr;
  std::string bytes;
  for (size_t pos = 0; pos < wide.size();) {
    size_t piece = std::min<size_t>(wide.size() - pos, size_t(1) << 22);
    if (pos + piece < wide.size() && IS_HIGH_SURROGATE(wide[pos + piece - 1])) --piece;  // never part a pair
    const int need = WideCharToMultiByte(page, flags, wide.data() + pos, static_cast<int>(piece), nullptr, 0, question,
                                         nullptr);
    if (need <= 0) {
      if (error) *error = "cannot encode the text as '" + charset + "'";
      return false;
    }
    const size_t at = bytes.size();
    bytes.resize(at + static_cast<size_t>(need));
    WideCharToMultiByte(page, flags, wide.data() + pos, static_cast<int>(piece), &bytes[at], need, question, nullptr);
    pos += piece;
  }
  *out = std::move(bytes);
  return true;
}
