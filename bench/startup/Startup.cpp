// Start-up: from spawning the host to the reply of the first request, sent
// right behind "new" (which itself gets no reply). This covers process start,
// the host window, writing and loading the bootstrap page, obtaining the
// control and the first call. The baseline is spawning the echo host and one
// round trip. Each is measured several times, interleaved, and the medians
// are compared (host time / echo time; lower is better).
//
//   kx_bench_startup [--runs R] [--host PATH] [--echo PATH]
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "common/Envelope.h"
#include "common/Session.h"
#include "common/Stats.h"

namespace {

using bench::Clock;

// Milliseconds to the first reply, or a negative number on failure.
double Drive(const std::string& program, std::string& error) {
  const Clock::time_point start = Clock::now();
  const auto deadline = start + std::chrono::seconds(30);
  bench::Session session({program});
  if (!session.Send(bench::NewRequest(), deadline) ||
      !session.Send(bench::Request("getVersion", "first"), deadline)) {
    error = "cannot send the first requests";
    return -1;
  }
  std::string_view reply;
  for (;;) {
    if (!session.ReceiveView(reply, deadline)) {
      error = "no reply to the first request";
      return -1;
    }
    bench::Envelope e;
    if (bench::ReadEnvelope(reply, e) && e.event && *e.event == "first" && e.data) break;
  }
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  session.Close();
  return ms;
}

}  // namespace

int Main(int argc, char** argv) {
  const long rounds = static_cast<long>(bench::OptionNumber(argc, argv, "--runs", 15));
  const std::string host = bench::HostPath(argc, argv);
  const std::string echo = bench::EchoPath(argc, argv);

  std::printf("startup: spawn to the first reply, median of %ld runs each\n", rounds);
  std::vector<double> hostMs, echoMs;
  for (long r = 0; r < rounds; ++r) {
    std::string error;
    double h = Drive(host, error);
    if (h < 0) {
      std::printf("startup: FAILED against the host: %s\n", error.c_str());
      return 1;
    }
    double e = Drive(echo, error);
    if (e < 0) {
      std::printf("startup: FAILED against the echo host: %s\n", error.c_str());
      return 1;
    }
    hostMs.push_back(h);
    echoMs.push_back(e);
  }
  double h = bench::Median(hostMs), e = bench::Median(echoMs);
  std::printf("  host: median %8.2f ms  (min %.2f, max %.2f)\n", h, *std::min_element(hostMs.begin(), hostMs.end()),
              *std::max_element(hostMs.begin(), hostMs.end()));
  std::printf("  echo: median %8.2f ms  (min %.2f, max %.2f)\n", e, *std::min_element(echoMs.begin(), echoMs.end()),
              *std::max_element(echoMs.begin(), echoMs.end()));
  std::printf("startup: host %.2f ms, echo %.2f ms, ratio %.1f (host time / echo time; no target)\n", h, e, h / e);
  return 0;
}

int main(int argc, char** argv) {
  // A program that cannot be started (a wrong --host or --echo) ends the run
  // with a message instead of an uncaught exception.
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::printf("startup: FAILED: %s\n", e.what());
    return 1;
  }
}
