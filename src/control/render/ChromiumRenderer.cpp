#include "control/render/ChromiumRenderer.h"

#include <fcntl.h>
#include <ftw.h>
#include <json/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "control/formats/Base64.h"
#include "control/base/ControlPaths.h"
#include "control/render/Socks5Server.h"
#include "control/render/PrivateNetwork.h"
#include "control/render/PooledBrowser.h"
#include "control/base/Trace.h"
#include "platform/Kernel.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

// The browsers and folders of this process, for AbortRunning.
std::mutex g_runningMutex;
std::set<pid_t> g_runningBrowsers;
std::set<std::string> g_runningFolders;

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void RemoveTree(const std::string& path) {
  if (!path.empty()) nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  return Json::writeString(writer, value);
}

std::string TailOfFile(const std::string& path, size_t bytes) {
  std::string text;
  if (!ReadWholeFile(path, &text, size_t(64) << 20)) return std::string();
  if (text.size() > bytes) text = text.substr(text.size() - bytes);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string Inches(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", mm / 25.4);
  return text;
}

std::string Mm(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2fmm", mm);
  return text;
}

// One running browser and its DevTools pipe.
class Browser {
 public:
  ~Browser() { Stop(); }

  bool Start(const std::string& executable, const std::string& folder, std::string* error) {
    m_log = folder + "/chromium.log";
    int toBrowser[2], fromBrowser[2];
    if (pipe2(toBrowser, O_CLOEXEC) != 0) return Fail(error, "cannot create a pipe");
    if (pipe2(fromBrowser, O_CLOEXEC) != 0) {
      close(toBrowser[0]);
      close(toBrowser[1]);
      return Fail(error, "cannot create a pipe");
    }
    // Keep our ends clear of 3 and 4, which the child's ends take.
    auto lift = [](int fd) {
      int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
      close(fd);
      return high;
    };
    for (int* fd : {&toBrowser[0], &toBrowser[1], &fromBrowser[0], &fromBrowser[1]}) *fd = lift(*fd);

    std::vector<std::string> args = {executable,
                                     "--headless=new",
                                     "--remote-debugging-pipe",
                                     "--user-data-dir=" + folder + "/profile",
                                     "--no-first-run",
                                     "--no-default-browser-check",
                                     "--disable-gpu",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--disable-extensions",
                                     "--disable-default-apps",
                                     "--mute-audio",
                                     "--hide-scrollbars",
                                     "--disable-quic",
                                     // A page rendered for printing is foreground work, though no
                                     // window shows it: no lowered priority, no throttled timers.
                                     "--disable-renderer-backgrounding",
                                     "--disable-background-timer-throttling",
                                     "--disable-backgrounding-occluded-windows",
                                     // (WebRTC's UDP finds no way out of the browser's network
                                     // anyway: this keeps it from trying.)
                                     "--force-webrtc-ip-handling-policy=disable_non_proxied_udp",
                                     // Every browser context would get the address bar's popup as a
                                     // page of its own, each in a renderer process of about 50 MiB.
                                     "--disable-features=WebUIOmniboxPopup,WebUIOmniboxAimPopup,"
                                     "WebUIOmniboxFullPopup"};
    // Chromium's sandbox cannot run as root; elsewhere it stays on unless asked.
    const char* noSandbox = std::getenv("KESTRIX_CHROMIUM_NO_SANDBOX");
    if (geteuid() == 0 || (noSandbox && std::strcmp(noSandbox, "1") == 0)) args.push_back("--no-sandbox");
    args.push_back("about:blank");

    // A private home, configuration, cache and temporary folder: whatever the
    // page makes the browser write (a download that slips through, caches,
    // crash dumps) lands in the folder that is removed after the job.
    const std::string home = folder + "/home";
    MakeFolders(home, 0700);
    const std::pair<const char*, std::string> privateFolders[] = {
        {"HOME", home},
        {"TMPDIR", folder},
        {"XDG_CONFIG_HOME", home + "/.config"},
        {"XDG_CACHE_HOME", home + "/.cache"},
        {"XDG_DATA_HOME", home + "/.local/share"},
        {"XDG_DOWNLOAD_DIR", home + "/Downloads"},
    };
    SpawnPlan plan;
    plan.executable = executable;
    plan.args = std::move(args);
    for (char** e = environ; e && *e; ++e) {
      bool replaced = false;
      for (const auto& [name, value] : privateFolders)
        replaced = replaced || (std::strncmp(*e, name, std::strlen(name)) == 0 && (*e)[std::strlen(name)] == '=');
      if (!replaced) plan.env.emplace_back(*e);
    }
    for (const auto& [name, value] : privateFolders) plan.env.push_back(std::string(name) + "=" + value);
    plan.stderrPath = m_log;
    plan.fds = {{toBrowser[0], 3}, {fromBrowser[1], 4}};

    // The browser runs in a network of its own whose only way out is the
    // job's policy proxy (Listen): WebRTC's UDP, which no proxy carries,
    // and any connection that would skip the proxy reach nothing.
    std::unique_lock running(g_runningMutex);
    pid_t pid = -1;
    std::string failure;
    const bool started = m_network.Spawn(plan, &pid, &failure, &m_isolationFailed);
    if (pid > 0) g_runningBrowsers.insert(m_pid = pid);
    running.unlock();
    close(toBrowser[0]);
    close(fromBrowser[1]);
    m_out = toBrowser[1];
    m_in = fromBrowser[0];
    return started || Fail(error, failure);
  }

  // A socket listening on 127.0.0.1 inside the browser's network, for a proxy.
  int Listen(std::string* error) const { return m_network.Listen(error); }
  // Start failed because the browser's network could not be made.
  bool IsolationFailed() const { return m_isolationFailed; }

  // Any thread (a deadline moved to now cancels what the browser is waiting for).
  void SetDeadline(Clock::time_point deadline) { m_deadline.store(deadline); }

  // A fresh browser context for one job, and a page in it: every connection
  // of the context goes through proxy (loopback included: "<-loopback>" ends
  // the browser's implicit bypass for it), and downloads are denied.
  // OpenJobContextAsync sends the commands one after the other as their
  // replies arrive, while later Calls read; Finish reads until it is done.
  // With contextId given, only a page is opened in that context (its
  // proxy and download rule are set already).
  struct OpeningContext {
    std::string proxy;
    std::string contextId, targetId, session, error;
    int step = 0;
    bool done = false;
  };
  void OpenJobContextAsync(const std::shared_ptr<OpeningContext>& opening) {
    if (!opening->contextId.empty()) opening->step = 2;
    OpenStep(opening, Json::Value());
  }
  bool Finish(const std::shared_ptr<OpeningContext>& opening, std::string* error) {
    while (!opening->done) {
      Json::Value message;
      if (!ReadMessage(&message, error)) {
        opening->done = true;
        opening->error = *error + " (opening a browser context)";
      } else {
        Dispatch(message);
      }
    }
    if (opening->error.empty()) return true;
    return Fail(error, opening->error);
  }
  bool OpenJobContext(const std::string& proxy, std::string* contextId, std::string* session, std::string* error) {
    auto opening = std::make_shared<OpeningContext>();
    opening->proxy = proxy;
    OpenJobContextAsync(opening);
    const bool ok = Finish(opening, error);
    *contextId = opening->contextId;
    *session = opening->session;
    return ok;
  }
  void ServeDocument(const std::string& url, const std::string& html) {
    m_documentUrl = url;
    m_documentBody = Base64Encode(html);
  }

  // Sends a command and runs then(reply message) once its reply has arrived
  // (read by a later Call, WaitEvent or Finish on this thread).
  bool CallAsync(const std::string& method, const Json::Value& params, const std::string& session,
                 std::function<void(const Json::Value&)> then, std::string* error) {
    int id = 0;
    if (!Send(method, params, session, &id, error)) return false;
    m_then[id] = std::move(then);
    return true;
  }

  // Reads and handles one message (an event, or the reply to a CallAsync).
  bool Pump(std::string* error) {
    Json::Value message;
    if (!ReadMessage(&message, error)) return false;
    Dispatch(message);
    return true;
  }

  // Sends a command and waits for its reply; events that arrive meanwhile are kept.
  bool Call(const std::string& method, const Json::Value& params, const std::string& session, Json::Value* result,
            std::string* error) {
    int id = 0;
    if (!Send(method, params, session, &id, error)) return false;
    for (;;) {
      Json::Value message;
      if (!ReadMessage(&message, error)) return Fail(error, *error + " (waiting for " + method + ")");
      if (message.isMember("id") && message["id"].isInt() && message["id"].asInt() == id) {
        if (message.isMember("error"))
          return Fail(error, method + " failed: " + message["error"].get("message", "").asString());
        if (result) *result = message["result"];
        return true;
      }
      Dispatch(message);
    }
  }

  // Waits for an event of that name (on that session).
  bool WaitEvent(const std::string& method, const std::string& session, Json::Value* event, std::string* error) {
    for (;;) {
      for (auto it = m_events.begin(); it != m_events.end(); ++it) {
        if ((*it)["method"].asString() == method && (*it).get("sessionId", "").asString() == session) {
          if (event) *event = *it;
          m_events.erase(it);
          return true;
        }
      }
      Json::Value message;
      if (!ReadMessage(&message, error)) return Fail(error, *error + " (waiting for " + method + ")");
      Dispatch(message);
    }
  }

  // Closes the browser: politely, then by force.
  void Stop() {
    if (m_pid > 0) {
      if (m_out >= 0) {
        Json::Value close(Json::objectValue);
        close["id"] = 999999;
        close["method"] = "Browser.close";
        std::string text = Compact(close);
        text.push_back('\0');
        (void)!write(m_out, text.data(), text.size());
      }
      auto until = Clock::now() + std::chrono::seconds(5);
      int status = 0;
      while (waitpid(m_pid, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
          kill(-m_pid, SIGKILL);
          kill(m_pid, SIGKILL);
          waitpid(m_pid, &status, 0);
          break;
        }
        poll(nullptr, 0, 20);
      }
      kill(-m_pid, SIGKILL);  // helpers that outlived the browser process
      std::lock_guard running(g_runningMutex);
      g_runningBrowsers.erase(m_pid);
      m_pid = -1;
    }
    if (m_out >= 0) close(m_out);
    if (m_in >= 0) close(m_in);
    m_out = m_in = -1;
  }

  std::string LogTail() const { return TailOfFile(m_log, 600); }
  pid_t Pid() const { return m_pid; }
  // False once the browser process has ended (it is reaped then). A process
  // that is ending (its pipes already closed) is given graceMs to finish.
  bool Alive(int graceMs) {
    if (m_pid <= 0) return false;
    const auto until = Clock::now() + std::chrono::milliseconds(graceMs);
    for (;;) {
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) != 0) return false;
      if (Clock::now() >= until) return true;
      poll(nullptr, 0, 10);
    }
  }

 private:
  static bool Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
  }

  bool Send(const std::string& method, const Json::Value& params, const std::string& session, int* id,
            std::string* error) {
    Json::Value message(Json::objectValue);
    message["id"] = *id = m_nextId++;
    message["method"] = method;
    if (!params.isNull()) message["params"] = params;
    if (!session.empty()) message["sessionId"] = session;
    std::string text = Compact(message);
    text.push_back('\0');
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(m_out, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail(error, "chromium stopped reading commands");
      done += static_cast<size_t>(n);
    }
    return true;
  }

  bool ReadMessage(Json::Value* message, std::string* error) {
    for (;;) {
      size_t end = m_buffer.find('\0');
      if (end != std::string::npos) {
        std::string text = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 1);
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        try {
          if (reader->parse(text.data(), text.data() + text.size(), message, &errors) && message->isObject())
            return true;
        } catch (const std::exception&) {
        }
        continue;  // not a message we can read: skip it
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline.load() - Clock::now()).count();
      if (left <= 0) return Fail(error, "chromium did not finish in time");
      pollfd p{m_in, POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) continue;
      char chunk[65536];
      ssize_t n = read(m_in, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail(error, "chromium ended unexpectedly");
      m_buffer.append(chunk, static_cast<size_t>(n));
      if (m_buffer.size() > (size_t(768) << 20)) return Fail(error, "chromium sent an oversized message");
    }
  }

  // An event, or the reply to a command sent with CallAsync.
  void Dispatch(const Json::Value& message) {
    if (message.isMember("method")) return HandleEvent(message);
    if (!message["id"].isInt()) return;
    auto then = m_then.find(message["id"].asInt());
    if (then == m_then.end()) return;
    auto run = std::move(then->second);
    m_then.erase(then);
    run(message);
  }

  void OpenStep(const std::shared_ptr<OpeningContext>& opening, const Json::Value& reply) {
    static const char* const kSteps[] = {"Target.createBrowserContext", "Browser.setDownloadBehavior",
                                         "Target.createTarget", "Target.attachToTarget"};
    if (reply.isObject() && reply.isMember("error")) {
      opening->error = std::string(kSteps[opening->step - 1]) + " failed: " + reply["error"].get("message", "").asString();
      opening->done = true;
      return;
    }
    const Json::Value& result = reply.isObject() ? reply["result"] : Json::Value::nullSingleton();
    Json::Value params(Json::objectValue);
    switch (opening->step) {
      case 0:
        params["proxyServer"] = opening->proxy;
        params["proxyBypassList"] = "<-loopback>";
        params["disposeOnDetach"] = true;
        break;
      case 1:
        opening->contextId = result["browserContextId"].asString();
        params["behavior"] = "deny";
        params["browserContextId"] = opening->contextId;
        break;
      case 2:
        params["url"] = "about:blank";
        params["browserContextId"] = opening->contextId;
        break;
      case 3:
        opening->targetId = result["targetId"].asString();
        params["targetId"] = result["targetId"];
        params["flatten"] = true;
        break;
      default:
        opening->session = result["sessionId"].asString();
        if (opening->session.empty()) opening->error = "chromium attached to no page";
        opening->done = true;
        return;
    }
    std::string error;
    const char* method = kSteps[opening->step++];
    if (!CallAsync(method, params, "", [this, opening](const Json::Value& m) { OpenStep(opening, m); }, &error)) {
      opening->error = error;
      opening->done = true;
    }
  }

  void HandleEvent(const Json::Value& message) {
    if (!message["method"].isString()) return;
    const std::string method = message["method"].asString();
    if (method == "Fetch.requestPaused" && message["params"].isObject() && message["params"]["request"].isObject()) {
      const Json::Value& params = message["params"];
      Json::Value reply(Json::objectValue);
      reply["requestId"] = params["requestId"];
      std::string session = message.get("sessionId", "").asString();
      std::string ignored;
      int id = 0;
      if (params["request"]["url"].asString() == m_documentUrl && !m_documentBody.empty()) {
        reply["responseCode"] = 200;
        Json::Value header(Json::objectValue);
        header["name"] = "Content-Type";
        header["value"] = "text/html; charset=utf-8";
        reply["responseHeaders"].append(header);
        reply["body"] = m_documentBody;
        Send("Fetch.fulfillRequest", reply, session, &id, &ignored);
      } else {
        Send("Fetch.continueRequest", reply, session, &id, &ignored);
      }
      return;
    }
    m_events.push_back(message);
    if (m_events.size() > 1000) m_events.pop_front();  // events nobody waits for
  }

  PrivateNetwork m_network;
  bool m_isolationFailed = false;
  pid_t m_pid = -1;
  int m_out = -1, m_in = -1;
  int m_nextId = 1;
  std::string m_buffer;
  std::deque<Json::Value> m_events;
  std::map<int, std::function<void(const Json::Value&)>> m_then;
  std::atomic<Clock::time_point> m_deadline{Clock::now() + std::chrono::seconds(60)};
  std::string m_log;
  std::string m_documentUrl;
  std::string m_documentBody;
};

