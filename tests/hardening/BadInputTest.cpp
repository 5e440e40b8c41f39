// Bad input against the host with the fake control: every command with a
// parameter of every kind, missing, extra and non-array parameters, deep
// nesting, invalid UTF-8, NUL bytes, unknown methods, a 64 MiB frame, a
// length prefix that promises more than ever comes, and a flood of frames
// sent faster than replies are read. Each ends in a defined outcome (a reply,
// or none, as the reading rules say), and the host answers valid requests
// afterwards.
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <atomic>

#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "CommandKinds.h"
#include "HostUnderTest.h"

namespace hardening {
namespace {

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
    host = std::make_unique<HostUnderTest>(FakeHostPath());
    host->Start();
  }
  void TearDown() override {
    if (!host) return;
    host->Send(R"({"method":"exit"})");
    auto status = host->Child().WaitExit(kTick);
    ASSERT_TRUE(status.has_value()) << "the host did not end on exit";
    EXPECT_TRUE(status->exited) << "ended by signal " << status->signal << "\n" << host->Stderr();
    EXPECT_EQ(status->code, 0);
  }

  // The events answered among the frames that came before the last Sync.
  static std::set<std::string> Answered(const std::vector<Json::Value>& frames) {
    std::set<std::string> events;
    for (const Json::Value& f : frames)
      if (f["event"].isString() && !f.isMember("params")) events.insert(f["event"].asString());
    return events;
  }

  static std::string Request(const std::string& method, const std::string& event, const Json::Value& params) {
    Json::Value r(Json::objectValue);
    r["method"] = method;
    r["event"] = event;
    r["params"] = params;
    return Compact(r);
  }

  std::unique_ptr<HostUnderTest> host;
};

TEST_F(BadInput, EveryParameterOfEveryCommandWithAValueOfEveryKind) {
  const std::vector<Json::Value> values = ValuesOfEveryKind();
  int sent = 0;
  for (const Command& c : Commands()) {
    std::set<std::string> expected;
    const std::string kinds = c.kinds;
    for (size_t p = 0; p < kinds.size(); ++p) {
      for (size_t k = 0; k < values.size(); ++k) {
        Json::Value params(Json::arrayValue);
        for (size_t q = 0; q < kinds.size(); ++q) params.append(q == p ? values[k] : Plain(kinds[q]));
        const std::string event = std::string(c.method) + "/" + std::to_string(p) + "/" + std::to_string(k);
        ASSERT_TRUE(host->Send(Request(c.method, event, params)));
        ++sent;
        if (c.replies && Accepts(kinds[p], values[k])) expected.insert(event);
      }
    }
    // Replies come in request order: what came before the marker is all.
    std::set<std::string> answered = Answered(host->Sync());
    EXPECT_EQ(answered, expected) << c.method;
  }
  EXPECT_GT(sent, 500);
}

TEST_F(BadInput, MissingExtraAndNonArrayParametersReadAsTheirDefaults) {
  Json::Value notArrays[] = {Json::Value("x"), Json::Value(5), Json::Value(true), Json::Value(),
                             Json::Value(Json::objectValue)};
  notArrays[4]["0"] = "x";
  std::set<std::string> expected;
  for (const Command& c : Commands()) {
    if (!c.replies) continue;
    const std::string m = c.method;
    // Missing: every index reads as null, which every kind accepts.
    host->Send(Request(m, m + "/none", Json::Value(Json::arrayValue)));
    expected.insert(m + "/none");
    Json::Value r(Json::objectValue);
    r["method"] = m;
    r["event"] = m + "/absent";
    host->Send(Compact(r));
    expected.insert(m + "/absent");
    // Extra: ignored.
    Json::Value params(Json::arrayValue);
    for (char kind : std::string(c.kinds)) params.append(Plain(kind));
    for (int i = 0; i < 20; ++i) params.append(Json::Value(Json::objectValue));
    host->Send(Request(m, m + "/extra", params));
    expected.insert(m + "/extra");
    // Not an array: no parameters at all.
    for (size_t i = 0; i < std::size(notArrays); ++i) {
      host->Send(Request(m, m + "/notarray" + std::to_string(i), notArrays[i]));
      expected.insert(m + "/notarray" + std::to_string(i));
    }
  }
  EXPECT_EQ(Answered(host->Sync()), expected);
}

