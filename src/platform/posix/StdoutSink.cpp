#include "platform/StdoutSink.h"

#include <sys/uio.h>
#include <climits>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace {

class StdoutSink : public ByteSink {
 public:
  bool Write(const char* data, size_t n) override {
    while (n > 0) {
      ssize_t w = ::write(STDOUT_FILENO, data, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      data += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  bool WriteGather(const std::string* parts, size_t count) override {
    std::vector<iovec> pieces;
    pieces.reserve(count);
    for (size_t i = 0; i < count; ++i)
      if (!parts[i].empty()) pieces.push_back(iovec{const_cast<char*>(parts[i].data()), parts[i].size()});
    size_t next = 0;
    while (next < pieces.size()) {
      int n = static_cast<int>(std::min<size_t>(pieces.size() - next, IOV_MAX));
      ssize_t w = ::writev(STDOUT_FILENO, pieces.data() + next, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      // Past the pieces written whole; the rest of a piece cut short goes next.
      size_t left = static_cast<size_t>(w);
      while (next < pieces.size() && left >= pieces[next].iov_len) left -= pieces[next++].iov_len;
      if (left > 0) {
        pieces[next].iov_base = static_cast<char*>(pieces[next].iov_base) + left;
        pieces[next].iov_len -= left;
      }
    }
    return true;
  }
};

}  // namespace

ByteSink& StandardOutputSink() {
  static StdoutSink* const sink = new StdoutSink;
  return *sink;
}
