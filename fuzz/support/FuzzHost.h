// What the fuzz targets share: a control proxy on the browser stand-in that
// has loaded the host's bootstrap page, with the fake printing control behind
// it, made ready by a "new" request, as in a running host.
// Built on first use and kept for the whole fuzzing run.
//
// Every frame the proxy writes is checked here: its length prefix matches,
// and its text is one JSON object. A broken frame aborts the run.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdlib>
#include <string>

#include "dispatch/ControlProxy.h"
#include "support/fake/FakeControl.h"

namespace fuzz {

// Aborts with a message: libFuzzer then keeps the input as a crash.
[[noreturn]] void Fail(const char* target, const std::string& what);
inline void Check(bool ok, const char* target, const std::string& what) {
  if (!ok) Fail(target, what);
}

class FuzzHost {
 public:
  static FuzzHost& Get();

  ControlProxy& Proxy() { return *m_proxy; }
  FakeControl* Control() { return m_control; }
  // The page's script object (the bridge's script context).
  IDispatch* Script() { return m_script.Get(); }

  // Frames written since the last call, parsed.
  std::vector<Json::Value> TakeFrames();
  // Dispatches what is queued on this thread (job events of the fake
  // control, page work), at most a bounded number of messages.
  void Pump();
  // Forgets the fake control's recorded calls (they would grow without end).
  void Forget();

 private:
  FuzzHost();
  ComPtr<IWebBrowser2> m_browser;
  FakeControl* m_control = nullptr;
  ControlProxy* m_proxy = nullptr;
  ComPtr<IDispatch> m_script;
  std::vector<Json::Value> m_frames;
  std::string m_pagePath;
};

}  // namespace fuzz