TEST_F(BadInput, ACommandWithoutAnEventNameIsCarriedOutWithoutAReply) {
  for (const Command& c : Commands()) {
    if (!c.replies) continue;
    Json::Value params(Json::arrayValue);
    for (char kind : std::string(c.kinds)) params.append(Plain(kind));
    Json::Value r(Json::objectValue);
    r["method"] = c.method;
    r["params"] = params;
    ASSERT_TRUE(host->Send(Compact(r)));
    r["event"] = "";
    ASSERT_TRUE(host->Send(Compact(r)));
    std::vector<Json::Value> before = host->Sync();
    EXPECT_TRUE(before.empty()) << c.method << " wrote " << (before.empty() ? "" : Compact(before[0]));
  }
}

TEST_F(BadInput, NestingBeyondTheParserIsDroppedAndWithinItIsAnswered) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  ASSERT_TRUE(host->Send(deep));
  ASSERT_TRUE(host->Send(R"({"method":"setLastSettings","event":"deep","params":["k",)" + deep + "]}"));
  // 900 levels: the parser takes it, the value bridge cuts what lies below its bound.
  const std::string nested = std::string(900, '[') + std::string(900, ']');
  ASSERT_TRUE(host->Send(R"({"method":"setLastSettings","event":"nested","params":["k",)" + nested + "]}"));
  std::string objects;
  for (int i = 0; i < 900; ++i) objects += "{\"a\":";
  objects += "1" + std::string(900, '}');
  ASSERT_TRUE(host->Send(R"({"method":"printDocument","event":"objects","params":["d",)" + objects + "]}"));
  std::set<std::string> answered = Answered(host->Sync());
  EXPECT_EQ(answered, (std::set<std::string>{"nested", "objects"}));
}

TEST_F(BadInput, InvalidUtf8AnywhereGivesValidUtf8Out) {
  // Every frame the host writes is checked for UTF-8 as it is read.
  const std::string bad = "\xFF\xFE\xC3\x28\xED\xA0\x80\xF4\x90\x80\x80\xC0\xAF";
  ASSERT_TRUE(host->Send(R"({"method":"getPapers","event":"e1","params":[")" + bad + "\"]}"));
  ASSERT_TRUE(host->Send(R"({"method":"getVersion","event":"e2)" + bad + "\"}"));
  ASSERT_TRUE(host->Send(R"({"method":"getVersion)" + bad + R"(","event":"e3"})"));
  ASSERT_TRUE(host->Send(R"({"method":"setLastSettings","event":"e4","params":["k",{")" + bad + R"(":")" + bad +
                         "\"}]}"));
  ASSERT_TRUE(host->Send(R"({"method":"print","params":[{"_hasCallback":true,"done":"d)" + bad + R"(","onState":"s"},false]})"));
  ASSERT_TRUE(host->Send(std::string("\xEF\xBB\xBF") + R"({"method":"getVersion","event":"bom"})"));
  std::vector<Json::Value> before = host->Sync();
  std::set<std::string> answered = Answered(before);
  EXPECT_TRUE(answered.count("e1"));
  EXPECT_TRUE(answered.count("e4"));
  EXPECT_FALSE(answered.count("e3")) << "a method with invalid bytes is not in the table";
  // The replacement character stands where the bad bytes were.
  bool e2 = false;
  for (const std::string& e : answered) e2 |= e.rfind("e2\xEF\xBF\xBD", 0) == 0;
  EXPECT_TRUE(e2);
  // The print job's events come through the control's own posted message,
  // after the requests already queued: count them as they arrive.
  int printEvents = 0;
  for (const Json::Value& f : before) printEvents += f.isMember("params");
  auto deadline = harness::Clock::now() + 20s;
  while (printEvents < 3 && harness::Clock::now() < deadline) {
    ReadResult r = host->Next(5s);
    if (r.kind == ReadResult::Closed) break;
    if (r.kind == ReadResult::Frame) printEvents += r.text.find("\"params\"") != std::string::npos;
  }
  EXPECT_EQ(printEvents, 3) << "two job states and the done event of the print job";
}

