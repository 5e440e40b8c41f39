#include "framing/FrameWriter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framing/ByteSink.h"
#include "framing/FrameCodec.h"

namespace {
// A buffer that held more than this for one write is given back afterwards.
constexpr size_t kKeepBufferBytes = 8 * 1024 * 1024;
// A caller whose frames bring the backlog over the high-water mark waits
// until it is back under the low-water mark, or until nothing has been
// written for kStall.
constexpr size_t kHighWaterBytes = 4 * 1024 * 1024;
constexpr size_t kLowWaterBytes = 1024 * 1024;
constexpr auto kStall = std::chrono::milliseconds(500);
// How long the thread looks for more frames after a write before it sleeps
// until it is woken.
constexpr auto kWatch = std::chrono::microseconds(100);
// Emptied buffers of texts handed over by move, kept for TakeBuffer.
constexpr size_t kSpareBuffers = 4;
}  // namespace

// Shared by the writer and its thread, so that a thread left blocked in the
// sink at Close never touches a destroyed object.
struct FrameWriter::State {
  explicit State(ByteSink& s) : sink(&s) {}
  ByteSink* sink;
  mutable std::mutex mu;
  std::condition_variable wake;              // the writer thread waits here
  mutable std::condition_variable progress;  // Flush and WaitForBacklog wait here
  // Frames not yet handed to the sink, in order. Small frames are copied
  // into one segment together; a large text handed over by move is a
  // segment of its own, and its prefix ends the segment before it.
  std::vector<std::string> queued;
  size_t queuedBytes = 0;
  bool lastOpen = false;  // queued.back() takes more small frames
  std::vector<std::string> writing;  // the segments in the sink's hands
  size_t writingBytes = 0;
  std::string smallSpare;            // a small segment's buffer, reused between writes
  std::vector<std::string> spares;   // emptied large texts, for TakeBuffer
  bool busy = false;    // a write is under way
  bool sleeping = false;  // waits until WriteFrame or Close wakes it
  bool closing = false;
  bool failed = false;
  bool stalled = false;  // the last wait for the reader saw no progress
  uint64_t writes = 0;
  uint64_t written = 0;  // bytes the sink has taken
  // Counts frames queued and the close: what the thread watches without the lock.
  std::atomic<uint64_t> arrivals{0};

  size_t Backlog() const { return queuedBytes + (busy ? writingBytes : 0); }

  std::string& OpenSegment() {
    if (!lastOpen) {
      queued.push_back(std::move(smallSpare));
      smallSpare = std::string();
      queued.back().clear();
      lastOpen = true;
    }
    return queued.back();
  }

  // Writes what is queued, once; called with the lock held, returns with it.
  void WriteQueued(std::unique_lock<std::mutex>& lock) {
    writing.swap(queued);
    writingBytes = queuedBytes;
    queuedBytes = 0;
    lastOpen = false;
    busy = true;
    lock.unlock();
    bool ok = sink->WriteGather(writing.data(), writing.size());
    lock.lock();
    busy = false;
    ++writes;
    written += writingBytes;
    stalled = false;
    if (!ok) {
      failed = true;
      queued.clear();
      queuedBytes = 0;
      lastOpen = false;
    }
    // The buffers are kept for the next frames, within bounds.
    for (std::string& segment : writing) {
      if (segment.capacity() > kKeepBufferBytes) continue;
      segment.clear();
      if (segment.capacity() >= FrameWriter::kMoveBytes) {
        if (spares.size() < kSpareBuffers) spares.push_back(std::move(segment));
      } else if (smallSpare.capacity() < segment.capacity()) {
        smallSpare.swap(segment);
      }
    }
    writing.clear();
    progress.notify_all();
  }

  void Run() {
    std::unique_lock lock(mu);
    auto ready = [this] { return !queued.empty() || closing; };
    for (;;) {
      if (!ready()) {
        // Right after a write more frames are likely on their way: for a
        // short while the thread watches for them without sleeping, and the
        // writers do not signal it meanwhile. A frame then leaves as soon as
        // it is queued, and neither side pays for a wake-up through the
        // kernel, which under load costs more than the frame's own write (a
        // timed sleep instead held frames until it ended, and an idle
        // processor is slow to wake). Any other thread that wants the
        // processor meanwhile gets it.
        uint64_t seen = arrivals.load(std::memory_order_acquire);
        lock.unlock();
        const auto end = std::chrono::steady_clock::now() + kWatch;
        while (arrivals.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < end)
          std::this_thread::yield();
        lock.lock();
      }
      if (!ready()) {
        sleeping = true;  // now WriteFrame wakes it
        wake.wait(lock, ready);
        sleeping = false;
      }
      if (queued.empty()) return;  // closing, and all is written
      WriteQueued(lock);
    }
  }
};

