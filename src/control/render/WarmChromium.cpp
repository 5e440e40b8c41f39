#include "control/render/WarmChromium.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "control/base/Trace.h"
#include "control/render/ChromiumProcess.h"
#include "control/render/DevToolsSession.h"
#include "control/render/PageRender.h"
#include "control/render/Socks5Server.h"

namespace {
using Clock = std::chrono::steady_clock;

// (What it keeps and promises: WarmChromium.h.) Its folder (profile, home,
// temporary files) lives as long as the browser.
class WarmChromium : public PooledBrowser {
 public:
  explicit WarmChromium(WarmSiteLimits limits) : m_limits(limits) {
    m_limits.sites = std::clamp(m_limits.sites, 1, 32);
    m_limits.idleSeconds = std::clamp(m_limits.idleSeconds, 1, 3600);
  }
  ~WarmChromium() override {
    // A browser that failed gets no polite close: it would not answer it.
    if (m_failed) m_process.Kill();
    m_sites.clear();  // (their proxies stop; the browser takes their contexts with it)
    m_process.Stop();
  }

  // folder: where the browser's own folder goes (the render service's private one).
  bool Start(const std::string& executable, const std::string& folder, std::string* error) {
    if (!m_folder.Make(folder.empty() ? std::string() : folder + "/", "browser-", error)) return false;
    m_browser.SetDeadline(Clock::now() + std::chrono::seconds(30));
    if (!m_process.Start(executable, m_folder.Path(), error)) return false;
    m_browser.Connect(m_process.CommandFd(), m_process.ReplyFd());
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
    const std::string policy = CompactJson(request.network.ToJson());
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
      *fault = m_process.Alive(500) ? BrowserFault::TimedOut : BrowserFault::Crashed;
      std::string tail = m_process.LogTail();
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

  pid_t ProcessGroup() const override { return m_process.Pid(); }
  bool IsolationFailed() const { return m_process.IsolationFailed(); }

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
    std::shared_ptr<DevToolsSession::OpeningContext> opening;  // while the context or page is being opened
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
    if (!site->proxy->Start(m_process.Listen(message), message)) return nullptr;
    site->opening = std::make_shared<DevToolsSession::OpeningContext>();
    site->opening->proxy = site->proxy->Address();
    m_browser.OpenContextAsync(site->opening);
    m_sites.push_back(std::move(site));
    return m_sites.back().get();
  }
  // Asks for a page in the site's context (Opened waits for it).
  void OpenTarget(Site* site) {
    std::string ignored;
    Opened(site, &ignored);
    if (site->contextId.empty()) return;
    site->opening = std::make_shared<DevToolsSession::OpeningContext>();
    site->opening->contextId = site->contextId;
    m_browser.OpenContextAsync(site->opening);
  }
  // Waits for what is being opened; false with a message when it failed.
  bool Opened(Site* site, std::string* message) {
    if (!site->opening) return true;
    const bool ok = m_browser.FinishContext(site->opening, message);
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
  BrowserFolder m_folder;    // (declared first: removed after the browser has ended)
  ChromiumProcess m_process;
  DevToolsSession m_browser;
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
