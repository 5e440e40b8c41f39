// Faults under the shipped host with the Linux printing control, against a
// private CUPS scheduler (tests/control/cups/start-cups.sh): Chromium
// missing, the scheduler stopped while a job is followed, and the browser
// killing the host while a job runs (the job still reaches CUPS).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "HostUnderTest.h"

namespace hardening {
namespace {

std::string RunScript(const std::string& command, int* status) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  *status = ::pclose(p);
  return out;
}

class ControlFault : public ::testing::Test {
 protected:
  void SetUp() override {
    if (HostPath().empty()) GTEST_SKIP() << "kestrix-host is not built";
    if (!std::filesystem::exists("/usr/sbin/cupsd")) GTEST_SKIP() << "cupsd is not installed";
    int status = 0;
    std::string out = RunScript(std::string("sh ") + KX_CUPS_SCRIPTS + "/start-cups.sh " + cups.Path(), &status);
    ASSERT_EQ(status, 0) << out;
    server = out.substr(0, out.find('\n'));
    started = true;
  }
  void TearDown() override { StopCups(); }

  void StopCups() {
    if (!started) return;
    int status = 0;
    RunScript(std::string("sh ") + KX_CUPS_SCRIPTS + "/stop-cups.sh " + cups.Path(), &status);
    started = false;
  }

  std::map<std::string, std::string> Env(std::map<std::string, std::string> more = {}) {
    more["CUPS_SERVER"] = server;
    more["CUPS_SERVERROOT"] = cups.Path() + "/etc";
    more["HOME"] = cups.Path() + "/home";
    return more;
  }

  // A print job of plain text (no rendering), with the listener's names.
  static std::string TextJob(const std::string& printer, const std::string& extra = "") {
    // "Kestrix hardening" in base64.
    return R"({"method":"print","params":[{"data":"S2VzdHJpeCBoYXJkZW5pbmcK","type":"text/plain","printer":")" +
           printer + R"(","title":"hardening","_hasCallback":true,"done":"dn","onState":"st")" + extra +
           "},false]}";
  }

  harness::TempDir cups;
  std::string server;
  bool started = false;
};

TEST_F(ControlFault, ChromiumMissingEndsTheJobWithAnErrorAndTheHostGoesOn) {
  HostUnderTest host(HostPath(), Env({{"KESTRIX_CHROMIUM", "/nonexistent/chromium"}}));
  host.Start();
  ASSERT_TRUE(host.Send(
      R"({"method":"print","params":[{"html":"<p>x</p>","printer":"kx-pdf","_hasCallback":true,"done":"dn"},false]})"));
  std::optional<Json::Value> done = host.Await("dn", 60s);
  ASSERT_TRUE(done.has_value()) << host.Stderr();
  EXPECT_EQ((*done)["params"][0], "error") << Compact(*done);
  // The control's message goes out as the object itself.
  bool reported = false;
  for (const Json::Value& f : host.Passed()) reported |= f["code"] == "chromiumMissing";
  EXPECT_TRUE(reported) << "no chromiumMissing message";
  host.Sync();
  host.Send(R"({"method":"exit"})");
  auto status = host.Child().WaitExit(kTick);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 0);
}

// Through the page both ways: an object with a "length" member is still an
// object when the control keeps it and when the reply reads it back.
TEST_F(ControlFault, SettingsWithALengthMemberComeBackAsTheyWere) {
  HostUnderTest host(HostPath(), Env());
  host.Start();
  const std::string label = R"({"items":[[],{"length":0}],"length":3,"width":62})";
  ASSERT_TRUE(host.Send(R"({"method":"setLastSettings","event":"set","params":["label",)" + label + "]}"));
  ASSERT_TRUE(host.Send(R"({"method":"getLastSettings","event":"get","params":["label"]})"));
  std::optional<Json::Value> back = host.Await("get", 20s);
  ASSERT_TRUE(back.has_value()) << host.Stderr();
  EXPECT_EQ(Compact((*back)["data"]), label);
}

TEST_F(ControlFault, TheSchedulerStoppedDuringAJobEndsItAndTheHostGoesOn) {
  HostUnderTest host(HostPath(), Env());
  host.Start();
  // kx-offline keeps the job processing; following ends after 15 s at most.
  ASSERT_TRUE(host.Send(TextJob("kx-offline", R"(,"follow":15)")));
  // Wait until the scheduler has the job.
  bool queued = false;
  auto deadline = harness::Clock::now() + 60s;
  while (!queued && harness::Clock::now() < deadline) {
    std::optional<Json::Value> st = host.Await("st", 30s);
    ASSERT_TRUE(st.has_value()) << "no job state\n" << host.Stderr();
    const std::string state = (*st)["params"][0]["status"].asString();
    queued = state == "pending" || state == "processing";
  }
  ASSERT_TRUE(queued);
  StopCups();
  std::optional<Json::Value> done = host.Await("dn", 90s);
  ASSERT_TRUE(done.has_value()) << "the job never ended\n" << host.Stderr();
  EXPECT_EQ((*done)["params"][0], "error") << Compact(*done);
  // The printer members now fail at once, and the host answers.
  ASSERT_TRUE(host.Send(R"({"method":"getPrinters","event":"gp"})"));
  EXPECT_TRUE(host.Await("gp", 20s).has_value());
  host.Sync();
}

TEST_F(ControlFault, AJobReachesTheSchedulerWhenTheBrowserKillsTheHost) {
  HostUnderTest host(HostPath(), Env());
  host.Start();
  ASSERT_TRUE(host.Send(TextJob("kx-pdf")));
  // The first state means the job process has the job.
  ASSERT_TRUE(host.Await("st", 60s).has_value()) << host.Stderr();
  host.Child().Kill(SIGKILL);
  auto status = host.Child().WaitExit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->signal, SIGKILL);
  // The printed document arrives at the queue's device.
  const std::string out = cups.Path() + "/out/pdf";
  bool printed = harness::PollUntil(
      [&] {
        // (The device writes a part file and renames it: an entry may be gone by the time it is asked.)
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(out, ec))
          if (e.is_regular_file(ec) && e.file_size(ec) > 0 && !ec) return true;
        return false;
      },
      90s);
  EXPECT_TRUE(printed) << "nothing reached " << out;
}

}  // namespace
}  // namespace hardening
