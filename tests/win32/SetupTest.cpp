// kestrix-setup.exe run silently, for this user (no administrator rights:
// %LOCALAPPDATA%\Programs\Kestrix, HKCU) and for every user (/ALLUSERS:
// Program Files, HKLM): each browser's key names a manifest whose path is the
// installed host, that host runs, the printing control is registered as a
// class of the same scope, and the uninstaller of "Apps & features" leaves
// nothing behind.
#include <gtest/gtest.h>
#include <json/json.h>
#include <windows.h>
// windows.h first: the shell header needs its types.
#include <shlobj.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "ControlHarness.h"
#include "HostProcess.h"

namespace {

using namespace kxtest;

const wchar_t* const kBrowserKeys[] = {
    L"Software\\Chromium\\NativeMessagingHosts\\com.kestrix.host",
    L"Software\\Google\\Chrome\\NativeMessagingHosts\\com.kestrix.host",
    L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\com.kestrix.host",
    L"Software\\Mozilla\\NativeMessagingHosts\\com.kestrix.host",
};
// The printing control's keys below Software\Classes: its class, type library and interfaces.
const std::wstring kControlClass = L"Software\\Classes\\CLSID\\{5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F58}";
const wchar_t kControlLibraryId[] = L"{C60E349A-383D-4BD8-8A0F-A153A7577D0B}";
const std::wstring kControlKeys[] = {
    kControlClass,
    std::wstring(L"Software\\Classes\\TypeLib\\") + kControlLibraryId,
    L"Software\\Classes\\Interface\\{7D3B2A64-1F0C-4E59-9B8A-5C6D2E4F1A30}",
    L"Software\\Classes\\Interface\\{8AEAF9DC-BA35-446B-8781-F4457374B713}",
};
const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kestrix";

// A string value of a key (the default value for name null); nullopt when absent.
std::optional<std::wstring> Value(HKEY root, const std::wstring& path, const wchar_t* name = nullptr) {
  HKEY key;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
  wchar_t value[2048] = {};
  DWORD type = 0, size = sizeof value - sizeof(wchar_t);
  LONG rc = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  ::RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  return std::wstring(value);
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Utf8(const std::wstring& w) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

// Runs a command line to its end (a deadline, not a measurement); its exit code or -1.
int RunToEnd(std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return -1;
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(info.hProcess, 120000) == WAIT_OBJECT_0) ::GetExitCodeProcess(info.hProcess, &code);
  ::CloseHandle(info.hProcess);
  ::CloseHandle(info.hThread);
  return static_cast<int>(code);
}

Json::Value ReadJson(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);  // mingw's wide-path stream
  std::stringstream text;
  text << in.rdbuf();
  Json::Value v;
  Json::Reader().parse(text.str(), v);
  return v;
}

// The lines of two registry dumps that are not in both (the machine's
// classes are too many for a whole comparison to say what changed).
std::string LinesOnlyInOne(const std::string& a, const std::string& b) {
  std::istringstream ia(a), ib(b);
  std::set<std::string> la, lb;
  for (std::string line; std::getline(ia, line);) la.insert(line);
  for (std::string line; std::getline(ib, line);) lb.insert(line);
  std::vector<std::string> differ;
  std::set_symmetric_difference(la.begin(), la.end(), lb.begin(), lb.end(), std::back_inserter(differ));
  std::string out;
  for (const std::string& line : differ) out += line + "\n";
  return out;
}

// Where one scope puts things.
struct Scope {
  const wchar_t* option;  // for kestrix-setup.exe
  HKEY root, other;       // its keys, and the root that must get none
  int programsFolder;     // CSIDL of the folder the files go below
  const wchar_t* programsSub;
  int manifestsFolder;    // CSIDL of the folder the manifests go below
};

std::wstring Folder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

