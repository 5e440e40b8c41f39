// The warm renderer with real Chromium: jobs share a running browser but not
// what pages leave behind; a crashed browser is replaced and its job tried
// once more; a hung one is replaced and its job fails.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "ControlFixture.h"
#include "LoopbackServer.h"
#include "control/render/ChromiumRenderer.h"
#include "control/render/RenderService.h"
#include "control/render/WarmChromium.h"

namespace {
class WarmRendererTest : public ControlTest {
 protected:
  void SetUp() override {
    if (ChromiumRenderer::Find().empty()) GTEST_SKIP() << "chromium is not installed";
    ControlTest::SetUp();
  }
  // printToPDF of html; the PDF's text, or "" with the failure in *why.
  std::string PdfText(const std::string& html, std::string* why, int timeoutSeconds = 30) {
    sink->events.clear();
    Json::Value job;
    job["html"] = html;
    job["timeout"] = timeoutSeconds;
    BOOL started = FALSE;
    const std::string name = "warm-" + std::to_string(++m_jobs) + ".pdf";
    control->printToPDF(Job(job).Get(), Text(name).Get(), &started);
    if (!started || !WaitDone(120000)) {
      *why = "no outcome";
      return std::string();
    }
    if (sink->DoneText() != "success") {
      *why = sink->DoneObject()["message"].asString();
      return std::string();
    }
    const std::string text = m_folder / (name + ".txt");
    std::string command = "pdftotext '" + FilesFolder() + "/" + name + "' '" + text + "'";
    if (std::system(command.c_str()) != 0) *why = "pdftotext failed";
    std::string out = ReadFileBytes(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\f')) out.pop_back();
    return out;
  }
  Json::Value Status() {
    Json::Value status;
    EXPECT_TRUE(RenderServiceStatus(&status));
    return status;
  }
  // The shared browser's process group, or 0. A test signals a group only
  // after checking it is one of its own: a signal to group 0 would stop or
  // kill the test runner with everything it runs.
  int BrowserGroup() {
    Json::Value status;  // the service may not be answering yet: no failure here
    if (!RenderServiceStatus(&status)) return 0;
    const Json::Value& groups = status["processGroups"];
    int group = groups.size() == 1 && groups[0].isInt() ? groups[0].asInt() : 0;
    return group > 1 && group != getpgrp() ? group : 0;
  }
  // Prints "one" until the shared browser is there, idle after it, and
  // returns its process group (0 when it never is): a job that finds the
  // service not yet listening renders with a browser of its own.
  int WarmBrowserGroup(std::string* why) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (PdfText("<p>one</p>", why) != "one") return 0;
      for (int i = 0; i < 500; ++i) {
        Json::Value status;
        if (RenderServiceStatus(&status) && status["busy"].asInt() == 0) break;
        usleep(20000);
      }
      if (int group = BrowserGroup()) return group;
    }
    *why = "the shared browser never started";
    return 0;
  }
  int m_jobs = 0;
};
}  // namespace

TEST_F(WarmRendererTest, JobsShareOneBrowserButNeitherCookiesNorStorage) {
  std::string why;
  const std::string set =
      "<script>localStorage.setItem('k', 'secret'); document.cookie = 'c=crumb';"
      "document.write('set ' + localStorage.getItem('k') + ' ' + document.cookie)</script>";
  const std::string read =
      "<script>document.write('read [' + localStorage.getItem('k') + '] [' + document.cookie + ']')</script>";
  EXPECT_EQ(PdfText(set, &why), "set secret c=crumb") << why;
  EXPECT_EQ(PdfText(read, &why), "read [null] []") << why;
  Json::Value status = Status();
  EXPECT_EQ(status["started"], 1) << "the second job used the browser of the first";
  EXPECT_EQ(status["browsers"], 1);
  EXPECT_GT(status["memoryKb"].asInt(), 10000);
}

