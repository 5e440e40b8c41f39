#include "common/Wire.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bench {

FrameReader::FrameReader(int fd, size_t capacity) : m_fd(fd), m_buf(capacity) {}

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
    size_t need = 4 + size_t(DecodeFrameLength(m_buf.data() + m_begin));
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
  size_t n = DecodeFrameLength(m_buf.data() + m_begin);
  if (m_end - m_begin - 4 < n) return false;
  text = std::string_view(m_buf.data() + m_begin + 4, n);
  m_begin += 4 + n;
  return true;
}

}  // namespace bench
