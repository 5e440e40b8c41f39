// A minimal framing echo host: the most a host can do with pipes and framing.
//
// It reads frames on standard input (buffered, 64 KiB at a time) and answers
// each request that carries an "event" with a reply frame of the host's shape,
// {"data":"<data>","event":"<event>","tab":1} plus a newline, written with one
// write() per reply (a host answers each message as it is handled; it does not
// hold replies back to batch them). "new" and "ping" get no reply, "exit" ends
// it. With --payload N it prepares N characters of base64 text at start and
// answers "readBase64" with them in pieces of at most 500000 bytes, "index"
// 0, 1, ... and none on the last, exactly as the host cuts a long result: the
// baseline for copying the same bytes through a pipe.
//
//   kx_echo_host [--data TEXT] [--payload N]
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/Envelope.h"
#include "common/Stats.h"
#include "common/Wire.h"

namespace {

constexpr size_t kPiece = 500000;

bool WriteAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    else if (n < 0 && errno == EINTR) continue;
    else return false;
  }
  return true;
}

struct Echo {
  std::string data;     // raw JSON string body of "data"
  std::string payload;  // the long result, when prepared
  std::string out;      // reused frame buffer
  std::string text;     // reused reply text

  bool Reply(std::string_view event, std::string_view piece, long index) {
    text.assign("{\"data\":\"");
    text.append(piece);
    text.append("\",\"event\":\"");
    text.append(event);
    text.append("\"");
    if (index >= 0) {
      text.append(",\"index\":");
      text.append(std::to_string(index));
    }
    text.append(",\"tab\":1}\n");
    out.clear();
    bench::AppendFrame(out, text);
    return WriteAll(out);
  }

  // False when the conversation is over.
  bool Handle(std::string_view frame) {
    bench::Envelope e;
    if (!bench::ReadEnvelope(frame, e) || !e.method) return true;  // dropped, as the host drops it
    std::string_view method = *e.method;
    if (method == "exit") return false;
    if (method == "new" || method == "ping" || !e.event || e.event->empty()) return true;
    if (method == "readBase64" && !payload.empty()) {
      size_t pos = 0;
      long index = 0;
      do {
        size_t len = std::min(kPiece, payload.size() - pos);
        bool last = pos + len == payload.size();
        if (!Reply(*e.event, std::string_view(payload).substr(pos, len), last ? -1 : index++)) return false;
        pos += len;
      } while (pos < payload.size());
      return true;
    }
    return Reply(*e.event, data, -1);
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  Echo echo;
  echo.data = bench::Option(argc, argv, "--data", "1.0.0-fake");
  long long n = bench::OptionNumber(argc, argv, "--payload", 0);
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  echo.payload.resize(static_cast<size_t>(n));
  for (long long i = 0; i < n; ++i) echo.payload[static_cast<size_t>(i)] = kAlphabet[i % 64];

  bench::FrameReader reader(0, 1 << 16);
  for (;;) {
    std::string_view frame;
    while (reader.Next(frame))
      if (!echo.Handle(frame)) return 0;
    if (reader.ReadSome() == bench::FrameReader::Fill::End) return 0;
  }
}
