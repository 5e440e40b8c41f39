// A long result: "readBase64" of "bytes:N" (the fake control answers N
// characters of base64 text) delivered by the host in pieces of at most
// 500000 bytes, "index" 0, 1, ... and none on the last, and reassembled by the
// client. The baseline is the echo host writing the same frames, prepared
// before the request, through the same pipe to the same client: copying the
// same bytes through a pipe. Timed from sending the request to the last piece
// reassembled; the text is then checked whole (length and every character).
// Target: host bytes/s >= 0.5x the baseline.
//
//   kx_bench_large_result [--bytes N] [--runs R] [--host PATH] [--echo PATH]
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

constexpr size_t kPieceLimit = 500000;

struct Run {
  bool ok = false;
  std::string error;
  double seconds = 0;
  long pieces = 0;
};

bool CheckText(const std::string& text, size_t n, std::string& error) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() != n) {
    error = "reassembled " + std::to_string(text.size()) + " bytes, expected " + std::to_string(n);
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    if (text[i] != kAlphabet[i % 64]) {
      error = "wrong character at offset " + std::to_string(i);
      return false;
    }
  }
  return true;
}

Run Drive(const std::vector<std::string>& argv, size_t bytes) {
  Run run;
  bench::Session session(argv);
  if (!session.Open(Clock::now() + std::chrono::seconds(30))) {
    run.error = "no reply to the opening request";
    return run;
  }
  std::string text;
  text.reserve(bytes);
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  const Clock::time_point start = Clock::now();
  if (!session.Send(bench::Request("readBase64", "big", "[\"bytes:" + std::to_string(bytes) + "\"]"), deadline)) {
    run.error = "cannot send the request";
    return run;
  }
  for (long expectIndex = 0;; ++expectIndex) {
    std::string_view frame;
    if (!session.ReceiveView(frame, deadline)) {
      run.error = "no piece " + std::to_string(expectIndex) + " by the deadline";
      return run;
    }
    bench::Envelope e;
    if (!bench::ReadEnvelope(frame, e) || !e.event || *e.event != "big" || !e.data) {
      run.error = "not a piece of the result: " + std::string(frame.substr(0, 200));
      return run;
    }
    auto body = bench::StringBody(*e.data);
    size_t before = text.size();
    if (!body || !bench::AppendUnescaped(text, *body)) {
      run.error = "piece " + std::to_string(expectIndex) + " carries no text";
      return run;
    }
    if (text.size() - before > kPieceLimit) {
      run.error = "piece " + std::to_string(expectIndex) + " is over 500000 bytes";
      return run;
    }
    if (e.index && *e.index != expectIndex) {
      run.error = "piece index " + std::to_string(*e.index) + ", expected " + std::to_string(expectIndex);
      return run;
    }
    if (!e.index) {
      run.pieces = expectIndex + 1;
      break;
    }
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!CheckText(text, bytes, run.error)) return run;
  run.ok = true;
  session.Close();
  return run;
}

}  // namespace

int Main(int argc, char** argv) {
  const size_t bytes = static_cast<size_t>(bench::OptionNumber(argc, argv, "--bytes", 104857600));
  const long rounds = static_cast<long>(bench::OptionNumber(argc, argv, "--runs", 3));
  const std::string host = bench::HostPath(argc, argv);
  const std::string echo = bench::EchoPath(argc, argv);

  std::printf("large_result: readBase64 of %zu bytes, median of %ld runs each (load average %.2f)\n", bytes, rounds,
              bench::LoadAverage());
  std::vector<double> hostSeconds, echoSeconds;
  long pieces = 0;
  for (long r = 0; r < rounds; ++r) {
    Run h = Drive({host}, bytes);
    if (!h.ok) {
      std::printf("large_result: FAILED against the host: %s\n", h.error.c_str());
      return 1;
    }
    Run e = Drive({echo, "--payload", std::to_string(bytes)}, bytes);
    if (!e.ok) {
      std::printf("large_result: FAILED against the pipe copy: %s\n", e.error.c_str());
      return 1;
    }
    hostSeconds.push_back(h.seconds);
    echoSeconds.push_back(e.seconds);
    pieces = h.pieces;
  }
  double hs = bench::Median(hostSeconds), es = bench::Median(echoSeconds);
  double hostRate = double(bytes) / hs, echoRate = double(bytes) / es;
  std::printf("  host: %8.1f MB/s  (%.3f s, %ld pieces)\n", hostRate / 1e6, hs, pieces);
  std::printf("  pipe: %8.1f MB/s  (%.3f s)\n", echoRate / 1e6, es);
  std::printf("large_result: host %.1f MB/s, pipe copy %.1f MB/s, ratio %.2f (target >= 0.5)\n", hostRate / 1e6,
              echoRate / 1e6, hostRate / echoRate);
  if (hostRate < 0.5 * echoRate)
    std::printf(
        "  target missed. What remains (docs/benchmarks.md): the fake control's result itself (a 200 MB\n"
        "  UTF-16 string allocated, zeroed and filled on every call, about as long as the whole pipe copy),\n"
        "  then per byte the host's own work (about 4.4 instructions a byte under callgrind: finding the end,\n"
        "  converting to UTF-8, quoting), the writes through the pipe, and the client's own unescaping.\n");
  return 0;
}

int main(int argc, char** argv) {
  // A program that cannot be started (a wrong --host or --echo) ends the run
  // with a message instead of an uncaught exception.
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::printf("large_result: FAILED: %s\n", e.what());
    return 1;
  }
}
