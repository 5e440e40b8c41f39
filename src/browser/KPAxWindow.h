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
#include <string>

#include "platform/ComPtr.h"
#include "platform/Kernel.h"
#include "platform/WebBrowserApi.h"
#include "platform/AxHost.h"

class ControlProxy;
class CommandDispatcher;

// Posted by the gate; LPARAM is a Json::Value* that the handler deletes.
constexpr UINT WM_HOST_REQUEST = WM_USER + 101;  // 1125
// Posted by the gate on "exit" and by the keepalive on silence.
constexpr UINT WM_HOST_EXIT = WM_USER + 102;  // 1126
// The keepalive timer and its period.
constexpr UINT_PTR kKeepaliveTimerId = 1;
constexpr UINT kKeepalivePeriodMs = 3000;
// What the keepalive sends while the extension answers.
inline constexpr const char kPingText[] = "{\"method\":\"ping\"}";
// The window class the host window is registered under.
inline constexpr const char kHostWindowClassName[] = "TabBrowser_TabPageWindow";
// Name of the ready event (kept for the record: events are process-local here).
inline constexpr const wchar_t kReadyEventName[] = L"kpnaAAA1";

// What the gate makes of one incoming text.
enum class GateAction {
  Drop,        // not JSON, not an object, or nested too deep: nothing is posted
  Exit,        // "exit": post WM_HOST_EXIT at once and stop
  Post,        // post WM_HOST_REQUEST now
  WaitAndPost  // hold back until the control is ready, then post
};
// Parses text into *request (which must be null) and decides. Never throws.
GateAction ClassifyMessage(const std::string& text, bool controlReady, Json::Value* request);

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
  // How the keepalive closes standard input on silence; set by process entry
  // (the input belongs to the host layer, which this layer cannot call).
  void SetInputCloser(void (*closer)()) { m_pfnCloseInput = closer; }

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

  // Frees the request values still queued after the message loop has ended.
  static void DiscardPendingRequests();

  BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result,
                            DWORD msgMapId = 0) override;

  LRESULT OnKeepaliveTimer(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnRequest(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnExit(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
  void CheckControlReady();

 private:
  friend struct KPAxWindowTestAccess;

  ComPtr<IWebBrowser2> m_spBrowser;
  ControlProxy* m_pProxy = nullptr;
  CommandDispatcher* m_pDispatcher = nullptr;
  bool m_bPeerAlive = false;  // main thread only
  std::atomic<bool> m_bStopping{false};
  std::atomic<bool> m_bControlReady{false};
  HANDLE m_hReadyEvent = nullptr;
  HWND m_hOwner = nullptr;

  // The handle the reader thread posts to. m_hWnd is cleared by OnExit on the
  // main thread; the gate reads this copy instead, which is never cleared
  // (posting to a destroyed window fails, and the handle is never reused).
  std::atomic<HWND> m_hPostTarget{nullptr};
  void (*m_pfnCloseInput)() = nullptr;

  // Posts a request the gate has accepted; frees it when the post fails.
  void PostRequest(Json::Value* request);
};
