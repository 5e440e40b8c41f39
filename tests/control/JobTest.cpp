// Print jobs end to end: the control starts kestrix-job, which renders with
// Chromium when needed, submits to the private scheduler and follows the
// job; the events come back through the control's window on this thread.
#include <cups/cups.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "ControlFixture.h"
#include "control/formats/Base64.h"
#include "control/render/ChromiumRenderer.h"
#include "control/printing/PdfPages.h"
#include "control/base/ControlPaths.h"
#include "control/jobs/JobLauncher.h"

extern char** environ;

namespace {
const char* const kJobMembers[] = {"document", "machineName", "position", "pagesPrinted", "printerName", "size",
                                   "statusText", "submittedAt", "totalPages", "type", "userName", "status"};

// The first MediaBox of a PDF as {width, height} in points.
std::pair<double, double> MediaBox(const std::string& pdf) {
  size_t at = pdf.find("/MediaBox");
  if (at == std::string::npos) return {0, 0};
  at = pdf.find('[', at);
  double box[4] = {};
  if (at == std::string::npos || std::sscanf(pdf.c_str() + at + 1, "%lf %lf %lf %lf", &box[0], &box[1], &box[2], &box[3]) != 4)
    return {0, 0};
  return {box[2] - box[0], box[3] - box[1]};
}

// A print request for the job process, as the control builds one, of some text.
Json::Value TextRequest(const std::string& id, const std::string& printer, const std::string& text) {
  Json::Value request;
  request["id"] = id;
  request["type"] = "print";
  request["mode"] = "print";
  request["printer"] = printer;
  request["title"] = id;
  request["source"]["data"] = Base64Encode(text);
  request["source"]["mime"] = "text/plain";
  request["cupsOptions"] = Json::Value(Json::objectValue);
  request["render"] = Json::Value(Json::objectValue);
  return request;
}

// Starts kestrix-job on the request in the file at path, its progress lines to out; -1 when it cannot.
pid_t StartJobProcess(const std::string& path, int out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  pid_t pid;
  char* argv[] = {const_cast<char*>(KX_JOB_EXECUTABLE), nullptr};
  if (posix_spawn(&pid, KX_JOB_EXECUTABLE, &actions, nullptr, argv, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

uint32_t BigEndian32(const std::string& s, size_t at) {
  return (static_cast<uint8_t>(s[at]) << 24) | (static_cast<uint8_t>(s[at + 1]) << 16) |
         (static_cast<uint8_t>(s[at + 2]) << 8) | static_cast<uint8_t>(s[at + 3]);
}
}  // namespace

class JobTest : public CupsControlTest {
 protected:
  void RequireChromium() {
    if (ChromiumRenderer::Find().empty())
      GTEST_SKIP() << "chromium is not installed (no /usr/lib/chromium/chromium or /usr/bin/chromium)";
  }
  // Prints text on kx-raw; what the printer received, or "no success".
  std::string PrintText(const std::string& text) {
    sink->events.clear();
    Json::Value job;
    job["data"] = Base64Encode(text);
    job["type"] = "text/plain";
    job["printer"] = "kx-raw";
    control->print(Job(job).Get(), VARIANT_FALSE);
    if (!WaitDone() || sink->DoneText() != "success") return std::string("no success");
    return ReadFileBytes(bench->CapturePath("raw", sink->DoneObject()["jobId"].asInt()));
  }
};

TEST_F(JobTest, TextJobReachesThePrinterByteForByteWithEventsInOrder) {
  const std::string text = "Line one\r\nZeile zwei: \xC3\xA4\xC3\xB6\xC3\xBC\n\tTabbed \x01 end";
  Json::Value job;
  job["data"] = Base64Encode(text);
  job["type"] = "text/plain";
  job["printer"] = "kx-raw";
  job["title"] = "exact bytes";
  control->print(Job(job).Get(), VARIANT_FALSE);
  // Nothing fires inside the call.
  EXPECT_TRUE(sink->events.empty());
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();

  Json::Value done = sink->DoneObject();
  EXPECT_EQ(done["type"], "print");
  EXPECT_FALSE(done["id"].asString().empty());
  const int jobId = done["jobId"].asInt();
  ASSERT_GT(jobId, 0);
  EXPECT_EQ(ReadFileBytes(bench->CapturePath("raw", jobId)), text);

  // States first, OnDone last; the last state is "completed"; all on this thread.
  ASSERT_GE(sink->events.size(), 3u);
  EXPECT_EQ(sink->events.back().id, DISPID_PRINTEREVENT_ONDONE);
  auto states = sink->Of(DISPID_PRINTEREVENT_ONJOBSTATE);
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states.front().args[0]["status"], "submitting");
  EXPECT_EQ(states.back().args[0]["status"], "completed");
  for (const auto& state : states) {
    for (const char* member : kJobMembers) EXPECT_TRUE(state.args[0].isMember(member)) << member;
    EXPECT_EQ(state.args[0]["document"], "exact bytes");
    EXPECT_EQ(state.args[0]["size"].asUInt(), text.size());
  }
  EXPECT_EQ(states.back().args[0]["printerName"], "kx-raw");
  EXPECT_EQ(states.back().args[0]["jobId"], jobId);
  for (const auto& event : sink->events) EXPECT_EQ(event.thread, std::this_thread::get_id());
}

TEST_F(JobTest, HtmlJobIsRenderedToARealPdf) {
  RequireChromium();
  Json::Value job;
  job["html"] = "<h1 style='background:#fd0'>Delivery note</h1><p>Order 4711</p>";
  job["printer"] = "kx-pdf";
  job["paper"] = "A4";
  control->print(Job(job).Get(), VARIANT_FALSE);
  ASSERT_TRUE(WaitDone(120000));
  ASSERT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();
  const std::string pdf = ReadFileBytes(bench->CapturePath("pdf", sink->DoneObject()["jobId"].asInt()));
  ASSERT_EQ(pdf.substr(0, 5), "%PDF-");
  auto states = sink->Of(DISPID_PRINTEREVENT_ONJOBSTATE);
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.front().args[0]["status"], "rendering");
  EXPECT_EQ(states.back().args[0]["totalPages"], 1);
}

TEST_F(JobTest, PrintToPdfWritesTheFileOnThePaperAsked) {
  RequireChromium();
  Json::Value job;
  job["html"] = "<p>first</p><p style='break-before:page'>second</p>";
  job["paper"] = "A4";
  BOOL started = FALSE;
  control->printToPDF(Job(job).Get(), Text("out/portrait.pdf").Get(), &started);
  ASSERT_TRUE(started);
  ASSERT_TRUE(WaitDone(120000));
  ASSERT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();
  const std::string file = sink->DoneObject()["file"].asString();
  EXPECT_EQ(file, FilesFolder() + "/out/portrait.pdf");
  std::string pdf = ReadFileBytes(file);
  ASSERT_EQ(pdf.substr(0, 5), "%PDF-");
  EXPECT_EQ(CountPdfPages(pdf), 2);
  auto [w, h] = MediaBox(pdf);
  EXPECT_NEAR(w, 595.3, 2);  // 210 mm
  EXPECT_NEAR(h, 841.9, 2);  // 297 mm

  sink->events.clear();
  job["landscape"] = true;
  job["paper"] = Json::Value(Json::objectValue);
  job["paper"]["width"] = 100;
  job["paper"]["height"] = 150;
  control->printToPDF(Job(job).Get(), Text("out/label.pdf").Get(), &started);
  ASSERT_TRUE(WaitDone(120000));
  ASSERT_EQ(sink->DoneText(), "success");
  std::tie(w, h) = MediaBox(ReadFileBytes(FilesFolder() + "/out/label.pdf"));
  EXPECT_NEAR(w, 425.2, 2);  // 150 mm across
  EXPECT_NEAR(h, 283.5, 2);  // 100 mm down
}

TEST_F(JobTest, PrintToImageWritesAPngOfTheWidthAsked) {
  RequireChromium();
  Json::Value job;
  job["html"] = "<div style='height:300px;background:#08f'>label</div>";
  job["width"] = 320;
  BOOL started = FALSE;
  control->printToImage(Job(job).Get(), Text("label.png").Get(), &started);
  ASSERT_TRUE(started);
  ASSERT_TRUE(WaitDone(120000));
  ASSERT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();
  std::string png = ReadFileBytes(FilesFolder() + "/label.png");
  ASSERT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(BigEndian32(png, 16), 320u);   // IHDR width
  EXPECT_GE(BigEndian32(png, 20), 300u);   // IHDR height: the content, margins included
  EXPECT_LT(BigEndian32(png, 20), 400u);
}

TEST_F(JobTest, ExportAsImageAnswersThePathAtOnce) {
  RequireChromium();
  Variant element = Variant::FromString(u"<table><tr><td>cell</td></tr></table>");
  Bstr path;
  control->exportAsImage(&element, Text("export/table.png").Get(), &path);
  EXPECT_EQ(BstrToUtf8(path.Get()), FilesFolder() + "/export/table.png");
  ASSERT_TRUE(WaitDone(120000));
  EXPECT_EQ(sink->DoneText(), "success");
  EXPECT_EQ(ReadFileBytes(BstrToUtf8(path.Get())).substr(0, 4), "\x89PNG");
}

TEST_F(JobTest, OutputOutsideTheFoldersIsRefusedAndNothingStarts) {
  Json::Value job;
  job["html"] = "<p>x</p>";
  BOOL started = TRUE;
  control->printToPDF(Job(job).Get(), Text(Outside() + "/escape.pdf").Get(), &started);
  EXPECT_FALSE(started);
  job = Json::Value(Json::objectValue);
  job["file"] = "/etc/passwd";
  control->print(Job(job).Get(), VARIANT_FALSE);
  ASSERT_TRUE(PumpUntil([&] { return sink->Of(DISPID_PRINTEREVENT_ONDONE).size() >= 2; }, 10000));
  for (const auto& done : sink->Of(DISPID_PRINTEREVENT_ONDONE)) EXPECT_EQ(done.args[0], "error");
  auto messages = sink->Of(DISPID_PRINTEREVENT_ONMESSAGE);
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) EXPECT_EQ(m.args[0]["code"], "pathRefused");
  EXPECT_FALSE(FileExists(Outside() + "/escape.pdf"));
}

