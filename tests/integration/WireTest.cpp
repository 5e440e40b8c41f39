// The wire under pressure, against the built host: a reply leaves while a
// slow request after it is still running, and the bootstrap page works and
// is cleaned up whatever the temporary folder is like.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "HostSession.h"
#include "platform/Kernel.h"

namespace kxtest {
namespace {

constexpr char kNew[] = R"({"method":"new","sender":{"tab":{"id":1},"url":"http://127.0.0.1/"}})";

class Wire : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
  }
  // The fake host with the given TMPDIR and control results.
  std::unique_ptr<ChildProcess> Start(const std::string& tmpdir, const std::string& results = "") {
    ChildProcess::Options options;
    options.env["TMPDIR"] = tmpdir;
    options.stderrPath = tmp.Path() + "/stderr.txt";
    if (!results.empty()) {
      std::ofstream(tmp.Path() + "/results.json") << results;
      options.env["KESTRIX_FAKE_RESULTS"] = tmp.Path() + "/results.json";
    }
    return std::make_unique<ChildProcess>(std::vector<std::string>{FakeHostPath()}, options);
  }
  // The next frame that is not a ping.
  static ReadResult Reply(ChildProcess& host, Millis timeout) {
    for (;;) {
      ReadResult r = host.ReadFrame(timeout);
      if (r.kind != ReadResult::Frame || r.text != kPing) return r;
    }
  }
  std::string Stderr() const {
    std::ifstream in(tmp.Path() + "/stderr.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  harness::TempDir tmp;
};

TEST_F(Wire, AReplyLeavesWhileTheSlowRequestAfterItRuns) {
  // getPrinters takes 2.5 s, as with a scheduler that accepts and never answers.
  auto host = Start(tmp.Path(), R"({"sleepMs":{"getPrinters":2500}})");
  ASSERT_TRUE(host->WriteRaw(harness::Frame(kNew) + harness::Frame(R"({"method":"getVersion","event":"v"})") +
                             harness::Frame(R"({"method":"getPrinters","event":"p"})")));
  ReadResult version = Reply(*host, kTick + kSlack);
  ASSERT_EQ(version.kind, ReadResult::Frame);
  EXPECT_NE(version.text.find("\"event\":\"v\""), std::string::npos) << version.text;
  ReadResult printers = Reply(*host, 2 * kTick);
  ASSERT_EQ(printers.kind, ReadResult::Frame);
  EXPECT_NE(printers.text.find("\"event\":\"p\""), std::string::npos) << printers.text;
  EXPECT_GE(Seconds(printers.at - version.at), 1.5) << "the first reply waited for the slow request";
  host->WriteFrame(R"({"method":"exit"})");
}

TEST_F(Wire, ExitEndsTheHostPromptlyWhileItsOutputIsNotRead) {
  // Megabytes of replies that nobody reads, then "exit": the host's writes
  // are stuck, yet it ends, and soon.
  auto host = Start(tmp.Path());
  std::string requests = harness::Frame(kNew);
  for (int i = 0; i < 2; ++i)
    requests += harness::Frame(R"({"method":"readBase64","event":"b","params":["bytes:1000000"]})");
  requests += harness::Frame(R"({"method":"exit"})");
  ASSERT_TRUE(host->WriteRaw(requests));
  // Before the keepalive could end it (its second tick, at 6 s at the
  // earliest): the exit does.
  auto status = host->WaitExit(kTick + kSlack);
  ASSERT_TRUE(status.has_value()) << "the host hangs on output nobody reads\n" << Stderr();
  EXPECT_EQ(status->code, 0);
}

TEST_F(Wire, ALongTextComesBackWholeInADoubleByteLocale) {
  // A GBK locale built into a private folder; the text (600,000 Chinese
  // characters) is cut into pieces in GBK and must not be cut inside one.
  const std::string locales = tmp.Path() + "/locales";
  const std::string build = "localedef -i zh_CN -f GBK " + locales + "/zh_CN.GBK >/dev/null 2>&1";
  ::mkdir(locales.c_str(), 0700);
  if (std::system(build.c_str()) != 0) GTEST_SKIP() << "localedef cannot build zh_CN.GBK (package locales)";
  std::string text = "a";  // one byte first: an even cut falls inside a character
  for (int i = 0; i < 600000; ++i) text += (i % 3 == 2) ? "\xE6\x96\x87" : "\xE4\xB8\xAD";  // 中中文
  Json::Value results;
  results["readString"] = text;
  std::ofstream(tmp.Path() + "/results.json") << Json::FastWriter().write(results);
  ChildProcess::Options options;
  options.env = {{"TMPDIR", tmp.Path()}, {"LOCPATH", locales}, {"LC_ALL", "zh_CN.GBK"},
                 {"KESTRIX_FAKE_RESULTS", tmp.Path() + "/results.json"}};
  options.stderrPath = tmp.Path() + "/stderr.txt";
  ChildProcess host(std::vector<std::string>{FakeHostPath()}, options);
  ASSERT_TRUE(host.WriteRaw(harness::Frame(kNew) +
                            harness::Frame(R"({"method":"readString","event":"s","params":["f","gbk"]})")));
  std::string joined;
  for (;;) {
    ReadResult r = Reply(host, kTick + kSlack);
    ASSERT_EQ(r.kind, ReadResult::Frame);
    Json::Value v = ParseJson(r.text);
    joined += v["data"].asString();
    if (!v.isMember("index")) break;
  }
  EXPECT_EQ(joined.size(), text.size());
  EXPECT_TRUE(joined == text) << "characters were cut between pieces";
  host.WriteFrame(R"({"method":"exit"})");
}

TEST_F(Wire, ATemporaryFolderWhoseNameIsNotTextInTheLocaleStillLoadsThePage) {
  // "t\xE9mp" is not UTF-8, the locale's charset here.
  const std::string folder = tmp.Path() + "/t\xE9mp";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  auto host = Start(folder + "/");
  ASSERT_TRUE(host->WriteRaw(harness::Frame(kNew) + harness::Frame(R"({"method":"getVersion","event":"v"})")));
  ReadResult r = Reply(*host, kTick + kSlack);
  ASSERT_EQ(r.kind, ReadResult::Frame) << "\"new\" never became ready";
  EXPECT_NE(r.text.find("\"event\":\"v\""), std::string::npos) << r.text;
  host->WriteFrame(R"({"method":"exit"})");
  EXPECT_TRUE(host->WaitExit(kTick).has_value());
}

TEST_F(Wire, APageWrittenUnderAUniqueNameIsRemovedWhenTheHostEnds) {
  const std::string folder = tmp.Path() + "/pages";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  // A directory at the page's name: the rename into place is refused and
  // the unique file is the page.
  FILETIME created{};
  ASSERT_TRUE(GetFileCreationFileTime(FakeHostPath(), &created));
  const std::string pageName = std::to_string(created.dwLowDateTime) + "1.htm";
  ASSERT_EQ(::mkdir((folder + "/" + pageName).c_str(), 0700), 0);
  auto host = Start(folder + "/");
  ASSERT_TRUE(host->WriteRaw(harness::Frame(kNew) + harness::Frame(R"({"method":"getVersion","event":"v"})")));
  ReadResult r = Reply(*host, kTick + kSlack);
  ASSERT_EQ(r.kind, ReadResult::Frame);
  host->WriteFrame(R"({"method":"exit"})");
  auto status = host->WaitExit(kTick);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename() != pageName) left.push_back(entry.path().filename());
  EXPECT_TRUE(left.empty()) << "left behind: " << (left.empty() ? "" : left[0]);
}

}  // namespace
}  // namespace kxtest
