// The frame writer: frames leave whole and in order, a frame queued while
// the sink is blocked on an earlier one is never held back by the caller's
// later work, frames queued meanwhile go out together, and a failed or
// stalled sink neither blocks the caller nor hangs Close.
#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include "framing/ByteSink.h"
#include "framing/FrameCodec.h"
#include "framing/FrameWriter.h"

namespace {

using namespace std::chrono_literals;

// A sink whose writes wait while it is closed, like a pipe nobody reads.
class GateSink : public ByteSink {
 public:
  bool Write(const char* data, size_t n) override {
    std::unique_lock lock(mu);
    ++entered;
    cv.notify_all();
    cv.wait(lock, [this] { return open; });
    bytes.append(data, n);
    ++writes;
    return true;
  }
  void Open() {
    std::lock_guard lock(mu);
    open = true;
    cv.notify_all();
  }
  bool WaitEntered(int n) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, 10s, [&] { return entered >= n; });
  }
  std::string Bytes() {
    std::lock_guard lock(mu);
    return bytes;
  }
  int Writes() {
    std::lock_guard lock(mu);
    return writes;
  }

 private:
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  int entered = 0;
  int writes = 0;
  std::string bytes;
};

TEST(FrameWriter, InlineWritesEachFrameBeforeReturning) {
  BufferSink sink;
  FrameWriter writer(sink, FrameWriter::Mode::Inline);
  writer.WriteFrame("{\"method\":\"ping\"}");
  EXPECT_EQ(sink.Bytes(), Frame("{\"method\":\"ping\"}"));
  writer.WriteFrame("");
  EXPECT_EQ(sink.Bytes(), Frame("{\"method\":\"ping\"}") + Frame(""));
  EXPECT_EQ(sink.Writes(), 2u);
}

TEST(FrameWriter, AFrameLeavesWhileTheCallerGoesOnWorking) {
  BufferSink sink;
  FrameWriter writer(sink);
  writer.WriteFrame("first");
  // The caller does not flush; the writer thread writes on its own.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (sink.Bytes().empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(sink.Bytes(), Frame("first"));

  // Once nothing comes, the thread watches only briefly and then sleeps: an
  // idle host costs no processor time. A frame queued then wakes it.
  timespec before{}, after{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  std::this_thread::sleep_for(300ms);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  const double busyMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
  EXPECT_LT(busyMs, 100.0) << "the writer thread kept the processor while idle";
  writer.WriteFrame("second");
  deadline = std::chrono::steady_clock::now() + 10s;
  while (sink.Writes() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(sink.Bytes(), Frame("first") + Frame("second"));
}

TEST(FrameWriter, FramesQueuedDuringABlockedWriteGoOutTogetherInOrder) {
  GateSink sink;
  FrameWriter writer(sink);
  writer.WriteFrame("one");
  ASSERT_TRUE(sink.WaitEntered(1));
  // The sink is blocked: queuing never waits for it.
  // Long texts handed over by move sit among them in their places.
  auto large = [](int i) { return std::string(FrameWriter::kMoveBytes + static_cast<size_t>(i), 'a' + i % 26); };
  for (int i = 0; i < 100; ++i) {
    if (i % 30 == 29) writer.WriteOwnedFrame(large(i));
    writer.WriteFrame(std::to_string(i));
  }
  EXPECT_GT(writer.Backlog(), 3 * FrameWriter::kMoveBytes);
  EXPECT_FALSE(writer.Flush(20ms)) << "nothing can move while the sink is blocked";
  EXPECT_TRUE(writer.TakeBuffer().empty()) << "no buffer is free before its text is written";
  sink.Open();
  ASSERT_TRUE(writer.Flush(10s));
  std::string want = Frame("one");
  for (int i = 0; i < 100; ++i) want += (i % 30 == 29 ? Frame(large(i)) : "") + Frame(std::to_string(i));
  EXPECT_TRUE(sink.Bytes() == want);
  EXPECT_EQ(sink.Writes(), 2) << "the hundred frames queued meanwhile leave in one write";
  EXPECT_EQ(writer.Backlog(), 0u);
  // A written long text's memory comes back for the next one.
  EXPECT_GE(writer.TakeBuffer().capacity(), FrameWriter::kMoveBytes);
}

TEST(FrameWriter, ACallerFarAheadOfTheReaderWaitsForItUntilItStalls) {
  GateSink sink;
  FrameWriter writer(sink);
  const std::string mib(1 << 20, 'm');
  writer.WriteFrame(mib);
  ASSERT_TRUE(sink.WaitEntered(1));
  // The reader takes nothing: past 4 MiB ahead the caller waits, then gives
  // up waiting once nothing has moved for a while, and only queues after that.
  auto ahead = std::async(std::launch::async, [&] {
    for (int i = 0; i < 5; ++i) writer.WriteFrame(mib);
  });
  EXPECT_EQ(ahead.wait_for(200ms), std::future_status::timeout) << "the caller ran ahead of a blocked reader";
  ASSERT_EQ(ahead.wait_for(10s), std::future_status::ready) << "a stalled reader holds the caller for good";
  auto more = std::async(std::launch::async, [&] { writer.WriteFrame(mib); });
  EXPECT_EQ(more.wait_for(200ms), std::future_status::ready) << "after the stall the caller only queues";
  sink.Open();
  ASSERT_TRUE(writer.Flush(10s));
  EXPECT_EQ(sink.Bytes().size(), 7 * (kFramePrefixBytes + mib.size()));
}

TEST(FrameWriter, WaitForBacklogReturnsWhenTheSinkCatchesUp) {
  GateSink sink;
  FrameWriter writer(sink);
  writer.WriteFrame(std::string(1000, 'x'));
  ASSERT_TRUE(sink.WaitEntered(1));
  EXPECT_FALSE(writer.WaitForBacklog(100, 10ms));
  sink.Open();
  EXPECT_TRUE(writer.WaitForBacklog(100, 10s));
}

TEST(FrameWriter, AfterTheSinkFailsFramesAreDroppedAndNothingBlocks) {
  BufferSink sink;
  sink.FailFromNowOn();
  FrameWriter writer(sink);
  writer.WriteFrame("lost");
  EXPECT_TRUE(writer.Flush(10s) || writer.Failed());
  EXPECT_TRUE(writer.Failed());
  writer.WriteFrame("also lost");
  EXPECT_EQ(writer.Backlog(), 0u);
  EXPECT_TRUE(sink.Bytes().empty());
}

TEST(FrameWriter, CloseGivesUpOnAStalledSinkWithoutHanging) {
  static GateSink* sink = new GateSink;  // outlives the thread left inside it
  auto writer = std::make_unique<FrameWriter>(*sink);
  writer->WriteFrame("stuck");
  ASSERT_TRUE(sink->WaitEntered(1));
  writer->WriteFrame("queued behind it");
  auto start = std::chrono::steady_clock::now();
  writer->Close(30ms);
  writer.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  sink->Open();  // the thread left behind finishes on its own
}

}  // namespace