TEST_F(JobTest, BadJobsAreRefusedWithTheReason) {
  const char* const bad[] = {R"({})", R"({"html": "<p>x</p>", "copies": 0})", R"({"html": "x", "paper": "Z9"})",
                             R"({"data": "***", "type": "text/plain"})", R"({"url": "ftp://example.test/a.pdf"})",
                             R"({"html": "x", "pageRanges": "3-1"})", R"({"data": "aGk=", "type": "application/zip"})"};
  for (const char* text : bad) {
    Json::Value job;
    ASSERT_TRUE(Json::Reader().parse(text, job));
    control->print(Job(job).Get(), VARIANT_FALSE);
  }
  control->print(nullptr, VARIANT_FALSE);
  const size_t count = sizeof bad / sizeof bad[0] + 1;
  ASSERT_TRUE(PumpUntil([&] { return sink->Of(DISPID_PRINTEREVENT_ONDONE).size() >= count; }, 10000));
  for (const auto& done : sink->Of(DISPID_PRINTEREVENT_ONDONE)) {
    EXPECT_EQ(done.args[0], "error");
    EXPECT_FALSE(done.args[1]["message"].asString().empty());
    EXPECT_FALSE(done.args[1]["code"].asString().empty()) << "the outcome says why, as the message does";
    EXPECT_EQ(done.args[1]["jobId"], 0);
  }
}