FrameWriter::FrameWriter(ByteSink& sink, Mode mode) : m_state(std::make_shared<State>(sink)), m_mode(mode) {
  if (m_mode == Mode::Thread) std::thread([state = m_state] { state->Run(); }).detach();
}

FrameWriter::~FrameWriter() { Close(std::chrono::milliseconds::max()); }

void FrameWriter::WriteFrame(std::string_view text) { Queue(text, nullptr); }

void FrameWriter::WriteOwnedFrame(std::string&& text) {
  if (text.size() < kMoveBytes)
    Queue(text, nullptr);
  else
    Queue(text, &text);
}

std::string FrameWriter::TakeBuffer() {
  State& s = *m_state;
  std::lock_guard lock(s.mu);
  if (s.spares.empty()) return std::string();
  std::string buffer = std::move(s.spares.back());
  s.spares.pop_back();
  return buffer;
}

void FrameWriter::Queue(std::string_view text, std::string* owned) {
  State& s = *m_state;
  std::unique_lock lock(s.mu);
  if (s.failed) return;
  bool wasEmpty = s.queued.empty();
  if (owned) {
    char prefix[kFramePrefixBytes];
    EncodeFrameLength(static_cast<uint32_t>(owned->size()), prefix);
    s.OpenSegment().append(prefix, kFramePrefixBytes);
    s.queuedBytes += kFramePrefixBytes + owned->size();
    s.queued.push_back(std::move(*owned));
    s.lastOpen = false;
  } else {
    AppendFrame(s.OpenSegment(), text);
    s.queuedBytes += kFramePrefixBytes + text.size();
  }
  s.arrivals.fetch_add(1, std::memory_order_release);
  if (m_mode == Mode::Inline) {
    s.WriteQueued(lock);
    return;
  }
  // A thread that is writing or napping looks at the queue by itself soon.
  if (wasEmpty && s.sleeping) s.wake.notify_one();
  // A caller that produces faster than the reader takes (a long result in
  // pieces) waits while the reader takes it in, so that the queue stays
  // small and its memory is used again. It stops waiting when nothing has
  // moved for a while: a peer that stopped reading must not stop the caller
  // (the keepalive has to run), and from then on frames are only queued.
  if (s.Backlog() > kHighWaterBytes && !s.stalled) {
    if (!s.busy) s.wake.notify_one();
    uint64_t seen = s.written;
    while (!s.failed && s.Backlog() > kLowWaterBytes) {
      if (!s.progress.wait_for(lock, kStall, [&] { return s.failed || s.written != seen; })) {
        s.stalled = true;
        break;
      }
      seen = s.written;
    }
  }
}

size_t FrameWriter::Backlog() const {
  std::lock_guard lock(m_state->mu);
  return m_state->Backlog();
}

bool FrameWriter::WaitForBacklog(size_t bytes, std::chrono::milliseconds timeout) const {
  State& s = *m_state;
  std::unique_lock lock(s.mu);
  auto below = [&] { return s.failed || s.Backlog() <= bytes; };
  return s.progress.wait_for(lock, timeout, below);
}

bool FrameWriter::Flush(std::chrono::milliseconds stall) {
  State& s = *m_state;
  std::unique_lock lock(s.mu);
  auto done = [&] { return s.failed || (s.queued.empty() && !s.busy); };
  while (!done()) {
    uint64_t before = s.written + s.writes;
    if (stall == std::chrono::milliseconds::max()) {
      s.progress.wait(lock);
    } else if (!s.progress.wait_for(lock, stall, [&] { return done() || s.written + s.writes != before; })) {
      return false;  // nothing moved for `stall`: the reader has stopped reading
    }
  }
  return s.queued.empty() && !s.busy;
}

void FrameWriter::Close(std::chrono::milliseconds stall) {
  if (m_closed) return;
  m_closed = true;
  Flush(stall);
  {
    std::lock_guard lock(m_state->mu);
    m_state->closing = true;
    m_state->arrivals.fetch_add(1, std::memory_order_release);
  }
  m_state->wake.notify_one();
}

bool FrameWriter::Failed() const {
  std::lock_guard lock(m_state->mu);
  return m_state->failed;
}

uint64_t FrameWriter::SinkWrites() const {
  std::lock_guard lock(m_state->mu);
  return m_state->writes;
}
