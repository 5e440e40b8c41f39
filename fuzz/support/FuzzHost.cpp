#include "support/FuzzHost.h"

#include <unistd.h>

#include <cstdio>

#include "browser/BootstrapPage.h"
#include "framing/ByteSink.h"
#include "framing/FrameCodec.h"
#include "framing/FrameWriter.h"
#include "platform/CodePage.h"
#include "platform/Window.h"
#include "platform/webbrowser/AxHost.h"
#include "platform/webbrowser/WebBrowser.h"

namespace fuzz {

void Fail(const char* target, const std::string& what) {
  fprintf(stderr, "%s: %s\n", target, what.c_str());
  fflush(stderr);
  abort();
}

FuzzHost& FuzzHost::Get() {
  static FuzzHost* const host = new FuzzHost;
  return *host;
}

FuzzHost::FuzzHost() {
  SetThreadCodePage("UTF-8");
  AtlAxWinInit();
  Check(CreateWebBrowser(&m_browser) == S_OK, "fuzz host", "no browser");
  RegisterFakeControl(0, &m_control);
  // The host's own bootstrap page, written to TMPDIR as the host writes it.
  m_proxy = new ControlProxy(m_browser.Get(), nullptr, [this] { return m_pagePath = WriteBootstrapPage(); });
  // Inline: one write per frame, checked as it leaves. Lives as long as the run.
  static FunctionSink* const sink = new FunctionSink([this](const char* bytes, size_t n) {
    Check(n >= kFramePrefixBytes, "frame", "shorter than its prefix");
    Check(DecodeFrameLength(bytes) == n - kFramePrefixBytes, "frame", "length prefix does not match the text");
    Json::Value v;
    Json::Reader reader;
    std::string text(bytes + 4, n - 4);
    Check(reader.parse(text, v, false) && v.isObject(), "frame", "text is not a JSON object: " + text.substr(0, 200));
    m_frames.push_back(std::move(v));
    return true;
  });
  m_proxy->SetFrameWriter(new FrameWriter(*sink, FrameWriter::Mode::Inline));
  Json::Value hello;
  hello["method"] = "new";
  hello["sender"]["tab"]["id"] = 7;
  hello["sender"]["url"] = "http://127.0.0.1/page.html";
  m_proxy->OnNew(hello);
  Check(m_proxy->IsReady(), "fuzz host", "the control did not become ready");
  m_script = m_proxy->GetScript();
  Check(m_script.Get() != nullptr, "fuzz host", "no script object");
  ::unlink(m_pagePath.c_str());
  Forget();
}

std::vector<Json::Value> FuzzHost::TakeFrames() {
  std::vector<Json::Value> out;
  out.swap(m_frames);
  return out;
}

void FuzzHost::Pump() {
  MSG msg;
  for (int i = 0; i < 10000 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    if (msg.message == WM_QUIT) continue;  // nothing here ends the loop
    DispatchMessageW(&msg);
  }
}

void FuzzHost::Forget() {
  if (m_control) m_control->calls.clear();
}

}  // namespace fuzz
