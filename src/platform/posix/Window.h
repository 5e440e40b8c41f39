// Window classes in the shape of the template library: CWindow holds a
// handle, CMessageMap routes messages, CWindowImplBase creates and destroys.
#pragma once

#include "platform/MessageLoop.h"

class CMessageMap {
 public:
  virtual ~CMessageMap() = default;
  // Returns TRUE when the message was handled; result receives its result.
  virtual BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                    LRESULT& result, DWORD msgMapId = 0) = 0;
  // What runs for messages the map does not handle (the window class's procedure).
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) { return 0; }
  // Called once the window is gone (WM_NCDESTROY has been processed).
  virtual void OnFinalMessage(HWND hwnd) {}
};

class CWindow {
 public:
  HWND m_hWnd = nullptr;

  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return PostMessageW(m_hWnd, message, wParam, lParam);
  }
  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs) const { return ::SetTimer(m_hWnd, id, elapseMs, nullptr); }
  BOOL KillTimer(UINT_PTR id) const { return ::KillTimer(m_hWnd, id); }
  BOOL DestroyWindow() {
    HWND h = m_hWnd;
    return ::DestroyWindow(h);
  }
  BOOL IsWindow() const { return ::IsWindow(m_hWnd); }
};

// A window: Create registers it with the calling thread's queue and sends
// WM_CREATE; DestroyWindow sends WM_DESTROY and WM_NCDESTROY, removes its
// timers and drops it from the registry (messages posted to it afterwards fail).
class CWindowImplBase : public CWindow, public CMessageMap {
 public:
  ~CWindowImplBase() override;
  HWND Create(HWND parent, const RECT& rect, const wchar_t* windowName, DWORD style,
              DWORD exStyle = 0, UINT_PTR menuOrId = 0, void* createParam = nullptr);

  HWND m_hWndOwner = nullptr;
  RECT m_rect{};
  DWORD m_dwStyle = 0;
};
