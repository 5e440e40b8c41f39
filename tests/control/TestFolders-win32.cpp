#include <windows.h>

#include <filesystem>
#include <random>

#include "TestFolders.h"
#include "platform/OleText.h"

namespace {
std::wstring Wide(const std::string& path) {
  std::wstring wide = Utf8ToUtf16(path);
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  return wide;
}

std::string Portable(const std::wstring& wide) {
  std::string path = Utf16ToUtf8(wide);
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}
}  // namespace

TempFolder::TempFolder() {
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  if (length == 0 || length >= MAX_PATH) return;
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = std::wstring(temp) + L"kxt-" + std::to_wstring(random() % 100000000);
    if (CreateDirectoryW(name.c_str(), nullptr)) {
      m_path = Portable(name);
      return;
    }
  }
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  if (!m_path.empty()) std::filesystem::remove_all(std::filesystem::path(Wide(m_path)), ignored);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : m_name(name) {
  wchar_t old[32768];
  const DWORD length = GetEnvironmentVariableW(Wide(name).c_str(), old, 32768);
  if (length > 0 && length < 32768) {
    m_had = true;
    m_old = Utf16ToUtf8(old);
  }
  SetEnvironmentVariableW(Utf8ToUtf16(name).c_str(), Utf8ToUtf16(value).c_str());
}

ScopedEnv::~ScopedEnv() {
  SetEnvironmentVariableW(Utf8ToUtf16(m_name).c_str(), m_had ? Utf8ToUtf16(m_old).c_str() : nullptr);
}

ScopedControlFolders::ScopedControlFolders(const std::string& root)
    : m_root(root),
      m_env{new ScopedEnv("APPDATA", root + "/config"), new ScopedEnv("LOCALAPPDATA", root + "/local"),
            new ScopedEnv("USERPROFILE", root)} {}

std::string ScopedControlFolders::FilesFolder() const { return m_root + "/local/Kestrix/files"; }

bool FileExists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string SystemFilePath() {
  wchar_t folder[MAX_PATH];
  const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? Portable(folder) + "/win.ini" : "C:/Windows/win.ini";
}

bool MakeLink(const std::string& target, const std::string& link) {
  // Windows Vista and later; not in XP's headers, so looked up.
  using CreateLink = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
  auto create = reinterpret_cast<CreateLink>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
  if (!create) return false;
  const DWORD folder = (GetFileAttributesW(Wide(target).c_str()) & FILE_ATTRIBUTE_DIRECTORY) &&
                               GetFileAttributesW(Wide(target).c_str()) != INVALID_FILE_ATTRIBUTES
                           ? 1
                           : 0;
  // Some systems say yes and make nothing (wine's stub): the link must be there.
  WIN32_FILE_ATTRIBUTE_DATA data;
  return create(Wide(link).c_str(), Wide(target).c_str(), folder) != 0 &&
         GetFileAttributesExW(Wide(link).c_str(), GetFileExInfoStandard, &data) &&
         (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