TEST_F(WarmRendererTest, ACrashedBrowserIsReplacedAndTheJobStillPrints) {
  std::string why;
  const int group = WarmBrowserGroup(&why);
  ASSERT_NE(group, 0) << why;
  kill(-group, SIGKILL);
  EXPECT_EQ(PdfText("<p>two</p>", &why), "two") << why;
  Json::Value status = Status();
  EXPECT_EQ(status["replaced"], 1);
  EXPECT_EQ(status["started"], 2);
}

TEST_F(WarmRendererTest, AHungBrowserIsReplacedAndItsJobFailsWithinItsTime) {
  std::string why;
  // Stopped once it has cleaned up after "one" (stopped before, it would be
  // replaced then, and "two" would find a fresh browser).
  const int group = WarmBrowserGroup(&why);
  ASSERT_NE(group, 0) << why;
  kill(-group, SIGSTOP);
  EXPECT_EQ(PdfText("<p>two</p>", &why, 2), "");
  EXPECT_NE(why.find("the browser was replaced"), std::string::npos) << why;
  kill(-group, SIGCONT);  // (it has been killed; nothing of it is left to wake)
  EXPECT_EQ(PdfText("<p>three</p>", &why), "three") << why;
  EXPECT_EQ(Status()["replaced"], 1);
}

namespace {
// One warm browser driven directly, rendering for pages of the given origins.
class WarmSites : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ChromiumRenderer::Find().empty()) GTEST_SKIP() << "chromium is not installed";
  }
  void Start(WarmSiteLimits limits = {}) {
    std::string why, code;
    browser = StartWarmChromium(ChromiumRenderer::Find(), folder.Path(), &why, &code, limits);
    ASSERT_TRUE(browser) << why;
  }
  // The PDF's text of html rendered for a page of origin, or "" with the failure in *why.
  // allowNetworks as control.json gives it.
  std::string Text(const std::string& origin, const std::string& html, std::string* why,
                   const Json::Value& allowNetworks = Json::Value()) {
    RenderRequest request;
    request.html = html;
    request.documentUrl = origin + "/page.html";
    request.timeoutMs = 30000;
    request.network = NetworkPolicy(WebOrigin::Parse(origin), allowNetworks);
    std::string pdf, code;
    BrowserFault fault = BrowserFault::None;
    if (!browser->Render(request, &pdf, why, &code, &fault) || !browser->Recycle(request)) return std::string();
    const std::string path = folder / ("job-" + std::to_string(++jobs) + ".pdf");
    WriteFileBytes(path, pdf);
    std::system(("pdftotext '" + path + "' '" + path + ".txt'").c_str());
    std::string out = ReadFileBytes(path + ".txt");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\f')) out.pop_back();
    return out;
  }
  TempFolder folder;
  std::unique_ptr<PooledBrowser> browser;
  int jobs = 0;
};
}  // namespace

// A site's context is its own: another site finds none of its cookies,
// storage or window name; its next job finds them cleared, and the page of
// its last job no longer runs (it would be heard on the channel it keeps
// calling on).
TEST_F(WarmSites, ASiteFindsNothingOfAnotherAndNoEarlierPageRunsOn) {
  const std::string set =
      "<script>localStorage.setItem('k', 'secret'); sessionStorage.setItem('s', 'x'); document.cookie = 'c=crumb';"
      "window.name = 'named'; var bc = new BroadcastChannel('live');"
      "setInterval(function(){ bc.postMessage('on'); localStorage.setItem('tick', '1'); }, 1);"
      "document.write('set ' + localStorage.getItem('k') + ' ' + document.cookie)</script>";
  const std::string read =
      "<p id='live'>quiet</p><script>new BroadcastChannel('live').onmessage = function(){"
      "document.getElementById('live').textContent = 'heard'; };"
      "document.write('[' + document.cookie + '] [' + localStorage.getItem('k') + '] [' +"
      "localStorage.getItem('tick') + '] [' + sessionStorage.getItem('s') + '] [' + window.name + ']')</script>";
  ASSERT_NO_FATAL_FAILURE(Start());
  std::string why;
  EXPECT_EQ(Text("http://a.test", set, &why), "set secret c=crumb") << why;
  EXPECT_EQ(Text("http://b.test", read, &why), "quiet\n[] [null] [null] [null] []") << why;
  EXPECT_EQ(browser->Sites(), 2);
  EXPECT_EQ(Text("http://a.test", read, &why), "quiet\n[] [null] [null] [null] []") << why;
  EXPECT_EQ(browser->Sites(), 2) << "the site's second job had a context of its own";
}

