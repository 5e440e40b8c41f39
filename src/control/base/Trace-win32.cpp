#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "control/base/Trace.h"

void Trace(const char* what) {
  // Opened once per process; appending keeps the lines of several processes whole.
  static const HANDLE file = [] {
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"KESTRIX_TRACE", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return INVALID_HANDLE_VALUE;
    return CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }();
  if (file == INVALID_HANDLE_VALUE) return;
  const unsigned long long ms = GetTickCount();
  char line[256];
  const int n = std::snprintf(line, sizeof line, "%llu.000 %lu %s\n", ms, GetCurrentProcessId(), what);
  DWORD written = 0;
  if (n > 0) WriteFile(file, line, static_cast<DWORD>(std::min<int>(n, sizeof line - 1)), &written, nullptr);
}
