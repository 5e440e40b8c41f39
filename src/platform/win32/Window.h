// Window classes in the shape of the template library over real windows:
// CWindow holds a handle, CMessageMap routes messages, CWindowImplBase
// registers its class, creates the window and routes its messages to the
// map, and what the map leaves to the class's procedure (DefWindowProc).
#pragma once

#include "platform/MessageLoop.h"

class CMessageMap {
 public:
  virtual ~CMessageMap() = default;
  // Returns TRUE when the message was handled; result receives its result.
  virtual BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                    LRESULT& result, DWORD msgMapId = 0) = 0;
};

class CWindow {
 public:
  HWND m_hWnd = nullptr;

  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::PostMessageW(m_hWnd, message, wParam, lParam);
  }
  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs) const { return ::SetTimer(m_hWnd, id, elapseMs, nullptr); }
  BOOL KillTimer(UINT_PTR id) const { return ::KillTimer(m_hWnd, id); }
  BOOL DestroyWindow() { return ::DestroyWindow(m_hWnd); }
  BOOL IsWindow() const { return ::IsWindow(m_hWnd); }
};

class CWindowImplBase : public CWindow, public CMessageMap {
 public:
  ~CWindowImplBase() override;
  // Registers the window class (WindowClassName) on first use and creates
  // the window (CreateWindowExW). rect is in screen coordinates.
  HWND Create(HWND parent, const RECT& rect, const wchar_t* windowName, DWORD style, DWORD exStyle = 0,
              UINT_PTR menuOrId = 0, void* createParam = nullptr);

  // The class the window is registered under.
  virtual const wchar_t* WindowClassName() const { return L"KestrixWindow"; }
  // What runs for messages the map does not handle.
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
  }
  // Called once the window is gone (WM_NCDESTROY has been processed).
  virtual void OnFinalMessage(HWND hwnd) {}

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
};