TEST_F(JobTest, JobOnAStoppedQueueWaitsAndIsReportedWhenFollowingEnds) {
  Json::Value job;
  job["data"] = Base64Encode("held back");
  job["type"] = "text/plain";
  job["printer"] = "kx-stopped";
  job["follow"] = 1;
  control->print(Job(job).Get(), VARIANT_FALSE);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "error");
  EXPECT_NE(sink->DoneObject()["message"].asString().find("still pending"), std::string::npos)
      << sink->DoneObject()["message"];
  auto states = sink->Of(DISPID_PRINTEREVENT_ONJOBSTATE);
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back().args[0]["status"], "pending");
  EXPECT_GE(states.back().args[0]["position"].asInt(), 1);
}

TEST_F(JobTest, MissingChromiumIsReportedNotHung) {
  ScopedEnv chromium("KESTRIX_CHROMIUM", m_folder / "no-chromium-here");
  Json::Value job;
  job["html"] = "<p>x</p>";
  job["printer"] = "kx-pdf";
  control->print(Job(job).Get(), VARIANT_FALSE);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "error");
  ASSERT_TRUE(WaitMessages(1));
  EXPECT_EQ(LastMessageCode(), "chromiumMissing");
  EXPECT_NE(LastMessageText().find("no-chromium-here"), std::string::npos);
}