TEST_F(BadInput, NulBytesCutTheTextAndEscapedNulsTravelWhole) {
  // A raw NUL ends the text: what comes before it is carried out, the rest is not.
  ASSERT_TRUE(host->Send(std::string(R"({"method":"getVersion","event":"cut"})") + std::string("\0", 1) +
                         R"({"method":"getVersion","event":"after-nul"})"));
  // A raw NUL inside a string leaves text that does not parse: dropped.
  ASSERT_TRUE(host->Send(std::string(R"({"method":"getVersion","event":"in)") + std::string("\0", 1) + "side\"}"));
  // Escaped NULs are characters like any other, with or without non-ASCII beside them.
  ASSERT_TRUE(host->Send(R"({"method":"getVersion","event":"a\u0000b"})"));
  ASSERT_TRUE(host->Send(R"({"method":"getVersion","event":"\u00e9\u0000b"})"));
  std::set<std::string> answered = Answered(host->Sync());
  EXPECT_TRUE(answered.count("cut"));
  EXPECT_FALSE(answered.count("after-nul"));
  EXPECT_FALSE(answered.count("in"));
  EXPECT_TRUE(answered.count(std::string("a\0b", 3)));
  EXPECT_TRUE(answered.count(std::string("\xC3\xA9\0b", 4))) << "the text after the NUL was lost";
}

TEST_F(BadInput, UnknownMethodsAndShapesGetNoReply) {
  for (const char* text :
       {R"({"method":"Print","event":"u1"})", R"({"method":"getVersion ","event":"u2"})",
        R"({"method":"","event":"u3"})", R"({"method":5,"event":"u4"})", R"({"method":null,"event":"u5"})",
        R"({"method":["getVersion"],"event":"u6"})", R"({"method":{"getVersion":1},"event":"u7"})",
        R"({"event":"u8"})", R"({"method":"exit ","event":"u9"})", R"({"method":"EXIT","event":"u10"})",
        R"([{"method":"getVersion","event":"u11"}])", R"("getVersion")", "{}", "0", "",
        R"({"method":"constructor","event":"u12"})", R"({"method":"__proto__","event":"u13"})",
        R"({"method":"toString","event":"u14"})"})
    ASSERT_TRUE(host->Send(text));
  EXPECT_TRUE(Answered(host->Sync()).empty());
  EXPECT_EQ(host->Child().Running(), true);
}

// While the reader converts and parses one huge frame, the extension's
// answers to the pings wait behind it: when that takes longer than the
// keepalive allows, the host ends by its keepalive. Either outcome is
// defined; a crash, a hang or a lost reply is not.
// `sent` is false when the host had already ended before the whole frame was
// written (its input broke): the same outcome, seen earlier.
// Answers "prime" so that the keepalive counts from a known answer; returns when.
harness::Clock::time_point Prime(HostUnderTest& host) {
  EXPECT_TRUE(host.Send(R"({"method":"getVersion","event":"prime"})"));
  EXPECT_TRUE(host.Await("prime", 20s).has_value()) << "the host did not answer before the test";
  return harness::Clock::now();
}

