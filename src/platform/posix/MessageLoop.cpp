#include "platform/MessageLoop.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/Window.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  std::chrono::milliseconds period;
  Clock::time_point due;
};

struct Queue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<MSG> posted;
  std::vector<Timer> timers;
  bool quit = false;
  int quitCode = 0;
  int waiters = 0;  // threads blocked in a wait: only then does a post need to wake one
};

struct WindowEntry {
  CMessageMap* window;
  std::shared_ptr<Queue> queue;
};

// The registry is never destroyed: a detached thread may still post to a
// window while the process runs its exit handlers.
struct Registry {
  std::mutex mu;
  std::unordered_map<HWND, WindowEntry> windows;
  uintptr_t nextHandle = 0x10000;
};
Registry& Reg() {
  static Registry* r = new Registry;
  return *r;
}

std::shared_ptr<Queue>& ThreadQueue() {
  thread_local std::shared_ptr<Queue> q = std::make_shared<Queue>();
  return q;
}

std::shared_ptr<Queue> QueueOf(HWND hwnd, CMessageMap** window = nullptr) {
  Registry& r = Reg();
  std::lock_guard lock(r.mu);
  auto it = r.windows.find(hwnd);
  if (it == r.windows.end()) return nullptr;
  if (window) *window = it->second.window;
  return it->second.queue;
}

bool Matches(const MSG& m, HWND hwnd, UINT lo, UINT hi) {
  if (hwnd && m.hwnd != hwnd) return false;
  if ((lo || hi) && (m.message < lo || m.message > hi)) return false;
  return true;
}

// Takes the next message under the queue lock. Returns false when none is ready;
// then *wakeAt holds when the next timer falls due (or max when none).
bool TakeLocked(Queue& q, MSG* msg, HWND hwnd, UINT lo, UINT hi, bool remove, Clock::time_point* wakeAt) {
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (Matches(*it, hwnd, lo, hi)) {
      *msg = *it;
      if (remove) q.posted.erase(it);
      return true;
    }
  }
  if (q.quit) {
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0};
    if (remove) q.quit = false;
    return true;
  }
  auto now = Clock::now();
  *wakeAt = Clock::time_point::max();
  for (Timer& t : q.timers) {
    MSG m{t.hwnd, WM_TIMER, t.id, 0};
    if (!Matches(m, hwnd, lo, hi)) continue;
    if (t.due <= now) {
      *msg = m;
      if (remove) t.due = now + t.period;
      return true;
    }
    if (t.due < *wakeAt) *wakeAt = t.due;
  }
  return false;
}

BOOL Get(MSG* msg, HWND hwnd, UINT lo, UINT hi, Clock::time_point deadline) {
  Queue& q = *ThreadQueue();
  std::unique_lock lock(q.mu);
  for (;;) {
    Clock::time_point wakeAt;
    if (TakeLocked(q, msg, hwnd, lo, hi, true, &wakeAt)) return TRUE;
    Clock::time_point until = std::min(wakeAt, deadline);
    ++q.waiters;
    if (until == Clock::time_point::max()) {
      q.cv.wait(lock);
    } else if (Clock::now() < deadline) {
      q.cv.wait_until(lock, until);
    } else {
      --q.waiters;
      return FALSE;
    }
    --q.waiters;
  }
}

}  // namespace

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Queue> q = hwnd ? QueueOf(hwnd) : ThreadQueue();
  if (!q) return FALSE;
  bool wake;
  {
    std::lock_guard lock(q->mu);
    q->posted.push_back(MSG{hwnd, message, wParam, lParam});
    wake = q->waiters > 0;
  }
  // A busy receiver finds the message without a wake-up (and a system call).
  if (wake) q->cv.notify_one();
  return TRUE;
}

