// Windows: a browser finds a manifest through a registry key named after the
// host, under HKCU (this user) or HKLM (every user), whose default value is the
// manifest's full path. This program is 32-bit: on 64-bit Windows its HKLM keys
// land in the 32-bit view (WOW6432Node); HKCU\Software is one view for both.
// Only functions Windows XP has: the key is deleted with RegDeleteKeyW, subkeys
// first, not RegDeleteTreeW (Vista).
#include <windows.h>
// windows.h first: the shell headers need its types.
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cwctype>

#include "Manifest.h"
#include "Platform.h"

namespace installer {
namespace fs = std::filesystem;

const std::vector<Browser>& AllBrowsers() {
  static const std::vector<Browser> all{Browser::Chromium, Browser::Chrome, Browser::Edge, Browser::Firefox};
  return all;
}

std::string Usage() {
  return "usage: kestrix-install install   [--user|--system] [--browser chromium|chrome|edge|firefox|all]\n"
         "                                 [--extension-id ID] [--firefox-id ID] [--host PATH]\n"
         "                                 [--root DIR] [--dir DIR]\n"
         "       kestrix-install uninstall [--user|--system] [--browser ...] [--root DIR] [--dir DIR]\n"
         "       kestrix-install status    [--user|--system] [--browser ...]\n"
         "\n"
         "  --user            this user: keys under HKCU, manifests under %LOCALAPPDATA%\\Kestrix\n"
         "                    (default for install/uninstall)\n"
         "  --system          every user: keys under HKLM, manifests under %ProgramData%\\Kestrix\n"
         "                    (needs an administrator)\n"
         "  --browser B       chromium, chrome, edge, firefox or all (default all)\n"
         "  --extension-id    the extension id the Chromium-family browsers allow to start the host\n"
         "                    (default: the id of the bundled extension); may be repeated\n"
         "  --firefox-id      the Firefox add-on id allowed to start the host; may be repeated\n"
         "  --host PATH       the host program (default: kestrix-host.exe beside this program)\n"
         "  --root DIR        put the --system manifests below DIR instead of %ProgramData%\n"
         "  --dir DIR         write the manifest into DIR (e.g. beside the host) and register\n"
         "                    that file (needs one --browser)\n";
}

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
  return utf8;
}

std::string ErrorText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n ? std::wstring(text, n) : std::wstring();
  if (text) LocalFree(text);
  while (!message.empty() && (std::iswspace(message.back()) || message.back() == L'.')) message.pop_back();
  return (message.empty() ? std::string("error") : Narrow(message)) + " (" + std::to_string(code) + ")";
}

HKEY Root(Scope scope) { return scope == Scope::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

std::wstring KeyPath(Browser browser) {
  const wchar_t* parent = L"";
  switch (browser) {
    case Browser::Chromium: parent = L"Software\\Chromium\\NativeMessagingHosts\\"; break;
    case Browser::Chrome: parent = L"Software\\Google\\Chrome\\NativeMessagingHosts\\"; break;
    case Browser::Edge: parent = L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\"; break;
    case Browser::Firefox: parent = L"Software\\Mozilla\\NativeMessagingHosts\\"; break;
  }
  return parent + Wide(kHostName);
}

// True on 64-bit Windows (this 32-bit program runs under WOW64). Looked up:
// XP before SP2 has no IsWow64Process.
bool Is64BitWindows() {
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, BOOL*);
  auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
  BOOL wow64 = FALSE;
  return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// The registry views a key of this scope goes to (0: the only one).
std::vector<REGSAM> Views(Scope scope) {
  if (scope == Scope::User || !Is64BitWindows()) return {0};
  return {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
}

// RegDeleteKeyW in a view: RegDeleteKeyExW where Windows has it (Vista and
// 64-bit XP); 32-bit XP has one view and only RegDeleteKeyW.
LONG DeleteKey(HKEY parent, const wchar_t* name, REGSAM view) {
  using RegDeleteKeyExFn = LONG(WINAPI*)(HKEY, const wchar_t*, REGSAM, DWORD);
  static const auto deleteEx = reinterpret_cast<RegDeleteKeyExFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
  return deleteEx ? deleteEx(parent, name, view, 0) : RegDeleteKeyW(parent, name);
}

// Deletes a key with its subkeys (RegDeleteKeyW refuses a key that has any).
LONG DeleteTree(HKEY parent, const wchar_t* name, REGSAM view) {
  HKEY key;
  LONG rc = RegOpenKeyExW(parent, name, 0, KEY_ENUMERATE_SUB_KEYS | view, &key);
  if (rc != ERROR_SUCCESS) return rc;
  wchar_t sub[256];  // a key name has at most 255 characters
  for (;;) {
    DWORD length = 256;
    rc = RegEnumKeyExW(key, 0, sub, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) break;
    if ((rc = DeleteTree(key, sub, view)) != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  if (rc != ERROR_NO_MORE_ITEMS) return rc;
  return DeleteKey(parent, name, view);
}

fs::path Base(Scope scope, const Environment& env) {
  const std::string& base = scope == Scope::User ? env.home : env.root;
  return base.empty() ? fs::path() : PathFromUtf8(base);
}

std::wstring KnownFolder(int csidl) {
  wchar_t buffer[MAX_PATH];
  return SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)) ? buffer : L"";
}

}  // namespace

fs::path ManifestFolder(Browser browser, Scope scope, const Environment& env) {
  fs::path owned = OwnedFolder(scope, env);
  return owned.empty() ? owned : owned / L"NativeMessagingHosts" / BrowserName(browser);
}

fs::path OwnedFolder(Scope scope, const Environment& env) {
  fs::path base = Base(scope, env);
  return base.empty() ? base : base / L"Kestrix";
}

fs::path PathFromUtf8(const std::string& text) { return fs::path(Wide(text)); }
std::string Utf8(const fs::path& path) { return Narrow(path.native()); }

std::string ExecutableProblem(const fs::path& path) {
  // Browsers start programs and command scripts; anything else fails at start.
  std::wstring ext = path.extension().native();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](wchar_t c) { return std::towlower(c); });
  if (ext == L".exe" || ext == L".bat" || ext == L".cmd" || ext == L".com") return {};
  return "not a program (.exe, .bat or .cmd)";
}

