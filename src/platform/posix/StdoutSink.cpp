#include "platform/StdoutSink.h"

#include <unistd.h>

#include <cerrno>

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
};

}  // namespace

ByteSink& StandardOutputSink() {
  static StdoutSink* const sink = new StdoutSink;
  return *sink;
}