// A browser keeps at most its bound of site contexts (the least recently
// used goes) and lets a site's context go after the site's idle time.
TEST_F(WarmSites, KeepsAtMostItsSitesAndEndsThoseLeftIdle) {
  ASSERT_NO_FATAL_FAILURE(Start({2, 1}));
  std::string why;
  for (const char* site : {"http://a.test", "http://b.test", "http://a.test", "http://c.test"})
    EXPECT_EQ(Text(site, "<p>x</p>", &why), "x") << why;
  EXPECT_EQ(browser->Sites(), 2);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (browser->Sites() > 0 && std::chrono::steady_clock::now() < deadline) {
    browser->Tidy();
    usleep(50000);
  }
  EXPECT_EQ(browser->Sites(), 0);
}

namespace {
// Sites on this machine (allowed to reach it), and a third origin both load:
// the same site as theirs (127.0.0.1, ports apart), so the browser's own
// partitioning by top-level site keeps nothing apart between them, and not
// their own origin, so clearing a site's data after its job does not reach
// it. Only separate contexts keep what one site leaves there from the other.
class WarmSitesOnThisMachine : public WarmSites {
 protected:
  static LoopbackServer::Answer Html(const std::string& body, const std::string& after = "") {
    LoopbackServer::Answer answer;
    answer.body = body;
    answer.after = after;
    return answer;
  }
  std::string Page(const LoopbackServer& site, const std::string& html, std::string* why) {
    Json::Value allow(Json::arrayValue);
    allow.append("127.0.0.1");
    return Text(site.Origin(), html, why, allow);
  }
  // The requests for path (a prefix) that shared saw.
  int Asked(const std::string& path) {
    int n = 0;
    for (const std::string& asked : shared.Requests()) n += asked.rfind(path, 0) == 0;
    return n;
  }
  LoopbackServer siteA, siteB, shared;
};
}  // namespace

