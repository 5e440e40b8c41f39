// A host process driven the way the extension drives it, for the hardening
// tests: requests in, replies matched by their event name, the host's pings
// answered while waiting, and its memory read from /proc.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/harness/Harness.h"

namespace hardening {

using namespace std::chrono_literals;
using harness::ChildProcess;
using harness::Millis;
using harness::ReadResult;

inline constexpr char kPing[] = "{\"method\":\"ping\"}";
inline constexpr char kNew[] = R"({"method":"new","sender":{"tab":{"id":7},"url":"http://127.0.0.1/page.html"}})";
// The keepalive period.
constexpr Millis kTick{3000};

std::string FakeHostPath();  // "" when not built
std::string HostPath();

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool IsValidUtf8(const std::string& text);

class HostUnderTest {
 public:
  explicit HostUnderTest(const std::string& program, std::map<std::string, std::string> env = {});
  // Ends the host if it still runs, then fails the test when its standard
  // error holds a sanitizer report (a sanitized host may report and still
  // be killed by the test before its exit status could tell).
  ~HostUnderTest();

  ChildProcess& Child() { return *m_child; }
  const std::string& TempDir() const { return m_tmp.Path(); }
  std::string Stderr() const;

  bool Send(const std::string& text) { return m_child->WriteFrame(text); }
  bool SendRaw(const std::string& bytes) { return m_child->WriteRaw(bytes); }
  // Sends "new" and waits until the control answers a request.
  void Start();

  // The next frame, answering a ping of the host with one of ours. Checks
  // that every frame is valid UTF-8 and one JSON object.
  ReadResult Next(Millis timeout);
  // Frames until the reply or event named `event`; the ones before it are
  // kept in Passed(). Null when none comes by the deadline.
  std::optional<Json::Value> Await(const std::string& event, Millis timeout);
  // Asks for the version under a new event name and waits for the answer:
  // the host still answers, and has handled everything sent before. Returns
  // the frames that came before the answer.
  std::vector<Json::Value> Sync(Millis timeout = 20s);
  const std::vector<Json::Value>& Passed() const { return m_passed; }

  // VmRSS of the host in KiB (0 when it cannot be read).
  long RssKb() const;

 private:
  harness::TempDir m_tmp;
  std::unique_ptr<ChildProcess> m_child;
  std::vector<Json::Value> m_passed;
  int m_syncs = 0;
};

// A JSON text in one line.
std::string Compact(const Json::Value& v);

}  // namespace hardening
