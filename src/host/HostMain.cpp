#include "host/HostMain.h"

#include <chrono>
#include <cstdlib>

#include "browser/BootstrapPage.h"
#include "browser/KPAxWindow.h"
#include "framing/FrameWriter.h"
#include "host/Readers.h"
#include "platform/Automation.h"
#include "platform/Kernel.h"
#include "platform/MessageLoop.h"
#include "platform/Pipe.h"
#include "platform/StdoutSink.h"

namespace {

constexpr DWORD kRelayBufferBytes = 1024;
// At the end, output still queued is written while the extension reads it;
// once nothing has moved for this long it has stopped reading, and the
// process ends without it.
constexpr auto kFinalWriteStall = std::chrono::milliseconds(50);
// How long the end waits for the standard input reader to return.
constexpr DWORD kReaderEndWaitMs = 20;

// The readers reach the host window through this.
class HostWindowSink : public MessageSink {
 public:
  bool IsStopping() const override { return KPAxWindow::Instance().IsStopping(); }
  void SubmitMessage(const std::string& text) override { KPAxWindow::Instance().SubmitMessage(text); }
  void EndOfBatch() override { KPAxWindow::Instance().EndOfBatch(); }
};

// Copies standard input into the pipe until the input ends. Every failed read
// ends the relay: end of input, a handle that is not valid, an I/O error;
// none of them succeeds when tried again, and retrying would spin.
void Relay(HANDLE input, HANDLE pipe) {
  char buffer[kRelayBufferBytes];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(input, buffer, kRelayBufferBytes, &got, nullptr) || got == 0) return;
    DWORD written = 0;
    // A worker that has gone is not noticed here; only the input ends the relay.
    WriteFile(pipe, buffer, got, &written, nullptr);
  }
}

}  // namespace

bool IsMajorVersion5() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = 276;
  GetVersionExW(&info);
  return info.dwMajorVersion == 5;
}

int RunLauncher() {
  // The pipe lives in the user's private folder; no widened access list.
  HANDLE pipe = CreateNamedPipeW(kRelayPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 4, 2048, 2048, 5000,
                                 nullptr);
  // Without a pipe a worker could never read a request: start none.
  if (pipe == INVALID_HANDLE_VALUE) return 0;

  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = pipe;
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_OUTPUT_HANDLE);

  // Started without arguments: the worker counts one argument and reads the pipe.
  const std::string program = GetModuleFileNameA();
  PROCESS_INFORMATION worker{};
  if (!CreateProcessW(program, nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &worker)) {
    CloseHandle(pipe);
    return 0;
  }

  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  ConnectNamedPipe(pipe, nullptr);
  Relay(input, pipe);

  // The pipe stays open meanwhile, so the worker ends by its own keepalive.
  WaitForSingleObject(worker.hProcess, INFINITE);
  CloseHandle(worker.hProcess);
  CloseHandle(worker.hThread);
  CloseHandle(pipe);  // removes the pipe's file
  return 0;
}

int RunWorker(bool relay) {
  // Every message leaves through this writer, at once, from a thread of its
  // own; there is no text mode to switch off here. Never destroyed: its
  // thread may still be blocked writing to a peer that stopped reading.
  static FrameWriter* const writer = new FrameWriter(StandardOutputSink(), FrameWriter::Mode::Thread);

  KPAxWindow& window = KPAxWindow::Instance();
  window.SetFrameWriter(writer);
  window.SetBatchInput(true);
  window.SetOwner(GetForegroundWindow());
  window.SetInputCloser(CloseStandardInput);
  // OLE on the main thread, a single-threaded apartment: the browser, the
  // page's script and the control live here. (The template library's
  // component module has no counterpart: nothing here needs one.)
  OleInitialize(nullptr);
  window.Init();

  // Never destroyed, like the window: a reader still blocked in a read may
  // wake while the exit handlers run.
  static HostWindowSink* const sink = new HostWindowSink;
  SetReaderSink(sink);
  PrepareStandardInput();
  HANDLE reader = CreateThread(nullptr, 0, relay ? PipeReaderThread : StdinReaderThread, nullptr, 0, nullptr);
  CloseHandle(reader);  // the thread is never joined; its handle is not needed

  MSG msg;
  for (;;) {
    if (GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
    // A request that a reader posted in the instant the window went: freed
    // here, since no window will take it.
    if (msg.message == WM_HOST_REQUEST && !IsWindow(msg.hwnd)) {
      delete reinterpret_cast<Json::Value*>(msg.lParam);
      continue;
    }
    if (msg.message == WM_HOST_REQUESTS && !IsWindow(msg.hwnd)) continue;  // the inbox is emptied below
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  window.DiscardPendingRequests();
  RemoveUniquePageFiles();
  writer->Close(kFinalWriteStall);
  // Every way to this point has stopped the standard input reader or woken
  // it (exit request, keepalive, and OnExit releasing a held gate or a gate
  // waiting for room), so this returns at once. A reader still busy with one
  // message (tens of MiB take a while to convert) is not waited for: the
  // process ends without the exit handlers it could race with. The pipe
  // reader may stay blocked in a read while the launcher keeps the pipe
  // open: it touches nothing that the exit handlers destroy.
  if (!relay && !WaitForStdinReaderEnd(kReaderEndWaitMs)) std::_Exit(0);
  OleUninitialize();
  return 0;
}

int HostMain(int argc) {
  if (!IsMajorVersion5())
    RunWorker(false);
  else if (argc < 2)
    RunWorker(true);
  else
    RunLauncher();
  return 0;
}
