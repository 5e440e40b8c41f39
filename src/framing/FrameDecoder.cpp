#include "framing/FrameDecoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "framing/FrameCodec.h"

namespace {
// The first allocation of a body that arrives in pieces.
constexpr size_t kMinBodyBytes = 64 * 1024;
// A buffer larger than this is given back after its frame.
constexpr size_t kKeepBodyBytes = 1024 * 1024;
}  // namespace

FrameDecoder::~FrameDecoder() { std::free(m_body); }

void FrameDecoder::Shrink() {
  std::free(m_body);
  m_body = nullptr;
  m_capacity = 0;
}

bool FrameDecoder::Reserve(size_t need) {
  if (need <= m_capacity) return true;
  // Grows by a quarter (bounded by the declared length), not by doubling: a
  // frame near the memory limit still fits, and realloc moves large blocks
  // by remapping pages rather than copying them.
  size_t want = std::max({need, m_capacity + m_capacity / 4, kMinBodyBytes});
  want = std::min<size_t>(want, m_expected);
  void* grown = m_realloc ? m_realloc(m_body, want) : std::realloc(m_body, want);
  if (!grown) return false;
  m_body = static_cast<char*>(grown);
  m_capacity = want;
  return true;
}

bool FrameDecoder::Next(const uint8_t* data, size_t n, size_t* used, std::string_view* frame) {
  // The frame handed out last is no longer needed: a large buffer goes back.
  if (m_prefixBytes == 0 && m_capacity > kKeepBodyBytes) Shrink();
  size_t pos = 0;
  while (pos < n) {
    if (m_prefixBytes < kFramePrefixBytes) {
      // The whole frame in this piece and nothing held: handed out in place.
      if (m_prefixBytes == 0 && n - pos >= kFramePrefixBytes) {
        uint32_t length = DecodeFrameLength(data + pos);
        if (n - pos - kFramePrefixBytes >= length) {
          *frame = std::string_view(reinterpret_cast<const char*>(data + pos + kFramePrefixBytes), length);
          *used = pos + kFramePrefixBytes + length;
          return true;
        }
      }
      m_prefix[m_prefixBytes++] = data[pos++];
      if (m_prefixBytes < kFramePrefixBytes) continue;
      m_expected = DecodeFrameLength(m_prefix);
      m_received = 0;
      m_skipping = false;
      if (m_expected > 0 && !Reserve(std::min<size_t>(m_expected, n - pos))) m_skipping = true;
    }
    size_t here = std::min<size_t>(m_expected - m_received, n - pos);
    if (!m_skipping && !Reserve(static_cast<size_t>(m_received) + here)) {
      m_skipping = true;
      Shrink();  // what was held of this frame is of no use now
    }
    if (!m_skipping && here > 0) std::memcpy(m_body + m_received, data + pos, here);  // an empty frame has no buffer
    m_received += static_cast<uint32_t>(here);
    pos += here;
    if (m_received == m_expected) {
      bool skipped = m_skipping;
      uint32_t length = m_expected;
      // The body stays in the buffer until the next call.
      m_prefixBytes = 0;
      m_expected = 0;
      m_received = 0;
      m_skipping = false;
      if (skipped) {
        ++m_skipped;
        continue;
      }
      *frame = std::string_view(length ? m_body : "", length);
      *used = pos;
      return true;
    }
  }
  *used = pos;
  return false;
}