// Installs silently, checks what the browsers find and that the installed
// host runs, uninstalls, and checks that nothing is left.
void InstallAndUninstall(const Scope& scope) {
  const std::wstring dir = Folder(scope.programsFolder) + scope.programsSub;
  const std::wstring host = dir + L"\\kestrix-host.exe";
  ASSERT_FALSE(Exists(dir)) << "installed before the test";
  const std::string classesBefore = DumpRegistry(scope.root, L"Software\\Classes");
  ASSERT_EQ(RunToEnd(L"\"" + ProgramPath(L"kestrix-setup.exe") + L"\" /S" + scope.option), 0);

  for (const wchar_t* file : {L"kestrix-host.exe", L"kestrix-install.exe", L"kestrix-control.dll", L"uninstall.exe"})
    EXPECT_TRUE(Exists(dir + L"\\" + file)) << Utf8(file);
  std::vector<std::wstring> manifests;
  for (const wchar_t* key : kBrowserKeys) {
    SCOPED_TRACE(Utf8(key));
    std::optional<std::wstring> manifest = Value(scope.root, key);
    ASSERT_TRUE(manifest);
    EXPECT_FALSE(Value(scope.other, key)) << "a key in the other scope";
    EXPECT_EQ(manifest->rfind(Folder(scope.manifestsFolder) + L"\\Kestrix\\", 0), 0u) << Utf8(*manifest);
    Json::Value m = ReadJson(*manifest);
    EXPECT_EQ(m["name"].asString(), "com.kestrix.host");
    EXPECT_EQ(m["path"].asString(), Utf8(host));
    manifests.push_back(*manifest);
  }
  // The control: a class of this scope whose server is the installed DLL,
  // and its type library in the same DLL.
  const std::wstring control = dir + L"\\kestrix-control.dll";
  EXPECT_EQ(Value(scope.root, kControlClass + L"\\InprocServer32"), control);
  EXPECT_EQ(Value(scope.root, kControlClass + L"\\InprocServer32", L"ThreadingModel"), std::wstring(L"Apartment"));
  EXPECT_EQ(Value(scope.root, kControlClass + L"\\TypeLib"), std::wstring(kControlLibraryId));
  EXPECT_EQ(Value(scope.root, kControlKeys[1] + L"\\1.0\\0\\win32"), control);
  EXPECT_FALSE(Value(scope.other, kControlClass + L"\\InprocServer32")) << "the control in the other scope";

  std::optional<std::wstring> quiet = Value(scope.root, kUninstallKey, L"QuietUninstallString");
  ASSERT_TRUE(quiet);
  EXPECT_TRUE(Value(scope.root, kUninstallKey, L"DisplayName"));

  // The host the manifest names runs and speaks the framing: its keepalive's
  // ping (anything that needs the page waits for wine's WebBrowser, which
  // has no page engine, for half a minute), then it ends on "exit".
  {
    Child installed(host, L"chrome-extension://kestrix/");
    ASSERT_TRUE(installed.Started());
    for (int i = 0; i < 150 && installed.Peek().empty(); ++i) ::Sleep(100);
    installed.Write(Frame(R"({"method":"exit"})"));
    EXPECT_EQ(installed.Wait(), 0);
    EXPECT_EQ(installed.Output(), kPingFrame);
  }

  // The uninstaller copies itself away and returns at once: its work is
  // awaited by looking for the folder, with a deadline.
  ASSERT_EQ(RunToEnd(*quiet), 0);
  for (int i = 0; i < 600 && Exists(dir); ++i) ::Sleep(100);
  EXPECT_FALSE(Exists(dir));
  for (const wchar_t* key : kBrowserKeys) EXPECT_FALSE(Value(scope.root, key)) << Utf8(key);
  for (const std::wstring& manifest : manifests) EXPECT_FALSE(Exists(manifest)) << Utf8(manifest);
  EXPECT_FALSE(Exists(Folder(scope.manifestsFolder) + L"\\Kestrix")) << "the manifests' folder is left";
  HKEY key;
  EXPECT_NE(::RegOpenKeyExW(scope.root, kUninstallKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  for (const std::wstring& controlKey : kControlKeys)
    EXPECT_EQ(DumpRegistry(scope.root, controlKey), "") << Utf8(controlKey);
  EXPECT_EQ(LinesOnlyInOne(DumpRegistry(scope.root, L"Software\\Classes"), classesBefore), "");
}

TEST(Setup, ASilentInstallForThisUserAnswersAndItsUninstallLeavesNothing) {
  InstallAndUninstall(
      {L"", HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, CSIDL_LOCAL_APPDATA, L"\\Programs\\Kestrix", CSIDL_LOCAL_APPDATA});
}

// wine's user has administrator rights, as an elevated prompt would.
TEST(Setup, ASilentInstallForEveryUserAnswersAndItsUninstallLeavesNothing) {
  InstallAndUninstall({L" /ALLUSERS", HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, CSIDL_PROGRAM_FILES, L"\\Kestrix",
                       CSIDL_COMMON_APPDATA});
}

}  // namespace
