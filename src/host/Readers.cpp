#include "host/Readers.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <new>

#include "framing/FrameDecoder.h"
#include "platform/CodePage.h"
#include "platform/Kernel.h"

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


// Waits in poll(2) on the descriptor and the wake-up channel, so that a stop
// can end a blocked wait, then reads what is there. The number of bytes, or
// 0 at end of input, on an error that will not go away, or when woken.
size_t ReadSome(int fd, int wakeFd, uint8_t* buffer, size_t size) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int r = ::poll(fds, wakeFd >= 0 ? 2 : 1, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (wakeFd >= 0 && fds[1].revents) return 0;
    ssize_t got = ::read(fd, buffer, size);
    if (got > 0) return static_cast<size_t>(got);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return 0;
  }
}

// Converts and submits one frame. Nothing may escape the reader thread: a
// frame whose conversion or parsing runs out of memory is dropped like a
// frame that is not JSON, and reading goes on.
void SubmitFrame(MessageSink& sink, std::string_view utf8) {
  try {
    sink.SubmitMessage(Utf8ToAnsi(utf8));
  } catch (...) {
    OutputDebugStringA("kestrix-host: dropped an incoming message that could not be held");
  }
}

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
  // Reused for every read; a frame that arrives whole inside it is handed
  // on without a copy.
  static constexpr size_t kReadBytes = 64 * 1024;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kReadBytes]);
  if (!buffer) return;
  FrameDecoder frames;
  while (!sink.IsStopping()) {
    size_t got = ReadSome(fd, wakeFd, buffer.get(), kReadBytes);
    if (got == 0) break;  // end of input: a partial message is dropped
    size_t pos = 0;
    std::string_view frame;
    size_t used = 0;
    while (pos < got && frames.Next(buffer.get() + pos, got - pos, &used, &frame)) {
      pos += used;
      if (sink.IsStopping()) break;
      SubmitFrame(sink, frame);
    }
    // Everything this read brought has been handed over: the gate passes it
    // on before the reader waits for more.
    sink.EndOfBatch();
  }
  sink.EndOfBatch();
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
  MessageSink* sink = g_sink.load();
  size_t pos = 0;
  size_t used = 0;
  std::string_view frame;
  // Every message completed in this chunk is submitted, also after an
  // "exit" in the same chunk: the gate and the window keep it from running.
  while (pos < n && state.frames.Next(chunk + pos, n - pos, &used, &frame)) {
    pos += used;
    if (sink) SubmitFrame(*sink, frame);
  }
  if (sink) sink->EndOfBatch();
}
