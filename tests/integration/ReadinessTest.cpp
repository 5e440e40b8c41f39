// With the fake control behind the page: requests held by the gate are
// released by the first "new", replies carry the tab that "new" set, and a
// request that fails leaves the host answering the next one.
#include <gtest/gtest.h>

#include <string>

#include "HostSession.h"

namespace kxtest {
namespace {

class Readiness : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
  }
};

const char kNew[] = R"({"method":"new","sender":{"tab":{"id":7},"url":"http://127.0.0.1/page.html"}})";

TEST_F(Readiness, ARequestHeldWhileNewIsUnderWayIsAnsweredOnceTheControlIsReady) {
  // The control takes a while to appear, so the second request reaches the
  // gate while "new" is still waiting for it: held, then released.
  HostRun host(FakeHostPath(), {}, {{"KESTRIX_FAKE_SLOW", "50"}});
  ASSERT_TRUE(host->WriteRaw(harness::Frame(kNew) + harness::Frame(R"({"method":"getVersion","event":"v"})")));
  ReadResult r = host->ReadFrameContaining("\"event\":\"v\"", kTick * 2);
  ASSERT_EQ(r.kind, ReadResult::Frame) << "no reply to the held request";
  EXPECT_EQ(r.text, "{\"data\":\"1.0.0-fake\",\"event\":\"v\",\"tab\":7}\n");
  ASSERT_TRUE(host->WriteFrame(R"({"method":"exit"})"));
  auto status = host->WaitExit(kTick);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
}

TEST_F(Readiness, ARequestBeforeNewHoldsTheReaderSoNewIsNeverRead) {
  // The gate waits on the reader thread: nothing after the held request is
  // read, "new" included, and the keepalive ends the host without a reply.
  HostRun host(FakeHostPath());
  ASSERT_TRUE(host->WriteFrame(R"({"method":"getVersion","event":"v"})"));
  ASSERT_TRUE(host->WriteFrame(kNew));
  auto status = host->WaitExit(2 * kTick + kSlack * 2);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
  for (ReadResult r = host->ReadFrame(1s); r.kind == ReadResult::Frame; r = host->ReadFrame(1s))
    EXPECT_EQ(r.text, kPing);
}

TEST_F(Readiness, AFailingRequestIsAbandonedAndTheNextIsAnswered) {
  HostRun host(FakeHostPath());
  ASSERT_TRUE(host->WriteFrame(kNew));
  ASSERT_TRUE(host->WriteFrame(R"({"method":"setOffsetPage","event":"bad","params":["3"]})"));
  ASSERT_TRUE(host->WriteFrame(R"({"method":"isImplemented","event":"bad","params":[12]})"));
  ASSERT_TRUE(host->WriteFrame(R"({"method":"setOffsetPage","event":"good","params":[3]})"));
  ReadResult r = host->ReadFrameContaining("\"event\":\"good\"", kTick * 2);
  ASSERT_EQ(r.kind, ReadResult::Frame);
  EXPECT_EQ(r.text, "{\"event\":\"good\",\"tab\":7}\n");
  for (const std::string& skipped : host->Skipped()) EXPECT_EQ(skipped.find("bad"), std::string::npos) << skipped;
  ASSERT_TRUE(host->WriteFrame(R"({"method":"exit"})"));
  auto status = host->WaitExit(kTick);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
}

TEST_F(Readiness, RequestsOutsideTheTableAreIgnoredWithoutAReply) {
  HostRun host(FakeHostPath());
  ASSERT_TRUE(host->WriteFrame(kNew));
  ASSERT_TRUE(host->WriteFrame(R"({"method":"Print","event":"x"})"));
  ASSERT_TRUE(host->WriteFrame(R"({"method":"getVersion ","event":"x"})"));
  ASSERT_TRUE(host->WriteFrame(R"({"event":"x"})"));
  ASSERT_TRUE(host->WriteFrame(R"({"method":"getVersion","event":"last"})"));
  ReadResult r = host->ReadFrameContaining("\"event\":\"last\"", kTick * 2);
  ASSERT_EQ(r.kind, ReadResult::Frame);
  for (const std::string& skipped : host->Skipped()) EXPECT_EQ(skipped.find("\"x\""), std::string::npos) << skipped;
  host->CloseStdin();
  auto status = host->WaitExit(2 * kTick + kSlack * 2);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
}

}  // namespace
}  // namespace kxtest
