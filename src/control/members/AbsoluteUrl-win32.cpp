#include <windows.h>
#include <shlwapi.h>

#include "control/members/AbsoluteUrl.h"

namespace {
bool ToWide(const std::string& text, std::wstring* out) {
  out->clear();
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0) return false;
  out->assign(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, out->data(), n);
  // A NUL would end the address early for the shell.
  return out->find(L'\0') == std::wstring::npos;
}
}  // namespace

bool CombineUrl(const std::string& url, const std::string& base, std::string* absolute) {
  std::wstring wideUrl, wideBase;
  if (!ToWide(url, &wideUrl) || !ToWide(base, &wideBase)) return false;
  // INTERNET_MAX_URL_LENGTH (2083) is what the browser takes; more is refused.
  wchar_t out[2084];
  DWORD size = sizeof out / sizeof out[0];
  if (FAILED(UrlCombineW(wideBase.c_str(), wideUrl.c_str(), out, &size, 0))) return false;
  const int n = WideCharToMultiByte(CP_UTF8, 0, out, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  absolute->assign(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, out, static_cast<int>(size), absolute->data(), n, nullptr, nullptr);
  return true;
}
