// kestrix-install against a temporary HOME and a temporary root for the system
// folders: the files it writes for each browser, and its messages when it cannot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Installer.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr char kBundledId[] = "obkkhjkmknnbggeelnmbimmleflkgjoj";

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kx-install-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    home_ = base_ / "home";
    root_ = base_ / "root";
    fs::create_directories(home_);
    host_ = base_ / "bin/kestrix-host";
    WriteFile(host_, "#!/bin/sh\n");
    fs::permissions(host_, fs::perms::owner_all);
  }
  void TearDown() override { fs::remove_all(base_); }

  static void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  static std::string ReadFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static Json::Value ReadJson(const fs::path& p) {
    Json::Value v;
    std::ifstream in(p);
    Json::CharReaderBuilder b;
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errors)) << p << ": " << errors;
    return v;
  }

  Outcome Run(std::vector<std::string> args, const std::string& xdgConfigHome = "") {
    installer::Environment env{home_.string(), xdgConfigHome, ""};
    // Every test names the system root so nothing can reach the real /etc.
    args.push_back("--root");
    args.push_back(root_.string());
    std::ostringstream out, err;
    int code = installer::RunInstaller(args, env, host_.string(), out, err);
    return {code, out.str(), err.str()};
  }

  fs::path UserFile(const std::string& folder) const { return home_ / folder / "com.kestrix.host.json"; }
  fs::path SystemFile(const std::string& folder) const { return root_ / folder / "com.kestrix.host.json"; }

  fs::path base_, home_, root_, host_;
};

const char* kChromiumUser = ".config/chromium/NativeMessagingHosts";
const char* kChromeUser = ".config/google-chrome/NativeMessagingHosts";
const char* kFirefoxUser = ".mozilla/native-messaging-hosts";
const char* kChromiumSystem = "etc/chromium/native-messaging-hosts";
const char* kChromeSystem = "etc/opt/chrome/native-messaging-hosts";
const char* kFirefoxSystem = "usr/lib/mozilla/native-messaging-hosts";

void ExpectChromiumManifest(const Json::Value& m, const std::string& host, const std::string& id) {
  EXPECT_EQ(m["name"].asString(), "com.kestrix.host");
  EXPECT_EQ(m["type"].asString(), "stdio");
  EXPECT_EQ(m["path"].asString(), host);
  ASSERT_TRUE(m["allowed_origins"].isArray());
  ASSERT_EQ(m["allowed_origins"].size(), 1u);
  EXPECT_EQ(m["allowed_origins"][0].asString(), "chrome-extension://" + id + "/");
  EXPECT_FALSE(m.isMember("allowed_extensions"));
}

void ExpectFirefoxManifest(const Json::Value& m, const std::string& host, const std::string& id) {
  EXPECT_EQ(m["name"].asString(), "com.kestrix.host");
  EXPECT_EQ(m["type"].asString(), "stdio");
  EXPECT_EQ(m["path"].asString(), host);
  ASSERT_TRUE(m["allowed_extensions"].isArray());
  ASSERT_EQ(m["allowed_extensions"].size(), 1u);
  EXPECT_EQ(m["allowed_extensions"][0].asString(), id);
  EXPECT_FALSE(m.isMember("allowed_origins"));
}

// ---- where the manifests go and what they say ---------------------------------------

TEST_F(InstallerTest, UserInstallWritesEachBrowsersFolder) {
  Outcome r = Run({"install"});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectChromiumManifest(ReadJson(UserFile(kChromiumUser)), host_.string(), kBundledId);
  ExpectChromiumManifest(ReadJson(UserFile(kChromeUser)), host_.string(), kBundledId);
  ExpectFirefoxManifest(ReadJson(UserFile(kFirefoxUser)), host_.string(), "kestrix@kestrix-host");
  EXPECT_FALSE(fs::exists(root_)) << "a user install touched the system folders";
  EXPECT_THAT(r.out, HasSubstr(UserFile(kChromiumUser).string()));
}

