#include "host/Readers.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/CodePage.h"

namespace {

std::atomic<MessageSink*> g_sink{nullptr};
// The wake-up channel of the standard input reader: readable once standard
// input has been closed by the keepalive.
int g_wake[2] = {-1, -1};
// Manual-reset, signalled when StdinReaderThread returns.
HANDLE g_stdinReaderDone = nullptr;
// The one pipe reader record; the completion routine reaches it through this.
PipeReadState* g_pipeState = nullptr;

bool Stopping() {
  MessageSink* sink = g_sink.load();
  return !sink || sink->IsStopping();
}

void Submit(const std::string& utf8) {
  if (MessageSink* sink = g_sink.load()) sink->SubmitMessage(Utf8ToAnsi(utf8));
}

// Bytes of one descriptor through a buffer of our own. Waits in poll(2) on
// the descriptor and the wake-up channel, so a stop can end a blocked wait.
class ByteSource {
 public:
  ByteSource(int fd, int wakeFd) : m_fd(fd), m_wakeFd(wakeFd) {}

  // False at end of input, on an error, or when woken.
  bool Next(uint8_t* b) {
    if (m_pos == m_len && !Fill()) return false;
    *b = m_buf[m_pos++];
    return true;
  }
  // Appends up to `want` buffered bytes (at least one, refilling if needed).
  bool Take(std::string& out, size_t want) {
    if (m_pos == m_len && !Fill()) return false;
    size_t n = std::min(want, m_len - m_pos);
    out.append(reinterpret_cast<const char*>(m_buf + m_pos), n);
    m_pos += n;
    return true;
  }

 private:
  bool Fill() {
    for (;;) {
      pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
      int r = ::poll(fds, m_wakeFd >= 0 ? 2 : 1, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (m_wakeFd >= 0 && fds[1].revents) return false;
      ssize_t got = ::read(m_fd, m_buf, sizeof m_buf);
      if (got > 0) {
        m_pos = 0;
        m_len = static_cast<size_t>(got);
        return true;
      }
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return false;  // end of input or an error that will not go away
    }
  }

  int m_fd;
  int m_wakeFd;
  uint8_t m_buf[4096];
  size_t m_pos = 0;
  size_t m_len = 0;
};

}  // namespace

void SetReaderSink(MessageSink* sink) { g_sink.store(sink); }

// ---- standard input -----------------------------------------------------------

void PrepareStandardInput() {
  if (g_wake[0] < 0 && ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
  if (!g_stdinReaderDone) g_stdinReaderDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void CloseStandardInput() {
  // dup2 replaces fd 0 in one step: the extension's end of the pipe sees it
  // closed, and a read that has not started yet finds end of input instead
  // of whatever file a later open might have put on a free descriptor 0.
  int nul = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nul >= 0) {
    ::dup2(nul, STDIN_FILENO);
    ::close(nul);
  }
  if (g_wake[1] >= 0) {
    char b = 1;
    [[maybe_unused]] ssize_t w = ::write(g_wake[1], &b, 1);
  }
}

void ReadFramedStream(int fd, int wakeFd, MessageSink& sink) {
  ByteSource in(fd, wakeFd);
  while (!sink.IsStopping()) {
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b;
      if (sink.IsStopping() || !in.Next(&b)) return;
      length |= static_cast<uint32_t>(b) << (8 * i);
    }
    // Grows with what arrives: a huge length announced by a broken peer
    // costs no more memory than the bytes that really come.
    std::string body;
    while (body.size() < length) {
      if (sink.IsStopping() || !in.Take(body, length - body.size())) return;
    }
    if (sink.IsStopping()) return;
    sink.SubmitMessage(Utf8ToAnsi(body));
  }
}

DWORD WINAPI StdinReaderThread(void*) {
  if (MessageSink* sink = g_sink.load()) ReadFramedStream(STDIN_FILENO, g_wake[0], *sink);
  if (g_stdinReaderDone) SetEvent(g_stdinReaderDone);
  return 1;
}

bool WaitForStdinReaderEnd(DWORD timeoutMs) {
  return g_stdinReaderDone && WaitForSingleObject(g_stdinReaderDone, timeoutMs) == WAIT_OBJECT_0;
}

// ---- relay pipe -------------------------------------------------------------------

DWORD WINAPI PipeReaderThread(void*) {
  // Lives until the process ends, like the thread that reads into it.
  static PipeReadState* const state = new PipeReadState;
  g_pipeState = state;
  ReadPipe(kRelayPipeName, AssembleFrames, *state);
  return 1;
}

namespace {
bool StartRead(PipeReadState& state) {
  return ReadFileEx(state.pipe, state.buffer, kPipeChunkBytes, &state.overlapped, OnPipeReadComplete) != FALSE;
}
}  // namespace

void ReadPipe(const std::string& pipeName, ChunkConsumer onChunk, PipeReadState& state) {
  // Byte mode: a read returns what is there, whatever pieces the launcher wrote.
  state.pipe = CreateFileW(pipeName, FILE_READ_DATA, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  state.onChunk = onChunk;
  // No pipe (no launcher made one): reading ends at once, like a read that cannot start.
  if (state.pipe == INVALID_HANDLE_VALUE || !state.pipe) {
    DWORD error = GetLastError();
    state.error = error ? error : ERROR_FILE_NOT_FOUND;
    return;
  }
  if (!StartRead(state)) {
    DWORD error = GetLastError();
    state.error = error ? error : ERROR_INVALID_HANDLE;
    return;
  }
  while (state.error == 0 && !Stopping()) SleepEx(INFINITE, TRUE);
}

void WINAPI OnPipeReadComplete(DWORD errorCode, DWORD bytesTransferred, OVERLAPPED*) {
  PipeReadState& state = *g_pipeState;
  state.error = errorCode;
  if (errorCode != 0 || Stopping()) return;
  state.onChunk(state.buffer, bytesTransferred, state);
  if (!Stopping()) StartRead(state);
}

void AssembleFrames(const uint8_t* chunk, DWORD n, PipeReadState& state) {
  state.pos = 0;
  const int32_t end = static_cast<int32_t>(n);
  while (state.pos < end) {
    while (state.headerBytes < 4 && state.pos < end) {
      state.expectedLength |= static_cast<uint32_t>(chunk[state.pos]) << (8 * state.headerBytes);
      ++state.pos;
      ++state.headerBytes;
    }
    if (state.headerBytes == 4) {
      size_t missing = state.expectedLength - state.body.size();
      size_t here = std::min(missing, static_cast<size_t>(end - state.pos));
      state.body.append(reinterpret_cast<const char*>(chunk + state.pos), here);
      state.pos += static_cast<int32_t>(here);
    }
    if (state.headerBytes == 4 && state.body.size() == state.expectedLength) {
      // Every message completed in this chunk is submitted, also after an
      // "exit" in the same chunk: the gate and the window keep it from running.
      Submit(state.body);
      state.headerBytes = 0;
      state.expectedLength = 0;
      state.body.clear();
    }
  }
}
