// KPAxWindow: the one window of the host process. A hidden window that hosts
// the browser control, owns the control proxy and the command dispatcher,
// and receives the messages by which the reader thread hands work to the
// main thread. It also holds the keepalive timer and the ready event that
// releases the requests the inbound gate holds back.
//
// Threads: Init, the message map and its handlers run on the main thread.
// The reader thread calls IsStopping and SubmitMessage; the flags they share
// are atomics, the event is the only wait, posted messages the only hand-over.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ComPtr.h"
#include "platform/JsonPlainParse.h"
#include "platform/Kernel.h"
#include "platform/ThreadAffinity.h"
#include "platform/WebBrowserApi.h"
#include "platform/AxHost.h"

class ControlProxy;
class CommandDispatcher;
class FrameWriter;

// Posted by the gate; LPARAM is a Json::Value* that the handler deletes.
constexpr UINT WM_HOST_REQUEST = WM_USER + 101;  // 1125
// Posted by the gate on "exit" and by the keepalive on silence.
constexpr UINT WM_HOST_EXIT = WM_USER + 102;  // 1126
// Posted by the gate when it hands its input over through the inbox (see
// SetBatchInput); LPARAM is unused. The handler takes every request the
// inbox holds and handles them in order, as if each had come in a
// WM_HOST_REQUEST of its own. At most one such message is on its way at a
// time: requests that arrive meanwhile join the inbox without one.
constexpr UINT WM_HOST_REQUESTS = WM_USER + 103;  // 1127
// The gate's bounds (see SetBatchInput): the inbox is handed over (the
// message posted) once it holds this many requests or bytes, and whenever
// the reader has nothing more buffered; the gate waits while the queue holds
// more than the queue bounds or the output backlog is over its bound, and a
// waiting gate is woken when the queue has fallen to kRoomRequests.
constexpr size_t kHandOverRequests = 8;
constexpr size_t kHandOverBytes = 64 << 10;
constexpr long kMaxQueuedRequests = 1024;
constexpr long kRoomRequests = kMaxQueuedRequests / 2;
constexpr long kMaxQueuedBytes = 16 << 20;
constexpr size_t kMaxOutputBacklog = 1 << 20;
// A request the gate has accepted, as it waits for the main thread: the
// parsed value and, when the gate's own parse took the text, its members
// "method" and "event" (the main thread then does not look them up again).
// Moved, never copied: the members point into the value's nodes, which a
// move of its payload keeps and a copy would not.
struct QueuedRequest {
  Json::Value value;
  PlainJsonEnvelope envelope;

  QueuedRequest() = default;
  QueuedRequest(QueuedRequest&& other) noexcept { *this = std::move(other); }
  QueuedRequest& operator=(QueuedRequest&& other) noexcept {
    value.swapPayload(other.value);
    envelope = other.envelope;
    other.envelope = PlainJsonEnvelope();
    return *this;
  }
  QueuedRequest(const QueuedRequest&) = delete;
  QueuedRequest& operator=(const QueuedRequest&) = delete;
};
// The requests the gate has accepted and the main thread has not yet taken.
struct RequestInbox {
  std::mutex mu;
  std::vector<QueuedRequest> requests;
  size_t bytes = 0;      // the texts they were parsed from
  bool posted = false;   // a WM_HOST_REQUESTS is on its way to take them
  std::vector<QueuedRequest> spare;  // the main thread's emptied buffer, kept for reuse
  std::vector<Json::Value> used;   // handled requests the gate may parse into (see IsRecyclable)
};
// At most this many handled requests wait on each side to be parsed into
// again (their maps and member nodes are then reused instead of freed on the
// main thread and allocated on the reader's); only those the gate's parse
// found small (PlainJsonEnvelope::small) are kept.
constexpr size_t kRecycledRequests = 64;
// The keepalive timer and its period.
constexpr UINT_PTR kKeepaliveTimerId = 1;
constexpr UINT kKeepalivePeriodMs = 3000;
// What the keepalive sends while the extension answers.
inline constexpr const char kPingText[] = "{\"method\":\"ping\"}";
// The window class the host window is registered under.
inline constexpr const wchar_t kHostWindowClassName[] = L"TabBrowser_TabPageWindow";
// The ready event is created without a name, so it is the process's own:
// a named event would be shared by every host of the session.