TEST_F(InstallerTest, SystemInstallWritesBelowTheRootOnly) {
  Outcome r = Run({"install", "--system"});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectChromiumManifest(ReadJson(SystemFile(kChromiumSystem)), host_.string(), kBundledId);
  ExpectChromiumManifest(ReadJson(SystemFile(kChromeSystem)), host_.string(), kBundledId);
  ExpectFirefoxManifest(ReadJson(SystemFile(kFirefoxSystem)), host_.string(), "kestrix@kestrix-host");
  EXPECT_TRUE(fs::is_empty(home_));
}

TEST_F(InstallerTest, OneBrowserOnlyWritesThatBrowser) {
  ASSERT_EQ(Run({"install", "--browser", "chrome"}).code, 0);
  EXPECT_TRUE(fs::exists(UserFile(kChromeUser)));
  EXPECT_FALSE(fs::exists(UserFile(kChromiumUser)));
  EXPECT_FALSE(fs::exists(UserFile(kFirefoxUser)));
  ASSERT_EQ(Run({"install", "--browser=firefox", "--system"}).code, 0);
  EXPECT_TRUE(fs::exists(SystemFile(kFirefoxSystem)));
  EXPECT_FALSE(fs::exists(SystemFile(kChromiumSystem)));
}

TEST_F(InstallerTest, ChromiumFamilyFollowsXdgConfigHomeButFirefoxDoesNot) {
  fs::path config = base_ / "xdg";
  ASSERT_EQ(Run({"install"}, config.string()).code, 0);
  EXPECT_TRUE(fs::exists(config / "chromium/NativeMessagingHosts/com.kestrix.host.json"));
  EXPECT_TRUE(fs::exists(config / "google-chrome/NativeMessagingHosts/com.kestrix.host.json"));
  EXPECT_TRUE(fs::exists(UserFile(kFirefoxUser)));
  EXPECT_FALSE(fs::exists(UserFile(kChromiumUser)));
  // A relative XDG_CONFIG_HOME is invalid by its own rules and falls back to ~/.config.
  ASSERT_EQ(Run({"install", "--browser", "chromium"}, "relative/dir").code, 0);
  EXPECT_TRUE(fs::exists(UserFile(kChromiumUser)));
}

TEST_F(InstallerTest, ExtensionIdsGoWhereEachBrowserReadsThem) {
  const std::string id(32, 'c');
  ASSERT_EQ(Run({"install", "--extension-id", id, "--firefox-id", "me@example.org"}).code, 0);
  ExpectChromiumManifest(ReadJson(UserFile(kChromiumUser)), host_.string(), id);
  ExpectFirefoxManifest(ReadJson(UserFile(kFirefoxUser)), host_.string(), "me@example.org");
  // With Firefox alone, --extension-id names the Firefox add-on.
  ASSERT_EQ(Run({"install", "--browser", "firefox", "--extension-id", "{12345678-1234-1234-1234-123456789abc}"}).code,
            0);
  ExpectFirefoxManifest(ReadJson(UserFile(kFirefoxUser)), host_.string(), "{12345678-1234-1234-1234-123456789abc}");
}

TEST_F(InstallerTest, RepeatedIdsAreAllAllowedInTheirOrder) {
  // A package allows the bundled id and the id of its own signed copy.
  const std::string a(32, 'a'), b(32, 'b');
  ASSERT_EQ(Run({"install", "--extension-id", a, "--extension-id=" + b, "--extension-id", a, "--firefox-id",
                 "one@example.org", "--firefox-id", "two@example.org"})
                .code,
            0);
  Json::Value chromium = ReadJson(UserFile(kChromiumUser))["allowed_origins"];
  ASSERT_EQ(chromium.size(), 2u);
  EXPECT_EQ(chromium[0].asString(), "chrome-extension://" + a + "/");
  EXPECT_EQ(chromium[1].asString(), "chrome-extension://" + b + "/");
  Json::Value firefox = ReadJson(UserFile(kFirefoxUser))["allowed_extensions"];
  ASSERT_EQ(firefox.size(), 2u);
  EXPECT_EQ(firefox[1].asString(), "two@example.org");
  // One bad id among good ones refuses the whole command.
  EXPECT_THAT(Run({"install", "--extension-id", a, "--extension-id", "ABC"}).err,
              HasSubstr("'ABC' is not a Chromium extension id"));
}

