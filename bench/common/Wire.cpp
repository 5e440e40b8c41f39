#include "common/Wire.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bench {

void AppendFrame(std::string& out, std::string_view text) {
  uint32_t n = static_cast<uint32_t>(text.size());
  char prefix[4] = {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                    static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
  out.append(prefix, 4);
  out.append(text);
}

std::string Frame(std::string_view text) {
  std::string out;
  AppendFrame(out, text);
  return out;
}

FrameReader::FrameReader(int fd, size_t capacity) : m_fd(fd), m_buf(capacity) {}

namespace {
uint32_t PrefixAt(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return uint32_t(u[0]) | uint32_t(u[1]) << 8 | uint32_t(u[2]) << 16 | uint32_t(u[3]) << 24;
}
}  // namespace

FrameReader::Fill FrameReader::ReadSome() {
  // Make room: move the unread tail to the front, and grow when the frame
  // being read is larger than the whole buffer.
  if (m_begin == m_end) {
    m_begin = m_end = 0;
  } else if (m_begin > 0 && m_buf.size() - m_end < m_buf.size() / 4) {
    std::memmove(m_buf.data(), m_buf.data() + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
  }
  if (m_end - m_begin >= 4) {
    size_t need = 4 + size_t(PrefixAt(m_buf.data() + m_begin));
    if (need > m_buf.size() - m_begin) {
      if (m_begin > 0) {
        std::memmove(m_buf.data(), m_buf.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
      }
      if (need > m_buf.size()) m_buf.resize(need);
    }
  }
  // A caller that reads before taking the frames it has still gets room.
  if (m_end == m_buf.size()) m_buf.resize(m_buf.size() * 2);
  for (;;) {
    ssize_t n = ::read(m_fd, m_buf.data() + m_end, m_buf.size() - m_end);
    if (n > 0) {
      m_end += static_cast<size_t>(n);
      return Fill::Data;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Fill::Again;
    return Fill::End;
  }
}

bool FrameReader::Next(std::string_view& text) {
  if (m_end - m_begin < 4) return false;
  size_t n = PrefixAt(m_buf.data() + m_begin);
  if (m_end - m_begin - 4 < n) return false;
  text = std::string_view(m_buf.data() + m_begin + 4, n);
  m_begin += 4 + n;
  return true;
}

}  // namespace bench
