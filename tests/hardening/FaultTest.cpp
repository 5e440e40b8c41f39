// Faults around the host: its output closed by the extension, its input
// closed in the middle of a frame, a control whose every member fails, and a
// temporary folder where the bootstrap page cannot be written. Each ends in a
// defined outcome: the host goes on answering what it can, and when it ends,
// it ends by exit(0), never by a signal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>

#include "CommandKinds.h"
#include "HostUnderTest.h"

namespace hardening {
namespace {

void ExpectCleanExit(HostUnderTest& host, Millis within) {
  auto status = host.Child().WaitExit(within);
  ASSERT_TRUE(status.has_value()) << "the host did not end";
  EXPECT_TRUE(status->exited) << "ended by signal " << status->signal << "\n" << host.Stderr();
  EXPECT_EQ(status->code, 0);
}

class Fault : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
  }
};

TEST_F(Fault, OutputClosedWhileRequestsFlowTheHostGoesOnUntilExit) {
  HostUnderTest host(FakeHostPath());
  host.Start();
  host.Child().CloseStdout();
  // Every reply and ping now fails to write. The requests keep it alive for
  // two keepalive periods; pausing between them is a wait for its death.
  auto until = harness::Clock::now() + 2 * kTick + 500ms;
  int sent = 0;
  while (harness::Clock::now() < until) {
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(host.Send(R"({"method":"getPrinters","event":"p"})"));
    sent += 50;
    ASSERT_FALSE(harness::PollUntil([&] { return !host.Child().Running(); }, 200ms))
        << "the host ended while its requests kept coming\n" << host.Stderr();
  }
  EXPECT_GT(sent, 500);
  ASSERT_TRUE(host.Send(R"({"method":"exit"})"));
  ExpectCleanExit(host, kTick);
}

TEST_F(Fault, InputClosedInTheMiddleOfAFrameAfterRequestsAnswersThemAndEnds) {
  HostUnderTest host(FakeHostPath());
  host.Start();
  std::string batch;
  for (int i = 0; i < 200; ++i) batch += harness::Frame(R"({"method":"getVersion","event":"q)" + std::to_string(i) + "\"}");
  const std::string last = harness::Frame(R"({"method":"getVersion","event":"never"})");
  batch += last.substr(0, last.size() / 2);
  ASSERT_TRUE(host.SendRaw(batch));
  host.Child().CloseStdin();
  for (int i = 0; i < 200; ++i) {
    std::optional<Json::Value> r = host.Await("q" + std::to_string(i), 10s);
    ASSERT_TRUE(r.has_value()) << "reply q" << i << " lost";
  }
  EXPECT_FALSE(host.Await("never", kTick).has_value());
  ExpectCleanExit(host, 3 * kTick);
}

TEST_F(Fault, AControlWhoseEveryMemberFailsGetsTheOutParametersInitialValues) {
  harness::TempDir dir;
  const std::string results = dir.Path() + "/results.json";
  // Every command's member fails, and the set-up members too.
  Json::Value failing(Json::objectValue);
  for (const Command& c : Commands()) failing["fail"].append(c.method);
  for (const char* setup : {"setPageURL", "setHostCode"}) failing["fail"].append(setup);
  std::ofstream(results) << Compact(failing);
  HostUnderTest host(FakeHostPath(), {{"KESTRIX_FAKE_RESULTS", results}});
  host.Start();
  for (const Command& c : Commands()) {
    Json::Value r(Json::objectValue);
    r["method"] = c.method;
    r["event"] = c.method;
    for (char kind : std::string(c.kinds)) r["params"].append(Plain(kind));
    ASSERT_TRUE(host.Send(Compact(r)));
  }
  std::vector<Json::Value> frames = host.Sync();
  std::map<std::string, Json::Value> replies;
  for (const Json::Value& f : frames) {
    ASSERT_FALSE(f.isMember("params")) << "an event from a failed job: " << Compact(f);
    const std::string m = f["event"].asString();
    EXPECT_EQ(replies.count(m), 0u) << "two replies for " << m;
    replies[m] = f;
  }
  size_t replying = 0;
  for (const Command& c : Commands()) {
    const std::string m = c.method;
    if (!c.replies) {
      EXPECT_EQ(replies.count(m), 0u) << m;
      continue;
    }
    ASSERT_EQ(replies.count(m), 1u) << "no reply for " << m;
    // What a failed member leaves in each kind of out-parameter. (The fake's
    // writeString and writeBase64 set theirs to 1 before failing: they answer
    // true, which is what the control left there.)
    const Json::Value& f = replies[m];
    if (m == "writeString" || m == "writeBase64") EXPECT_TRUE(f["data"].isBool()) << m;
    else if (c.reply == ReplyKind::Bool) EXPECT_EQ(f["data"], Json::Value(false)) << m;
    else if (c.reply == ReplyKind::Text) EXPECT_EQ(f["data"], Json::Value("")) << m;
    else if (c.reply == ReplyKind::Value) EXPECT_TRUE(f["data"].isNull()) << m << ": " << Compact(f);
    else if (c.reply == ReplyKind::Long) EXPECT_EQ(f["data"], Json::Value(0)) << m;
    else EXPECT_FALSE(f.isMember("data")) << m << ": " << Compact(f);
    ++replying;
  }
  EXPECT_EQ(replies.size(), replying);
}

