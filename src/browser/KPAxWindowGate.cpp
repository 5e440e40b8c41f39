// The inbound gate and the keepalive of KPAxWindow.
//
// These are members of the host window and live beside it in the browser
// library: the host library (readers, process entry) links above this one,
// so nothing here may call into it. Closing standard input, which belongs to
// the host layer, is therefore handed in as a function (SetInputCloser).
#include <chrono>
#include <memory>
#include <thread>

#include "browser/KPAxWindow.h"
#include "dispatch/ControlProxy.h"
#include "framing/FrameWriter.h"
#include "platform/MessageLoop.h"

namespace {

// The request's "method" when it is a JSON string; null otherwise.
const Json::Value* MethodOf(const Json::Value& request) {
  const Json::Value* method = request.find("method", "method" + 6);
  return method && method->isString() ? method : nullptr;
}

bool MethodIs(const Json::Value* method, const char* name) { return method && method->asString() == name; }

}  // namespace

GateAction ClassifyMessage(const std::string& text, bool controlReady, Json::Value* request) {
  // Default features: comments allowed, any value at the top level. One
  // reader per thread, reused: every parse starts afresh, and its buffers
  // are kept from one message to the next.
  thread_local Json::Reader reader;
  try {
    if (!reader.parse(text, *request, true)) return GateAction::Drop;
  } catch (const std::exception&) {
    // The reader throws on nesting deeper than its stack limit; on the reader
    // thread that would end the process, so such a text is dropped like
    // any text that does not parse.
    return GateAction::Drop;
  }
  // A number, string, boolean, array or null has no "method" to look at:
  // dropped too, and never left waiting for the control.
  if (!request->isObject()) return GateAction::Drop;
  const Json::Value* method = MethodOf(*request);
  if (MethodIs(method, "exit")) return GateAction::Exit;
  if (controlReady || MethodIs(method, "new") || MethodIs(method, "ping")) return GateAction::Post;
  return GateAction::WaitAndPost;
}

KeepaliveAction DecideKeepalive(UINT_PTR timerId, bool peerAlive) {
  if (timerId != kKeepaliveTimerId) return KeepaliveAction::None;
  return peerAlive ? KeepaliveAction::Ping : KeepaliveAction::Exit;
}

void KPAxWindow::SubmitMessage(const std::string& text) {
  Json::Value request;
  OutputDebugStringA(text.c_str());
  switch (ClassifyMessage(text, m_bControlReady.load(), &request)) {
    case GateAction::Drop:
      return;
    case GateAction::Exit:
      // What came before the exit goes first, without waiting for room: an
      // exit is never held back.
      PostBatch(false);
      PostMessageW(m_hPostTarget.load(), WM_HOST_EXIT, 0, 0);
      m_bStopping.store(true);
      return;
    case GateAction::WaitAndPost:
      // What came before it is not held back with it.
      PostBatch(true);
      // Nothing more is read meanwhile: this is the reader thread.
      WaitForSingleObject(m_hReadyEvent, INFINITE);
      break;
    case GateAction::Post:
      break;
  }
  // After an exit was ordered nothing is carried out any more (the window is
  // gone or about to go); dropping here keeps the value from being lost in a
  // queue that is never read.
  if (m_bStopping.load()) return;
  if (!m_bBatchInput) {
    PostRequest(new Json::Value(std::move(request)));
    return;
  }
  if (!m_pBatch) m_pBatch = new RequestBatch;
  m_pBatch->requests.push_back(std::move(request));
  m_pBatch->bytes += text.size();
  if (m_pBatch->requests.size() >= kBatchRequests || m_pBatch->bytes >= kBatchBytes) PostBatch(true);
}

void KPAxWindow::EndOfBatch() { PostBatch(true); }

void KPAxWindow::PostRequest(Json::Value* request) {
  if (!PostMessageW(m_hPostTarget.load(), WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(request)))
    delete request;  // the window has gone
}

void KPAxWindow::PostBatch(bool waitForRoom) {
  if (!m_pBatch || m_pBatch->requests.empty()) return;
  std::unique_ptr<RequestBatch> batch(m_pBatch);
  m_pBatch = nullptr;
  if (waitForRoom && !WaitForRoom()) return;  // stopping: nothing more is carried out
  long count = static_cast<long>(batch->requests.size());
  long bytes = static_cast<long>(batch->bytes);
  m_queuedRequests.fetch_add(count);
  m_queuedBytes.fetch_add(bytes);
  bool posted = false;
  try {
    posted = PostMessageW(m_hPostTarget.load(), WM_HOST_REQUESTS, 0, reinterpret_cast<LPARAM>(batch.get()));
  } catch (...) {  // out of memory in the queue: the batch is lost, the counts stay right
  }
  if (posted) {
    batch.release();
  } else {
    m_queuedRequests.fetch_sub(count);  // the window has gone
    m_queuedBytes.fetch_sub(bytes);
  }
}

bool KPAxWindow::WaitForRoom() {
  // Timed waits: the flags and the writer's backlog are looked at again at
  // least this often, whatever wakes or fails to wake the gate.
  constexpr DWORD kRecheckMs = 50;
  for (;;) {
    if (m_bStopping.load()) return false;
    if (m_queuedRequests.load() >= kMaxQueuedRequests || m_queuedBytes.load() >= kMaxQueuedBytes) {
      if (m_hRoomEvent)
        WaitForSingleObject(m_hRoomEvent, kRecheckMs);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(kRecheckMs));
      continue;
    }
    if (m_pWriter && !m_pWriter->WaitForBacklog(kMaxOutputBacklog, std::chrono::milliseconds(kRecheckMs)))
      continue;
    return true;
  }
}

LRESULT KPAxWindow::OnKeepaliveTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled) {
  handled = TRUE;
  switch (DecideKeepalive(static_cast<UINT_PTR>(wParam), m_bPeerAlive)) {
    case KeepaliveAction::None:
      break;
    case KeepaliveAction::Ping:
      m_bPeerAlive = false;
      if (m_pProxy) m_pProxy->WriteMessage(kPingText);
      break;
    case KeepaliveAction::Exit:
      PostMessageW(m_hWnd, WM_HOST_EXIT, 0, 0);
      m_bStopping.store(true);
      // Without waiting for the reader, which may be blocked in a read.
      if (m_pfnCloseInput) m_pfnCloseInput();
      break;
  }
  return 0;
}