std::string PageCss(const RenderRequest& r) {
  std::string css;
  if (r.paperGiven || r.marginsGiven) {
    css += "@page {";
    if (r.paperGiven) {
      double w = r.landscape ? r.paperHeightMm : r.paperWidthMm;
      double h = r.landscape ? r.paperWidthMm : r.paperHeightMm;
      css += " size: " + Mm(w) + " " + Mm(h) + ";";
    }
    if (r.marginsGiven)
      css += " margin: " + Mm(r.marginTopMm) + " " + Mm(r.marginRightMm) + " " + Mm(r.marginBottomMm) + " " +
             Mm(r.marginLeftMm) + ";";
    css += " }\n";
  }
  if (r.printBackground) css += "* { -webkit-print-color-adjust: exact; print-color-adjust: exact; }\n";
  css += r.extraCss;
  return css;
}
// A fresh context of a running browser, its connections through proxyAddress,
// with a page in it ready to load (*session). The context is the caller's to
// remove (*contextId names it).
// (Page.enable waits for the page's renderer process; with enable false the
// process starts meanwhile and the caller enables the page later.)
bool OpenPage(Browser& browser, const std::string& proxyAddress, std::string* contextId, std::string* session,
              std::string* message, bool enable = true) {
  return browser.OpenJobContext(proxyAddress, contextId, session, message) &&
         (!enable || browser.Call("Page.enable", Json::Value(), *session, nullptr, message));
}

