// The inbound gate: what each text becomes (dropped, exit, posted, held back
// until the control is ready), and that the reader thread can never be
// killed or stuck by a text of the wrong shape.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "WindowFixture.h"

namespace {

using namespace std::chrono_literals;

GateAction Classify(const std::string& text, bool ready) {
  Json::Value request;
  return ClassifyMessage(text, ready, &request);
}

TEST(GateDecision, TextsThatAreNotJsonObjectsAreDropped) {
  for (const char* text : {"", "   ", "{", "{\"method\":\"ping\"", "not json", "42", "\"exit\"", "true", "null",
                           "[1,2]", "[{\"method\":\"exit\"}]"}) {
    EXPECT_EQ(Classify(text, false), GateAction::Drop) << text;
    EXPECT_EQ(Classify(text, true), GateAction::Drop) << text;
  }
}

TEST(GateDecision, NestingBeyondTheParsersLimitIsDroppedNotThrown) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  EXPECT_EQ(Classify(deep, false), GateAction::Drop);
  const std::string deepMember = "{\"method\":\"new\",\"x\":" + deep + "}";
  EXPECT_EQ(Classify(deepMember, false), GateAction::Drop);
}

TEST(GateDecision, ExitIsNeverHeldBack) {
  EXPECT_EQ(Classify(R"({"method":"exit"})", false), GateAction::Exit);
  EXPECT_EQ(Classify(R"({"method":"exit","params":[1]})", true), GateAction::Exit);
  // Comments are allowed, as the parser's defaults have it.
  EXPECT_EQ(Classify("/* bye */ {\"method\":\"exit\"}", false), GateAction::Exit);
}

TEST(GateDecision, OnlyNewAndPingPassBeforeTheControlIsReady) {
  EXPECT_EQ(Classify(R"({"method":"new","sender":{}})", false), GateAction::Post);
  EXPECT_EQ(Classify(R"({"method":"ping"})", false), GateAction::Post);
  for (const char* text : {R"({"method":"getVersion","event":"v"})", R"({"method":"nosuch"})", R"({})",
                           R"({"method":"Exit"})", R"({"method":"exit "})", R"({"method":"NEW"})",
                           R"({"method":5})", R"({"method":["exit"]})"})
    EXPECT_EQ(Classify(text, false), GateAction::WaitAndPost) << text;
}

TEST(GateDecision, NothingWaitsOnceTheControlIsReady) {
  for (const char* text : {R"({"method":"getVersion","event":"v"})", R"({})", R"({"method":"new"})",
                           R"({"method":"Exit"})"})
    EXPECT_EQ(Classify(text, true), GateAction::Post) << text;
}

TEST(GateDecision, TheParsedRequestIsHandedBack) {
  Json::Value request;
  ASSERT_EQ(ClassifyMessage(R"({"method":"new","sender":{"tab":{"id":7}}})", false, &request), GateAction::Post);
  EXPECT_EQ(request["sender"]["tab"]["id"].asInt(), 7);
}

using Gate = HostWindowTest;

TEST_F(Gate, ExitPostsTheExitMessageAndStops) {
  window.SubmitMessage(R"({"method":"exit"})");
  EXPECT_TRUE(window.IsStopping());
  MSG msg = NextMessage();
  EXPECT_EQ(msg.message, WM_HOST_EXIT);
  EXPECT_EQ(msg.lParam, 0);
}

TEST_F(Gate, PingAndNewArePostedBeforeReadiness) {
  window.SubmitMessage(R"({"method":"ping"})");
  window.SubmitMessage(R"({"method":"new","sender":{"tab":{"id":3}}})");
  MSG first = NextMessage();
  MSG second = NextMessage();
  ASSERT_EQ(first.message, WM_HOST_REQUEST);
  ASSERT_EQ(second.message, WM_HOST_REQUEST);
  std::unique_ptr<Json::Value> a(reinterpret_cast<Json::Value*>(first.lParam));
  std::unique_ptr<Json::Value> b(reinterpret_cast<Json::Value*>(second.lParam));
  EXPECT_EQ((*a)["method"].asString(), "ping");
  EXPECT_EQ((*b)["sender"]["tab"]["id"].asInt(), 3);
  EXPECT_FALSE(window.IsStopping());
}

TEST_F(Gate, DroppedTextsPostNothingAndNeverWait) {
  // Run on another thread so that a wrong wait shows as a failure, not a hang.
  auto submit = std::async(std::launch::async, [this] {
    for (const char* text : {"", "42", "[1]", "\"s\"", "null", "{"}) window.SubmitMessage(text);
    window.SubmitMessage(std::string(3000, '[') + std::string(3000, ']'));
  });
  if (submit.wait_for(5s) != std::future_status::ready) {
    KPAxWindowTestAccess::MakeReady(window);  // release it before failing
    FAIL() << "a dropped text waited for the control";
  }
  EXPECT_FALSE(SomethingQueued());
  EXPECT_FALSE(window.IsStopping());
}

TEST_F(Gate, OtherRequestsWaitForTheReadyEventThenArePosted) {
  auto submit = std::async(std::launch::async, [this] { window.SubmitMessage(R"({"method":"getVersion","event":"v"})"); });
  // Held back: nothing arrives while the control is not ready.
  EXPECT_EQ(NextMessage(300ms).message, WM_NULL);
  EXPECT_NE(submit.wait_for(0ms), std::future_status::ready);
  KPAxWindowTestAccess::MakeReady(window);
  MSG msg = NextMessage();
  ASSERT_EQ(msg.message, WM_HOST_REQUEST);
  std::unique_ptr<Json::Value> request(reinterpret_cast<Json::Value*>(msg.lParam));
  EXPECT_EQ((*request)["event"].asString(), "v");
  EXPECT_EQ(submit.wait_for(5s), std::future_status::ready);
}

