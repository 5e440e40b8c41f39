// Framing: the host's own codec (framing/FrameCodec.h). FrameReader cuts a
// byte stream read from a descriptor into frames, with as few copies as it can:
// a frame is handed out as a view into its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framing/FrameCodec.h"

namespace bench {

using ::AppendFrame;
using ::Frame;

class FrameReader {
 public:
  enum class Fill { Data, Again, End };

  explicit FrameReader(int fd, size_t capacity = 1 << 20);

  // One read() from the descriptor into the buffer. Again when nothing was
  // there (non-blocking descriptor), End at end of output or on an error.
  // Views handed out by Next() are invalid afterwards.
  Fill ReadSome();
  // The next whole frame already in the buffer; false when there is none yet.
  bool Next(std::string_view& text);
  size_t Buffered() const { return m_end - m_begin; }

 private:
  int m_fd;
  std::vector<char> m_buf;
  size_t m_begin = 0;
  size_t m_end = 0;
};

}  // namespace bench
