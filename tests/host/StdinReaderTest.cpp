// The standard input reader over a real pipe: frames arriving in any pieces,
// input ending in the middle of a message, the stop flag, and the wake-up
// that ends a reader blocked on silent input.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framing/FrameCodec.h"
#include "host/Readers.h"

namespace {

using namespace std::chrono_literals;

class Sink : public MessageSink {
 public:
  bool IsStopping() const override { return stopping.load(); }
  void SubmitMessage(const std::string& text) override {
    std::lock_guard lock(mu);
    texts.push_back(text);
    if (stopAfterFirst) stopping = true;
  }
  std::vector<std::string> Texts() {
    std::lock_guard lock(mu);
    return texts;
  }
  std::atomic<bool> stopping{false};
  bool stopAfterFirst = false;

 private:
  std::mutex mu;
  std::vector<std::string> texts;
};

class StdinReader : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe2(data, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(wake, O_CLOEXEC), 0);
  }
  void TearDown() override {
    for (int fd : {data[0], data[1], wake[0], wake[1]})
      if (fd >= 0) ::close(fd);
  }
  // Runs the reader on its own thread, as the host does.
  std::future<void> Start() {
    return std::async(std::launch::async, [this] { ReadFramedStream(data[0], wake[0], sink); });
  }
  void Write(const std::string& bytes) { ASSERT_EQ(::write(data[1], bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  void CloseWriter() {
    ::close(data[1]);
    data[1] = -1;
  }

  int data[2] = {-1, -1};
  int wake[2] = {-1, -1};
  Sink sink;
};

TEST_F(StdinReader, ReadsFramesWrittenInPiecesAndEndsAtEndOfInput) {
  auto reader = Start();
  const std::string stream = Frame("{\"a\":1}") + Frame("{\"b\":2}") + Frame("");
  for (size_t i = 0; i < stream.size(); i += 3) Write(stream.substr(i, 3));
  CloseWriter();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}", ""}));
}

TEST_F(StdinReader, InputEndingInsideAMessageDropsIt) {
  auto reader = Start();
  Write(Frame("{\"a\":1}") + Frame("{\"method\":\"exit\"}").substr(0, 9));
  CloseWriter();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(sink.Texts(), std::vector<std::string>{"{\"a\":1}"});
}

TEST_F(StdinReader, InputEndingInsideThePrefixDropsIt) {
  auto reader = Start();
  Write(std::string("\x05\x00", 2));
  CloseWriter();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(sink.Texts().empty());
}

TEST_F(StdinReader, NothingIsSubmittedOnceStopping) {
  // Both messages are already in the pipe; the first stops the host.
  sink.stopAfterFirst = true;
  Write(Frame("{\"method\":\"exit\"}") + Frame("{\"method\":\"ping\"}"));
  auto reader = Start();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(sink.Texts(), std::vector<std::string>{"{\"method\":\"exit\"}"});
}

TEST_F(StdinReader, TheWakeUpEndsAReaderBlockedOnSilentInput) {
  auto reader = Start();
  Write(Frame("{\"a\":1}") + std::string("\x10\x00", 2));  // then silence inside a prefix
  ASSERT_TRUE([&] {
    for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;)
      if (!sink.Texts().empty()) return true;
      else std::this_thread::sleep_for(2ms);
    return false;
  }());
  sink.stopping = true;
  ASSERT_EQ(::write(wake[1], "x", 1), 1);
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(sink.Texts(), std::vector<std::string>{"{\"a\":1}"});
}

TEST_F(StdinReader, AnAnnouncedLengthBeyondTheInputCostsOnlyWhatArrives) {
  auto reader = Start();
  Write(std::string("\xFF\xFF\xFF\xFF", 4) + "short");
  CloseWriter();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(sink.Texts().empty());
}

}  // namespace