TEST_F(Fault, AControlThatThrowsOutOfItsMembersLosesThoseRequestsOnly) {
  harness::TempDir dir;
  const std::string results = dir.Path() + "/results.json";
  // Every command member throws except the set-up ones (so "new" succeeds)
  // and getVersion, which shows the host still answering afterwards.
  Json::Value throwing(Json::objectValue);
  for (const Command& c : Commands())
    if (std::string(c.method) != "getVersion") throwing["throw"].append(c.method);
  std::ofstream(results) << Compact(throwing);
  HostUnderTest host(FakeHostPath(), {{"KESTRIX_FAKE_RESULTS", results}});
  host.Start();
  for (const Command& c : Commands()) {
    Json::Value r(Json::objectValue);
    r["method"] = c.method;
    r["event"] = c.method;
    for (char kind : std::string(c.kinds)) r["params"].append(Plain(kind));
    ASSERT_TRUE(host.Send(Compact(r)));
  }
  ASSERT_TRUE(host.Send(R"({"method":"getVersion","event":"after"})"));
  std::set<std::string> answered;
  for (const Json::Value& f : host.Sync()) answered.insert(f["event"].asString());
  EXPECT_EQ(answered, (std::set<std::string>{"getVersion", "after"}))
      << "a member that throws loses its own request, no other";
  ASSERT_TRUE(host.Send(R"({"method":"exit"})"));
  ExpectCleanExit(host, Millis(5000));
}

// The bootstrap page cannot be written: the page never loads, so "new" never
// finds the control (it keeps waiting for the page, pumping messages) and
// every other request stays held by the gate.
class UnwritableTemp : public Fault {
 protected:
  void SetUp() override {
    Fault::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() == 0) {
      // Root writes into any folder whatever its mode: a path below a
      // regular file cannot be written by anyone.
      tmp = dir.Path() + "/file";
      std::ofstream(tmp) << "not a folder";
      tmp += "/tmp";
    } else {
      tmp = dir.Path() + "/ro";
      ASSERT_EQ(::mkdir(tmp.c_str(), 0555), 0);
    }
  }
  void TearDown() override {
    if (::geteuid() != 0 && !tmp.empty()) ::chmod(tmp.c_str(), 0755);
  }
  harness::TempDir dir;
  std::string tmp;
};

TEST_F(UnwritableTemp, ThePageThatCannotBeWrittenIsReportedAndThePingsKeepTheHost) {
  HostUnderTest host(FakeHostPath(), {{"TMPDIR", tmp}});
  ASSERT_TRUE(host.Send(kNew));
  // The extension answers the pings: two keepalive periods later the host is
  // still there, and it has said on standard error why the control is out of reach.
  EXPECT_FALSE(host.Await("never", 2 * kTick + 500ms).has_value());
  ASSERT_TRUE(host.Child().Running()) << host.Stderr();
  EXPECT_NE(host.Stderr().find("the printing control is unavailable: the bootstrap page could not be written"),
            std::string::npos)
      << host.Stderr();
  // Silence: the host ends within two ticks.
  ExpectCleanExit(host, 3 * kTick);
}

TEST_F(UnwritableTemp, ARequestHeldByTheGateGetsControlUnavailable) {
  HostUnderTest host(FakeHostPath(), {{"TMPDIR", tmp}});
  ASSERT_TRUE(host.Send(kNew));
  ASSERT_TRUE(host.Send(R"({"method":"getVersion","event":"held"})"));
  // Known as soon as "new" looks for the page: the held request is released
  // with the error that says why.
  std::optional<Json::Value> reply = host.Await("held", kTick);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ((*reply)["error"]["code"].asString(), "controlUnavailable") << reply->toStyledString();
  EXPECT_EQ((*reply)["tab"].asInt(), 7);
  ExpectCleanExit(host, 3 * kTick);
}

}  // namespace
}  // namespace hardening
