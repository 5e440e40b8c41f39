#include "platform/StdoutSink.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace {

// WriteFile on the standard output handle: no runtime text mode in between,
// so a length byte 0x0A leaves as it is. The runtime's stream is put in
// binary mode as well, for anything that writes through it.
class StdoutSink : public ByteSink {
 public:
  StdoutSink() { _setmode(_fileno(stdout), _O_BINARY); }
  bool Write(const char* data, size_t n) override {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    while (n > 0) {
      DWORD chunk = static_cast<DWORD>(std::min<size_t>(n, 1u << 20));
      DWORD written = 0;
      if (!::WriteFile(out, data, chunk, &written, nullptr) || written == 0) return false;
      data += written;
      n -= written;
    }
    return true;
  }
};

}  // namespace

ByteSink& StandardOutputSink() {
  static StdoutSink* const sink = new StdoutSink;
  return *sink;
}
