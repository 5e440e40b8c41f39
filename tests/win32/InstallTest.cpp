// kestrix-install on Windows: the registry keys it writes for each browser, read
// back with the registry API, the manifests they name, and their removal; per
// user (HKCU) and per machine (HKLM). Folders and the host have non-ASCII names,
// so every path has to stay wide from the command line to the registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <windows.h>
// windows.h first: the shell header needs its types.
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "Installer.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

constexpr char kBundledId[] = "obkkhjkmknnbggeelnmbimmleflkgjoj";

struct Key {
  const char* browser;
  const wchar_t* path;
};
const Key kKeys[] = {
    {"chromium", L"Software\\Chromium\\NativeMessagingHosts\\com.kestrix.host"},
    {"chrome", L"Software\\Google\\Chrome\\NativeMessagingHosts\\com.kestrix.host"},
    {"edge", L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\com.kestrix.host"},
    {"firefox", L"Software\\Mozilla\\NativeMessagingHosts\\com.kestrix.host"},
};
const wchar_t* KeyOf(const std::string& browser) {
  for (const Key& k : kKeys)
    if (browser == k.browser) return k.path;
  return nullptr;
}

std::string Utf8(const std::wstring& w) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}
std::wstring Wide(const std::string& s) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// The key's default value; nullopt when there is no key.
std::optional<std::wstring> DefaultValue(HKEY root, const wchar_t* path) {
  HKEY key;
  if (::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
  wchar_t value[1024] = {};
  DWORD type = 0, size = sizeof value - sizeof(wchar_t);
  LONG rc = ::RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  ::RegCloseKey(key);
  EXPECT_EQ(rc, ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  return std::wstring(value);
}

void SetDefaultValue(HKEY root, const wchar_t* path, const std::wstring& value) {
  HKEY key;
  ASSERT_EQ(::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), ERROR_SUCCESS);
  ::RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
}

Json::Value ReadJson(const fs::path& p) {
  Json::Value v;
  std::ifstream in(p, std::ios::binary);
  Json::CharReaderBuilder b;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errors)) << Utf8(p.native()) << ": " << errors;
  return v;
}

std::wstring ModuleFolder() {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  return fs::path(self).parent_path().native();
}

class WinInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    base_ = fs::path(temp) / (L"kx-install-" + std::to_wstring(::GetCurrentProcessId()));
    user_ = base_ / L"J\u00fcrgen" / L"AppData";
    machine_ = base_ / L"ProgramData";
    host_ = base_ / L"bin \u00d8\u5370" / L"kestrix-host.exe";
    fs::create_directories(user_);
    fs::create_directories(host_.parent_path());
    std::ofstream(host_) << "MZ";
    DeleteKeys();  // from an earlier run that stopped half-way
  }
  void TearDown() override {
    DeleteKeys();
    fs::remove_all(base_);
  }
  static void DeleteKeys() {
    for (const Key& k : kKeys) {
      ::RegDeleteKeyW(HKEY_CURRENT_USER, k.path);
      ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, k.path);
    }
  }

  struct Outcome {
    int code;
    std::string out, err;
  };
  Outcome Run(const std::vector<std::string>& args) {
    installer::Environment env{Utf8(user_.native()), "", Utf8(machine_.native())};
    std::ostringstream out, err;
    int code = installer::RunInstaller(args, env, Utf8(host_.native()), out, err);
    return {code, out.str(), err.str()};
  }

  // The key of the browser names an existing manifest below folder, for the host
  // and the one allowed extension.
  void ExpectRegistered(HKEY root, const std::string& browser, const fs::path& folder, const std::string& allowed) {
    SCOPED_TRACE(browser);
    std::optional<std::wstring> value = DefaultValue(root, KeyOf(browser));
    ASSERT_TRUE(value) << "no key";
    fs::path manifest(*value);
    EXPECT_TRUE(manifest.is_absolute());
    EXPECT_EQ(manifest.native().rfind(folder.native(), 0), 0u) << Utf8(*value);
    EXPECT_EQ(manifest.filename(), L"com.kestrix.host.json");
    ASSERT_TRUE(fs::is_regular_file(manifest)) << Utf8(*value);
    Json::Value m = ReadJson(manifest);
    EXPECT_EQ(m["name"].asString(), "com.kestrix.host");
    EXPECT_EQ(m["type"].asString(), "stdio");
    EXPECT_EQ(Wide(m["path"].asString()), host_.native()) << m["path"].asString();
    const Json::Value& list = m[browser == "firefox" ? "allowed_extensions" : "allowed_origins"];
    ASSERT_EQ(list.size(), 1u) << m;
    EXPECT_EQ(list[0].asString(), allowed);
  }

  fs::path base_, user_, machine_, host_;
};

