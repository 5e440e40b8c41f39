// A host window for tests: a real window on the test thread's queue with the
// ready event and flags as Init leaves them, but without the browser control
// (the keepalive and gate need neither the browser nor the page). A control
// proxy without a browser can be attached; it writes into a buffer.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "browser/KPAxWindow.h"
#include "dispatch/CommandDispatcher.h"
#include "dispatch/ControlProxy.h"
#include "framing/ByteSink.h"
#include "framing/FrameWriter.h"
#include "platform/MessageLoop.h"

struct KPAxWindowTestAccess {
  static void MakeBare(KPAxWindow& w) {
    w.Create(nullptr, RECT{0, 0, 500, 500}, nullptr, WS_POPUP);
    w.m_hPostTarget.store(w.m_hWnd);
    w.m_hReadyEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    w.m_bPeerAlive = true;
  }
  static void AttachProxy(KPAxWindow& w, ControlProxy* proxy) {
    w.m_pProxy = proxy;
    w.m_pDispatcher = new CommandDispatcher(proxy);
  }
  // What CheckControlReady does once the proxy reports ready.
  static void MakeReady(KPAxWindow& w) {
    w.m_bControlReady.store(true);
    SetEvent(w.m_hReadyEvent);
  }
  static bool PeerAlive(const KPAxWindow& w) { return w.m_bPeerAlive; }
  static void SetPeerAlive(KPAxWindow& w, bool alive) { w.m_bPeerAlive = alive; }
  static HWND PostTarget(const KPAxWindow& w) { return w.m_hPostTarget.load(); }
};

class HostWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KPAxWindowTestAccess::MakeBare(window);
    // A proxy without a browser; its frames are collected here.
    proxy = new ControlProxy(nullptr, nullptr, nullptr);
    proxy->SetFrameWriter(&writer);
    KPAxWindowTestAccess::AttachProxy(window, proxy);  // owned by the window from here
  }
  void TearDown() override {
    // Leave no message behind for the next test on this thread.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
      if (msg.message == WM_HOST_REQUEST) delete reinterpret_cast<Json::Value*>(msg.lParam);
  }

  // The next posted message within the deadline (timers excluded), or WM_NULL.
  MSG NextMessage(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    MSG msg{};
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !GetMessageTimeout(&msg, static_cast<DWORD>(left.count()))) return MSG{};
      if (msg.message != WM_TIMER) return msg;
    }
  }
  // True when a message is already waiting (nothing is removed).
  bool SomethingQueued() {
    MSG msg;
    return PeekMessageW(&msg, nullptr, WM_USER, 0xFFFF, PM_NOREMOVE) != FALSE;
  }

  std::string output;
  // Runs after each write, on the thread that wrote (the main thread).
  std::function<void()> onWrite;
  FunctionSink sink{[this](const char* bytes, size_t n) {
    output.append(bytes, n);
    if (onWrite) onWrite();
    return true;
  }};
  FrameWriter writer{sink, FrameWriter::Mode::Inline};
  KPAxWindow window;
  ControlProxy* proxy = nullptr;
};