TEST_F(Gate, AfterReadinessNothingWaits) {
  KPAxWindowTestAccess::MakeReady(window);
  // The auto-reset event was consumed by no one; the flag alone lets requests pass.
  window.SubmitMessage(R"({"method":"getPrinters","event":"p"})");
  window.SubmitMessage(R"({"method":"getFonts","event":"f"})");
  MSG a = NextMessage();
  MSG b = NextMessage();
  ASSERT_EQ(a.message, WM_HOST_REQUEST);
  ASSERT_EQ(b.message, WM_HOST_REQUEST);
  delete reinterpret_cast<Json::Value*>(a.lParam);
  delete reinterpret_cast<Json::Value*>(b.lParam);
}

TEST_F(Gate, AHeldRequestIsDroppedWhenTheHostExitsMeanwhile) {
  auto submit = std::async(std::launch::async, [this] { window.SubmitMessage(R"({"method":"getVersion","event":"v"})"); });
  // The keepalive finds the extension silent: exit ordered, then handled.
  KPAxWindowTestAccess::SetPeerAlive(window, false);
  BOOL handled = FALSE;
  window.OnKeepaliveTimer(WM_TIMER, kKeepaliveTimerId, 0, handled);
  ASSERT_EQ(NextMessage().message, WM_HOST_EXIT);
  window.OnExit(WM_HOST_EXIT, 0, 0, handled);
  ASSERT_EQ(submit.wait_for(5s), std::future_status::ready);
  MSG msg = NextMessage();
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_FALSE(SomethingQueued());
}

TEST_F(Gate, ARequestToAWindowThatHasGoneIsFreed) {
  KPAxWindowTestAccess::MakeReady(window);
  BOOL handled = FALSE;
  window.OnExit(WM_HOST_EXIT, 0, 0, handled);
  ASSERT_EQ(NextMessage().message, WM_QUIT);
  // Not stopping (only exit senders set that), but the window is gone: the
  // post fails and the value must not leak (the leak checker watches this).
  window.SubmitMessage(R"({"method":"getVersion","event":"v"})");
  EXPECT_FALSE(IsWindow(KPAxWindowTestAccess::PostTarget(window)));
  EXPECT_FALSE(SomethingQueued());
}

}  // namespace

namespace {

using Batch = HostWindowTest;

// What the main thread takes from the inbox when the hand-over message comes.
std::vector<Json::Value> Take(KPAxWindow& window) {
  std::vector<QueuedRequest> queued;
  window.TakeRequests(&queued);
  std::vector<Json::Value> taken;
  for (QueuedRequest& q : queued) taken.push_back(std::move(q.value));
  return taken;
}

TEST_F(Batch, TheReadersRequestsAreHandedOverInOrderAndAllBeforeAnExit) {
  window.SetBatchInput(true);
  KPAxWindowTestAccess::MakeReady(window);
  window.SubmitMessage(R"({"method":"ping","n":1})");
  window.SubmitMessage(R"({"method":"ping","n":2})");
  EXPECT_FALSE(SomethingQueued()) << "a message for fewer than a hand-over's requests while the reader had more";
  window.EndOfBatch();
  ASSERT_EQ(NextMessage().message, WM_HOST_REQUESTS);
  std::vector<Json::Value> taken = Take(window);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0]["n"], 1);
  EXPECT_EQ(taken[1]["n"], 2);
  // A full hand-over goes without waiting for the end of the read, and what
  // follows while its message is on its way joins it without a second one.
  for (size_t i = 0; i < 2 * kHandOverRequests; ++i) window.SubmitMessage(R"({"method":"ping","n":4})");
  ASSERT_EQ(NextMessage().message, WM_HOST_REQUESTS);
  EXPECT_FALSE(SomethingQueued());
  EXPECT_EQ(Take(window).size(), 2 * kHandOverRequests);
  // An exit sends what came before it first, then itself.
  window.SubmitMessage(R"({"method":"ping","n":3})");
  window.SubmitMessage(R"({"method":"exit"})");
  ASSERT_EQ(NextMessage().message, WM_HOST_REQUESTS);
  taken = Take(window);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0]["n"], 3);
  EXPECT_EQ(NextMessage().message, WM_HOST_EXIT);
}

TEST_F(Batch, AFullQueueHoldsTheReaderUntilTheMainThreadHasHandledPartOfIt) {
  window.SetBatchInput(true);
  KPAxWindowTestAccess::MakeReady(window);
  for (long i = 0; i < kMaxQueuedRequests; ++i) window.SubmitMessage(R"({"method":"ping"})");
  window.EndOfBatch();
  auto more = std::async(std::launch::async, [this] {
    window.SubmitMessage(R"({"method":"ping"})");
    window.EndOfBatch();
  });
  EXPECT_EQ(more.wait_for(300ms), std::future_status::timeout) << "the reader went on while the queue was full";
  // The main thread handles what is queued: the reader goes on.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  MSG msg;
  while (more.wait_for(0ms) != std::future_status::ready && std::chrono::steady_clock::now() < deadline)
    if (GetMessageTimeout(&msg, 50)) DispatchMessageW(&msg);
  EXPECT_EQ(more.wait_for(0ms), std::future_status::ready);
}

}  // namespace
