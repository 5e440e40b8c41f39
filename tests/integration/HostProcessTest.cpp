// The shipped host over its standard input and output: the keepalive's ping
// and its end on silence, "exit", frames it must drop, input and output that
// go away, and requests held back until the control is ready.
#include <gtest/gtest.h>

#include <string>

#include "HostSession.h"

namespace kxtest {
namespace {

class HostProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (HostPath().empty()) GTEST_SKIP() << "the host program is not built";
  }
};

TEST_F(HostProcess, TheFirstPingIsExactlyTheFramedTextAboutThreeSecondsAfterStart) {
  HostRun host(HostPath());
  ReadResult r = host->ReadFrame(kTick + kSlack * 2);
  ASSERT_EQ(r.kind, ReadResult::Frame);
  // The harness decoded the length from the prefix: 17 bytes, no newline.
  EXPECT_EQ(r.text, kPing);
  EXPECT_EQ(harness::Frame(r.text), std::string("\x11\x00\x00\x00", 4) + kPing);
  double after = Seconds(r.at - host->StartedAt());
  EXPECT_GE(after, 2.9);
  EXPECT_LE(after, Seconds(kTick + kSlack * 2));
}

TEST_F(HostProcess, SilenceEndsTheProcessThreeToSixSecondsAfterTheLastHandledRequest) {
  HostRun host(HostPath());
  ASSERT_EQ(host->ReadFrame(kTick + kSlack * 2).text, kPing);
  ASSERT_TRUE(host->WriteFrame(kPing));
  // Answered: the next tick pings again.
  ASSERT_EQ(host->ReadFrame(kTick + kSlack).text, kPing);
  auto lastRequest = harness::Clock::now();
  ASSERT_TRUE(host->WriteFrame(kPing));
  // Then silence: one more ping at the next tick, the exit at the tick after.
  ReadResult r = host->ReadFrame(kTick + kSlack);
  EXPECT_EQ(r.text, kPing);
  auto status = host->WaitExit(2 * kTick + kSlack);
  auto ended = harness::Clock::now();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
  double after = Seconds(ended - lastRequest);
  EXPECT_GE(after, 3.0);
  EXPECT_LE(after, Seconds(2 * kTick + kSlack));
  EXPECT_EQ(host->ReadFrame(1s).kind, ReadResult::Closed);
}

TEST_F(HostProcess, ExitEndsTheProcessAtOnce) {
  HostRun host(HostPath());
  ASSERT_TRUE(host->WriteFrame(R"({"method":"exit"})"));
  auto status = host->WaitExit(kHangGuard);
  ASSERT_TRUE(status.has_value()) << "still running after exit";
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
  // Ended before its first tick: the keepalive, which would also end it,
  // pings first.
  EXPECT_EQ(host->ReadFrame(1s).kind, ReadResult::Closed);
}

TEST_F(HostProcess, RequestsAfterExitInTheSameWriteAreNotCarriedOut) {
  HostRun host(HostPath());
  ASSERT_TRUE(host->WriteRaw(harness::Frame(R"({"method":"exit"})") +
                             harness::Frame(R"({"method":"new","sender":{"tab":{"id":1}}})") +
                             harness::Frame(R"({"method":"getVersion","event":"v"})")));
  auto status = host->WaitExit(kHangGuard);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
  EXPECT_EQ(host->ReadFrame(1s).kind, ReadResult::Closed);
}

TEST_F(HostProcess, BadFramesAreDroppedAndTheHostGoesOn) {
  HostRun host(HostPath());
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  for (const std::string& bad : {std::string(), std::string("not json"), std::string("{\"method\":"), deep,
                                 std::string("42"), std::string("[1,2]"), std::string("\"exit\""),
                                 std::string("null"), std::string("[\"\xFF\xFE\"]")})
    ASSERT_TRUE(host->WriteFrame(bad));
  // A NUL cuts the text: what is before it is a valid exit that must not be
  // taken, so here the text before the NUL is a ping.
  ASSERT_TRUE(host->WriteFrame(std::string(kPing) + std::string("\0{\"method\":\"exit\"}", 18)));
  // The host keeps pinging while its pings are answered: the reader thread
  // is alive and not stuck behind any of the frames above.
  for (int i = 0; i < 3; ++i) {
    ReadResult r = host->ReadFrame(kTick * 2 + kSlack);
    ASSERT_EQ(r.kind, ReadResult::Frame) << "ping " << i;
    ASSERT_EQ(r.text, kPing);
    ASSERT_TRUE(host->WriteFrame(kPing));
  }
  ASSERT_TRUE(host->WriteFrame(R"({"method":"exit"})"));
  auto status = host->WaitExit(kTick);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
}

TEST_F(HostProcess, InputClosedInTheMiddleOfAFrameDropsItAndTheHostEnds) {
  HostRun host(HostPath());
  const std::string exitFrame = harness::Frame(R"({"method":"exit"})");
  ASSERT_TRUE(host->WriteRaw(exitFrame.substr(0, exitFrame.size() - 2)));
  host->CloseStdin();
  // Nothing more can come: the host ends at once, before its first tick.
  auto status = host->WaitExit(kTick);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
  EXPECT_NE(host->ReadFrame(1s).kind, ReadResult::Frame) << "a ping: the keepalive ended the host";
}

TEST_F(HostProcess, InputClosedInsideTheLengthPrefix) {
  HostRun host(HostPath());
  ASSERT_TRUE(host->WriteRaw(std::string("\x11\x00", 2)));
  host->CloseStdin();
  auto status = host->WaitExit(2 * kTick + kSlack * 2);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
}

TEST_F(HostProcess, OutputClosedByTheExtensionNeitherCrashesNorHangsTheHost) {
  HostRun host(HostPath());
  host->CloseStdout();
  // The ping at the first tick fails to write; the host goes on and ends at
  // the second tick, by exit(0) and not by a signal. When it ends is the
  // keepalive's test (above); this one only asks that it ends, so it allows
  // for a machine that stalls for seconds.
  auto status = host->WaitExit(2 * kTick + kHangGuard);
  ASSERT_TRUE(status.has_value()) << "still running " << Seconds(2 * kTick + kHangGuard) << " s after start";
  EXPECT_TRUE(status->exited) << "ended by signal " << status->signal;
  EXPECT_EQ(status->code, 0);
}

TEST_F(HostProcess, ARequestBeforeReadinessGetsNoReply) {
  HostRun host(HostPath());
  ASSERT_TRUE(host->WriteFrame(R"({"method":"getVersion","event":"early"})"));
  // The gate holds the reader: the pings answered after it are not read,
  // so the host pings once and ends at the second tick, never replying.
  ReadResult r = host->ReadFrame(kTick + kSlack * 2);
  ASSERT_EQ(r.text, kPing);
  ASSERT_TRUE(host->WriteFrame(kPing));
  auto status = host->WaitExit(kTick + kSlack);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
  for (r = host->ReadFrame(1s); r.kind == ReadResult::Frame; r = host->ReadFrame(1s))
    EXPECT_EQ(r.text.find("early"), std::string::npos) << r.text;
}

}  // namespace
}  // namespace kxtest
