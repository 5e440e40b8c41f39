// Kernel objects and process facilities from the SDK, plus the host's own
// helpers that the stand-ins offer under the same names. Narrow paths are in
// the thread's ANSI code page.
#pragma once

#include <windows.h>

#include <string>

// The temporary directory, with its trailing backslash (GetTempPathW).
std::string GetTempPathA();
// The running executable's full path (GetModuleFileNameW).
std::string GetModuleFileNameA();
// The creation time of a file (GetFileTime). False when it cannot be opened.
bool GetFileCreationFileTime(const std::string& path, FILETIME* out);
