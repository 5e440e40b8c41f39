// The inbound gate and the keepalive of KPAxWindow.
//
// These are members of the host window and live beside it in the browser
// library: the host library (readers, process entry) links above this one,
// so nothing here may call into it. Closing standard input, which belongs to
// the host layer, is therefore handed in as a function (SetInputCloser).
#include <chrono>
#include <memory>
#include <string_view>
#include <thread>

#include "browser/KPAxWindow.h"
#include "dispatch/ControlProxy.h"
#include "framing/FrameWriter.h"
#include "platform/JsonPlainParse.h"
#include "platform/MessageLoop.h"

namespace {

// The request's "method" when it is a JSON string; null otherwise.
const Json::Value* MethodOf(const Json::Value& request) {
  const Json::Value* method = request.find("method", "method" + 6);
  return method && method->isString() ? method : nullptr;
}

bool MethodIs(const Json::Value* method, std::string_view name) {
  const char* begin = nullptr;
  const char* end = nullptr;
  return method && method->getString(&begin, &end) && std::string_view(begin, static_cast<size_t>(end - begin)) == name;
}

}  // namespace

GateAction ClassifyMessage(const std::string& text, bool controlReady, Json::Value* request,
                           PlainJsonEnvelope* envelope) {
  PlainJsonEnvelope noted;
  try {
    // Requests are plain JSON objects: the quick parse takes them and builds
    // what jsoncpp's reader would. Whatever it declines (comments, numbers
    // with fractions, malformed text, ...) the reader judges as before.
    if (!ParsePlainJson(text.data(), text.data() + text.size(), request, &noted)) {
      // Default features: comments allowed, any value at the top level. One
      // reader per thread, reused: every parse starts afresh, and its buffers
      // are kept from one message to the next.
      thread_local Json::Reader reader;
      // The text is parsed where it lies (the string overload copies it first).
      if (!reader.parse(text.data(), text.data() + text.size(), *request, true)) return GateAction::Drop;
    }
  } catch (const std::exception&) {
    // The reader throws on nesting deeper than its stack limit; on the reader
    // thread that would end the process, so such a text is dropped like
    // any text that does not parse.
    return GateAction::Drop;
  }
  // A number, string, boolean, array or null has no "method" to look at:
  // dropped too, and never left waiting for the control.
  if (!request->isObject()) return GateAction::Drop;
  if (envelope) *envelope = noted;
  const Json::Value* method = noted.noted ? noted.method : MethodOf(*request);
  if (method && !method->isString()) method = nullptr;
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
  PlainJsonEnvelope envelope;
  // A handled request to parse into, when the main thread has given some back.
  if (!m_recycled.empty()) {
    request.swapPayload(m_recycled.back());
    m_recycled.pop_back();
  }
  const bool settled = m_bControlReady.load() || m_bControlUnavailable.load();
  switch (ClassifyMessage(text, settled, &request, &envelope)) {
    case GateAction::Drop:
      return;
    case GateAction::Exit:
      // What came before the exit goes first, without waiting for room: an
      // exit is never held back.
      HandOver();
      PostMessageW(m_hPostTarget.load(), WM_HOST_EXIT, 0, 0);
      m_bStopping.store(true);
      return;
    case GateAction::WaitAndPost:
      // What came before it is not held back with it.
      HandOver();
      // Nothing more is read meanwhile: this is the reader thread. Not for
      // ever: once the control has had its time, the request goes on and
      // meets a control that is there, or gets the error that says why not.
      WaitForSingleObject(m_hReadyEvent, static_cast<DWORD>(ControlProxy::kControlWait.count() * 1000));
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
  // The queue's bounds are looked at for every request (two atomic loads);
  // the writer's backlog only at the end of a read, where its lock is taken.
  if (m_queuedRequests.load() + static_cast<long>(m_pending.size()) >= kMaxQueuedRequests ||
      m_queuedBytes.load() + static_cast<long>(m_pendingBytes) >= kMaxQueuedBytes) {
    HandOver();  // the main thread must see what it is to make room from
    if (!WaitForRoom(true, false)) return;  // stopping: nothing more is carried out
  }
  Deliver(std::move(request), envelope, text.size());
}

void KPAxWindow::EndOfBatch() {
  HandOver();
  // Before the reader reads more: while the output is not being taken, the
  // input is not read either. (The queue's own bounds are looked at before
  // each request joins it.)
  WaitForRoom(false, true);
}

void KPAxWindow::EndOfInput() {
  HandOver();
  if (m_bStopping.load()) return;
  PostMessageW(m_hPostTarget.load(), WM_HOST_EXIT, 0, 0);
  m_bStopping.store(true);
}

void KPAxWindow::PostRequest(Json::Value* request) {
  if (!PostMessageW(m_hPostTarget.load(), WM_HOST_REQUEST, 0, reinterpret_cast<LPARAM>(request)))
    delete request;  // the window has gone
}

void KPAxWindow::Deliver(Json::Value&& request, const PlainJsonEnvelope& envelope, size_t bytes) {
  // Only the payload changes hands: Json::Value's move also exchanges
  // comments and offsets, which cost several times as much and which no
  // handler reads. The noted members live in the payload's nodes and go with it.
  QueuedRequest& queued = m_pending.emplace_back();
  queued.value.swapPayload(request);
  queued.envelope = envelope;
  m_pendingBytes += bytes;
  if (m_pending.size() >= kHandOverRequests || m_pendingBytes >= kHandOverBytes) HandOver();
}

void KPAxWindow::HandOver() {
  if (m_pending.empty()) return;
  long count = static_cast<long>(m_pending.size());
  long bytes = static_cast<long>(m_pendingBytes);
  m_queuedRequests.fetch_add(count);
  m_queuedBytes.fetch_add(bytes);
  bool post = false;
  try {
    std::lock_guard lock(m_inbox.mu);
    if (m_inbox.requests.empty()) {
      // The common case: the main thread has taken everything before. The
      // reader goes on with the inbox's emptied buffer, so no buffer is
      // allocated again once the three of them are large enough.
      m_inbox.requests.swap(m_pending);
    } else {
      for (QueuedRequest& r : m_pending) m_inbox.requests.push_back(std::move(r));
      m_pending.clear();
    }
    m_inbox.bytes += m_pendingBytes;
    // What the main thread has handled comes back while the lock is held anyway.
    if (m_recycled.empty()) m_recycled.swap(m_inbox.used);
    post = !m_inbox.posted;
    m_inbox.posted = true;
  } catch (...) {  // out of memory in the inbox: these requests are lost, the counts stay right
    m_pending.clear();
    post = false;
    m_queuedRequests.fetch_sub(count);
    m_queuedBytes.fetch_sub(bytes);
  }
  m_pendingBytes = 0;
  if (!post) return;
  bool posted = false;
  try {
    posted = PostMessageW(m_hPostTarget.load(), WM_HOST_REQUESTS, 0, 0);
  } catch (...) {  // out of memory in the queue: handled like a window that has gone
  }
  if (posted) return;
  // The window has gone: nobody will take what the inbox holds.
  std::vector<QueuedRequest> lost;
  size_t lostBytes = 0;
  {
    std::lock_guard lock(m_inbox.mu);
    lost.swap(m_inbox.requests);
    lostBytes = m_inbox.bytes;
    m_inbox.bytes = 0;
    m_inbox.posted = false;
  }
  m_queuedRequests.fetch_sub(static_cast<long>(lost.size()));
  m_queuedBytes.fetch_sub(static_cast<long>(lostBytes));
}

size_t KPAxWindow::TakeRequests(std::vector<QueuedRequest>* out) {
  m_mainThread.Check("KPAxWindow::TakeRequests");
  std::lock_guard lock(m_inbox.mu);
  m_inbox.posted = false;
  size_t bytes = m_inbox.bytes;
  m_inbox.bytes = 0;
  if (out->empty()) {
    out->swap(m_inbox.requests);  // the inbox keeps the caller's (empty) buffer
  } else {
    for (QueuedRequest& r : m_inbox.requests) out->push_back(std::move(r));
    m_inbox.requests.clear();
  }
  return bytes;
}

bool KPAxWindow::WaitForRoom(bool queue, bool output) {
  // Timed waits: the flags and the writer's backlog are looked at again at
  // least this often, whatever wakes or fails to wake the gate.
  constexpr DWORD kRecheckMs = 50;
  for (;;) {
    if (m_bStopping.load()) return false;
    if (queue && (m_queuedRequests.load() >= kMaxQueuedRequests || m_queuedBytes.load() >= kMaxQueuedBytes)) {
      if (m_hRoomEvent)
        WaitForSingleObject(m_hRoomEvent, kRecheckMs);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(kRecheckMs));
      continue;
    }
    if (output && m_pWriter && !m_pWriter->WaitForBacklog(kMaxOutputBacklog, std::chrono::milliseconds(kRecheckMs)))
      continue;
    return true;
  }
}

LRESULT KPAxWindow::OnKeepaliveTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled) {
  m_mainThread.Check("KPAxWindow::OnKeepaliveTimer");
  handled = TRUE;
  // The peer counts as alive while its messages wait behind a call that is
  // still running (a "new" waiting for the page, a print dialog). A gate
  // that holds a request while no call runs ("new" never came) does not
  // count: then nothing is read, and the host ends as before.
  const bool busy = m_nRequestDepth > 0;
  switch (DecideKeepalive(static_cast<UINT_PTR>(wParam), m_bPeerAlive || busy)) {
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
