// The worker's reader thread: reads the framed byte stream (standard input or
// the relay pipe), restores message boundaries, converts each message from
// UTF-8 to the thread's code page and hands it to the inbound gate.
//
// Wire frame: 4-byte little-endian length N, then N bytes of UTF-8 JSON.
#pragma once

#include <cstdint>
#include <string>

#include "framing/FrameDecoder.h"
#include "platform/Pipe.h"

// Where the readers hand complete messages, and whom they ask whether to go on.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual bool IsStopping() const = 0;
  virtual void SubmitMessage(const std::string& text) = 0;
  // The messages submitted since the last call are all that the input has
  // for now: the reader is about to wait for more (or to end).
  virtual void EndOfBatch() {}
  // The input has ended (the browser closed it): nothing more can arrive.
  virtual void EndOfInput() {}
};
// Set by process entry before the reader thread starts.
void SetReaderSink(MessageSink* sink);

// ---- standard input ---------------------------------------------------------
// Readies standard input for the reader (PrepareInputStream: binary mode,
// the wake-up channel). Call once before the reader thread starts.
void PrepareStandardInput();
// Closes standard input for the reader and wakes it where a blocked read
// can be woken (CloseInputStream). Does not wait for the reader.
void CloseStandardInput();
// Thread procedure; returns 1 when it ends (end of input, error, stop).
DWORD WINAPI StdinReaderThread(void* parameter = nullptr);
// Waits at most timeoutMs for StdinReaderThread to have returned. Process
// entry calls it before the process exits, so that the reader is not inside
// the gate while the exit handlers run; true when it has returned.
bool WaitForStdinReaderEnd(DWORD timeoutMs);
// The reader loop over any descriptor; wakeFd (or -1) ends it when readable.
// Reads with ReadInput into its own buffer, so no stdio lock is ever held while
// it waits, and frames what it reads with a FrameDecoder. A frame that cannot
// be held is skipped; nothing thrown leaves the reader.
void ReadFramedStream(int fd, int wakeFd, MessageSink& sink);

// ---- relay pipe -----------------------------------------------------------------
constexpr DWORD kPipeChunkBytes = 1024;
inline constexpr const char kRelayPipeName[] = "\\\\.\\pipe\\myNamedPipeIn";

struct PipeReadState;
using ChunkConsumer = void (*)(const uint8_t* chunk, DWORD n, PipeReadState& state);

struct PipeReadState {
  OVERLAPPED overlapped{};
  ChunkConsumer onChunk = nullptr;
  uint8_t buffer[kPipeChunkBytes]{};
  DWORD error = 0;
  HANDLE pipe = nullptr;
  FrameDecoder frames;  // the message being assembled, carried across chunks
};

// Thread procedure of the relay worker; returns 1 when it ends.
DWORD WINAPI PipeReaderThread(void* parameter = nullptr);
void ReadPipe(const std::string& pipeName, ChunkConsumer onChunk, PipeReadState& state);
void WINAPI OnPipeReadComplete(DWORD errorCode, DWORD bytesTransferred, OVERLAPPED* overlapped);
// Consumes one chunk; submits every message it completes, in order. Carries a
// partial message (also a partial length prefix) over to the next chunk.
void AssembleFrames(const uint8_t* chunk, DWORD n, PipeReadState& state);