// What the gate makes of one incoming text.
enum class GateAction {
  Drop,        // not JSON, not an object, or nested too deep: nothing is posted
  Exit,        // "exit": post WM_HOST_EXIT at once and stop
  Post,        // post WM_HOST_REQUEST now
  WaitAndPost  // hold back until the control is ready, then post
};
// Parses text into *request and decides. *request is null or a handled
// request the gate's own parse made (PlainJsonEnvelope::noted), whose
// storage the parse may reuse (what it holds afterwards is the same either
// way). *envelope (when given) receives the members the
// parse noted. Never throws.
GateAction ClassifyMessage(const std::string& text, bool controlReady, Json::Value* request,
                           PlainJsonEnvelope* envelope = nullptr);

// What one keepalive tick does.
enum class KeepaliveAction { None, Ping, Exit };
KeepaliveAction DecideKeepalive(UINT_PTR timerId, bool peerAlive);

class KPAxWindow : public CAxWindowT {
 public:
  KPAxWindow() = default;
  ~KPAxWindow() override;
  KPAxWindow(const KPAxWindow&) = delete;
  KPAxWindow& operator=(const KPAxWindow&) = delete;

  // The process-wide window: created on first use and never destroyed, so
  // that the detached reader thread can never reach a destroyed object.
  static KPAxWindow& Instance();

  void SetOwner(HWND owner) { m_hOwner = owner; }
  const wchar_t* WindowClassName() const override { return kHostWindowClassName; }
  // How the keepalive closes standard input on silence; set by process entry
  // (the input belongs to the host layer, which this layer cannot call).
  void SetInputCloser(void (*closer)()) { m_pfnCloseInput = closer; }
  // Where every message leaves (standard output in the host); handed to the
  // proxy by Init. Not owned.
  void SetFrameWriter(FrameWriter* writer) { m_pWriter = writer; }

  // Builds the hidden window, the browser control, the proxy (which writes
  // and starts loading the bootstrap page), the dispatcher, the ready event
  // and the keepalive timer. Main thread, once, before the reader starts.
  void Init();

  bool IsStopping() const { return m_bStopping.load(); }
  bool IsControlReady() const { return m_bControlReady.load(); }
  ControlProxy* Proxy() const { return m_pProxy; }

  // The inbound gate (reader thread): parses one message text and posts it,
  // holds it until the control is ready, orders the exit, or drops it.
  void SubmitMessage(const std::string& text);
  // With batching on (process entry turns it on), the gate puts the
  // requests it accepts into the inbox, and posts one WM_HOST_REQUESTS for
  // them when kHandOverRequests (or kHandOverBytes) wait there, when the
  // reader calls EndOfBatch (it has nothing more buffered), and before an
  // exit or a wait for the control. The main thread takes what the inbox
  // holds when that message comes: it starts on the first requests of a
  // read while the reader still parses the rest, and a message (with the
  // wake-up it may cost) serves many requests. The gate waits while the
  // main thread's queue holds more than a bound of requests or bytes, and at
  // the end of a read while more than a bound of output waits to be written:
  // a peer that sends without reading stops being read, and memory stays
  // bounded. Off: every request is posted at once, alone.
  void SetBatchInput(bool on) { m_bBatchInput = on; }
  void EndOfBatch();
  // Reader thread: the input has ended. What came before is carried out,
  // then the host ends as on "exit" (nothing more can be asked of it).
  void EndOfInput();
  // Main thread: moves every request of the inbox to the end of *out (in
  // order) and lets the gate post again. Returns the bytes they came from.
  size_t TakeRequests(std::vector<QueuedRequest>* out);

