#include "control/render/ChromiumRenderer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "control/render/ChromiumProcess.h"
#include "control/render/DevToolsSession.h"
#include "control/render/PageRender.h"
#include "control/render/Socks5Server.h"

namespace {
bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}
}  // namespace

std::string ChromiumRenderer::Find() {
  // A chosen browser is used or none is: a wrong choice should show, not be papered over.
  if (const char* chosen = std::getenv("KESTRIX_CHROMIUM"); chosen && *chosen)
    return IsExecutableFile(chosen) ? chosen : std::string();
  for (const char* path : {"/usr/lib/chromium/chromium", "/usr/bin/chromium", "/usr/bin/chromium-browser"})
    if (IsExecutableFile(path)) return path;
  return std::string();
}

void ChromiumRenderer::AbortRunning() { AbortRunningBrowsers(); }

ChromiumRenderer::ChromiumRenderer(std::string executable) : m_executable(std::move(executable)) {}

bool ChromiumRenderer::Render(const RenderRequest& request, std::string* output, std::string* error,
                              std::string* code) {
  if (code) *code = "renderFailed";
  if (m_executable.empty()) {
    if (code) *code = "chromiumMissing";
    if (error)
      *error = std::getenv("KESTRIX_CHROMIUM") && *std::getenv("KESTRIX_CHROMIUM")
                   ? "chromium not found at $KESTRIX_CHROMIUM (" + std::string(std::getenv("KESTRIX_CHROMIUM")) + ")"
                   : "chromium not found (looked at /usr/lib/chromium/chromium, /usr/bin/chromium, "
                     "/usr/bin/chromium-browser); install the chromium package";
    return false;
  }
  if (request.html.empty() == request.url.empty()) {
    if (error) *error = "nothing to render";
    return false;
  }
  BrowserFolder folder;
  if (!folder.Make(std::string(), "kestrix-render-", error)) return false;

  bool ok = false;
  std::string message;
  Socks5Server proxy(request.network);
  {
    ChromiumProcess process;
    DevToolsSession browser;
    browser.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(request.timeoutMs));
    auto run = [&]() -> bool {
      if (!process.Start(m_executable, folder.Path(), &message)) {
        if (code && process.IsolationFailed()) *code = "networkIsolationUnavailable";
        return false;
      }
      browser.Connect(process.CommandFd(), process.ReplyFd());
      if (!proxy.Start(process.Listen(&message), &message)) return false;
      // A fresh context whose every connection goes through the proxy, and a page in it.
      std::string contextId, session;
      return browser.OpenContext(proxy.Address(), &contextId, &session, &message) &&
             browser.Call("Page.enable", Json::Value(), session, nullptr, &message) &&
             RenderInPage(browser, session, request, output, &message);
    };
    try {
      ok = run();
    } catch (const std::exception& e) {
      // An answer of a shape we did not expect.
      message = std::string("unexpected answer from chromium: ") + e.what();
      ok = false;
    }
    if (!ok) {
      std::string tail = process.LogTail();
      process.Stop();
      if (!tail.empty() && message.find("chromium") != std::string::npos) message += "; chromium said: " + tail;
    }
  }
  proxy.Stop();
  // A page that was refused something is not the page that was asked for,
  // even when the browser drew what was left of it.
  std::vector<std::string> refusals = proxy.Refusals();
  if (!refusals.empty()) {
    ok = false;
    if (code) *code = "networkRefused";
    message = "refused to connect to " + refusals.front();
    if (refusals.size() > 1) message += " (and " + std::to_string(refusals.size() - 1) + " more)";
  }
  if (!ok && error) *error = message;
  return ok;
}