BOOL GetMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (hwnd && !IsWindow(hwnd)) return -1;
  Get(msg, hwnd, filterMin, filterMax, Clock::time_point::max());
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL GetMessageTimeout(MSG* msg, DWORD timeoutMs) {
  return Get(msg, nullptr, 0, 0, Clock::now() + std::chrono::milliseconds(timeoutMs));
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
  Queue& q = *ThreadQueue();
  std::lock_guard lock(q.mu);
  Clock::time_point wakeAt;
  return TakeLocked(q, msg, hwnd, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0, &wakeAt) ? TRUE : FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CMessageMap* window = nullptr;
  if (!QueueOf(hwnd, &window) || !window) return 0;
  LRESULT result = 0;
  if (!window->ProcessWindowMessage(hwnd, message, wParam, lParam, result, 0))
    result = window->DefWindowProc(message, wParam, lParam);
  return result;
}

LRESULT DispatchMessageW(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  return SendMessageW(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int exitCode) {
  Queue& q = *ThreadQueue();
  {
    std::lock_guard lock(q.mu);
    q.quit = true;
    q.quitCode = exitCode;
  }
  q.cv.notify_one();
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, void* timerProc) {
  if (timerProc) return 0;
  std::shared_ptr<Queue> q = QueueOf(hwnd);
  if (!q) return 0;
  {
    std::lock_guard lock(q->mu);
    auto period = std::chrono::milliseconds(elapseMs ? elapseMs : 1);
    for (Timer& t : q->timers) {
      if (t.hwnd == hwnd && t.id == id) {
        t.period = period;
        t.due = Clock::now() + period;
        return id;
      }
    }
    q->timers.push_back(Timer{hwnd, id, period, Clock::now() + period});
  }
  q->cv.notify_one();
  return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  std::shared_ptr<Queue> q = QueueOf(hwnd);
  if (!q) return FALSE;
  std::lock_guard lock(q->mu);
  for (auto it = q->timers.begin(); it != q->timers.end(); ++it) {
    if (it->hwnd == hwnd && it->id == id) {
      q->timers.erase(it);
      return TRUE;
    }
  }
  return FALSE;
}

HWND RegisterWindowObject(CMessageMap* window) {
  Registry& r = Reg();
  std::lock_guard lock(r.mu);
  HWND h = reinterpret_cast<HWND>(r.nextHandle);
  r.nextHandle += 0x10;  // handles are never reused within a run
  r.windows[h] = WindowEntry{window, ThreadQueue()};
  return h;
}

void UnregisterWindowObject(HWND hwnd) {
  std::shared_ptr<Queue> q;
  {
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    auto it = r.windows.find(hwnd);
    if (it == r.windows.end()) return;
    q = it->second.queue;
    r.windows.erase(it);
  }
  std::lock_guard lock(q->mu);
  std::erase_if(q->timers, [hwnd](const Timer& t) { return t.hwnd == hwnd; });
}

BOOL IsWindow(HWND hwnd) {
  if (!hwnd) return FALSE;
  Registry& r = Reg();
  std::lock_guard lock(r.mu);
  return r.windows.count(hwnd) ? TRUE : FALSE;
}

BOOL DestroyWindow(HWND hwnd) {
  CMessageMap* window = nullptr;
  if (!QueueOf(hwnd, &window) || !window) return FALSE;
  SendMessageW(hwnd, WM_DESTROY, 0, 0);
  SendMessageW(hwnd, WM_NCDESTROY, 0, 0);
  UnregisterWindowObject(hwnd);
  window->OnFinalMessage(hwnd);
  return TRUE;
}

HWND GetForegroundWindow() { return nullptr; }

// ---- CWindowImplBase ---------------------------------------------------------
CWindowImplBase::~CWindowImplBase() {
  if (m_hWnd) UnregisterWindowObject(m_hWnd);
}

HWND CWindowImplBase::Create(HWND parent, const RECT& rect, const wchar_t*, DWORD style, DWORD, UINT_PTR,
                             void*) {
  m_hWndOwner = parent;
  m_rect = rect;
  m_dwStyle = style;
  m_hWnd = RegisterWindowObject(this);
  SendMessageW(m_hWnd, WM_CREATE, 0, 0);
  return m_hWnd;
}
