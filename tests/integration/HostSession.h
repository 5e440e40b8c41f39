// Helpers for tests that run a host program: where the programs are, a
// private temporary folder as its TMPDIR, and the keepalive's timing.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/harness/Harness.h"

namespace kxtest {

using namespace std::chrono_literals;
using harness::ChildProcess;
using harness::Millis;
using harness::ReadResult;

inline constexpr char kPing[] = "{\"method\":\"ping\"}";
// The keepalive period, and generous bounds around it for loaded machines
// and sanitizer builds.
constexpr Millis kTick{3000};
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr Millis kSlack{3000};
#else
constexpr Millis kSlack{1500};
#endif
// For a test that asks only that the host ends, not when.
constexpr Millis kHangGuard{20000};

inline std::string ProgramPath(const char* path) {
  return path && ::access(path, X_OK) == 0 ? std::string(path) : std::string();
}
inline std::string HostPath() { return ProgramPath(KX_HOST_PATH); }
inline std::string ClientPath() { return ProgramPath(KX_CLIENT_PATH); }
inline std::string FakeHostPath() {
#ifdef KESTRIX_HOST_FAKE_PATH
  return ProgramPath(KESTRIX_HOST_FAKE_PATH);
#else
  return {};
#endif
}
inline std::string V5HostPath() {
#ifdef KESTRIX_HOST_V5_PATH
  return ProgramPath(KESTRIX_HOST_V5_PATH);
#else
  return {};
#endif
}

inline double Seconds(harness::Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Runs a host program with its own TMPDIR (the bootstrap page and the relay
// pipe's folder go there) and its standard error collected in that folder.
class HostRun {
 public:
  explicit HostRun(const std::string& program, std::vector<std::string> args = {},
                   std::map<std::string, std::string> env = {}) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess::Options options;
    options.env = std::move(env);
    options.env["TMPDIR"] = tmp.Path();
    options.stderrPath = tmp.Path() + "/stderr.txt";
    child = std::make_unique<ChildProcess>(argv, options);
  }
  ChildProcess& operator*() { return *child; }
  ChildProcess* operator->() { return child.get(); }

  harness::TempDir tmp;
  std::unique_ptr<ChildProcess> child;
};

// Parses a frame's text; null when it is not JSON.
inline Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::Reader reader;
  if (!reader.parse(text, v)) return Json::Value();
  return v;
}

}  // namespace kxtest
