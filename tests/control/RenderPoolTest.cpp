// The pool of warm browsers with stand-in browsers: how many run, reuse, and
// what a crash or a hang does to the job that held the browser.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "control/render/RenderPool.h"

namespace {
// Renders "html" as its own output; "crash" crashes the first n browsers that
// see it, "hang" runs out of time, "broken page" fails without hurting the browser.
struct Script {
  std::atomic<int> crashesLeft{0};
  std::atomic<int> started{0};
  std::atomic<int> alive{0};
  std::atomic<int> busy{0}, mostBusy{0};
};

class FakeBrowser : public PooledBrowser {
 public:
  explicit FakeBrowser(Script& script) : m_script(script), m_id(++script.started) { ++m_script.alive; }
  ~FakeBrowser() override { --m_script.alive; }
  bool Render(const RenderRequest& request, std::string* output, std::string* error, std::string* code,
              BrowserFault* fault) override {
    int now = ++m_script.busy;
    for (int most = m_script.mostBusy; now > most && !m_script.mostBusy.compare_exchange_weak(most, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    --m_script.busy;
    *fault = BrowserFault::None;
    if (request.html == "crash" && m_script.crashesLeft-- > 0) {
      *fault = BrowserFault::Crashed;
      *error = "the browser went away";
      return false;
    }
    if (request.html == "hang") {
      *fault = BrowserFault::TimedOut;
      *error = "no answer within 1 s";
      *code = "renderFailed";
      return false;
    }
    if (request.html == "broken page") {
      *error = "cannot load";
      *code = "renderFailed";
      return false;
    }
    *output = request.html + " by browser " + std::to_string(m_id);
    return true;
  }
  pid_t ProcessGroup() const override { return 0; }

 private:
  Script& m_script;
  int m_id;
};

BrowserFactory Factory(Script& script) {
  return [&script](std::string*, std::string*) { return std::make_unique<FakeBrowser>(script); };
}

RenderRequest Html(const std::string& html) {
  RenderRequest r;
  r.html = html;
  return r;
}
}  // namespace

TEST(RenderPool, StartsOnFirstUseKeepsBrowsersForLaterJobsAndNeverRunsMoreThanItsPlaces) {
  Script script;
  RenderPool pool(Factory(script), 2);
  EXPECT_EQ(script.started, 0);
  std::string out, error, code;
  ASSERT_TRUE(pool.Render(Html("a"), &out, &error, &code)) << error;
  EXPECT_EQ(out, "a by browser 1");
  ASSERT_TRUE(pool.Render(Html("b"), &out, &error, &code));
  EXPECT_EQ(out, "b by browser 1") << "a second job in a row reuses the warm browser";

  std::vector<std::thread> jobs;
  std::atomic<int> done{0};
  for (int i = 0; i < 12; ++i)
    jobs.emplace_back([&] {
      std::string o, e, c;
      if (pool.Render(Html("x"), &o, &e, &c)) ++done;
    });
  for (auto& t : jobs) t.join();
  EXPECT_EQ(done, 12);
  EXPECT_LE(script.started, 2);
  EXPECT_LE(script.mostBusy, 2);
  EXPECT_EQ(pool.Running(), script.started.load());

  // A page that fails is the page's fault: the browser stays.
  EXPECT_FALSE(pool.Render(Html("broken page"), &out, &error, &code));
  EXPECT_EQ(error, "cannot load");
  EXPECT_EQ(pool.Replaced(), 0);
  pool.StopIdle();
  EXPECT_EQ(script.alive, 0);
  EXPECT_EQ(pool.Running(), 0);
}

TEST(RenderPool, ACrashedBrowserIsReplacedAndItsJobTriedOnceMoreAHungOneFailsTheJob) {
  Script script;
  RenderPool pool(Factory(script), 1);
  std::string out, error, code;
  script.crashesLeft = 1;
  ASSERT_TRUE(pool.Render(Html("crash"), &out, &error, &code)) << error;
  EXPECT_EQ(out, "crash by browser 2");
  EXPECT_EQ(pool.Replaced(), 1);
  EXPECT_EQ(script.alive, 1);

  script.crashesLeft = 2;
  EXPECT_FALSE(pool.Render(Html("crash"), &out, &error, &code));
  EXPECT_NE(error.find("crashed twice"), std::string::npos) << error;
  EXPECT_EQ(code, "renderFailed");
  EXPECT_EQ(pool.Replaced(), 3);

  EXPECT_FALSE(pool.Render(Html("hang"), &out, &error, &code));
  EXPECT_EQ(error, "no answer within 1 s; the browser was replaced");
  EXPECT_EQ(pool.Replaced(), 4);
  EXPECT_EQ(script.alive, 0) << "the hung browser is gone, nothing else runs";
  // The pool's one place is free again.
  ASSERT_TRUE(pool.Render(Html("after"), &out, &error, &code)) << error;
  EXPECT_EQ(script.alive, 1);
}

TEST(RenderPool, ABrowserThatCannotStartFailsTheJobAndFreesItsPlace) {
  int calls = 0;
  RenderPool pool(
      [&](std::string* error, std::string* code) -> std::unique_ptr<PooledBrowser> {
        ++calls;
        *error = "chromium not found";
        *code = "chromiumMissing";
        return nullptr;
      },
      1);
  std::string out, error, code;
  EXPECT_FALSE(pool.Render(Html("a"), &out, &error, &code));
  EXPECT_EQ(code, "chromiumMissing");
  EXPECT_FALSE(pool.Render(Html("a"), &out, &error, &code));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(pool.Running(), 0);
}
