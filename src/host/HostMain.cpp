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
  void EndOfInput() override { KPAxWindow::Instance().EndOfInput(); }
};

// Copies standard input into the pipe until the input ends. Every failed read
// ends the relay: end of input, a handle that is not valid, an I/O error;
// none of them succeeds when tried again, and retrying would spin. A failed
// write ends it too: the worker has gone, and nothing will read the pipe.
void Relay(HANDLE input, HANDLE pipe) {
  char buffer[kRelayBufferBytes];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(input, buffer, kRelayBufferBytes, &got, nullptr) || got == 0) return;
    for (DWORD done = 0; done < got;) {
      DWORD written = 0;
      if (!WriteFile(pipe, buffer + done, got - done, &written, nullptr) || written == 0) return;
      done += written;
    }
  }
}

// The launcher's watcher thread: ends the process once the worker has ended.
DWORD WINAPI EndWithWorker(void* workerProcess) {
  WaitForSingleObject(static_cast<HANDLE>(workerProcess), INFINITE);
  std::_Exit(0);
}

}  // namespace

bool IsMajorVersion5() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = 276;
  GetVersionExW(&info);
  return info.dwMajorVersion == 5;
}

int RunLauncher() {
  // A pipe of this launcher's own, for its user alone; the worker is handed
  // its end (no name that another host or process could take or open).
  HANDLE workerEnd = nullptr;
  HANDLE pipe = CreateRelayPipe(kRelayPipeName, &workerEnd);
  // Without a pipe a worker could never read a request: start none.
  if (pipe == INVALID_HANDLE_VALUE) return 0;

  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = workerEnd ? workerEnd : pipe;
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  // The launcher's own standard error: what the runtime writes there must
  // never land between the frames of standard output.
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

  // Started without arguments: the worker counts one argument and reads the pipe.
  const std::string program = GetModuleFileNameA();
  PROCESS_INFORMATION worker{};
  BOOL started = CreateProcessW(program, nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &worker);
  // The worker holds its own copy of its end: once it has gone, writes fail.
  if (workerEnd) CloseHandle(workerEnd);
  if (!started) {
    CloseHandle(pipe);
    return 0;
  }

  // The launcher ends with its worker, also while it waits for input: the
  // browser sees the end of output only once both have gone.
  HANDLE watcher = CreateThread(nullptr, 0, EndWithWorker, worker.hProcess, 0, nullptr);
  if (watcher) CloseHandle(watcher);

  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (ConnectRelayPipe(pipe)) Relay(input, pipe);

  // Ending the pipe ends the worker's read: it ends at once, as a worker
  // whose standard input ends does, rather than by its keepalive.
  CloseRelayPipe(pipe);
  WaitForSingleObject(worker.hProcess, INFINITE);
  CloseHandle(worker.hProcess);
  CloseHandle(worker.hThread);
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
  // No owner: a window owned by whichever window was in front (another
  // process's, perhaps) would be destroyed with it, its input queue attached.
  window.SetOwner(nullptr);
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
