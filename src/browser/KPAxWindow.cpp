// KPAxWindow: construction, Init, the message map, the request and exit
// handlers. The inbound gate and the keepalive are in KPAxWindowGate.cpp.
#include "browser/KPAxWindow.h"

#include <exception>
#include <memory>

#include "browser/BootstrapPage.h"
#include "dispatch/CommandDispatcher.h"
#include "dispatch/ControlProxy.h"
#include "interfaces/PrinterControl.h"
#include "platform/MessageLoop.h"

namespace {
// Hidden: no WS_VISIBLE, and the window is never shown.
constexpr DWORD kHostWindowStyle = WS_POPUP | WS_BORDER | WS_SYSMENU;  // 0x80880000
constexpr RECT kHostWindowRect{0, 0, 500, 500};
}  // namespace

KPAxWindow::~KPAxWindow() {
  // Only windows made for tests are ever destroyed; the process-wide one
  // lives on. Not an end of the host: nothing is posted.
  m_bEnding = true;
  if (m_hWnd) DestroyWindow();
  delete m_pDispatcher;
  delete m_pProxy;
  if (m_hReadyEvent) CloseHandle(m_hReadyEvent);
  if (m_hRoomEvent) CloseHandle(m_hRoomEvent);
}

KPAxWindow& KPAxWindow::Instance() {
  static KPAxWindow* const window = new KPAxWindow;
  return *window;
}

void KPAxWindow::Init() {
  m_mainThread.Bind();
  // 1. The WebBrowser control is created by the text of its class id.
  const std::string browserClsid = StringFromCLSID(CLSID_WebBrowser);
  // 2. The hidden window.
  Create(m_hOwner, kHostWindowRect, nullptr, kHostWindowStyle, 0, 0, nullptr);
  m_hPostTarget.store(m_hWnd);
  // 3-5. The browser control inside it, silenced, whose pages may create
  // and script the printing control, only in the bootstrap page, and no
  // other control anywhere. A failure leaves
  // m_spBrowser null: the proxy then never finds the page, "new" fails, and
  // the keepalive still ends the process.
  AllowPageControl(CLSID_KestrixPrinter);
  CreateControl(browserClsid);
  QueryControl(IID_IWebBrowser2, reinterpret_cast<void**>(&m_spBrowser));
  if (m_spBrowser) m_spBrowser->put_Silent(1);  // 1, not VARIANT_TRUE
  // 6. The proxy writes the bootstrap page and starts navigating to it.
  m_pProxy = new ControlProxy(m_spBrowser.Get(), m_hOwner, WriteBootstrapPage);
  m_pProxy->SetFrameWriter(m_pWriter);
  // 7.
  m_pDispatcher = new CommandDispatcher(m_pProxy);
  // 8.
  m_bPeerAlive = true;
  m_bStopping.store(false);
  m_bControlReady.store(false);
  // 9. Auto-reset, not signalled, and without a name: a named event is one
  // for every host of the session, so one host's readiness would release
  // another's gate early, or be taken by it and leave this one waiting.
  m_hReadyEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  m_hRoomEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  // Kept at this size as they circulate, so that moving a request into one
  // never copies the others.
  m_handled.reserve(kRecycledRequests);
  m_recycled.reserve(kRecycledRequests);
  m_inbox.used.reserve(kRecycledRequests);
  // 10. Ticks arrive as WM_TIMER through the message map.
  SetTimer(kKeepaliveTimerId, kKeepalivePeriodMs);
}

BOOL KPAxWindow::ProcessWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result,
                                      DWORD) {
  BOOL handled = TRUE;
  switch (message) {
    case WM_TIMER: result = OnKeepaliveTimer(message, wParam, lParam, handled); return handled;
    case WM_HOST_REQUEST: result = OnRequest(message, wParam, lParam, handled); return handled;
    case WM_HOST_REQUESTS: result = OnRequests(message, wParam, lParam, handled); return handled;
    case WM_HOST_EXIT: result = OnExit(message, wParam, lParam, handled); return handled;
    case WM_DESTROY: OnDestroy(); return FALSE;  // the hosting layer sees it as well
    default: return FALSE;  // left to the hosting layer
  }
}

LRESULT KPAxWindow::OnRequest(UINT, WPARAM, LPARAM lParam, BOOL& handled) {
  m_mainThread.Check("KPAxWindow::OnRequest");
  handled = TRUE;
  auto* request = reinterpret_cast<Json::Value*>(lParam);
  // A nested message loop inside a call (a dialog, a script engine's) must
  // not start a second call inside the first: the request waits for it.
  if (m_nRequestDepth > 0) {
    m_deferred.push_back(request);
    return 0;
  }
  // The request is owned by this message; released on every way out.
  std::unique_ptr<Json::Value> owned(request);
  HandleRequest(owned.get());
  return 0;
}

