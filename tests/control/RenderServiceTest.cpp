// The render service with stand-in browsers: its protocol, who may use it,
// and when it ends (its last host gone, or idle).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include "ControlTestSupport.h"
#include "control/render/RenderService.h"

extern char** environ;

namespace {
std::atomic<int> g_cancelledJobs{0};

class EchoBrowser : public PooledBrowser {
 public:
  bool Render(const RenderRequest& request, std::string* output, std::string* error, std::string* code,
              BrowserFault* fault) override {
    *fault = BrowserFault::None;
    if (request.html == "wait") {
      // A page that never loads: only a cancel (or 20 s) ends it.
      for (int i = 0; i < 2000 && !m_cancelled; ++i) usleep(10000);
      if (m_cancelled) ++g_cancelledJobs;
      m_cancelled = false;
      *error = "did not finish in time";
      return false;
    }
    if (request.html == "refused") {
      *error = "refused to connect to 10.0.0.1:80";
      *code = "networkRefused";
      return false;
    }
    *output = (request.output == RenderRequest::Output::Png ? "PNG:" : "PDF:") + request.html + "@" +
              std::to_string(request.timeoutMs);
    return true;
  }
  pid_t ProcessGroup() const override { return 0; }
  void Cancel() override { m_cancelled = true; }

 private:
  std::atomic<bool> m_cancelled{false};
};

pid_t Spawn(const char* program, const char* arg) {
  char* argv[] = {const_cast<char*>(program), const_cast<char*>(arg), nullptr};
  pid_t pid = -1;
  posix_spawnp(&pid, program, nullptr, nullptr, argv, environ);
  return pid;
}

class RenderServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = std::make_unique<ScopedEnv>("KESTRIX_RENDER_DIR", m_folder / "render"); }
  // Runs the service on a thread; the future is ready when it has ended.
  std::future<int> Start(std::vector<int> hosts, int idleSeconds) {
    RenderServiceOptions options;
    options.socketPath = RenderServiceSocket();
    options.browsers = 1;
    options.idleSeconds = idleSeconds;
    options.hostPids = std::move(hosts);
    options.factory = [](std::string*, std::string*) { return std::make_unique<EchoBrowser>(); };
    options.executable = ChromiumRenderer::Find();
    auto done = std::async(std::launch::async, [options] { return RunRenderService(options); });
    EXPECT_TRUE(PumpUntil([] { return FileExists(RenderServiceSocket()); }, 5000));
    return done;
  }
  TempFolder m_folder;
  std::unique_ptr<ScopedEnv> m_dir;
};
}  // namespace

TEST_F(RenderServiceTest, RendersForJobProcessesAndPassesFailuresWithTheirCode) {
  pid_t host = Spawn("sleep", "30");
  auto service = Start({host}, 60);
  RenderRequest request;
  request.html = "<p>label</p>";
  request.timeoutMs = 4321;
  std::string output, error, code;
  ASSERT_EQ(RenderWithService(request, host, 2000, &output, &error, &code), WarmOutcome::Rendered) << error;
  EXPECT_EQ(output, "PDF:<p>label</p>@4321");
  request.html = "refused";
  EXPECT_EQ(RenderWithService(request, host, 2000, &output, &error, &code), WarmOutcome::Failed);
  EXPECT_EQ(code, "networkRefused");
  EXPECT_EQ(error, "refused to connect to 10.0.0.1:80");
  Json::Value status;
  ASSERT_TRUE(RenderServiceStatus(&status));
  EXPECT_EQ(status["browsers"], 1);
  EXPECT_EQ(status["started"], 1);

  // What does not speak the protocol gets nothing and takes nothing down.
  for (const std::string& junk : {std::string("\xff\xff\xff\x7f", 4), std::string("\x05\0\0\0hello", 9),
                                  std::string("\x02\0\0\0{}", 6)}) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", RenderServiceSocket().c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
    shutdown(fd, SHUT_WR);
    std::string reply;
    ReadFrame(fd, &reply, 1 << 20, 5000);
    EXPECT_EQ(reply.find("\"ok\":true"), std::string::npos) << reply;
    close(fd);
  }
  request.html = "again";
  EXPECT_EQ(RenderWithService(request, host, 2000, &output, &error, &code), WarmOutcome::Rendered);

  kill(host, SIGKILL);
  waitpid(host, nullptr, 0);
  EXPECT_EQ(service.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(RenderServiceTest, EndsWhenItsLastHostHasGoneAndWhenIdle) {
  pid_t host = Spawn("sleep", "30");
  auto service = Start({host}, 60);
  EXPECT_EQ(service.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
  kill(host, SIGKILL);
  waitpid(host, nullptr, 0);
  ASSERT_EQ(service.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the last host has gone";
  EXPECT_EQ(service.get(), 0);
  EXPECT_FALSE(FileExists(RenderServiceSocket()));
  std::string output, error, code;
  RenderRequest request;
  request.html = "x";
  EXPECT_EQ(RenderWithService(request, getpid(), 100, &output, &error, &code), WarmOutcome::Unavailable);

  // Idle: the host lives on, the service still ends.
  auto idle = Start({static_cast<int>(getpid())}, 1);
  ASSERT_EQ(idle.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(idle.get(), 0);
}

TEST_F(RenderServiceTest, OneServicePerUserAndAFolderOthersCanOpenIsRefused) {
  auto first = Start({static_cast<int>(getpid())}, 2);
  RenderServiceOptions second;
  second.socketPath = RenderServiceSocket();
  second.factory = [](std::string*, std::string*) { return std::make_unique<EchoBrowser>(); };
  EXPECT_EQ(RunRenderService(second), 0) << "the second one ends at once";
  Json::Value status;
  EXPECT_TRUE(RenderServiceStatus(&status)) << "the first one still serves";
  first.wait();

  ASSERT_EQ(chmod((m_folder / "render").c_str(), 0755), 0);
  std::string error;
  EXPECT_EQ(RenderServiceFolder(&error), "");
  EXPECT_NE(error.find("closed to others"), std::string::npos) << error;
}

TEST_F(RenderServiceTest, AJobThatGoesAwayFreesTheSharedBrowserAtOnce) {
  pid_t host = Spawn("sleep", "30");
  auto service = Start({host}, 60);
  // A job process asks for a page that never loads, then ends.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", RenderServiceSocket().c_str());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  Json::Value message;
  message["kind"] = "render";
  message["chromium"] = ChromiumRenderer::Find();
  RenderRequest stuck;
  stuck.html = "wait";
  message["request"] = RenderRequestToJson(stuck);
  ASSERT_TRUE(WriteFrame(fd, Json::FastWriter().write(message), 5000));
  usleep(200000);
  close(fd);
  // The stuck page was given up, and the one browser serves the next job.
  ASSERT_TRUE(PumpUntil([] { return g_cancelledJobs == 1; }, 10000));
  RenderRequest next;
  next.html = "next";
  std::string output, error, code;
  ASSERT_EQ(RenderWithService(next, host, 2000, &output, &error, &code), WarmOutcome::Rendered) << error;
  kill(host, SIGKILL);
  waitpid(host, nullptr, 0);
  EXPECT_EQ(service.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}
