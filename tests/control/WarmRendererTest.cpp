// The warm renderer with real Chromium: jobs share a running browser but not
// what pages leave behind; a crashed browser is replaced and its job tried
// once more; a hung one is replaced and its job fails.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "ControlFixture.h"
#include "control/render/ChromiumRenderer.h"
#include "control/render/RenderService.h"

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
  std::string Text(const std::string& origin, const std::string& html, std::string* why) {
    RenderRequest request;
    request.html = html;
    request.documentUrl = origin + "/page.html";
    request.timeoutMs = 30000;
    request.network = NetworkPolicy(WebOrigin::Parse(origin), Json::Value());
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