const std::string kOrigin = std::string("chrome-extension://") + kBundledId + "/";

TEST_F(WinInstallTest, PerUserKeysNameTheManifestsAndUninstallRemovesThem) {
  // A host a browser cannot start is refused before anything is written.
  fs::path text = host_.parent_path() / L"kestrix-host.txt";
  std::ofstream(text) << "MZ";
  Outcome r = Run({"install", "--host", Utf8(text.native())});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("not a program"));
  EXPECT_FALSE(DefaultValue(HKEY_CURRENT_USER, KeyOf("chrome")));
  EXPECT_FALSE(fs::exists(user_ / L"Kestrix"));

  r = Run({"install"});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const Key& k : kKeys) {
    std::string browser = k.browser;
    ExpectRegistered(HKEY_CURRENT_USER, browser, user_ / L"Kestrix", browser == "firefox" ? "kestrix@kestrix-host" : kOrigin);
    EXPECT_FALSE(DefaultValue(HKEY_LOCAL_MACHINE, k.path)) << k.browser << ": a per-user install wrote HKLM";
  }
  Outcome status = Run({"status", "--user"});
  EXPECT_EQ(status.code, 0) << status.out;
  EXPECT_THAT(status.out, HasSubstr("edge (user): " + Utf8(user_.native())));
  EXPECT_THAT(status.out, HasSubstr("registered in HKCU\\Software\\Microsoft\\Edge\\NativeMessagingHosts"));

  r = Run({"uninstall"});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const Key& k : kKeys) EXPECT_FALSE(DefaultValue(HKEY_CURRENT_USER, k.path)) << k.browser;
  EXPECT_FALSE(fs::exists(user_ / L"Kestrix")) << "the emptied folders stay behind";
  EXPECT_TRUE(fs::exists(user_));
  EXPECT_EQ(Run({"status", "--user"}).code, 3);
  EXPECT_THAT(Run({"uninstall"}).out, HasSubstr("chrome (user): not installed"));
}

TEST_F(WinInstallTest, PerMachineKeysGoToHklmAndOnlyThere) {
  const std::string id = "abcdefghijklmnopabcdefghijklmnop";
  Outcome r = Run({"install", "--system", "--browser", "chrome", "--browser", "firefox", "--extension-id", id});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectRegistered(HKEY_LOCAL_MACHINE, "chrome", machine_ / L"Kestrix", "chrome-extension://" + id + "/");
  ExpectRegistered(HKEY_LOCAL_MACHINE, "firefox", machine_ / L"Kestrix", "kestrix@kestrix-host");
  EXPECT_FALSE(DefaultValue(HKEY_LOCAL_MACHINE, KeyOf("edge")));
  EXPECT_FALSE(DefaultValue(HKEY_CURRENT_USER, KeyOf("chrome")));

  ASSERT_EQ(Run({"uninstall", "--user"}).code, 0);
  EXPECT_TRUE(DefaultValue(HKEY_LOCAL_MACHINE, KeyOf("chrome"))) << "a per-user uninstall removed the machine's key";
  ASSERT_EQ(Run({"uninstall", "--system"}).code, 0);
  EXPECT_FALSE(DefaultValue(HKEY_LOCAL_MACHINE, KeyOf("chrome")));
  EXPECT_FALSE(DefaultValue(HKEY_LOCAL_MACHINE, KeyOf("firefox")));
  EXPECT_FALSE(fs::exists(machine_ / L"Kestrix"));
}