// What site A's page leaves at the shared origin (its HTTP cache, a service
// worker, IndexedDB, localStorage and cookies) site B's page does not find.
// (Cookies are for a host, whatever its port, and the clearing after each job
// takes them too: they would show only if that failed as well.)
TEST_F(WarmSitesOnThisMachine, ASiteFindsNoCacheWorkerOrStorageAnotherLeftAtAThirdOrigin) {
  LoopbackServer::Answer cached = Html("var cached = 1;");
  cached.head = "HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\nCache-Control: max-age=3600\r\n";
  shared.Serve("/cached.js", cached);
  LoopbackServer::Answer worker = Html(
      "self.addEventListener('fetch', function(e) { if (e.request.url.endsWith('/probe.html'))"
      "  e.respondWith(new Response('<p>worker</p>', {headers: {'Content-Type': 'text/html'}})); });");
  worker.head = "HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\n";
  shared.Serve("/sw.js", worker);
  // A leaves all four and reports when they are stored; its page's load
  // waits for that report.
  shared.Serve("/leave.html", Html(
      "<script>localStorage.setItem('k', 'a'); document.cookie = 'c=a';"
      "var open = indexedDB.open('db'); open.onupgradeneeded = function() { open.result.createObjectStore('s'); };"
      "open.onsuccess = function() { var t = open.result.transaction('s', 'readwrite');"
      "  t.objectStore('s').put('a', 'k');"
      "  t.oncomplete = function() { navigator.serviceWorker.register('/sw.js')"
      "    .then(function() { return navigator.serviceWorker.ready; })"
      "    .then(function() { fetch('/left'); }, function(e) { fetch('/left?failed=' + e.name); }); }; };"
      "</script>"));
  shared.Serve("/held-a", Html("", "/left"));
  // B reports what it finds (its load waits for that report).
  shared.Serve("/find.html", Html(
      "<script>var ls = localStorage.getItem('k');"
      "var open = indexedDB.open('db'); open.onupgradeneeded = function() { open.result.createObjectStore('s'); };"
      "open.onsuccess = function() { var r = open.result.transaction('s').objectStore('s').get('k');"
      "  r.onsuccess = function() {"
      "    fetch('/found?storage=' + ls + '&idb=' + r.result + '&cookie=' + document.cookie); }; };"
      "</script>"));
  shared.Serve("/held-b", Html("", "/found"));
  shared.Serve("/probe.html", Html("<p>server</p>"));
  const std::string script = "<script src='" + shared.Url("/cached.js") + "'></script>";
  ASSERT_NO_FATAL_FAILURE(Start());
  std::string why;
  EXPECT_EQ(Page(siteA,
                 script + "<iframe src='" + shared.Url("/leave.html") + "'></iframe><img src='" +
                     shared.Url("/held-a") + "'><p>a</p>",
                 &why),
            "a")
      << why;
  ASSERT_EQ(Asked("/left"), 1) << "site A could not store what the test looks for";
  ASSERT_EQ(Asked("/left?failed"), 0) << "the worker was not registered";
  const std::string text =
      Page(siteB,
           script + "<iframe src='" + shared.Url("/find.html") + "'></iframe><iframe src='" +
               shared.Url("/probe.html") + "'></iframe><img src='" + shared.Url("/held-b") + "'><p>b</p>",
           &why);
  EXPECT_NE(text.find("server"), std::string::npos) << text << why;
  EXPECT_EQ(text.find("worker"), std::string::npos) << "a frame's text from a worker of site A's";
  const std::vector<std::string> asked = shared.Requests();
  const auto found = std::find_if(asked.begin(), asked.end(), [](const std::string& p) { return p.rfind("/found", 0) == 0; });
  ASSERT_NE(found, asked.end());
  EXPECT_EQ(*found, "/found?storage=null&idb=undefined&cookie=") << "B found A's storage";
  EXPECT_EQ(Asked("/cached.js"), 2) << "B's page loaded the script from A's cache";
  EXPECT_EQ(Asked("/probe.html"), 1) << "A's worker answered for B's frame";
}

// Once a site's next job starts, its last job's page no longer runs: the
// beacon that page kept sending is not heard after the next job's start.
TEST_F(WarmSitesOnThisMachine, NoPageOfASitesEarlierJobRunsOnceItsNextJobStarts) {
  shared.Serve("/start", Html(""));
  ASSERT_NO_FATAL_FAILURE(Start());
  std::string why;
  const std::string beacon = "<script>var n = 0; setInterval(function() { new Image().src = '" +
                             shared.Url("/beat?") + "' + (++n); }, 10);</script><p>1</p>";
  EXPECT_EQ(Page(siteA, beacon, &why), "1") << why;
  // (The next two jobs take long enough for a page left running to beat many times.)
  for (const char* job : {"2", "3"})
    EXPECT_EQ(Page(siteA, "<img src='" + shared.Url("/start?") + job + "'><p>" + job + "</p>", &why), job) << why;
  const std::vector<std::string> asked = shared.Requests();
  const auto start = std::find(asked.begin(), asked.end(), "/start?2");
  ASSERT_NE(start, asked.end());
  EXPECT_GT(Asked("/beat"), 0) << "job 1's page never beat: the test shows nothing";
  EXPECT_EQ(std::count_if(start, asked.end(), [](const std::string& p) { return p.rfind("/beat", 0) == 0; }), 0)
      << "job 1's page still ran after job 2 started";
}