// The host answers every one of `events`, in order. Only where a stalled
// machine kept it from answering in time may it end instead, and then by its
// keepalive: with status 0, having answered nothing after the ones it did
// (a later answer without an earlier one is a lost request), and no sooner
// than a keepalive period after its last answer (a host that quits at the
// input, or crashes, fails).
void ExpectAnsweredOrEndedByKeepalive(HostUnderTest& host, bool sent, harness::Clock::time_point lastAnswer,
                                      const std::vector<std::string>& events, const char* what) {
  auto started = harness::Clock::now();
  size_t answered = 0;
  for (; sent && answered < events.size(); ++answered) {
    if (!host.Await(events[answered], 120s)) break;
    for (const Json::Value& f : host.Passed())
      EXPECT_FALSE(f["event"].isString() && f["event"].asString() != "prime" && !f.isMember("params"))
          << what << ": an answer out of order: " << Compact(f);
    lastAnswer = harness::Clock::now();
  }
  double seconds = std::chrono::duration<double>(harness::Clock::now() - started).count();
  if (answered == events.size()) {
    std::printf("%s: answered after %.1f s, RSS %ld KiB\n", what, seconds, host.RssKb());
    host.Sync(120s);
    return;
  }
  for (const Json::Value& f : host.Passed())
    EXPECT_FALSE(f["event"].isString() && !f.isMember("params"))
        << what << ": " << events[answered] << " was lost but a later request answered: " << Compact(f);
  auto status = host.Child().WaitExit(3 * kTick);
  ASSERT_TRUE(status.has_value()) << what << ": neither answered nor ended";
  auto silent = harness::Clock::now() - lastAnswer;
  EXPECT_TRUE(status->exited) << what << ": ended by signal " << status->signal << "\n" << host.Stderr();
  EXPECT_EQ(status->code, 0);
  EXPECT_GE(silent, kTick - Millis(500)) << what << ": ended sooner than its keepalive could end it";
  std::printf("%s: the host ended by its keepalive while reading it (%.1f s)\n", what, seconds);
}

TEST(BadInputHuge, A64MiBRequestIsCarriedOut) {
  if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
  HostUnderTest host(FakeHostPath());
  host.Start();
  auto primed = Prime(host);
  const std::string text(64u << 20, 'x');
  bool sent = host.Send(R"({"method":"writeString","event":"big","params":["/nonexistent/f",")" + text +
                        R"(","utf-8"]})") &&
              host.Send(R"({"method":"getVersion","event":"after"})");
  ExpectAnsweredOrEndedByKeepalive(host, sent, primed, {"big", "after"}, "64 MiB request");
}

TEST(BadInputHuge, A64MiBFrameOfInvalidBytesIsDropped) {
  if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
  HostUnderTest host(FakeHostPath());
  host.Start();
  auto primed = Prime(host);
  std::string garbage(64u << 20, '\xFF');
  garbage[0] = '{';
  bool sent = host.Send(garbage) && host.Send(R"({"method":"getVersion","event":"after"})");
  ExpectAnsweredOrEndedByKeepalive(host, sent, primed, {"after"}, "64 MiB of invalid bytes");
}

TEST(BadInputHuge, AFrameTooLargeToHoldUnderAMemoryLimitIsSkipped) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#else
  if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
  // The host under a 600 MB address-space limit, sent a frame of 1 GiB: the
  // body cannot be held, the reader skips it, and the next request is
  // answered (or the keepalive ends the host with status 0 meanwhile).
  harness::TempDir dir;
  const std::string script = dir.Path() + "/limited.sh";
  std::ofstream(script) << "#!/bin/sh\nulimit -v 600000\nexec \"" << FakeHostPath() << "\"\n";
  ASSERT_EQ(::chmod(script.c_str(), 0700), 0);
  HostUnderTest host(script);
  host.Start();
  auto primed = Prime(host);
  bool sent = host.SendRaw(std::string("\x00\x00\x00\x40", 4));
  const std::string mebibyte(1u << 20, 'x');
  for (int i = 0; sent && i < 1024; ++i) sent = host.SendRaw(mebibyte);
  sent = sent && host.Send(R"({"method":"getVersion","event":"after"})");
  ExpectAnsweredOrEndedByKeepalive(host, sent, primed, {"after"}, "a 1 GiB frame under a 600 MB limit");
