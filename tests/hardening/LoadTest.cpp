// Load: a burst of requests while print jobs' events flow, and the soak (ctest
// label "soak"): 1,000,000 requests in one session, every reply received in
// order, none lost, the host's memory sampled and checked flat.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "HostUnderTest.h"

namespace hardening {
namespace {

// Sends `total` requests in batches of `window` and reads the replies of
// each batch before the next, answering pings. Returns how many replies came
// in order; stops at the first missing or misplaced one.
struct Pipeline {
  explicit Pipeline(HostUnderTest& h) : host(h) {}
  HostUnderTest& host;
  std::vector<long> rssSamples;  // KiB, one per `sampleEvery` replies
  long sampleEvery = 100000;

  long Run(long total, long window, const std::vector<std::string>& methods) {
    long received = 0;
    for (long sent = 0; sent < total;) {
      std::string batch;
      long until = std::min(total, sent + window);
      for (long i = sent; i < until; ++i) {
        const std::string& m = methods[static_cast<size_t>(i) % methods.size()];
        batch += harness::Frame(R"({"method":")" + m + R"(","event":"r)" + std::to_string(i) + R"(","params":["print"]})");
      }
      if (!host.SendRaw(batch)) return received;
      sent = until;
      // A batch is answered well within this; pings alone do not extend it.
      const auto deadline = harness::Clock::now() + 60s;
      while (received < sent) {
        if (harness::Clock::now() > deadline) {
          ADD_FAILURE() << "reply r" << received << " did not come";
          return received;
        }
        ReadResult r = host.Next(30s);
        if (r.kind != ReadResult::Frame) return received;
        if (r.text == kPing) continue;
        // The reply's event is the only "r..." text in it: compare it whole.
        const std::string want = "\"event\":\"r" + std::to_string(received) + "\"";
        if (r.text.find(want) == std::string::npos) {
          ADD_FAILURE() << "expected reply r" << received << ", got " << r.text;
          return received;
        }
        ++received;
        if (received % sampleEvery == 0) rssSamples.push_back(host.RssKb());
      }
    }
    return received;
  }
};

TEST(Load, ABurstOfRequestsWhilePrintJobsSendTheirEvents) {
  if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
  HostUnderTest host(FakeHostPath());
  host.Start();
  constexpr int kRequests = 20000;
  constexpr int kJobs = 20;
  std::string burst;
  for (int i = 0; i < kRequests; ++i) {
    if (i % (kRequests / kJobs) == 0) {
      int job = i / (kRequests / kJobs);
      burst += harness::Frame(R"({"method":"print","params":[{"_hasCallback":true,"done":"done)" + std::to_string(job) +
                              R"(","onState":"state)" + std::to_string(job) + R"("},false]})");
    }
    burst += harness::Frame(R"({"method":"getVersion","event":"b)" + std::to_string(i) + "\"}");
  }
  ASSERT_TRUE(host.SendRaw(burst));
  int replies = 0, states = 0, dones = 0;
  const auto deadline = harness::Clock::now() + 120s;
  while (replies < kRequests || states + dones < 3 * kJobs) {
    ASSERT_LT(harness::Clock::now(), deadline) << replies << " replies, " << states << " states, " << dones << " dones";
    ReadResult r = host.Next(30s);
    ASSERT_EQ(r.kind, ReadResult::Frame) << replies << " replies, " << states << " states, " << dones << " dones";
    if (r.text == kPing) continue;
    Json::Value v;
    Json::Reader().parse(r.text, v);
    const std::string event = v["event"].asString();
    if (v.isMember("params")) {
      // An event message: {"event", "params", "tab"}.
      EXPECT_EQ(v["tab"], 7);
      if (event.rfind("state", 0) == 0) ++states;
      else if (event.rfind("done", 0) == 0) ++dones;
      else ADD_FAILURE() << "unexpected event " << r.text;
      continue;
    }
    ASSERT_EQ(event, "b" + std::to_string(replies)) << "a reply lost or out of order";
    ++replies;
  }
  EXPECT_EQ(states, 2 * kJobs);
  EXPECT_EQ(dones, kJobs);
  std::printf("burst: %d replies in order, %d job-state and %d done events\n", replies, states, dones);
}

// Label "soak": registered only in builds without sanitizers.
TEST(Soak, AMillionRequestsInOneSessionAllAnsweredInOrderWithFlatMemory) {
  // The shipped host: the fake control records every call it gets, which
  // would grow by itself.
  const std::string program = !HostPath().empty() ? HostPath() : FakeHostPath();
  if (program.empty()) GTEST_SKIP() << "no host program is built";
  HostUnderTest host(program);
  host.Start();
  constexpr long kTotal = 1000000;
  Pipeline pipeline(host);
  pipeline.rssSamples.push_back(host.RssKb());
  auto started = harness::Clock::now();
  long received = pipeline.Run(kTotal, 500, {"getVersion", "isImplemented"});
  double seconds = std::chrono::duration<double>(harness::Clock::now() - started).count();
  EXPECT_EQ(received, kTotal);
  std::printf("soak: %ld requests sent, %ld replies received in order in %.1f s (%.0f per second)\n", kTotal,
              received, seconds, received / seconds);
  std::printf("soak: VmRSS samples (KiB) at start and every 100000 replies:");
  for (long kb : pipeline.rssSamples) std::printf(" %ld", kb);
  std::printf("\n");
  ASSERT_GE(pipeline.rssSamples.size(), 3u);
  // Flat: after the first 100000 (allocator and caches settled), growth to
  // the end stays within a few MiB whatever the count.
  long settled = pipeline.rssSamples[1];
  long last = pipeline.rssSamples.back();
  EXPECT_LT(last - settled, 8 * 1024) << "memory grows with the number of requests";
  host.Send(R"({"method":"exit"})");
  auto status = host.Child().WaitExit(kTick);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
}

}  // namespace
}  // namespace hardening