TEST_F(InstallerTest, StagedHostIsCheckedBelowTheRootAndNamedWhereItWillBeInstalled) {
  // A path that exists on no machine outside this test's root.
  const std::string installed = "/kx-staged-" + base_.filename().string() + "/kestrix-host";
  WriteFile(root_ / installed.substr(1), "#!/bin/sh\n");
  fs::permissions(root_ / installed.substr(1), fs::perms::owner_all);
  Outcome r = Run({"install", "--system", "--browser", "chromium", "--host", installed});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadJson(SystemFile(kChromiumSystem))["path"].asString(), installed);
  // Not staged and not there: refused as before.
  EXPECT_EQ(Run({"install", "--system", "--host", installed + "-gone"}).code, 1);
}

TEST_F(InstallerTest, HostPathIsMadeAbsolute) {
  fs::path saved = fs::current_path();
  fs::current_path(host_.parent_path());
  Outcome r = Run({"install", "--browser", "chromium", "--host", "./kestrix-host"});
  fs::current_path(saved);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadJson(UserFile(kChromiumUser))["path"].asString(), host_.string());
}

TEST_F(InstallerTest, ReinstallReplacesTheManifestAndLeavesNoTemporaryFile) {
  ASSERT_EQ(Run({"install", "--browser", "chromium"}).code, 0);
  fs::path other = base_ / "other/kestrix-host";
  WriteFile(other, "#!/bin/sh\n");
  fs::permissions(other, fs::perms::owner_all);
  ASSERT_EQ(Run({"install", "--browser", "chromium", "--host", other.string()}).code, 0);
  EXPECT_EQ(ReadJson(UserFile(kChromiumUser))["path"].asString(), other.string());
  size_t files = 0;
  for (auto& e : fs::directory_iterator(UserFile(kChromiumUser).parent_path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

TEST_F(InstallerTest, ManifestIsReadableByOthersWhateverTheUmask) {
  mode_t old = umask(077);
  Outcome r = Run({"install", "--system", "--browser", "chromium"});
  umask(old);
  ASSERT_EQ(r.code, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(stat(SystemFile(kChromiumSystem).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(InstallerTest, ExplicitFolderTakesOneBrowser) {
  fs::path profile = base_ / "profile/NativeMessagingHosts";
  ASSERT_EQ(Run({"install", "--browser", "chromium", "--dir", profile.string()}).code, 0);
  ExpectChromiumManifest(ReadJson(profile / "com.kestrix.host.json"), host_.string(), kBundledId);
  EXPECT_TRUE(fs::is_empty(home_));

  Outcome all = Run({"install", "--dir", profile.string()});
  EXPECT_EQ(all.code, 2);
  EXPECT_THAT(all.err, HasSubstr("--dir needs exactly one browser"));
}

// ---- refusals and their messages -----------------------------------------------------

TEST_F(InstallerTest, MissingHostBinaryIsNamedAndNothingIsWritten) {
  fs::path missing = base_ / "nowhere/kestrix-host";
  Outcome r = Run({"install", "--host", missing.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr(missing.string()));
  EXPECT_THAT(r.err, HasSubstr("no such file"));
  EXPECT_THAT(r.err, HasSubstr("--host"));
  EXPECT_TRUE(fs::is_empty(home_));
}

TEST_F(InstallerTest, HostThatIsNotExecutableIsRefused) {
  fs::permissions(host_, fs::perms::owner_read | fs::perms::owner_write);
  Outcome r = Run({"install"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("not executable"));
  EXPECT_TRUE(fs::is_empty(home_));

  Outcome dir = Run({"install", "--host", base_.string()});
  EXPECT_EQ(dir.code, 1);
  EXPECT_THAT(dir.err, HasSubstr("not a regular file"));
}

TEST_F(InstallerTest, UnknownBrowserIsRefusedWithTheChoices) {
  Outcome r = Run({"install", "--browser", "safari"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("unknown browser 'safari'"));
  EXPECT_THAT(r.err, HasSubstr("chromium, chrome, firefox or all"));
  EXPECT_TRUE(fs::is_empty(home_));
}

TEST_F(InstallerTest, BadCommandLinesAreRefused) {
  EXPECT_EQ(Run({}).code, 2);
  EXPECT_THAT(Run({"instal"}).err, HasSubstr("unknown command 'instal'"));
  EXPECT_THAT(Run({"install", "--force"}).err, HasSubstr("unknown option '--force'"));
  Outcome noValue = Run({"install", "--host", "--browser", "chrome"});
  EXPECT_EQ(noValue.code, 2);
  EXPECT_THAT(noValue.err, HasSubstr("--host needs a value"));
  EXPECT_THAT(Run({"install", "--extension-id", "ABC"}).err, HasSubstr("not a Chromium extension id"));
  EXPECT_THAT(Run({"install", "--firefox-id", "no spaces allowed"}).err, HasSubstr("not a Firefox add-on id"));
  EXPECT_TRUE(fs::is_empty(home_));
  Outcome help = Run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_THAT(help.out, HasSubstr("usage: kestrix-install install"));
}

TEST_F(InstallerTest, FolderThatCannotBeCreatedIsNamedAndOtherBrowsersStillInstall) {
  // A plain file where ~/.config should be: even root cannot create a folder below it.
  WriteFile(home_ / ".config", "not a folder");
  Outcome r = Run({"install"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("chromium (user): cannot create the folder " + (home_ / kChromiumUser).string()));
  EXPECT_THAT(r.err, HasSubstr("chrome (user): cannot create the folder"));
  EXPECT_TRUE(fs::exists(UserFile(kFirefoxUser)));
}

TEST_F(InstallerTest, UnwritableSystemFolderSuggestsRoot) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes through folder permissions";
  fs::create_directories(root_ / kChromiumSystem);
  fs::permissions(root_ / kChromiumSystem, fs::perms::owner_read | fs::perms::owner_exec);
  Outcome r = Run({"install", "--system", "--browser", "chromium"});
  fs::permissions(root_ / kChromiumSystem, fs::perms::owner_all);
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("Permission denied"));
  EXPECT_THAT(r.err, HasSubstr("need root"));
}

// ---- uninstall --------------------------------------------------------------------

TEST_F(InstallerTest, UninstallRemovesOnlyWhatWasAsked) {
  ASSERT_EQ(Run({"install"}).code, 0);
  ASSERT_EQ(Run({"install", "--system"}).code, 0);
  Outcome r = Run({"uninstall", "--browser", "chromium"});
  EXPECT_EQ(r.code, 0);
  EXPECT_THAT(r.out, HasSubstr("removed chromium (user)"));
  EXPECT_FALSE(fs::exists(UserFile(kChromiumUser)));
  EXPECT_TRUE(fs::exists(UserFile(kChromeUser)));
  EXPECT_TRUE(fs::exists(SystemFile(kChromiumSystem)));

  Outcome again = Run({"uninstall", "--browser", "chromium"});
  EXPECT_EQ(again.code, 0);
  EXPECT_THAT(again.out, HasSubstr("chromium (user): not installed"));

  ASSERT_EQ(Run({"uninstall", "--system"}).code, 0);
  EXPECT_FALSE(fs::exists(SystemFile(kChromiumSystem)));
  EXPECT_FALSE(fs::exists(SystemFile(kFirefoxSystem)));
  EXPECT_TRUE(fs::exists(UserFile(kFirefoxUser)));
}

// ---- status -----------------------------------------------------------------------

TEST_F(InstallerTest, StatusWithNothingInstalledSaysHowToInstall) {
  Outcome r = Run({"status"});
  EXPECT_EQ(r.code, 3);
  EXPECT_THAT(r.out, HasSubstr("chromium (user): not installed"));
  EXPECT_THAT(r.out, HasSubstr("firefox (system): not installed"));
  EXPECT_THAT(r.out, HasSubstr("kestrix-install install"));
}

TEST_F(InstallerTest, StatusListsInstalledManifestsAndTheirHost) {
  ASSERT_EQ(Run({"install", "--browser", "chromium"}).code, 0);
  ASSERT_EQ(Run({"install", "--system", "--browser", "firefox"}).code, 0);
  Outcome r = Run({"status"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr("chromium (user): " + UserFile(kChromiumUser).string()));
  EXPECT_THAT(r.out, HasSubstr("firefox (system): " + SystemFile(kFirefoxSystem).string()));
  EXPECT_THAT(r.out, HasSubstr("host:   " + host_.string()));
  EXPECT_THAT(r.out, HasSubstr(std::string("allows: chrome-extension://") + kBundledId + "/"));
  EXPECT_THAT(r.out, HasSubstr("allows: kestrix@kestrix-host"));
  EXPECT_THAT(r.out, HasSubstr("chrome (user): not installed"));
  EXPECT_THAT(r.out, Not(HasSubstr("BROKEN")));
}

TEST_F(InstallerTest, StatusFlagsAHostThatIsGone) {
  ASSERT_EQ(Run({"install", "--browser", "chromium"}).code, 0);
  fs::remove(host_);
  Outcome r = Run({"status", "--user"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.out, HasSubstr("BROKEN: host " + host_.string() + ": no such file"));
  EXPECT_THAT(r.out, Not(HasSubstr("(system)"))) << "--user limits status to the user folders";
}

TEST_F(InstallerTest, StatusFlagsManifestsABrowserWouldReject) {
  struct Case {
    const char* text;
    const char* problem;
  };
  const std::string origins = R"("allowed_origins":["chrome-extension://)" + std::string(kBundledId) + R"(/"])";
  const std::vector<Case> cases = {
      {"{ not json", "not a valid manifest"},
      {"[1, 2]", "not a valid manifest"},
      {R"({"name":"com.other.host","type":"stdio","path":"/bin/sh",)" "%O}", "\"name\" is not com.kestrix.host"},
      {R"({"name":"com.kestrix.host","type":"pipe","path":"/bin/sh",)" "%O}", "\"type\" is not \"stdio\""},
      {R"({"name":"com.kestrix.host","type":"stdio","path":"bin/sh",)" "%O}", "the path is not absolute"},
      {R"({"name":"com.kestrix.host","type":"stdio","path":"/bin/sh","allowed_origins":[]})", "allows no origin"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    if (size_t at = text.find("%O"); at != std::string::npos) text.replace(at, 2, origins);
    WriteFile(UserFile(kChromiumUser), text);
    Outcome r = Run({"status", "--user", "--browser", "chromium"});
    EXPECT_EQ(r.code, 1) << text;
    EXPECT_THAT(r.out, HasSubstr("BROKEN: ")) << text;
    EXPECT_THAT(r.out, HasSubstr(c.problem)) << text;
  }
}

TEST_F(InstallerTest, StatusReadsFirefoxAllowedExtensionsNotOrigins) {
  // A Chromium-style manifest in the Firefox folder allows no extension there.
  ASSERT_EQ(Run({"install", "--browser", "chromium"}).code, 0);
  WriteFile(UserFile(kFirefoxUser), ReadFile(UserFile(kChromiumUser)));
  Outcome r = Run({"status", "--user", "--browser", "firefox"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.out, HasSubstr("allows no extension"));
}

}  // namespace