// A printer that is not there is found out before anything is rendered (no
// Chromium is needed to learn it), with or without options that need the
// printer's word, and the outcome names the printers there are.
TEST_F(JobTest, AJobForAPrinterThatIsNotThereFailsBeforeRenderingWithTheNamesThereAre) {
  ScopedEnv chromium("KESTRIX_CHROMIUM", m_folder / "no-chromium-here");
  for (const char* text : {R"({"html": "<p>x</p>", "printer": "kx-pfd"})",
                           R"({"html": "<p>x</p>", "printer": "kx-pfd", "paper": "A4"})"}) {
    Json::Value job;
    ASSERT_TRUE(Json::Reader().parse(text, job));
    sink->events.clear();
    control->print(Job(job).Get(), VARIANT_FALSE);
    ASSERT_TRUE(WaitDone()) << text;
    EXPECT_EQ(sink->DoneText(), "error") << text;
    const Json::Value result = sink->DoneObject();
    EXPECT_EQ(result["code"], "printerNotFound") << result.toStyledString();
    EXPECT_NE(result["message"].asString().find("kx-pfd"), std::string::npos) << result["message"];
    Json::Value printers = result["printers"];
    ASSERT_TRUE(printers.isArray()) << result.toStyledString();
    EXPECT_NE(std::find(printers.begin(), printers.end(), Json::Value("kx-pdf")), printers.end());
    EXPECT_EQ(LastMessageCode(), "printerNotFound") << text;
    EXPECT_TRUE(sink->Of(DISPID_PRINTEREVENT_ONJOBSTATE).empty()) << "the job never started";
  }
}

// The host may be killed right after asking: the job process must carry on.
TEST_F(JobTest, JobReachesThePrinterWhenNobodyListensAnyMore) {
  const Json::Value request = TextRequest("orphan", "kx-raw", "orphaned job");
  const std::string requestPath = m_folder / "request.json";
  ASSERT_TRUE(WriteFileBytes(requestPath, Json::FastWriter().write(request)));

  int lines[2];
  ASSERT_EQ(pipe(lines), 0);
  close(lines[0]);  // the "host" is gone before the job even starts
  const pid_t pid = StartJobProcess(requestPath, lines[1]);
  close(lines[1]);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);

  // The scheduler got it: find the job by its title and wait for the capture.
  http_t* http = httpConnect2(bench->Server().c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
  ASSERT_NE(http, nullptr);
  cups_job_t* jobs = nullptr;
  int count = cupsGetJobs2(http, &jobs, "kx-raw", 0, CUPS_WHICHJOBS_ALL);
  int orphan = 0;
  for (int i = 0; i < count; ++i)
    if (std::string(jobs[i].title) == "orphan") orphan = jobs[i].id;
  cupsFreeJobs(count, jobs);
  httpClose(http);
  ASSERT_GT(orphan, 0);
  ASSERT_TRUE(WaitForFile(bench->CapturePath("raw", orphan), 30000));
  EXPECT_EQ(ReadFileBytes(bench->CapturePath("raw", orphan)), "orphaned job");
}

