#include "host/Readers.h"

#include <atomic>
#include <memory>
#include <new>

#include "framing/FrameDecoder.h"
#include "platform/CodePage.h"
#include "platform/Kernel.h"
#include "platform/StandardInput.h"

namespace {

// The C runtime's descriptor of standard input, on both platforms.
constexpr int kStandardInputFd = 0;

std::atomic<MessageSink*> g_sink{nullptr};
// Manual-reset, signalled when StdinReaderThread returns.
HANDLE g_stdinReaderDone = nullptr;
// The one pipe reader record; the completion routine reaches it through this.
PipeReadState* g_pipeState = nullptr;

bool Stopping() {
  MessageSink* sink = g_sink.load();
  return !sink || sink->IsStopping();
}


// Converts and submits one frame. Nothing may escape the reader thread: a
// frame whose conversion or parsing runs out of memory is dropped like a
// frame that is not JSON, and reading goes on.
void SubmitFrame(MessageSink& sink, std::string_view utf8) {
  try {
    // One text per thread, reused: converting a message allocates nothing
    // unless it is longer than every one before it.
    thread_local std::string text;
    Utf8ToAnsiInto(utf8, &text);
    sink.SubmitMessage(text);
    // A huge message's memory is not kept for the small ones after it.
    if (text.capacity() > (1u << 20)) std::string().swap(text);
  } catch (...) {
    OutputDebugStringA("kestrix-host: dropped an incoming message that could not be held");
  }
}

// Hands over what has been submitted; as above, nothing escapes.
void EndBatch(MessageSink& sink) {
  try {
    sink.EndOfBatch();
  } catch (...) {
    OutputDebugStringA("kestrix-host: dropped incoming messages that could not be handed over");
  }
}

}  // namespace

void SetReaderSink(MessageSink* sink) { g_sink.store(sink); }

// ---- standard input -----------------------------------------------------------

void PrepareStandardInput() {
  PrepareInputStream();
  if (!g_stdinReaderDone) g_stdinReaderDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void CloseStandardInput() { CloseInputStream(); }

void ReadFramedStream(int fd, int wakeFd, MessageSink& sink) {
  // Reused for every read; a frame that arrives whole inside it is handed
  // on without a copy.
  static constexpr size_t kReadBytes = 64 * 1024;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kReadBytes]);
  if (!buffer) return;
  FrameDecoder frames;
  while (!sink.IsStopping()) {
    size_t got = ReadInput(fd, wakeFd, buffer.get(), kReadBytes);
    if (got == 0) {  // end of input: a partial message is dropped
      EndBatch(sink);
      if (!sink.IsStopping()) sink.EndOfInput();
      return;
    }
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
    EndBatch(sink);
  }
  EndBatch(sink);
}

DWORD WINAPI StdinReaderThread(void*) {
  if (MessageSink* sink = g_sink.load()) ReadFramedStream(kStandardInputFd, InputWakeFd(), *sink);
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
  // The launcher's pipe, as it handed it over; a read returns what is
  // there, whatever pieces the launcher wrote.
  state.pipe = OpenRelayPipe(pipeName);
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
  }
  while (state.error == 0 && !Stopping()) SleepEx(INFINITE, TRUE);
  // The launcher ended the pipe (perhaps before the first read): its input has ended.
  MessageSink* sink = g_sink.load();
  if (sink && !sink->IsStopping()) sink->EndOfInput();
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
  if (sink) EndBatch(*sink);
}
