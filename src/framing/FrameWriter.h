// FrameWriter: the one way out for the host's messages. Frames each text
// (length prefix + text) and hands the bytes to the sink it was given.
//
// With Mode::Thread (the host) a thread of its own writes whatever has been
// queued: the caller never waits for the reader of the output, and a frame
// is never held behind the caller's later work. Frames queued while a write
// is under way go out together in the next one. After a write the thread
// watches for more frames for a short while (100 us) before it sleeps, so
// that under load it is not woken once per frame and a frame leaves as soon
// as it is queued. Frames leave in the order they were queued. A caller
// that queues more than 4 MiB ahead of the reader waits in WriteFrame
// until the reader has taken all but 1 MiB, unless the reader has taken
// nothing for half a second (then it only queues, until the reader moves
// again).
// Mode::Inline writes on the caller's thread before WriteFrame returns.
//
// After the sink has failed once, frames are dropped: the peer has gone, and
// the keepalive ends the process.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class ByteSink;

class FrameWriter {
 public:
  enum class Mode { Inline, Thread };

  // The sink must outlive the writer; with Mode::Thread also a writer thread
  // that Close left blocked inside it (standard output does).
  explicit FrameWriter(ByteSink& sink, Mode mode = Mode::Thread);
  // Close with no stall limit: waits until all is written or the sink fails.
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Queues (Inline: writes) the frame of one UTF-8 text, under 4 GiB.
  void WriteFrame(std::string_view text);
  // The same for a text the caller gives up: one of kMoveBytes or more is
  // kept as it is until written (no copy), a shorter one is copied.
  void WriteOwnedFrame(std::string&& text);
  static constexpr size_t kMoveBytes = 64 * 1024;
  // An emptied buffer of a text written earlier (or an empty string): the
  // caller builds its next long text in it, and no fresh memory is touched.
  std::string TakeBuffer();

  // Bytes queued or being written.
  size_t Backlog() const;
  // Waits at most timeout for the backlog to be at most `bytes`; true when it is.
  bool WaitForBacklog(size_t bytes, std::chrono::milliseconds timeout) const;
  // Waits until everything queued has been written; gives up when no byte
  // has been written for `stall`. True when nothing is left.
  bool Flush(std::chrono::milliseconds stall);
  // Flush(stall), then ends the writer thread. A thread still blocked in the
  // sink (a peer that stopped reading) is left behind, detached; it keeps
  // what it needs alive and ends with the process.
  void Close(std::chrono::milliseconds stall);
  bool Failed() const;
  // Calls of the sink so far (for tests and benchmarks).
  uint64_t SinkWrites() const;

  struct State;

 private:
  // Queues text; with owned (== the text) the string itself is queued.
  void Queue(std::string_view text, std::string* owned);

  std::shared_ptr<State> m_state;
  Mode m_mode;
  bool m_closed = false;
};