  // Frees the request values still queued after the message loop has ended.
  void DiscardPendingRequests();

  BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result,
                            DWORD msgMapId = 0) override;

  LRESULT OnKeepaliveTimer(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnRequest(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnRequests(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnExit(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
  // WM_DESTROY: a window destroyed without an exit (by another process, or
  // with an owner) ends the host through OnExit's path all the same.
  void OnDestroy();
  // The one way out after the window has gone: frees what waits, releases
  // the gate, ends the message loop.
  void EndHost();
  void CheckControlReady();

 private:
  friend struct KPAxWindowTestAccess;

  ComPtr<IWebBrowser2> m_spBrowser;
  ControlProxy* m_pProxy = nullptr;
  CommandDispatcher* m_pDispatcher = nullptr;
  bool m_bPeerAlive = false;  // main thread only
  // The main thread (the one that ran Init): every handler checks it runs
  // there (checking builds, platform/ThreadAffinity.h).
  ThreadAffinity m_mainThread;
  std::atomic<bool> m_bStopping{false};
  std::atomic<bool> m_bControlReady{false};
  // Set once the proxy reports the control out of reach: the gate holds
  // nothing back from then on (every request gets its answer, an error).
  std::atomic<bool> m_bControlUnavailable{false};
  // 1 while a request is carried out. Request messages that a nested loop
  // dispatches meanwhile are kept (m_deferred, or m_bRequestsDeferred for the
  // inbox's message) and taken once it returns, by the outermost call
  // (m_bDraining while it does).
  int m_nRequestDepth = 0;
  bool m_bRequestsDeferred = false;
  bool m_bDraining = false;
  std::vector<Json::Value*> m_deferred;
  // OnExit has started: the WM_DESTROY it causes is not a second exit.
  bool m_bEnding = false;
  HANDLE m_hReadyEvent = nullptr;
  HWND m_hOwner = nullptr;

  // The handle the reader thread posts to. m_hWnd is cleared by OnExit on the
  // main thread; the gate reads this copy instead, which is never cleared
  // (posting to a destroyed window fails, and the handle is never reused).
  std::atomic<HWND> m_hPostTarget{nullptr};
  void (*m_pfnCloseInput)() = nullptr;
  FrameWriter* m_pWriter = nullptr;

  // The requests the gate has accepted and the main thread not yet taken.
  RequestInbox m_inbox;
  bool m_bBatchInput = false;
  // Accepted by the gate and not yet in the inbox (reader thread only).
  std::vector<QueuedRequest> m_pending;
  size_t m_pendingBytes = 0;
  // Handled requests to parse into: taken from the inbox (reader thread),
  // and gathered to be given to it (main thread).
  std::vector<Json::Value> m_recycled;
  std::vector<Json::Value> m_handled;
  // Requests and bytes put into the inbox and not yet handled.
  std::atomic<long> m_queuedRequests{0};
  std::atomic<long> m_queuedBytes{0};
  // Auto-reset; signalled when the queue has room again.
  HANDLE m_hRoomEvent = nullptr;

  // Posts a request the gate has accepted; frees it when the post fails.
  void PostRequest(Json::Value* request);
  // Adds an accepted request to the pending ones; hands them over when the
  // hand-over bounds say so.
  void Deliver(Json::Value&& request, const PlainJsonEnvelope& envelope, size_t bytes);
  // Moves the pending requests into the inbox and posts WM_HOST_REQUESTS
  // for them, unless one is on its way.
  void HandOver();
  // Waits until the queue (with queue) and the writer's backlog (with
  // output) have room; false when the host stops meanwhile.
  bool WaitForRoom(bool queue, bool output);
  // Carries out one request on the main thread.
  // envelope: what the gate noted of it, or null.
  void HandleRequest(const Json::Value* request, const PlainJsonEnvelope* envelope = nullptr);
};