fs::path HostPathInManifest(const fs::path& manifest, const std::string& path) {
  fs::path host = PathFromUtf8(path);
  return host.is_relative() ? manifest.parent_path() / host : host;
}

std::string PermissionHint(Scope scope, bool) {
  if (scope == Scope::System)
    return " (machine-wide keys and manifests need an administrator: run it from an elevated command prompt)";
  return {};
}

std::string WriteFileAtomically(const fs::path& file, const std::string& text) {
  fs::path tmp = file;
  tmp += L".tmp" + std::to_wstring(GetCurrentProcessId());
  HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ErrorText(GetLastError());
  DWORD written = 0;
  DWORD error = 0;
  if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) error = GetLastError();
  else if (written != text.size()) error = ERROR_WRITE_FAULT;
  if (!CloseHandle(h) && error == 0) error = GetLastError();
  if (error == 0 && !MoveFileExW(tmp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = GetLastError();
  if (error != 0) {
    DeleteFileW(tmp.c_str());
    return ErrorText(error);
  }
  return {};
}

std::string RegistrationName(Browser browser, Scope scope) {
  return (scope == Scope::User ? "HKCU\\" : "HKLM\\") + Narrow(KeyPath(browser));
}

std::string Register(Browser browser, Scope scope, const fs::path& manifest) {
  for (REGSAM view : Views(scope)) {
    HKEY key;
    LONG rc = RegCreateKeyExW(Root(scope), KeyPath(browser).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE | view, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return ErrorText(static_cast<DWORD>(rc));
    const std::wstring& value = manifest.native();
    rc = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return ErrorText(static_cast<DWORD>(rc));
  }
  return {};
}

std::string Unregister(Browser browser, Scope scope, bool* existed) {
  *existed = false;
  std::string error;
  for (REGSAM view : Views(scope)) {
    LONG rc = DeleteTree(Root(scope), KeyPath(browser).c_str(), view);
    *existed = *existed || rc == ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && error.empty()) error = ErrorText(static_cast<DWORD>(rc));
  }
  return error;
}

std::optional<Registered> ReadRegistration(Browser browser, Scope scope) {
  Registered result;
  HKEY key;
  LONG rc = RegOpenKeyExW(Root(scope), KeyPath(browser).c_str(), 0, KEY_QUERY_VALUE, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return result;
  if (rc != ERROR_SUCCESS) {
    result.problem = "cannot read the key: " + ErrorText(static_cast<DWORD>(rc));
    return result;
  }
  DWORD type = 0, size = 0;
  std::wstring value;
  rc = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size);
  // The value may grow between the two calls: ask again while it does.
  while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
    value.assign(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    rc = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size);
    if (rc == ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  if (rc == ERROR_FILE_NOT_FOUND) {
    result.problem = "the key has no default value";
  } else if (rc != ERROR_SUCCESS) {
    result.problem = "cannot read the key: " + ErrorText(static_cast<DWORD>(rc));
  } else if (type != REG_SZ) {
    result.problem = "the key's default value is not a string (REG_SZ)";
  } else {
    value.resize(std::min<size_t>(value.size(), size / sizeof(wchar_t)));
    value.resize(value.find(L'\0') == std::wstring::npos ? value.size() : value.find(L'\0'));
    result.manifest = fs::path(value);
    if (value.empty()) result.problem = "the key's default value is empty";
    else if (!result.manifest.is_absolute()) result.problem = "the key's default value is not a full path";
  }
  return result;
}

Environment ProcessEnvironment() {
  // SHGetFolderPathW, not the environment: XP has no %LOCALAPPDATA% or %ProgramData%.
  Environment env;
  env.home = Narrow(KnownFolder(CSIDL_LOCAL_APPDATA));
  env.root = Narrow(KnownFolder(CSIDL_COMMON_APPDATA));
  return env;
}

std::string DefaultHostPath() {
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (n == 0) return "kestrix-host.exe";
    if (n < self.size()) {
      self.resize(n);
      break;
    }
    if (self.size() >= 32768) return "kestrix-host.exe";
    self.resize(self.size() * 2);
  }
  return Utf8(fs::path(self).parent_path() / L"kestrix-host.exe");
}

std::vector<std::string> Arguments(int, char**) {
  // The wide command line: argv is in the ANSI code page and loses other characters.
  std::vector<std::string> args;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!words) return args;
  for (int i = 1; i < count; ++i) args.push_back(Narrow(words[i]));
  LocalFree(words);
  return args;
}

}  // namespace installer