// --dir puts the manifest beside the host; uninstall finds it through the key.
TEST_F(WinInstallTest, ManifestBesideTheHostIsRegisteredAndRemoved) {
  Outcome r = Run({"install", "--browser", "firefox", "--dir", Utf8(host_.parent_path().native())});
  ASSERT_EQ(r.code, 0) << r.err;
  fs::path manifest = host_.parent_path() / L"com.kestrix.host.json";
  EXPECT_EQ(DefaultValue(HKEY_CURRENT_USER, KeyOf("firefox")), manifest.native());
  ASSERT_EQ(Run({"uninstall", "--browser", "firefox"}).code, 0);
  EXPECT_FALSE(DefaultValue(HKEY_CURRENT_USER, KeyOf("firefox")));
  EXPECT_FALSE(fs::exists(manifest));
  EXPECT_TRUE(fs::exists(host_));
}

// status reads what a browser reads: the file the key names, whose "path" may be
// relative to it on Windows.
TEST_F(WinInstallTest, StatusFollowsTheKey) {
  fs::path manifest = host_.parent_path() / L"com.kestrix.host.json";
  std::ofstream(manifest) << R"({"name":"com.kestrix.host","type":"stdio","path":"kestrix-host.exe",)"
                          << R"("allowed_origins":["chrome-extension://)" << kBundledId << R"(/"]})";
  SetDefaultValue(HKEY_CURRENT_USER, KeyOf("chrome"), manifest.native());
  Outcome r = Run({"status", "--user", "--browser", "chrome"});
  EXPECT_EQ(r.code, 0) << r.out;

  SetDefaultValue(HKEY_CURRENT_USER, KeyOf("chrome"), (base_ / L"gone.json").native());
  r = Run({"status", "--user", "--browser", "chrome"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.out, HasSubstr("BROKEN: the registry names"));
}

// The program itself: its folders from the shell, the host beside it by default,
// and its wide command line.
TEST_F(WinInstallTest, TheProgram) {
  auto run = [](const std::wstring& args) {
    std::wstring program = ModuleFolder() + L"\\kestrix-install.exe";
    std::wstring line = L"\"" + program + L"\" " + args;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
      return -1;
    ::WaitForSingleObject(info.hProcess, 60000);
    DWORD code = 0;
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
    return static_cast<int>(code);
  };
  wchar_t local[MAX_PATH];
  ASSERT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local)));
  fs::path manifest = fs::path(local) / L"Kestrix\\NativeMessagingHosts\\edge\\com.kestrix.host.json";

  ASSERT_EQ(run(L"install --browser edge"), 0);
  EXPECT_EQ(DefaultValue(HKEY_CURRENT_USER, KeyOf("edge")), manifest.native());
  EXPECT_EQ(Wide(ReadJson(manifest)["path"].asString()), ModuleFolder() + L"\\kestrix-host.exe");

  fs::path dir = host_.parent_path();
  ASSERT_EQ(run(L"install --browser edge --dir \"" + dir.native() + L"\""), 0);
  EXPECT_EQ(DefaultValue(HKEY_CURRENT_USER, KeyOf("edge")), (dir / L"com.kestrix.host.json").native());

  ASSERT_EQ(run(L"uninstall --browser edge"), 0);
  EXPECT_FALSE(DefaultValue(HKEY_CURRENT_USER, KeyOf("edge")));
  EXPECT_FALSE(fs::exists(manifest));
  EXPECT_FALSE(fs::exists(dir / L"com.kestrix.host.json"));
  EXPECT_EQ(run(L"install --browser safari"), 2);
}

}  // namespace
