// The incoming byte stream through both readers: AssembleFrames fed in
// chunks of fuzzer-chosen sizes (as the relay pipe delivers them), and
// ReadFramedStream reading the same bytes from a descriptor (as standard
// input delivers them). Both must submit exactly the messages an independent
// framing of the stream finds, whole, once each and in order, converted to
// the thread's code page; the pipe reader must keep the unfinished tail.
//
// Input: byte 0 picks the code page and the chunking seed, the rest is the
// stream.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "framing/FrameCodec.h"
#include "host/Readers.h"
#include "platform/CodePage.h"

namespace {

class Collect : public MessageSink {
 public:
  std::vector<std::string> texts;
  bool IsStopping() const override { return false; }
  void SubmitMessage(const std::string& text) override { texts.push_back(text); }
};

struct Expected {
  std::vector<std::string> bodies;  // complete frames, raw UTF-8
  std::string tailBody;             // the unfinished frame's body bytes
  int tailHeaderBytes = 0;
  uint32_t tailLength = 0;
};

// The framing written down plainly: 4 bytes of length, then the body.
Expected FrameIndependently(const uint8_t* p, size_t n) {
  Expected e;
  size_t i = 0;
  while (i < n) {
    if (n - i < 4) {
      e.tailHeaderBytes = static_cast<int>(n - i);
      for (size_t k = 0; k < n - i; ++k) e.tailLength |= static_cast<uint32_t>(p[i + k]) << (8 * k);
      return e;
    }
    uint32_t len = DecodeFrameLength(p + i);
    i += 4;
    if (n - i < len) {
      e.tailHeaderBytes = 4;
      e.tailLength = len;
      e.tailBody.assign(reinterpret_cast<const char*>(p + i), n - i);
      return e;
    }
    e.bodies.emplace_back(reinterpret_cast<const char*>(p + i), len);
    i += len;
  }
  return e;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "fuzz_frames: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  const uint8_t* stream = data + 1;
  const size_t n = size - 1;
  // Mostly UTF-8 (the locale of a browser's child), sometimes a one-byte
  // code page, where conversion has to replace what it cannot represent.
  SetThreadCodePage((control & 0x80) ? "WINDOWS-1252" : "UTF-8");

  Expected expected = FrameIndependently(stream, n);
  std::vector<std::string> want;
  for (const std::string& body : expected.bodies) want.push_back(Utf8ToAnsi(body));

  // The relay pipe: chunks of 1..1024 bytes from a small generator.
  Collect pipeSink;
  SetReaderSink(&pipeSink);
  PipeReadState state;
  uint32_t seed = control * 2654435761u + 1;
  size_t pos = 0;
  while (pos < n) {
    seed = seed * 1103515245u + 12345u;
    size_t chunk = (control & 0x40) ? 1 + (seed >> 16) % 7 : 1 + (seed >> 16) % kPipeChunkBytes;
    if (chunk > n - pos) chunk = n - pos;
    AssembleFrames(stream + pos, static_cast<DWORD>(chunk), state);
    pos += chunk;
  }
  SetReaderSink(nullptr);
  Check(pipeSink.texts == want, "pipe reader: messages differ from the framing");
  Check(state.frames.InFrame() == (expected.tailHeaderBytes > 0), "pipe reader: unfinished frame not kept");
  // The unfinished tail, once completed, comes out whole.
  if (expected.tailHeaderBytes == 4 && expected.tailLength - expected.tailBody.size() < 4096) {
    std::string rest(expected.tailLength - expected.tailBody.size(), 'x');
    pipeSink.texts.clear();
    SetReaderSink(&pipeSink);
    AssembleFrames(reinterpret_cast<const uint8_t*>(rest.data()), static_cast<DWORD>(rest.size()), state);
    SetReaderSink(nullptr);
    Check(pipeSink.texts.size() == 1 && pipeSink.texts[0] == Utf8ToAnsi(expected.tailBody + rest),
          "pipe reader: wrong partial body kept");
  }

  // Standard input: the same bytes from a descriptor, to end of input.
  int fd = memfd_create("fuzz_frames", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t written = 0;
  while (written < n) {
    ssize_t w = ::write(fd, stream + written, n - written);
    if (w <= 0) break;
    written += static_cast<size_t>(w);
  }
  ::lseek(fd, 0, SEEK_SET);
  Collect stdinSink;
  ReadFramedStream(fd, -1, stdinSink);
  ::close(fd);
  Check(written == n, "short write to the memory file");
  Check(stdinSink.texts == want, "stdin reader: messages differ from the framing");
  return 0;
}
