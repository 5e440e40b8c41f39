// The host enforces what a site may do: through the dispatcher, the proxy and
// the real page into the fake control, with the policy and the user's
// decisions in files of a private folder.
#include <sys/stat.h>

#include <filesystem>

#include "ProxyFixture.h"
#include "browser/BootstrapPage.h"
#include "dispatch/CommandDispatcher.h"

namespace {

namespace fs = std::filesystem;

Json::Value Parse(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
  return v;
}

class SiteGuardTest : public ProxyTest {
 protected:
  void SetUp() override {
    ProxyTest::SetUp();
    folder = fs::temp_directory_path() / ("kx-sites-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    paths = {(folder / "policy.json").string(), (folder / "config/kestrix/sites.json").string()};
    MakeProxy(WriteBootstrapPage());
  }
  void TearDown() override {
    fs::remove_all(folder);
    ProxyTest::TearDown();
  }
  void WritePolicy(const std::string& json) { std::ofstream(paths.policy) << json; }
  // A host process serving a page of origin; the first one makes the control appear.
  std::unique_ptr<CommandDispatcher> Host(const std::string& url) {
    // Files looked at before every check: changes by "other hosts" show at once.
    auto d = std::make_unique<CommandDispatcher>(proxy.get(), paths, std::chrono::milliseconds(0));
    d->HandleRequest(NewRequest(9, url));
    EXPECT_TRUE(proxy->IsReady());
    if (control) control->calls.clear();
    messages.clear();
    return d;
  }
  Json::Value Send(CommandDispatcher& d, const std::string& request) {
    messages.clear();
    d.HandleRequest(Parse(request));
    return messages.empty() ? Json::Value() : messages.back();
  }
  std::string SitesFile() {
    std::ifstream in(paths.sites);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path folder;
  SiteGuard::Paths paths;
};

TEST_F(SiteGuardTest, ABlockedOriginGetsTheErrorAndTheControlIsNeverCalled) {
  WritePolicy(R"({"block": ["https://evil.test"]})");
  auto host = Host("https://evil.test/page");
  EXPECT_EQ(Send(*host, R"({"method":"getPrinters","event":"p"})"),
            Parse(R"({"error":{"capability":"printers","code":"permissionDenied","decidedBy":"policy","mayAsk":false,
                      "message":"https://evil.test may not use the capability \"printers\"",
                      "method":"getPrinters","origin":"https://evil.test"},"event":"p","tab":9})"));
  // A command without an event name is refused unanswered (every answer names its request).
  EXPECT_EQ(Send(*host, R"({"method":"print","params":[{"html":"<p>x</p>"},false]})"), Json::Value());
  // A refused request of the wrong shape is dropped like any such request.
  EXPECT_THROW(Send(*host, R"({"method":"setOffsetPage","event":"o","params":["3"]})"), Json::LogicError);
  EXPECT_EQ(messages.size(), 0u);
  // Asked beforehand (commands that never reply), the answer is the same refusal.
  EXPECT_EQ(Send(*host, R"({"method":"siteCheck","event":"k","params":["print",[{"html":"<p>x</p>"}]]})")["error"]["method"],
            "print");
  EXPECT_EQ(Send(*host, R"({"method":"siteCheck","event":"k","params":["about",[]]})")["data"], true);
  Send(*host, R"({"method":"writeString","event":"w","params":["a.txt","x",""]})");
  Send(*host, R"({"method":"copy","event":"c","params":["a","b"]})");
  EXPECT_EQ(Members(), std::vector<std::string>{}) << "the control was called for a refused command";
  // What needs no capability still works for everyone.
  EXPECT_EQ(Send(*host, R"({"method":"getVersion","event":"v"})")["data"], "1.0.0-fake");
}

TEST_F(SiteGuardTest, ASiteThatMayOnlyPrintWritesNoDocumentIntoItsFiles) {
  WritePolicy(R"({"allow": {"https://labels.test": ["printers"]}})");
  auto host = Host("https://labels.test/");
  Json::Value refused = Send(*host, R"({"method":"printToPDF","event":"p","params":[{"html":"<p>x</p>"},"label.pdf"]})");
  EXPECT_EQ(refused["error"]["capability"], "writeFiles");
  EXPECT_EQ(refused["error"]["message"], "https://labels.test may not use the capability \"writeFiles\" "
                                         "(printToPDF needs \"printers\" and \"writeFiles\")");
  Send(*host, R"({"method":"getPrinters","event":"g"})");
  EXPECT_EQ(Members(), std::vector<std::string>{"getPrinters"});
}

TEST_F(SiteGuardTest, EverySpellingOfABlockedOriginIsBlocked) {
  WritePolicy(R"({"block": ["https://evil.example"]})");
  for (const char* page : {"https://evil.example./", "HTTPS://EVIL.example:443/x", "https://%65vil.example/",
                           "https:\\\\evil.example\\a", "https://shop.example@evil.example/",
                           "https://evil.example\\@shop.example/"}) {
    auto host = Host(page);
    Json::Value e = Send(*host, R"({"method":"writeString","event":"w","params":["a.txt","x",""]})");
    EXPECT_EQ(e["error"]["decidedBy"], "policy") << page;
    EXPECT_EQ(e["error"]["origin"], "https://evil.example") << page;
  }
  // The user cannot open what the policy closed by spelling it otherwise.
  auto host = Host("https://shop.example/");
  EXPECT_EQ(Send(*host, R"({"method":"siteDecide","event":"d","params":["https://evil.example.","writeFiles","allow",true]})")
                ["error"]["code"], "siteDecisionRefused");
  EXPECT_EQ(Members(), std::vector<std::string>{});
}

TEST_F(SiteGuardTest, AnUndecidedSiteMayAskAndTheUsersRememberedAllowIsKeptPrivately) {
  auto host = Host("https://shop.test/cart");
  Json::Value refused = Send(*host, R"({"method":"readBase64","event":"r","params":["a.bin"]})");
  EXPECT_EQ(refused["error"]["decidedBy"], "nobody");
  EXPECT_EQ(refused["error"]["mayAsk"], true);
  EXPECT_EQ(refused["error"]["capability"], "readFiles");

  EXPECT_EQ(Send(*host, R"({"method":"siteDecide","event":"d","params":["https://shop.test","readFiles","allow",true]})")["data"],
            true);
  EXPECT_EQ(Parse(SitesFile()), Parse(R"({"https://shop.test":{"readFiles":"allow"}})"));
  struct stat st {};
  ASSERT_EQ(::stat(paths.sites.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(fs::path(paths.sites).parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u) << "the decisions' folder is open to others";
  for (const auto& entry : fs::directory_iterator(fs::path(paths.sites).parent_path()))
    EXPECT_EQ(entry.path().filename(), "sites.json") << "a temporary file was left behind";

  Send(*host, R"({"method":"readBase64","event":"r","params":["a.bin"]})");
  EXPECT_EQ(Members(), std::vector<std::string>{"readBase64"});
  // Another host (tab) of the same site reads the remembered decision.
  auto other = Host("https://shop.test/other");
  Send(*other, R"({"method":"readBase64","event":"r","params":["a.bin"]})");
  EXPECT_EQ(Members(), std::vector<std::string>{"readBase64"});
  // Another site does not get it.
  auto third = Host("https://shop.test:8443/");
  EXPECT_EQ(Send(*third, R"({"method":"readBase64","event":"r","params":["a.bin"]})")["error"]["mayAsk"], true);
}

TEST_F(SiteGuardTest, ADecisionWithoutRememberHoldsForThisHostOnlyAndIsNeverWritten) {
  auto host = Host("https://shop.test/");
  Send(*host, R"({"method":"siteDecide","event":"d","params":["https://shop.test","printers","allow",false]})");
  Send(*host, R"({"method":"getPrinters","event":"p"})");
  EXPECT_EQ(Members(), std::vector<std::string>{"getPrinters"});
  EXPECT_FALSE(fs::exists(paths.sites));
  auto other = Host("https://shop.test/");
  EXPECT_EQ(Send(*other, R"({"method":"getPrinters","event":"p"})")["error"]["mayAsk"], true);
  // Blocked for this host: refused without asking again.
  Send(*other, R"({"method":"siteDecide","event":"d","params":["https://shop.test","printers","block",false]})");
  Json::Value e = Send(*other, R"({"method":"getPrinters","event":"p"})");
  EXPECT_EQ(e["error"]["decidedBy"], "session");
  EXPECT_EQ(e["error"]["mayAsk"], false);
}

TEST_F(SiteGuardTest, ChangesToTheFilesHoldAtTheNextRequestOfARunningHost) {
  auto host = Host("https://shop.test/");
  Send(*host, R"({"method":"siteDecide","event":"d","params":["https://shop.test","deviceIds","allow",true]})");
  Send(*host, R"({"method":"getCPUSerialNo","event":"c"})");
  EXPECT_EQ(Members(), std::vector<std::string>{"getCPUSerialNo"});
  // Removed in the options page, through another host.
  auto options = Host("http://127.0.0.1/options");
  EXPECT_EQ(Send(*options, R"({"method":"siteForget","event":"f","params":["https://shop.test"]})")["data"], true);
  control->calls.clear();
  EXPECT_EQ(Send(*host, R"({"method":"getCPUSerialNo","event":"c"})")["error"]["mayAsk"], true);
  // The administrator blocks the site while the host runs.
  WritePolicy(R"({"block": ["https://shop.test"], "othersMayAsk": true})");
  EXPECT_EQ(Send(*host, R"({"method":"getVersion","event":"v"})")["data"], "1.0.0-fake");
  EXPECT_EQ(Send(*host, R"({"method":"getCPUSerialNo","event":"c"})")["error"]["decidedBy"], "policy");
  EXPECT_EQ(Members(), std::vector<std::string>{"getVersion"});
}

TEST_F(SiteGuardTest, ThePolicyDecidesAloneAndCannotBeOverriddenByTheUser) {
  WritePolicy(R"({"allow": {"https://intranet.test": ["printers"]}, "othersMayAsk": false})");
  fs::create_directories(fs::path(paths.sites).parent_path());
  std::ofstream(paths.sites) << R"({"https://intranet.test":{"deviceIds":"allow"},"https://shop.test":{"printers":"allow"}})";
  auto host = Host("https://intranet.test/labels");
  Send(*host, R"({"method":"getPapers","event":"p","params":["P"]})");
  EXPECT_EQ(Members(), std::vector<std::string>{"getPapers"});
  EXPECT_EQ(Send(*host, R"({"method":"getCPUSerialNo","event":"c"})")["error"]["decidedBy"], "policy");
  Json::Value refused = Send(*host, R"({"method":"siteDecide","event":"d","params":["https://intranet.test","deviceIds","allow",true]})");
  EXPECT_EQ(refused["error"]["code"], "siteDecisionRefused");
  EXPECT_EQ(refused["event"], "d");
  auto shop = Host("https://shop.test/");
  Json::Value e = Send(*shop, R"({"method":"getPrinters","event":"p"})");
  EXPECT_EQ(e["error"]["mayAsk"], false) << "othersMayAsk false: the user's own allow does not count";
  Json::Value list = Send(*shop, R"({"method":"siteList","event":"l"})")["data"];
  EXPECT_EQ(list["policy"]["allow"]["https://intranet.test"], Parse(R"(["printers"])"));
  EXPECT_EQ(list["policy"]["othersMayAsk"], false);
  EXPECT_EQ(list["sites"]["https://shop.test"]["printers"], "allow");
}

TEST_F(SiteGuardTest, ABrokenPolicyFileAllowsNothingEvenForLoopbackPages) {
  WritePolicy(R"({"allow": {"http://127.0.0.1:*": "al"}})");
  auto host = Host("http://127.0.0.1:8000/");
  Json::Value e = Send(*host, R"({"method":"getPrinters","event":"p"})");
  EXPECT_EQ(e["error"]["decidedBy"], "policy");
  EXPECT_NE(Send(*host, R"({"method":"siteList","event":"l"})")["data"]["policy"]["error"].asString(), "");
  WritePolicy("{not json");
  EXPECT_EQ(Send(*host, R"({"method":"getPrinters","event":"p"})")["error"]["decidedBy"], "policy");
  EXPECT_EQ(Members(), std::vector<std::string>{});
}

TEST_F(SiteGuardTest, OnlyAnAbsentPolicyIsTheBuiltInOne) {
  // Present but unreadable allows nothing, for the loopback pages the built-in policy would let in too.
  auto refused = [&](const std::string& why) {
    auto host = Host("http://127.0.0.1:8000/");
    Json::Value e = Send(*host, R"({"method":"getPrinters","event":"p"})");
    EXPECT_EQ(e["error"]["decidedBy"], "policy") << why;
    EXPECT_NE(Send(*host, R"({"method":"siteList","event":"l"})")["data"]["policy"]["error"].asString(), "") << why;
  };
  fs::create_symlink(folder / "nothing-here.json", paths.policy);
  refused("a link to nothing");
  fs::remove(paths.policy);
  fs::create_symlink(folder, paths.policy);
  refused("a link to a folder");
  fs::remove(paths.policy);
  if (::geteuid() != 0) {  // root reads whatever the mode says
    WritePolicy(R"({"allow": {"http://127.0.0.1:*": "all"}})");
    fs::permissions(paths.policy, fs::perms::none);
    refused("a file that may not be read");
    fs::remove(paths.policy);
  }
  EXPECT_EQ(Members(), std::vector<std::string>{});
  // Absent: the built-in policy, which lets loopback pages in.
  auto host = Host("http://127.0.0.1:8000/");
  Send(*host, R"({"method":"getPrinters","event":"p"})");
  EXPECT_EQ(Members(), std::vector<std::string>{"getPrinters"});
}

// What a lenient reader would take (a comment, a trailing comma, a member
// given twice, text after the object) is not JSON: such a policy allows nothing.
TEST_F(SiteGuardTest, APolicyWithCommentsOrTrailingCommasIsMalformedAndAllowsNothing) {
  const char* const malformed[] = {
      "{\"allow\": {\"http://127.0.0.1:*\": \"all\"},}",
      "{\"allow\": {\"http://127.0.0.1:*\": [\"printers\",]}}",
      "// the shop\n{\"allow\": {\"http://127.0.0.1:*\": \"all\"}}",
      "{\"allow\": {\"http://127.0.0.1:*\": \"all\"}} /* end */",
      "{\"allow\": {\"http://127.0.0.1:*\": \"all\"}, \"allow\": {}}",
  };
  for (const char* text : malformed) {
    WritePolicy(text);
    auto host = Host("http://127.0.0.1:8000/");
    Json::Value e = Send(*host, R"({"method":"getPrinters","event":"p"})");
    EXPECT_EQ(e["error"]["decidedBy"], "policy") << text;
    EXPECT_EQ(e["error"]["mayAsk"], false) << text;
    EXPECT_NE(Send(*host, R"({"method":"siteList","event":"l"})")["data"]["policy"]["error"].asString(), "") << text;
  }
  WritePolicy(R"({"allow": {"http://127.0.0.1:*": "all"}})");
  auto host = Host("http://127.0.0.1:8000/");
  EXPECT_TRUE(Send(*host, R"({"method":"getPrinters","event":"p"})").isMember("data")) << "the same policy, well written";
}

TEST_F(SiteGuardTest, DecisionFilesOfTheWrongKindNeverHangOrGrant) {
  // A FIFO would block a reader for ever; garbage and a folder must grant nothing.
  fs::create_directories(fs::path(paths.sites).parent_path());
  ASSERT_EQ(::mkfifo(paths.sites.c_str(), 0600), 0);
  fs::create_directories(paths.policy);
  auto host = Host("https://shop.test/");
  Json::Value e = Send(*host, R"({"method":"getPrinters","event":"p"})");
  EXPECT_EQ(e["error"]["decidedBy"], "policy") << "a policy that cannot be read allows nothing";
  fs::remove(paths.policy);
  fs::remove(paths.sites);
  std::ofstream(paths.sites) << "{\"https://shop.test\": {\"printers\": \"allow\"";  // cut short
  EXPECT_EQ(Send(*host, R"({"method":"getPrinters","event":"p"})")["error"]["mayAsk"], true);
  EXPECT_EQ(Members(), std::vector<std::string>{});
}

TEST_F(SiteGuardTest, BadDecisionsAreRefusedWithAReason) {
  auto host = Host("https://shop.test/");
  for (const char* params : {R"(["https://shop.test/path","printers","allow",true])",
                             R"(["file:///","printers","allow",true])", R"(["https://shop.test","print","allow",true])",
                             R"(["https://shop.test","printers","yes",true])", R"(["http://127.0.0.1:5","printers","block",true])"}) {
    Json::Value e = Send(*host, std::string(R"({"method":"siteDecide","event":"d","params":)") + params + "}");
    EXPECT_EQ(e["error"]["code"], "siteDecisionRefused") << params;
  }
  EXPECT_FALSE(fs::exists(paths.sites));
}

}  // namespace
