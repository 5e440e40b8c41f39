#include "HostUnderTest.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace hardening {

namespace {
std::string Executable(const char* path) { return path && ::access(path, X_OK) == 0 ? path : ""; }
}  // namespace

std::string FakeHostPath() {
#ifdef KESTRIX_HOST_FAKE_PATH
  return Executable(KESTRIX_HOST_FAKE_PATH);
#else
  return "";
#endif
}
std::string HostPath() {
#ifdef KESTRIX_HOST_PATH
  return Executable(KESTRIX_HOST_PATH);
#else
  return "";
#endif
}

bool IsValidUtf8(const std::string& s) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int len;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
    else return false;
    if (i + len > n) return false;
    for (int k = 1; k < len; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    i += len;
  }
  return true;
}

std::string Compact(const Json::Value& v) {
  std::string s = Json::FastWriter().write(v);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

HostUnderTest::HostUnderTest(const std::string& program, std::map<std::string, std::string> env) {
  ChildProcess::Options options;
  options.env = std::move(env);
  if (!options.env.count("TMPDIR")) options.env["TMPDIR"] = m_tmp.Path();
  options.stderrPath = m_tmp.Path() + "/stderr.txt";
  m_child = std::make_unique<ChildProcess>(std::vector<std::string>{program}, options);
}

HostUnderTest::~HostUnderTest() {
  m_child.reset();
  const std::string err = Stderr();
  for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                             "runtime error:"}) {
    size_t at = err.find(report);
    if (at != std::string::npos) ADD_FAILURE() << "the host's standard error holds a sanitizer report:\n" << err.substr(at, 4000);
  }
}

std::string HostUnderTest::Stderr() const {
  std::ifstream in(m_tmp.Path() + "/stderr.txt");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void HostUnderTest::Start() {
  ASSERT_TRUE(Send(kNew));
  Sync();
}

ReadResult HostUnderTest::Next(Millis timeout) {
  ReadResult r = m_child->ReadFrame(timeout);
  if (r.kind != ReadResult::Frame) return r;
  EXPECT_TRUE(IsValidUtf8(r.text)) << "a frame that is not UTF-8: " << r.text.substr(0, 200);
  Json::Value v;
  EXPECT_TRUE(Json::Reader().parse(r.text, v, false) && v.isObject()) << "not a JSON object: " << r.text.substr(0, 200);
  if (r.text == kPing) Send(kPing);
  return r;
}

std::optional<Json::Value> HostUnderTest::Await(const std::string& event, Millis timeout) {
  m_passed.clear();
  auto deadline = harness::Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<Millis>(deadline - harness::Clock::now());
    if (left.count() <= 0) return std::nullopt;
    ReadResult r = Next(left);
    if (r.kind != ReadResult::Frame) return std::nullopt;
    Json::Value v;
    Json::Reader().parse(r.text, v, false);
    if (v.isObject() && v["event"].isString() && v["event"].asString() == event) return v;
    if (r.text != kPing) m_passed.push_back(v);
  }
}

std::vector<Json::Value> HostUnderTest::Sync(Millis timeout) {
  const std::string event = "sync-" + std::to_string(++m_syncs);
  EXPECT_TRUE(Send(R"({"method":"getVersion","event":")" + event + "\"}"));
  std::optional<Json::Value> r = Await(event, timeout);
  EXPECT_TRUE(r.has_value()) << "the host did not answer " << event << "; stderr:\n" << Stderr();
  return m_passed;
}

long HostUnderTest::RssKb() const {
  std::ifstream in("/proc/" + std::to_string(m_child->Pid()) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

}  // namespace hardening
