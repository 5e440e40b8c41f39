// FrameDecoder: restores message boundaries in a byte stream that arrives in
// pieces cut anywhere, the length prefix included. Both input paths (standard
// input and the relay pipe) feed their reads through one of these.
//
// Memory: the body of a frame grows with the bytes that really arrive, never
// with the length a peer announces, and by at most a quarter at a time (the
// buffer is resized in place where the allocator can), so a frame never costs
// twice its size. A frame whose body cannot be held (allocation refused) is
// skipped: its remaining declared bytes are read and discarded, and decoding
// goes on with the next frame. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

class FrameDecoder {
 public:
  FrameDecoder() = default;
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // Consumes bytes from data[0..n) until one frame is complete or the bytes
  // run out; *used is the number consumed. True when *frame holds a complete
  // body, which stays valid until the next call and until the caller's
  // buffer changes (a frame that arrived whole in one piece is not copied).
  // Call again with the rest of the bytes to get the next frame.
  bool Next(const uint8_t* data, size_t n, size_t* used, std::string_view* frame);

  // True while part of a frame (prefix or body) has been consumed.
  bool InFrame() const { return m_prefixBytes > 0; }
  // Frames skipped so far because their body could not be held.
  uint64_t SkippedFrames() const { return m_skipped; }
  // Gives the memory of the body buffer back (between frames).
  void Shrink();

  // For tests: the allocator the body buffer uses (realloc by default);
  // returning null refuses the growth.
  using Realloc = void* (*)(void* block, size_t bytes);
  void SetRealloc(Realloc realloc) { m_realloc = realloc; }

 private:
  bool Reserve(size_t need);

  unsigned char m_prefix[4] = {};
  size_t m_prefixBytes = 0;   // 0..4 prefix bytes of the current frame collected
  uint32_t m_expected = 0;    // the current frame's declared length
  uint32_t m_received = 0;    // body bytes consumed (kept or discarded)
  bool m_skipping = false;    // the body could not be held: discarding it
  char* m_body = nullptr;
  size_t m_capacity = 0;
  uint64_t m_skipped = 0;
  Realloc m_realloc = nullptr;
};