#endif
}

TEST_F(BadInput, AFloodSentWithoutReadingIsHeldBackThenAnsweredInOrder) {
  // The requests go out from a thread of their own while no reply is read:
  // the host stops reading once its replies cannot be written, so the sender
  // blocks and the host's memory stays bounded; once the replies are read,
  // every request is answered in order.
  constexpr int kFlood = 400000;
  std::string batch;
  for (int i = 0; i < kFlood; ++i) batch += harness::Frame(R"({"method":"getVersion","event":"f)" + std::to_string(i) + "\"}");
  std::atomic<bool> sent{false};
  std::thread sender([&] { sent = host->SendRaw(batch); });
  long peak = 0;
  for (auto until = harness::Clock::now() + 2s; harness::Clock::now() < until;) {
    peak = std::max(peak, host->RssKb());
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_FALSE(sent.load()) << "the host took all " << batch.size() << " bytes while none of its replies were read";
  EXPECT_LT(peak, 100 * 1024) << "memory grows with what the peer sends";
  int next = 0;
  const auto deadline = harness::Clock::now() + 300s;
  while (next < kFlood) {
    if (harness::Clock::now() > deadline) break;
    // Not Next(): its answer to a ping would cut into the sender's frames.
    ReadResult r = host->Child().ReadFrame(20s);
    if (r.kind != ReadResult::Frame) break;
    if (r.text == kPing) continue;
    if (r.text.find("\"event\":\"f" + std::to_string(next) + "\"") == std::string::npos) break;
    ++next;
  }
  sender.join();
  EXPECT_TRUE(sent.load());
  EXPECT_EQ(next, kFlood) << "reply f" << next << " lost, late or out of order";
  std::printf("flood of %d unread requests: peak RSS %ld KiB while unread; all answered in order\n", kFlood, peak);
  RecordProperty("flood_peak_rss_kb", std::to_string(peak));
}

TEST(BadInputAtTheEnd, ALengthPrefixPromising4GiBThenEndOfInputEndsTheHostCleanly) {
  if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
  HostUnderTest host(FakeHostPath());
  host.Start();
  ASSERT_TRUE(host.SendRaw(std::string("\xFF\xFF\xFF\xFF", 4) + std::string(1 << 20, 'y')));
  long rss = host.RssKb();
  host.Child().CloseStdin();
  // Nothing more can arrive: the keepalive ends the host within two ticks.
  auto status = host.Child().WaitExit(3 * kTick);
  ASSERT_TRUE(status.has_value()) << "the host hangs on a frame that never completes";
  EXPECT_TRUE(status->exited) << "signal " << status->signal;
  EXPECT_EQ(status->code, 0);
  EXPECT_LT(rss, 512 * 1024) << "memory is taken for the promised length, not for the bytes that came";
}

TEST(BadInputAtTheEnd, ALengthPrefixPromising4GiBSwallowsWhatFollowsUntilTheHostEnds) {
  if (FakeHostPath().empty()) GTEST_SKIP() << "kestrix-host-fake is not built";
  HostUnderTest host(FakeHostPath());
  host.Start();
  ASSERT_TRUE(host.SendRaw(std::string("\x00\x00\x00\xF0", 4)));
  // The frames after it are body bytes of the promised frame: never answered.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(host.Send(R"({"method":"getVersion","event":"lost"})"));
  std::optional<Json::Value> r = host.Await("lost", kTick + 1000ms);
  EXPECT_FALSE(r.has_value());
  auto status = host.Child().WaitExit(3 * kTick);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
}

}  // namespace
}  // namespace hardening
