// Events on their way to the main thread. Worker threads queue JSON lines
// ({"kind": "state", "job": {...}}, {"kind": "message", "message": {...}},
// {"kind": "done", "status": "success" | "error", "result": {...}}) and post
// the control's hidden window a message; the window, on the thread that made
// the control (its apartment's thread), takes them all and fires them. The
// queue outlives the control: a job thread that queues after the control is
// gone posts nowhere.
#pragma once

#include <windows.h>

#include <json/json.h>

#include <mutex>
#include <utility>
#include <vector>

class EventQueue {
 public:
  EventQueue(HWND window, UINT message) : m_window(window), m_message(message) {}

  // Any thread.
  void Push(Json::Value line) {
    std::lock_guard lock(m_mu);
    m_lines.push_back(std::move(line));
    if (m_window && !m_posted) m_posted = ::PostMessageW(m_window, m_message, 0, 0) != FALSE;
  }
  // Main thread.
  std::vector<Json::Value> TakeAll() {
    std::lock_guard lock(m_mu);
    m_posted = false;
    return std::exchange(m_lines, {});
  }
  // Main thread, when the window goes: later lines are dropped.
  void Detach() {
    std::lock_guard lock(m_mu);
    m_window = nullptr;
    m_lines.clear();
  }
  bool Attached() const {
    std::lock_guard lock(m_mu);
    return m_window != nullptr;
  }

 private:
  mutable std::mutex m_mu;
  HWND m_window;
  UINT m_message;
  bool m_posted = false;
  std::vector<Json::Value> m_lines;
};