LRESULT KPAxWindow::OnRequests(UINT, WPARAM, LPARAM, BOOL& handled) {
  m_mainThread.Check("KPAxWindow::OnRequests");
  handled = TRUE;
  // As above: taken from the inbox once the call in progress has returned.
  if (m_nRequestDepth > 0) {
    m_bRequestsDeferred = true;
    return 0;
  }
  std::vector<QueuedRequest> requests;
  {
    std::lock_guard lock(m_inbox.mu);
    requests.swap(m_inbox.spare);  // an emptied buffer of an earlier hand-over, if any
  }
  size_t bytes = TakeRequests(&requests);
  long left = static_cast<long>(requests.size());
  for (QueuedRequest& queued : requests) {
    // An exit handled inside a request (a nested wait pumps messages) ends
    // the batch: nothing is carried out after it.
    if (!m_hWnd) break;
    Json::Value& request = queued.value;
    HandleRequest(&request, &queued.envelope);
    // Freed now, or kept for the gate to parse a later request into.
    if (m_handled.size() < kRecycledRequests && queued.envelope.small)
      m_handled.emplace_back().swapPayload(request);
    else
      request = Json::Value();
    --left;
    // One request fewer in the queue; the gate may be waiting for room.
    if (m_queuedRequests.fetch_sub(1) - 1 == kRoomRequests && m_hRoomEvent) SetEvent(m_hRoomEvent);
  }
  m_queuedRequests.fetch_sub(left);
  m_queuedBytes.fetch_sub(static_cast<long>(bytes));
  if (m_hRoomEvent) SetEvent(m_hRoomEvent);
  // The buffer goes back for the next hand-over (a large one is let go).
  requests.clear();
  std::lock_guard lock(m_inbox.mu);
  if (requests.capacity() <= kMaxQueuedRequests && m_inbox.spare.capacity() < requests.capacity())
    m_inbox.spare.swap(requests);
  // The gate's supply of requests to parse into, when it has taken the last.
  if (m_inbox.used.empty()) m_inbox.used.swap(m_handled);
  return 0;
}

void KPAxWindow::HandleRequest(const Json::Value* request, const PlainJsonEnvelope* envelope) {
  m_mainThread.Check("KPAxWindow::HandleRequest");
  m_bPeerAlive = true;
  ++m_nRequestDepth;
  // Nothing a request raises may take the process down: a parameter of the
  // wrong kind, a control that cannot be obtained, a failure in the control.
  // The request is abandoned without a reply.
  try {
    if (m_pDispatcher && request) {
      if (envelope && envelope->noted)
        m_pDispatcher->HandleRequest(*request, CommandDispatcher::Envelope{envelope->method, envelope->event});
      else
        m_pDispatcher->HandleRequest(*request);
    }
  } catch (const std::exception& e) {
    std::string note = std::string("kestrix-host: request abandoned: ") + e.what();
    OutputDebugStringA(note.c_str());
  } catch (const KestrixNotFound&) {
    OutputDebugStringA("kestrix-host: request abandoned: the printing control cannot be obtained");
  } catch (...) {
    OutputDebugStringA("kestrix-host: request abandoned: unknown error");
  }
  --m_nRequestDepth;
  CheckControlReady();
  // The outermost call takes what came during it (not each call it makes
  // for those, which would nest one level per request).
  if (m_nRequestDepth > 0 || m_bDraining) return;
  // What came during the call, in the order it came: single requests, then
  // the inbox (a later message takes what the inbox holds then).
  m_bDraining = true;
  while (!m_deferred.empty() && m_hWnd) {
    std::unique_ptr<Json::Value> next(m_deferred.front());
    m_deferred.erase(m_deferred.begin());
    HandleRequest(next.get());
  }
  m_bDraining = false;
  if (m_bRequestsDeferred && m_hWnd) {
    m_bRequestsDeferred = false;
    PostMessage(WM_HOST_REQUESTS);
  }
}

void KPAxWindow::CheckControlReady() {
  m_mainThread.Check("KPAxWindow::CheckControlReady");
  if (m_bControlReady.load() || m_bControlUnavailable.load()) return;
  if (m_pProxy && m_pProxy->IsUnavailable()) {
    // Nothing is held back any more: every request gets its error at once.
    m_bControlUnavailable.store(true);
    SetEvent(m_hReadyEvent);
    return;
  }
  if (!m_pProxy || !m_pProxy->IsReady()) return;
  // The flag before the event: a gate that sees the flag never waits, and
  // one that already waits is released by the event.
  m_bControlReady.store(true);
  SetEvent(m_hReadyEvent);
}

void KPAxWindow::OnDestroy() {
  if (m_bEnding) return;
  // Being destroyed already: OnExit must not destroy it again, nor forget
  // its handle while the window procedure still uses it.
  m_bEnding = true;
  EndHost();
}

LRESULT KPAxWindow::OnExit(UINT, WPARAM, LPARAM, BOOL& handled) {
  m_mainThread.Check("KPAxWindow::OnExit");
  handled = TRUE;
  if (m_bEnding) return 0;  // once, whichever way the end came
  m_bEnding = true;
  // The control host and the browser control go with the window, and so does the timer.
  DestroyWindow();
  m_hWnd = nullptr;
  EndHost();
  return 0;
}

void KPAxWindow::EndHost() {
  m_spBrowser = nullptr;
  // Requests queued behind the exit are never carried out; free them now, as
  // the loop would otherwise hand them to a window that no longer exists.
  // Later posts fail, and the gate frees what it could not post.
  DiscardPendingRequests();
  // A gate still holding a request for a control that never became ready,
  // or waiting for room in the queue, is released; it finds the host
  // stopping and drops what it holds.
  m_bStopping.store(true);
  if (m_hReadyEvent && !m_bControlReady.load()) SetEvent(m_hReadyEvent);
  if (m_hRoomEvent) SetEvent(m_hRoomEvent);
  for (Json::Value* request : m_deferred) delete request;
  m_deferred.clear();
  PostQuitMessage(0);
}

void KPAxWindow::DiscardPendingRequests() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_HOST_REQUEST, WM_HOST_REQUEST, PM_REMOVE))
    delete reinterpret_cast<Json::Value*>(msg.lParam);
  while (PeekMessageW(&msg, nullptr, WM_HOST_REQUESTS, WM_HOST_REQUESTS, PM_REMOVE)) {
  }
  std::vector<QueuedRequest> left;
  size_t bytes = TakeRequests(&left);
  m_queuedRequests.fetch_sub(static_cast<long>(left.size()));
  m_queuedBytes.fetch_sub(static_cast<long>(bytes));
}