// One job in a page from OpenPage: load, lay out, print or capture.
bool RenderInPage(Browser& browser, const std::string& session, const RenderRequest& request, std::string* output,
                  std::string* message) {
  Json::Value result;

  std::string target = request.url;
  if (!request.html.empty()) {
    target = request.documentUrl;
    browser.ServeDocument(target, request.html);
    Json::Value fetch(Json::objectValue);
    Json::Value pattern(Json::objectValue);
    pattern["urlPattern"] = target;
    pattern["requestStage"] = "Request";
    fetch["patterns"].append(pattern);
    if (!browser.Call("Fetch.enable", fetch, session, nullptr, message)) return false;
  }
  if (request.output == RenderRequest::Output::Png) {
    Json::Value metrics(Json::objectValue);
    metrics["width"] = std::clamp(request.imageWidth, 16, 8192);
    metrics["height"] = 800;
    metrics["deviceScaleFactor"] = 1;
    metrics["mobile"] = false;
    if (!browser.Call("Emulation.setDeviceMetricsOverride", metrics, session, nullptr, message)) return false;
  }
  Json::Value navigate(Json::objectValue);
  navigate["url"] = target;
  Trace("render: navigates");
  if (!browser.Call("Page.navigate", navigate, session, &result, message)) return false;
  Trace("render: navigated");
  if (result.isMember("errorText") && !result["errorText"].asString().empty()) {
    *message = "cannot load " + target + ": " + result["errorText"].asString();
    return false;
  }
  if (!browser.WaitEvent("Page.loadEventFired", session, nullptr, message)) return false;
  Trace("render: loaded");

  // The page rules of this job, then the web fonts (the rules may ask for
  // some), in one round trip.
  Json::Value evaluate(Json::objectValue);
  evaluate["expression"] =
      "(function(css){if(css){var s=document.createElement('style');s.textContent=css;"
      "(document.head||document.documentElement).appendChild(s);}"
      "return document.fonts?document.fonts.ready.then(function(){return true;}):true;})(" +
      Json::valueToQuotedString(PageCss(request).c_str()) + ")";
  evaluate["awaitPromise"] = true;
  if (!browser.Call("Runtime.evaluate", evaluate, session, nullptr, message)) return false;
  Trace("render: fonts ready");

  if (request.output == RenderRequest::Output::Pdf) {
    Json::Value print(Json::objectValue);
    print["printBackground"] = request.printBackground;
    print["landscape"] = request.landscape && !request.paperGiven;  // @page carries it when given
    print["paperWidth"] = std::stod(Inches(request.paperWidthMm));
    print["paperHeight"] = std::stod(Inches(request.paperHeightMm));
    print["marginTop"] = std::stod(Inches(request.marginTopMm));
    print["marginRight"] = std::stod(Inches(request.marginRightMm));
    print["marginBottom"] = std::stod(Inches(request.marginBottomMm));
    print["marginLeft"] = std::stod(Inches(request.marginLeftMm));
    print["preferCSSPageSize"] = true;
    print["generateDocumentOutline"] = false;
    // Tagging walks the accessibility tree: time a printer has no use for.
    print["generateTaggedPDF"] = false;
    if (!request.pageRanges.empty()) print["pageRanges"] = request.pageRanges;
    Trace("render: prints");
    if (!browser.Call("Page.printToPDF", print, session, &result, message)) return false;
    Trace("render: printed");
  } else {
    // The height of the content itself, not of the (taller) viewport.
    Json::Value measure(Json::objectValue);
    // (In quirks mode the body stretches to the viewport: measure what is inside it.)
    measure["expression"] =
        "(function(){var b=document.body||document.documentElement,m=0,r=document.createRange();"
        "r.selectNodeContents(b);m=r.getBoundingClientRect().bottom;"
        "var all=b.getElementsByTagName('*');"
        "for(var i=0;i<all.length;i++){var x=all[i].getBoundingClientRect().bottom;if(x>m)m=x;}"
        "var s=getComputedStyle(b);m+=(parseFloat(s.paddingBottom)||0)+(parseFloat(s.marginBottom)||0);"
        "return Math.ceil(Math.max(m,1));})()";
    measure["returnByValue"] = true;
    if (!browser.Call("Runtime.evaluate", measure, session, &result, message)) return false;
    double height = std::clamp(std::ceil(result["result"].get("value", 800).asDouble()), 1.0, 16384.0);
    Json::Value shot(Json::objectValue);
    shot["format"] = "png";
    shot["captureBeyondViewport"] = true;
    shot["clip"]["x"] = 0;
    shot["clip"]["y"] = 0;
    shot["clip"]["width"] = std::clamp(request.imageWidth, 16, 8192);
    shot["clip"]["height"] = height;
    shot["clip"]["scale"] = 1;
    if (!browser.Call("Page.captureScreenshot", shot, session, &result, message)) return false;
  }
  std::string bytes;
  if (!Base64Decode(result["data"].asString(), &bytes) || bytes.empty()) {
    *message = "chromium returned no document";
    return false;
  }
  *output = std::move(bytes);
  return true;
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

void ChromiumRenderer::AbortRunning() {
  std::lock_guard running(g_runningMutex);
  for (pid_t pid : g_runningBrowsers) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
  }
  g_runningBrowsers.clear();
  for (const std::string& folder : g_runningFolders) RemoveTree(folder);
  g_runningFolders.clear();
}

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
  std::string base = GetTempPathA();
  std::string folderTemplate = base + "kestrix-render-XXXXXX";
  std::vector<char> buffer(folderTemplate.begin(), folderTemplate.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) {
    if (error) *error = "cannot create a folder in " + base;
    return false;
  }
  std::string folder = buffer.data();
  struct Cleanup {
    std::string folder;
    explicit Cleanup(std::string f) : folder(std::move(f)) {
      std::lock_guard running(g_runningMutex);
      g_runningFolders.insert(folder);
    }
    ~Cleanup() {
      RemoveTree(folder);
      std::lock_guard running(g_runningMutex);
      g_runningFolders.erase(folder);
    }
  } cleanup{folder};

  bool ok = false;
  std::string message;
  Socks5Server proxy(request.network);
  {
    Browser browser;
    browser.SetDeadline(Clock::now() + std::chrono::milliseconds(request.timeoutMs));
    auto run = [&]() -> bool {
      if (!browser.Start(m_executable, folder, &message)) {
        if (code && browser.IsolationFailed()) *code = "networkIsolationUnavailable";
        return false;
      }
      if (!proxy.Start(browser.Listen(&message), &message)) return false;
      std::string contextId, session;
      return OpenPage(browser, proxy.Address(), &contextId, &session, &message) &&
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
      std::string tail = browser.LogTail();
      browser.Stop();
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

namespace {
// A browser of the warm renderer: started once, a browser context per site
// (the page's origin), kept while that site's jobs come. A site's context
// carries that site's network policy (its own proxy) and is never used for
// another site's job. Each job gets a page of its own in its site's context,
// closed (its timers and workers with it) and the site's storage and cookies
// cleared before the site's next job starts; the next page is made ready
// meanwhile. A page not on the web (no origin) gets a context for its one
// job. Its folder (profile, home, temporary files) lives as long as the browser.
class WarmChromium : public PooledBrowser {
 public:
  explicit WarmChromium(WarmSiteLimits limits) : m_limits(limits) {
    m_limits.sites = std::clamp(m_limits.sites, 1, 32);
    m_limits.idleSeconds = std::clamp(m_limits.idleSeconds, 1, 3600);
  }
  ~WarmChromium() override {
    // A browser that failed gets no polite close: it would not answer it.
    if (m_failed && m_browser.Pid() > 0) kill(-m_browser.Pid(), SIGKILL);
    m_sites.clear();  // (their proxies stop; the browser takes their contexts with it)
    m_browser.Stop();
    RemoveTree(m_folder);
    std::lock_guard running(g_runningMutex);
    g_runningFolders.erase(m_folder);
  }

  // folder: where the browser's own folder goes (the render service's private one).
  bool Start(const std::string& executable, const std::string& folder, std::string* error) {
    std::string base = folder.empty() ? GetTempPathA() : folder + "/";
    std::string folderTemplate = base + "browser-XXXXXX";
    std::vector<char> buffer(folderTemplate.begin(), folderTemplate.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
      if (error) *error = "cannot create a folder in " + base;
      return false;
    }
    m_folder = buffer.data();
    {
      std::lock_guard running(g_runningMutex);
      g_runningFolders.insert(m_folder);
    }
    m_browser.SetDeadline(Clock::now() + std::chrono::seconds(30));
    if (!m_browser.Start(executable, m_folder, error)) return false;
    // Started means answering.
    Json::Value version;
    return m_browser.Call("Browser.getVersion", Json::Value(), "", &version, error);
  }

  bool Render(const RenderRequest& request, std::string* output, std::string* error, std::string* code,
              BrowserFault* fault) override {
    *fault = BrowserFault::None;
    if (code) *code = "renderFailed";
    std::string message;
    Trace("render: starts");
    if (m_job) Recycle(request);  // (the last job's Recycle was not called: it is done now)
    m_browser.SetDeadline(Clock::now() + std::chrono::milliseconds(request.timeoutMs));
    Tidy();
    const std::string key = request.network.Origin().Key();
    const std::string policy = Compact(request.network.ToJson());
    Site* site = key.empty() ? nullptr : Find(key);
    // (control.json's networks changed since: the site's proxy would apply the old rules)
    if (site && site->policy != policy) Close(site);
    site = key.empty() ? nullptr : Find(key);
    bool ok = false;
    {
      std::lock_guard lock(m_cancelMutex);
      m_inJob = true;
    }
    try {
      if (!site) site = Add(key, request.network, policy, &message);
      if (site) {
        site->used = Clock::now();
        m_refusalsBefore = site->proxy->Refusals().size();
        m_job = site;
        m_jobDocument = WebOrigin::Parse(request.url.empty() ? request.documentUrl : request.url).Key();
        // The page made ready for this site (its renderer process running),
        // else one opened now.
        if (!Opened(site, &message) || site->session.empty()) OpenTarget(site);
        ok = Opened(site, &message) && !site->session.empty();
        m_jobTarget = site->targetId;
        m_jobSession = site->session;
        site->targetId.clear();
        site->session.clear();
      }
      ok = ok && m_browser.Call("Page.enable", Json::Value(), m_jobSession, nullptr, &message);
      Trace("render: page enabled");
      ok = ok && RenderInPage(m_browser, m_jobSession, request, output, &message);
      // The job's page goes and the site's next one is asked for now, without
      // waiting: the browser works on it while this job gets its answer, and
      // Recycle waits for both.
      if (ok && !site->key.empty()) {
        Json::Value close(Json::objectValue);
        close["targetId"] = m_jobTarget;
        ok = m_browser.CallAsync("Target.closeTarget", close, "", [](const Json::Value&) {}, &message);
        if (ok) OpenTarget(site);
      }
    } catch (const std::exception& e) {
      message = std::string("unexpected answer from chromium: ") + e.what();
      ok = false;
    }
    {
      std::lock_guard lock(m_cancelMutex);
      m_inJob = false;
    }
    // What the site's proxy refused while this job ran: a page that was
    // refused something is not the page that was asked for.
    std::vector<std::string> refusals;
    if (site) {
      if (site->key.empty()) site->proxy->Stop();  // (a one-job context: nothing else comes)
      refusals = site->proxy->Refusals();
      refusals.erase(refusals.begin(), refusals.begin() + std::min(refusals.size(), m_refusalsBefore));
    }
    if (ok && refusals.empty()) return true;  // the page goes in Recycle, once the job has its answer
    // The context goes with everything the page left in it. A browser that
    // cannot do that in a few seconds has crashed or hangs: it is replaced.
    m_job = nullptr;
    if (site && !Close(site, &message)) {
      *fault = m_browser.Alive(500) ? BrowserFault::TimedOut : BrowserFault::Crashed;
      std::string tail = m_browser.LogTail();
      if (!tail.empty()) message += "; chromium said: " + tail;
    }
    if (!refusals.empty()) {
      if (code) *code = "networkRefused";
      message = "refused to connect to " + refusals.front();
      if (refusals.size() > 1) message += " (and " + std::to_string(refusals.size() - 1) + " more)";
    }
    if (error) *error = message;
    return false;
  }

  // After the job has its answer: its page has gone (closed, detached) and
  // the site's data is cleared before the site's next page is handed out;
  // a page not on the web takes its context with it.
  bool Recycle(const RenderRequest& like) override {
    Trace("render: recycles");
    Site* site = m_job;
    m_job = nullptr;
    if (!site) return !m_failed;
    m_browser.SetDeadline(Clock::now() + std::chrono::seconds(10));
    std::string why;
    bool ok = !site->key.empty() && PageGone(m_jobSession, &why) && Opened(site, &why) && !site->session.empty();
    Trace("render: page closed");
    ok = ok && ClearSite(site, &why);
    Trace("render: site cleared");
    // Something refused after the job had its document (a late request of
    // its page): the site starts afresh, so that what its proxy refuses is
    // always the next job's to report.
    if (ok && !site->proxy->Refusals().empty()) {
      ok = false;
      why.clear();
    }
    if (!ok && !Close(site, &why)) return false;
    Trace("render: recycled");
    return !m_failed;
  }

  pid_t ProcessGroup() const override { return m_browser.Pid(); }
  bool IsolationFailed() const { return m_browser.IsolationFailed(); }

  void Cancel() override {
    std::lock_guard lock(m_cancelMutex);
    if (m_inJob) m_browser.SetDeadline(Clock::now());
  }

  // Sites without a job for their idle time go, their contexts with them.
  void Tidy() override {
    const auto now = Clock::now();
    for (size_t i = 0; i < m_sites.size();) {
      Site* site = m_sites[i].get();
      if (site != m_job && now - site->used >= std::chrono::seconds(m_limits.idleSeconds)) {
        m_browser.SetDeadline(now + std::chrono::seconds(3));
        Close(site);
      } else {
        ++i;
      }
    }
  }
  int Sites() const override { return static_cast<int>(m_sites.size()); }

 private:
  // One site's context, the proxy all its connections go through, and the
  // page made ready for its next job (none while a job has it).
  struct Site {
    std::string key;  // the origin's key; "" for a page not on the web (one job)
    std::unique_ptr<Socks5Server> proxy;
    std::string policy;  // the proxy's rules, as JSON text
    std::string contextId, targetId, session;
    std::shared_ptr<Browser::OpeningContext> opening;  // while the context or page is being opened
    Clock::time_point used;
  };

  Site* Find(const std::string& key) {
    for (auto& site : m_sites)
      if (site->key == key) return site.get();
    return nullptr;
  }
  // A fresh context for a site (the least recently used one goes when there
  // are as many as allowed); its commands go out at once, Opened waits.
  Site* Add(const std::string& key, const NetworkPolicy& policy, const std::string& policyText,
            std::string* message) {
    if (!key.empty()) {
      int kept = 0;
      for (auto& s : m_sites) kept += !s->key.empty();
      while (kept-- >= m_limits.sites) {
        Site* oldest = nullptr;
        for (auto& s : m_sites)
          if (!s->key.empty() && (!oldest || s->used < oldest->used)) oldest = s.get();
        if (!oldest) break;
        Close(oldest);
      }
    }
    auto site = std::make_unique<Site>();
    site->key = key;
    site->policy = policyText;
    site->proxy = std::make_unique<Socks5Server>(policy);
    if (!site->proxy->Start(m_browser.Listen(message), message)) return nullptr;
    site->opening = std::make_shared<Browser::OpeningContext>();
    site->opening->proxy = site->proxy->Address();
    m_browser.OpenJobContextAsync(site->opening);
    m_sites.push_back(std::move(site));
    return m_sites.back().get();
  }
  // Asks for a page in the site's context (Opened waits for it).
  void OpenTarget(Site* site) {
    std::string ignored;
    Opened(site, &ignored);
    if (site->contextId.empty()) return;
    site->opening = std::make_shared<Browser::OpeningContext>();
    site->opening->contextId = site->contextId;
    m_browser.OpenJobContextAsync(site->opening);
  }
  // Waits for what is being opened; false with a message when it failed.
  bool Opened(Site* site, std::string* message) {
    if (!site->opening) return true;
    const bool ok = m_browser.Finish(site->opening, message);
    if (site->contextId.empty()) site->contextId = site->opening->contextId;
    site->targetId = site->opening->targetId;
    site->session = site->opening->session;
    site->opening.reset();
    return ok;
  }
  // Waits until the page of session has gone from the browser.
  bool PageGone(const std::string& session, std::string* why) {
    for (;;) {
      Json::Value event;
      if (!m_browser.WaitEvent("Target.detachedFromTarget", "", &event, why)) return false;
      if (event["params"].get("sessionId", "").asString() == session) return true;
    }
  }
  // Everything the site's pages stored (cookies, storage, caches, service
  // workers): what one job leaves, the next does not find.
  bool ClearSite(Site* site, std::string* why) {
    // (The commands go out together: the browser clears all at once.)
    int pending = 0;
    std::string failure;
    auto reply = [&pending, &failure](const Json::Value& m) {
      --pending;
      if (m.isMember("error"))
        failure = "clearing the site's data failed: " + m["error"].get("message", "").asString();
    };
    Json::Value cookies(Json::objectValue);
    cookies["browserContextId"] = site->contextId;
    if (!m_browser.CallAsync("Storage.clearCookies", cookies, "", reply, why)) return false;
    ++pending;
    std::set<std::string> origins = {site->key};  // and the origin of the job's document, when another
    if (!m_jobDocument.empty()) origins.insert(m_jobDocument);
    for (const std::string& origin : origins) {
      Json::Value clear(Json::objectValue);
      clear["origin"] = origin;
      clear["storageTypes"] = "all";
      if (!m_browser.CallAsync("Storage.clearDataForOrigin", clear, site->session, reply, why)) return false;
      ++pending;
    }
    while (pending > 0)
      if (!m_browser.Pump(why)) return false;
    if (failure.empty()) return true;
    *why = failure;
    return false;
  }
  // Removes the site's context; false (and the browser marked failed) when
  // the browser cannot do that within a few seconds.
  bool Close(Site* site, std::string* why = nullptr) {
    m_browser.SetDeadline(Clock::now() + std::chrono::seconds(3));
    std::string ignored;
    if (!why) why = &ignored;
    Opened(site, &ignored);
    bool healthy = true;
    if (!site->contextId.empty()) {
      Json::Value dispose(Json::objectValue);
      dispose["browserContextId"] = site->contextId;
      healthy = m_browser.Call("Target.disposeBrowserContext", dispose, "", nullptr, why);
    } else {
      healthy = m_browser.Call("Browser.getVersion", Json::Value(), "", nullptr, why);
    }
    if (!healthy) m_failed = true;
    for (auto it = m_sites.begin(); it != m_sites.end(); ++it)
      if (it->get() == site) {
        m_sites.erase(it);
        break;
      }
    return healthy;
  }

  WarmSiteLimits m_limits;
  Browser m_browser;
  std::string m_folder;
  bool m_failed = false;
  std::vector<std::unique_ptr<Site>> m_sites;
  Site* m_job = nullptr;  // the site of the last job, until Recycle
  std::string m_jobTarget, m_jobSession, m_jobDocument;
  size_t m_refusalsBefore = 0;
  std::mutex m_cancelMutex;
  bool m_inJob = false;  // the job's own commands run (not the clean-up after them)
};
}  // namespace

std::unique_ptr<PooledBrowser> StartWarmChromium(const std::string& executable, const std::string& folder,
                                                 std::string* error, std::string* code, WarmSiteLimits limits) {
  if (executable.empty()) {
    if (code) *code = "chromiumMissing";
    if (error) *error = "chromium not found; install the chromium package";
    return nullptr;
  }
  auto browser = std::make_unique<WarmChromium>(limits);
  if (!browser->Start(executable, folder, error)) {
    if (code) *code = browser->IsolationFailed() ? "networkIsolationUnavailable" : "renderFailed";
    return nullptr;
  }
  return browser;
}
