// The relay mode end to end, with the host built to report Windows major
// version 5: a launcher started with an argument creates the pipe in the
// user's private folder, starts itself again as the worker, and copies its
// standard input into the pipe in pieces of up to 1024 bytes; the worker
// answers on the shared standard output.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "HostSession.h"

namespace kxtest {
namespace {

// The processes the launcher started (its children), by pid.
std::string ChildrenOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::string children;
  std::getline(in, children);
  while (!children.empty() && children.back() == ' ') children.pop_back();
  return children;
}

// True once the process has ended (gone, or a zombie its parent has not reaped).
bool Ended(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return true;
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

class Relay : public ::testing::Test {
 protected:
  void SetUp() override {
    if (V5HostPath().empty()) GTEST_SKIP() << "kestrix-host-v5 is not built";
  }
};

TEST_F(Relay, LauncherAndWorkerCarryLongRequestsThroughThePipeAndEndByTheKeepalive) {
  HostRun host(V5HostPath(), {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"});
  const std::string fifo = host.tmp.Path() + "/kestrix-" + std::to_string(::getuid()) + "/myNamedPipeIn." +
                           std::to_string(host->Pid());
  // Two processes and the pipe between them, in a folder only the user may enter.
  ASSERT_TRUE(harness::PollUntil([&] { return !ChildrenOf(host->Pid()).empty(); }, 10s));
  struct stat st {};
  ASSERT_TRUE(harness::PollUntil([&] { return ::lstat(fifo.c_str(), &st) == 0; }, 10s)) << fifo;
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  struct stat dir {};
  ASSERT_EQ(::lstat((host.tmp.Path() + "/kestrix-" + std::to_string(::getuid())).c_str(), &dir), 0);
  EXPECT_EQ(dir.st_mode & 0777, 0700u);

  // A ping request of several thousand bytes, written in odd pieces: the
  // launcher cuts it into 1024-byte pipe messages, the worker reassembles it.
  const std::string bigPing = "{\"method\":\"ping\",\"pad\":\"" + std::string(5000, 'x') + "\"}";
  ASSERT_EQ(host->ReadFrame(kTick + kSlack * 2).text, kPing);
  const std::string frame = harness::Frame(bigPing);
  for (size_t at = 0; at < frame.size(); at += 777) ASSERT_TRUE(host->WriteRaw(frame.substr(at, 777)));
  // Handled: the worker pings again at the next tick.
  ASSERT_EQ(host->ReadFrame(kTick + kSlack).text, kPing);
  ASSERT_TRUE(host->WriteFrame(bigPing));
  ASSERT_EQ(host->ReadFrame(kTick + kSlack).text, kPing);

  // The extension goes away: the launcher's relay ends, it waits for the
  // worker, which ends by its keepalive since the pipe stays open meanwhile.
  host->CloseStdin();
  auto status = host->WaitExit(2 * kTick + kSlack * 2);
  ASSERT_TRUE(status.has_value()) << "the launcher did not end";
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
  EXPECT_NE(::lstat(fifo.c_str(), &st), 0) << "the pipe's file was left behind";
}

TEST_F(Relay, ExitThroughThePipeEndsTheWorkerAtOnce) {
  HostRun host(V5HostPath(), {"x"});
  ASSERT_TRUE(harness::PollUntil([&] { return !ChildrenOf(host->Pid()).empty(); }, 10s));
  const std::string worker = ChildrenOf(host->Pid());
  ASSERT_TRUE(host->WriteFrame(R"({"method":"exit"})"));
  // The worker has gone before its first tick; the launcher still relays.
  ASSERT_TRUE(harness::PollUntil([&] { return Ended(worker); }, kTick - 500ms)) << worker;
  EXPECT_NE(host->ReadFrame(100ms).kind, ReadResult::Frame);
  host->CloseStdin();
  auto status = host->WaitExit(kTick);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
}

TEST_F(Relay, AWorkerStartedWithoutALauncherEndsByItsKeepalive) {
  // Argument count 1 on version 5: a relay worker, but no launcher made a pipe.
  HostRun host(V5HostPath());
  ASSERT_EQ(host->ReadFrame(kTick + kSlack * 2).text, kPing);
  auto status = host->WaitExit(kTick + kSlack);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
}

}  // namespace
}  // namespace kxtest