// The job process started ahead for the next job: one that died is replaced
// without losing the job, and one never used ends when the host lets it go.
TEST_F(JobTest, AJobProcessStartedAheadIsReplacedWhenGoneAndEndsWithoutAJob) {
  EXPECT_EQ(PrintText("first"), "first");
  const pid_t ready = ReadyJobProcess();
  ASSERT_GT(ready, 0);
  kill(ready, SIGKILL);
  EXPECT_EQ(PrintText("second"), "second") << "the job is not lost with the process that was to take it";
  const pid_t next = ReadyJobProcess();
  ASSERT_GT(next, 0);
  EXPECT_NE(next, ready);

  ASSERT_EQ(ReleaseReadyJob(), next);
  int status = -1;
  for (int i = 0; i < 1000 && waitpid(next, &status, WNOHANG) == 0; ++i) usleep(10000);
  ASSERT_TRUE(WIFEXITED(status)) << "it ends by itself, and quietly";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A stray close elsewhere in the process frees the number of the control's
// end of that process's output, and the next job's request file takes the
// number: the control must neither follow the file as the job's output nor
// close it, and the job still prints.
TEST_F(JobTest, AJobProcessStartedAheadWhoseDescriptorWasClosedElsewhereIsNotUsed) {
  EXPECT_EQ(PrintText("first"), "first");
  const pid_t ready = ReadyJobProcess();
  ASSERT_GT(ready, 0);
  auto link = [](const std::string& path) {
    char target[256] = {};
    return readlink(path.c_str(), target, sizeof target - 1) > 0 ? std::string(target) : std::string();
  };
  // The control's end of the pipe the waiting process writes to.
  const std::string output = link("/proc/" + std::to_string(ready) + "/fd/1");
  int controls = -1;
  for (int fd = 3; fd < 1024 && controls < 0; ++fd)
    if (link("/proc/self/fd/" + std::to_string(fd)) == output) controls = fd;
  ASSERT_GE(controls, 3) << output;
  // Every lower number taken, so that the next file opened gets this one.
  std::vector<int> taken;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
    if (fd > controls) {
      close(fd);
      break;
    }
    taken.push_back(fd);
  }
  ASSERT_EQ(close(controls), 0);
  EXPECT_EQ(PrintText("second"), "second");
  for (int fd : taken) close(fd);
}

