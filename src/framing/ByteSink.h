// ByteSink: where the frame writer's bytes go. The host hands the writer its
// standard output (platform/StdoutSink.h); tests hand it a BufferSink.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all n bytes in order, waiting as long as the reader is slow.
  // False when the output has failed for good (the peer has gone).
  virtual bool Write(const char* data, size_t n) = 0;
  // Writes the parts one after the other, as one write: standard output
  // hands them to one system call (writev); here they are joined first, so
  // that every sink sees one Write per call.
  virtual bool WriteGather(const std::string* parts, size_t count) {
    if (count == 1) return Write(parts[0].data(), parts[0].size());
    std::string joined;
    for (size_t i = 0; i < count; ++i) joined += parts[i];
    return Write(joined.data(), joined.size());
  }
};

// Keeps everything written, for tests and in-process hosts. Thread-safe, so a
// test can read it while a writer thread appends.
class BufferSink : public ByteSink {
 public:
  bool Write(const char* data, size_t n) override {
    std::lock_guard lock(m_mu);
    if (m_fail) return false;
    m_bytes.append(data, n);
    ++m_writes;
    return true;
  }
  std::string Bytes() const {
    std::lock_guard lock(m_mu);
    return m_bytes;
  }
  // Takes what has been written so far, leaving the buffer empty.
  std::string Take() {
    std::lock_guard lock(m_mu);
    std::string out;
    out.swap(m_bytes);
    return out;
  }
  size_t Writes() const {
    std::lock_guard lock(m_mu);
    return m_writes;
  }
  // Every later write fails, as a closed pipe's would.
  void FailFromNowOn() {
    std::lock_guard lock(m_mu);
    m_fail = true;
  }

 private:
  mutable std::mutex m_mu;
  std::string m_bytes;
  size_t m_writes = 0;
  bool m_fail = false;
};

// Hands every write to a function; with FrameWriter::Mode::Inline that is one
// call per frame, which lets a test look at each frame as it leaves.
class FunctionSink : public ByteSink {
 public:
  explicit FunctionSink(std::function<bool(const char* data, size_t n)> write) : m_write(std::move(write)) {}
  bool Write(const char* data, size_t n) override { return m_write(data, n); }

 private:
  std::function<bool(const char*, size_t)> m_write;
};
