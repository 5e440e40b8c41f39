#include "platform/Kernel.h"

#include "platform/CodePage.h"

std::string GetTempPathA() {
  wchar_t path[MAX_PATH + 1] = {};
  DWORD n = ::GetTempPathW(MAX_PATH + 1, path);
  if (n == 0 || n > MAX_PATH) return {};
  return WideToAnsi(OleStringView(path, n));
}

std::string GetModuleFileNameA() {
  wchar_t path[1024] = {};
  DWORD n = ::GetModuleFileNameW(nullptr, path, 1024);
  if (n == 0 || n >= 1024) return {};
  return WideToAnsi(OleStringView(path, n));
}

bool GetFileCreationFileTime(const std::string& path, FILETIME* out) {
  OleString wide = AnsiToWide(path);
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = ::GetFileTime(file, out, nullptr, nullptr);
  ::CloseHandle(file);
  return ok != FALSE;
}
