#include <windows.h>
#include <shlobj.h>

#include "control/base/ControlPaths.h"
#include "control/base/FileSystem.h"
#include "platform/OleText.h"

namespace {
// The variable when it names an absolute folder (tests and roaming set-ups
// point it elsewhere), else the shell's folder; "" when neither is known.
std::string UserFolder(const wchar_t* variable, int csidl) {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(variable, buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    const std::string value = PortablePath(Utf16ToUtf8(buffer));
    if (PathRootLength(value) == 3) return value;
  }
  if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer) == S_OK)
    return PortablePath(Utf16ToUtf8(buffer));
  return std::string();
}

// A folder the control can use even when the user's is unknown (never the current folder).
std::string Kestrix(const std::string& folder) {
  if (!folder.empty()) return folder + "/Kestrix";
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  return PortablePath(Utf16ToUtf8(length > 0 && length < MAX_PATH ? temp : L"C:\\")) + "Kestrix";
}
}  // namespace

std::string ControlDataFolder() { return Kestrix(UserFolder(L"APPDATA", CSIDL_APPDATA)); }
std::string ControlConfigFolder() { return ControlDataFolder(); }
std::string DefaultFilesFolder() { return Kestrix(UserFolder(L"LOCALAPPDATA", CSIDL_LOCAL_APPDATA)) + "/files"; }

std::string FindJobExecutable() {
  wchar_t buffer[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"KESTRIX_JOB", buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH && TargetOf(Utf16ToUtf8(buffer)).kind == EntryKind::File)
    return PortablePath(Utf16ToUtf8(buffer));
  length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  const std::string self = PortablePath(Utf16ToUtf8(buffer));
  const std::string beside = self.substr(0, self.rfind('/') + 1) + "kestrix-job.exe";
  return TargetOf(beside).kind == EntryKind::File ? beside : std::string();
}
