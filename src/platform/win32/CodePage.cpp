// The thread's ANSI code page through the SDK: MultiByteToWideChar and
// WideCharToMultiByte on CP_THREAD_ACP without flags (invalid input and
// characters the code page lacks become the code page's replacement), lead
// bytes of double-byte code pages told apart by walking from the start.
#include "platform/CodePage.h"

#include <windows.h>

#include <string>

namespace {

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
void InitThreadCodePage() { KxLinkXpTickCount(); }

bool SetThreadCodePage(const std::string& charset) {
  for (const NamedLocale& l : kLocales) {
    if (_stricmp(l.charset, charset.c_str()) != 0) continue;
    return ::SetThreadLocale(MAKELCID(l.language, SORT_DEFAULT)) != FALSE;
  }
  return false;
}

std::string ThreadCodePage() { return "CP" + std::to_string(ThreadCodePageNumber()); }

OleString AnsiToWide(std::string_view text) { return ToWide(CP_THREAD_ACP, UpToNul(text)); }
std::string WideToAnsi(OleStringView text) { return FromWide(CP_THREAD_ACP, UpToNul(text)); }
std::string Utf8ToAnsi(std::string_view text) { return WideToAnsi(ToWide(CP_UTF8, UpToNul(text))); }
// Windows converts through WideCharToMultiByte in every code page (XP has
// no UTF-8 ANSI code page): the whole text is converted at once.
bool WideToAnsiIsUtf8() { return false; }

void Utf8ToAnsiInto(std::string_view text, std::string* out) { *out = Utf8ToAnsi(text); }
std::string AnsiToUtf8(std::string_view text) { return FromWide(CP_UTF8, AnsiToWide(text)); }
std::string AnsiToUtf8(std::string&& text) { return AnsiToUtf8(std::string_view(text)); }

size_t CharacterBoundary(std::string_view text, size_t limit) {
  if (limit >= text.size()) return text.size();
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
