// Per-thread message queues, posted messages, timers and windows.
//
// Each thread that creates a window owns a queue. PostMessageW may be called
// from any thread; GetMessageW / PeekMessageW / DispatchMessageW run on the
// owning thread and may be nested (a handler can pump again). Order of
// retrieval, as on Windows: posted messages first, then the quit message,
// then due timers (one WM_TIMER per due timer, never accumulated).
#pragma once

#include "platform/WinTypes.h"

class CMessageMap;

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Blocks until a message is there; 0 for WM_QUIT, -1 when hwnd is not a window.
BOOL GetMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
// Like GetMessageW but returns FALSE at once when nothing is there.
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);
// Waits at most timeoutMs for a message; FALSE on time-out. For tests and our own loops.
BOOL GetMessageTimeout(MSG* msg, DWORD timeoutMs);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
void PostQuitMessage(int exitCode);

// timerProc must be null: ticks always arrive as WM_TIMER messages.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, void* timerProc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// Window registry, used by the window classes in Window.h.
HWND RegisterWindowObject(CMessageMap* window);
void UnregisterWindowObject(HWND hwnd);
BOOL IsWindow(HWND hwnd);
BOOL DestroyWindow(HWND hwnd);
// The foreground window: there is no desktop here, so always null.
HWND GetForegroundWindow();

// Sends a message to a window synchronously on the calling thread.
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
