#include "platform/Window.h"

CWindowImplBase::~CWindowImplBase() {
  if (m_hWnd && ::IsWindow(m_hWnd)) ::DestroyWindow(m_hWnd);
}

HWND CWindowImplBase::Create(HWND parent, const RECT& rect, const wchar_t* windowName, DWORD style,
                             DWORD exStyle, UINT_PTR menuOrId, void*) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  // Registered once per class name; a second registration fails harmlessly.
  if (!::GetClassInfoExW(instance, WindowClassName(), &wc)) {
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &CWindowImplBase::WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = WindowClassName();
    ::RegisterClassExW(&wc);
  }
  // `this` travels in the creation parameter; WindowProc keeps it with the window.
  return ::CreateWindowExW(exStyle, WindowClassName(), windowName, style, rect.left, rect.top,
                           rect.right - rect.left, rect.bottom - rect.top, parent,
                           reinterpret_cast<HMENU>(menuOrId), instance, this);
}

LRESULT CALLBACK CWindowImplBase::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CWindowImplBase*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    self = static_cast<CWindowImplBase*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->m_hWnd = hwnd;
  }
  if (!self) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  LRESULT result = 0;
  if (!self->ProcessWindowMessage(hwnd, message, wParam, lParam, result, 0))
    result = self->DefWindowProc(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->m_hWnd = nullptr;
    self->OnFinalMessage(hwnd);
  }
  return result;
}
