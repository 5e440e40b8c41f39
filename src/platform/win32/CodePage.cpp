// Text inside the process through the SDK. The host holds its narrow text in
// UTF-8: a request's text, the page file's path and the control's results
// then keep every character, whatever the system's ANSI code page lacks (a
// Cyrillic temporary folder on a Western system, an emoji anywhere). Tests may
// switch to the thread's ANSI code page (SetThreadCodePage): then
// MultiByteToWideChar and WideCharToMultiByte on CP_THREAD_ACP without flags
// (characters the code page lacks become its replacement), lead bytes of
// double-byte code pages told apart by walking from the start.
#include "platform/CodePage.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace {

// UTF-8 unless a test has chosen a code page.
std::atomic<bool> g_utf8{true};
UINT NarrowCodePage() { return g_utf8.load() ? CP_UTF8 : CP_THREAD_ACP; }

std::string_view UpToNul(std::string_view s) {
  size_t n = s.find('\0');
  return n == std::string_view::npos ? s : s.substr(0, n);
}
OleStringView UpToNul(OleStringView s) {
  size_t n = s.find(L'\0');
  return n == OleStringView::npos ? s : s.substr(0, n);
}

OleString ToWide(UINT codePage, std::string_view text) {
  if (text.empty()) return {};
  int n = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  OleString out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string FromWide(UINT codePage, OleStringView text) {
  if (text.empty()) return {};
  int n = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// The number of the thread's ANSI code page (what CP_THREAD_ACP stands for).
UINT ThreadCodePageNumber() {
  DWORD cp = 0;
  if (::GetLocaleInfoW(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                       reinterpret_cast<LPWSTR>(&cp), sizeof cp / sizeof(wchar_t)) == 0)
    return ::GetACP();
  return cp ? cp : ::GetACP();
}

struct NamedLocale {
  const char* charset;
  LANGID language;
};
// Locales whose default ANSI code page is the charset, for tests.
constexpr NamedLocale kLocales[] = {
    {"WINDOWS-1252", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)},
    {"CP1252", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)},
    {"SHIFT_JIS", MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)},
    {"CP932", MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)},
    {"GBK", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)},
    {"CP936", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)},
    {"BIG5", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL)},
    {"CP950", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL)},
    {"WINDOWS-1251", MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT)},
};

}  // namespace

extern "C" void KxLinkXpTickCount();

// Every program converts text, so this pulls in XpTickCount.cpp as well.
void InitThreadCodePage() {
  KxLinkXpTickCount();
  g_utf8.store(true);
}

bool SetThreadCodePage(const std::string& charset) {
  if (_stricmp(charset.c_str(), "UTF-8") == 0 || _stricmp(charset.c_str(), "UTF8") == 0) {
    g_utf8.store(true);
    return true;
  }
  for (const NamedLocale& l : kLocales) {
    if (_stricmp(l.charset, charset.c_str()) != 0) continue;
    if (!::SetThreadLocale(MAKELCID(l.language, SORT_DEFAULT))) return false;
    g_utf8.store(false);
    return true;
  }
  return false;
}

std::string ThreadCodePage() { return g_utf8.load() ? "UTF-8" : "CP" + std::to_string(ThreadCodePageNumber()); }

OleString AnsiToWide(std::string_view text) { return ToWide(NarrowCodePage(), UpToNul(text)); }
std::string WideToAnsi(OleStringView text) { return FromWide(NarrowCodePage(), UpToNul(text)); }
// Also in UTF-8 the text goes through UTF-16: invalid sequences come out as
// the system's replacement, never as bytes that are not UTF-8.
std::string Utf8ToAnsi(std::string_view text) { return WideToAnsi(ToWide(CP_UTF8, UpToNul(text))); }
bool WideToAnsiIsUtf8() { return g_utf8.load(); }

void Utf8ToAnsiInto(std::string_view text, std::string* out) { *out = Utf8ToAnsi(text); }
std::string AnsiToUtf8(std::string_view text) { return FromWide(CP_UTF8, AnsiToWide(text)); }
std::string AnsiToUtf8(std::string&& text) { return AnsiToUtf8(std::string_view(text)); }

size_t CharacterBoundary(std::string_view text, size_t limit) {
  if (limit >= text.size()) return text.size();
  if (g_utf8.load()) {
    // Back from the limit over continuation bytes to a character's start.
    size_t i = limit;
    while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
    return i;
  }
  const UINT cp = ThreadCodePageNumber();
  // A trail byte can look like a lead byte or like ASCII: only a walk from
  // the start tells them apart.
  size_t i = 0;
  while (i < limit) {
    size_t len = ::IsDBCSLeadByteEx(cp, static_cast<BYTE>(text[i])) ? 2 : 1;
    if (i + len > limit) return i;
    i += len;
  }
  return i;
}