// A job whose standard input is no file (here its own output pipe, which
// never ends while it holds the writing end) refuses at once, saying so.
TEST_F(JobTest, AJobWhoseRequestIsNoFileRefusesAtOnce) {
  int lines[2];
  ASSERT_EQ(pipe2(lines, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, lines[0], 0);
  posix_spawn_file_actions_adddup2(&actions, lines[1], 1);
  pid_t pid = -1;
  char* argv[] = {const_cast<char*>(KX_JOB_EXECUTABLE), nullptr};
  ASSERT_EQ(posix_spawn(&pid, KX_JOB_EXECUTABLE, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(lines[1]);
  int status = 0;
  const bool ended = PumpUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  ASSERT_TRUE(ended) << "it waits on its own pipe";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  char line[4096] = {};
  pollfd p{lines[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 0), 1);
  const ssize_t n = read(lines[0], line, sizeof line - 1);
  close(lines[0]);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(line).find("standard input is a pipe"), std::string::npos) << line;
}

TEST_F(JobTest, LaterJobsTakeTheControlsSettings) {
  RequireChromium();
  // setOffsetPage(1): the first page is left out.
  control->setOffsetPage(1);
  Json::Value job;
  job["html"] = "<p>first</p><p style='break-before:page'>second</p><p style='break-before:page'>third</p>";
  BOOL started = FALSE;
  control->printToPDF(Job(job).Get(), Text("offset.pdf").Get(), &started);
  ASSERT_TRUE(started);
  ASSERT_TRUE(WaitDone(120000));
  ASSERT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();
  EXPECT_EQ(CountPdfPages(ReadFileBytes(FilesFolder() + "/offset.pdf")), 2);
  control->setOffsetPage(0);

  // setDragCSS: the rule applies to what is rendered.
  sink->events.clear();
  control->setDragCSS(Text("div.box").Get(), Text("height: 700px").Get());
  job = Json::Value(Json::objectValue);
  job["html"] = "<div class='box'>tall</div>";
  job["width"] = 200;
  control->printToImage(Job(job).Get(), Text("tall.png").Get(), &started);
  ASSERT_TRUE(WaitDone(120000));
  ASSERT_EQ(sink->DoneText(), "success");
  EXPECT_GE(BigEndian32(ReadFileBytes(FilesFolder() + "/tall.png"), 20), 700u);
}

// A printed job is followed only while its host listens, and the user's
// followers have a bound: past it, a job is handed over and not followed.
TEST_F(JobTest, FollowersEndWithTheirHostAndAreBoundedPerUser) {
  // A job process of the test's own, stopped when the test ends however it ends.
  struct Follower {
    pid_t pid = -1;
    int lines = -1;
    bool reaped = false;
    Follower() = default;
    Follower(const Follower&) = delete;
    ~Follower() {
      if (pid > 0 && !reaped && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
      if (lines >= 0) close(lines);
    }
  };
  auto start = [&](const std::string& id, Follower& f) {
    // Nothing listens at kx-offline's device: the job stays processing.
    Json::Value request = TextRequest(id, "kx-offline", "never printed");
    request["followSeconds"] = 86400;
    request["followers"] = 1;
    const std::string path = m_folder / (id + ".json");
    int lines[2];
    if (!WriteFileBytes(path, Json::FastWriter().write(request)) || pipe2(lines, O_CLOEXEC) != 0) return;
    f.pid = StartJobProcess(path, lines[1]);
    close(lines[1]);
    f.lines = lines[0];
  };
  // The first line of that kind within the deadline (null when none came).
  auto lineOf = [](int fd, const std::string& kind, int timeoutMs) {
    std::string buffer;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
      size_t newline;
      while ((newline = buffer.find('\n')) != std::string::npos) {
        Json::Value line;
        Json::Reader().parse(buffer.substr(0, newline), line);
        buffer.erase(0, newline + 1);
        if (line["kind"] == kind) return line;
      }
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char chunk[4096];
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
    }
    return Json::Value();
  };
  auto ended = [](Follower& f, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs && !f.reaped; waited += 50) {
      f.reaped = waitpid(f.pid, nullptr, WNOHANG) == f.pid;
      if (!f.reaped) usleep(50000);
    }
    return f.reaped;
  };

  Follower first, second;
  start("followed-first", first);
  ASSERT_GT(first.pid, 0);
  ASSERT_FALSE(lineOf(first.lines, "released", 60000).isNull()) << "the job did not reach the scheduler";
  // It holds the user's only follower's place once it follows.
  const std::string slot = m_folder / ("tmp/kestrix-" + std::to_string(getuid()) + "/follow-slot-0");
  EXPECT_TRUE(PumpUntil([&] {
    int fd = open(slot.c_str(), O_RDONLY | O_CLOEXEC);
    bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) close(fd);
    return held;
  }, 30000));
  start("followed-second", second);
  ASSERT_GT(second.pid, 0);
  Json::Value done = lineOf(second.lines, "done", 60000);
  EXPECT_NE(done["result"]["message"].asString().find("not followed"), std::string::npos) << done;
  EXPECT_TRUE(ended(second, 30000)) << "a follower past the user's bound";
  // The host goes: the follower follows nobody's job any more.
  close(first.lines);
  first.lines = -1;
  EXPECT_TRUE(ended(first, 30000)) << "a follower outlived its host";
  bench->Select();
  cupsCancelJob("kx-offline", CUPS_JOBID_ALL);
}
