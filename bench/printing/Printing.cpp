// Printing: how long an HTML label takes from the request to the job being
// accepted by CUPS.
//
//  - cold baseline: what a page could do without us: `chromium --headless
//    --print-to-pdf` of the label (a fresh profile each time, as a one-off run
//    has), then `lp` of the PDF, which returns once the scheduler has the job;
//  - warm: the real host (kestrix-host, the Linux control, kestrix-job and the
//    warm renderer) gets a "print" request with the label's HTML; the time runs
//    to the job's first state from the scheduler (it has the job).
// Both go to the same private scheduler's PDF capture queue. Reported: the
// first warm job (it starts the renderer and its browser); the median of R
// warm jobs sent back to back (each once the one before is accepted) and of R
// warm jobs 400 ms apart (a page printing a label now and then: the renderer
// has its next page ready), each against the median of R cold runs; N labels
// in a row (sent back to back) and N labels at once (all sent, then all
// awaited: the control runs two at a time and queues the rest) against N cold
// runs (measured when --cold-labels is N, else the cold median times N, said
// so); and the memory of the warm browsers. Where a warm job's time goes
// comes from the steps the host, the job process and the render service log
// under KESTRIX_TRACE (median per step), and the load average is printed with
// the figures (other work on the machine inflates every wall-clock figure).
//
//   kx_bench_printing [--runs R] [--labels N] [--cold-labels M] [--host PATH]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "common/Session.h"
#include "common/Stats.h"
#include "control/render/ChromiumRenderer.h"
#include "control/render/RenderService.h"
#include "control/base/Trace.h"

extern char** environ;

namespace {
using bench::Clock;

const char kLabel[] =
    "<!DOCTYPE html><html><head><meta charset='utf-8'><style>"
    "@page { size: 62mm 29mm; margin: 2mm }"
    "body { font: 9pt sans-serif; margin: 0 }"
    "h1 { font-size: 12pt; margin: 0 } .bars { height: 8mm; background: repeating-linear-gradient(90deg,#000 0 1px,"
    "#fff 1px 3px,#000 3px 5px,#fff 5px 6px) }"
    "</style></head><body><h1>Parcel 4711</h1><div>Kestrix GmbH, Lagerstr. 5, 20095 Hamburg</div>"
    "<div class='bars'></div></body></html>";

double Ms(Clock::time_point since) { return std::chrono::duration<double, std::milli>(Clock::now() - since).count(); }

// Runs a program to its end; its exit status, or -1.
int Run(const std::vector<std::string>& args, const std::string& output = "/dev/null") {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string LoadAverage() {
  std::string text = ReadAll("/proc/loadavg");
  return text.substr(0, text.find(' '));
}

// The steps of a warm job in the trace, each named by the line that ends it.
struct Step {
  const char* line;
  const char* what;
};
constexpr Step kSteps[] = {
    {"job: request read", "host: request to job process running"},
    {"job: connects to the renderer", "job: start-up, place, printer options"},
    {"render: page enabled", "service: request, page ready"},
    {"render: loaded", "chromium: load the label"},
    {"render: printed", "chromium: page rules, fonts, printToPDF"},
    {"job: rendered", "service: PDF to the job"},
    {"job: submitted", "job: Print-Job to the scheduler"},
    {"bench: accepted", "job state through the host to the page"},
};

// Per step, the milliseconds of warm jobs first..last (0-based, in the order
// sent), from the trace file; empty when the trace is not complete.
std::vector<std::vector<double>> StepTimes(const std::string& path, int first, int last) {
  std::vector<std::pair<double, std::string>> lines;
  std::istringstream in(ReadAll(path));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    double ms = 0;
    int pid = 0;
    std::string what;
    fields >> ms >> pid;
    std::getline(fields >> std::ws, what);
    lines.emplace_back(ms, what);
  }
  std::vector<std::vector<double>> times(std::size(kSteps));
  int job = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].second != "bench: sends" || ++job < first || job > last) continue;
    double from = lines[i].first;
    size_t at = i;
    for (size_t s = 0; s < std::size(kSteps); ++s) {
      while (at < lines.size() && lines[at].second != kSteps[s].line) ++at;
      if (at == lines.size()) return {};
      times[s].push_back(lines[at].first - from);
      from = lines[at].first;
    }
  }
  return times;
}

// The cold pipeline once: milliseconds, or negative on failure.
double Cold(const std::string& chromium, const std::string& work, int n) {
  const std::string profile = work + "/cold-profile-" + std::to_string(n);
  const std::string pdf = work + "/cold-" + std::to_string(n) + ".pdf";
  const auto start = Clock::now();
  std::vector<std::string> args = {chromium, "--headless=new", "--disable-gpu", "--no-first-run",
                                   "--user-data-dir=" + profile, "--no-pdf-header-footer",
                                   "--print-to-pdf=" + pdf, "file://" + work + "/label.html"};
  if (geteuid() == 0) args.insert(args.begin() + 1, "--no-sandbox");
  if (Run(args) != 0) return -1;
  if (Run({"lp", "-d", "kx-pdf", "-t", "cold label", pdf}) != 0) return -2;
  double ms = Ms(start);
  Run({"rm", "-rf", profile, pdf});
  return ms;
}

// The host, opened (page and control loaded), printing labels.
class Host {
 public:
  explicit Host(const std::string& path, std::string url = "http://127.0.0.1/bench")
      : m_session({path}), m_url(std::move(url)) {}
  bool Open() { return m_session.Open(Clock::now() + std::chrono::seconds(60), m_url); }
  // Sends one label job; false when it cannot be sent.
  bool Send(int n) {
    Trace("bench: sends");
    Json::Value job(Json::objectValue);
    job["html"] = kLabel;
    job["printer"] = "kx-pdf";
    job["paper"]["width"] = 62;
    job["paper"]["height"] = 29;
    job["margins"] = 2;
    job["title"] = "label " + std::to_string(n);
    job["_hasCallback"] = true;
    job["onState"] = "st" + std::to_string(n);
    job["done"] = "dn" + std::to_string(n);
    Json::Value request(Json::objectValue);
    request["method"] = "print";
    request["params"].append(job);
    request["params"].append(false);
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return m_session.Send(Json::writeString(w, request), Clock::now() + std::chrono::seconds(10));
  }
  // Waits until job n is with the scheduler; false (with the reason) on an
  // error or after the deadline.
  bool Accepted(int n, std::string* why) { return AllAccepted(n, n + 1, why); }
  // The same for jobs first..end-1.
  bool AllAccepted(int first, int end, std::string* why) {
    const auto deadline = Clock::now() + std::chrono::seconds(300);
    std::set<int> pending;
    for (int n = first; n < end; ++n) pending.insert(n);
    while (!pending.empty()) {
      std::string text;
      if (!m_session.Receive(text, deadline)) {
        *why = "no answer from the host";
        return false;
      }
      Json::Value message;
      Json::Reader().parse(text, message);
      const std::string event = message["event"].asString();
      const int n = event.size() > 2 ? std::atoi(event.c_str() + 2) : -1;
      if (event.rfind("st", 0) == 0 && pending.count(n)) {
        const std::string status = message["params"][0]["status"].asString();
        if (status != "rendering" && status != "submitting" && status != "queued") {
          Trace("bench: accepted");
          pending.erase(n);
        }
      } else if (event.rfind("dn", 0) == 0 && pending.count(n) && message["params"][0].asString() != "success") {
        *why = message["params"][1]["message"].asString();
        return false;
      } else if (message.isMember("code")) {
        *why = message["message"].asString();
      }
    }
    return true;
  }
  void Close() { m_session.Close(); }

 private:
  bench::Session m_session;
  std::string m_url;
};

// The warm renderer's browsers and their memory now, as text.
std::string RendererMemory() {
  Json::Value status;
  if (!RenderServiceStatus(&status)) return "not reachable";
  char text[128];
  std::snprintf(text, sizeof text, "%d browser(s), %d site(s), %.1f MiB", status["browsers"].asInt(),
                status["sites"].asInt(), status["memoryKb"].asDouble() / 1024.0);
  return text;
}
}  // namespace

int main(int argc, char** argv) {
  const int runs = static_cast<int>(bench::OptionNumber(argc, argv, "--runs", 10));
  const int labels = static_cast<int>(bench::OptionNumber(argc, argv, "--labels", 100));
  const int coldLabels = static_cast<int>(bench::OptionNumber(argc, argv, "--cold-labels", 0));
  const std::string host = bench::Option(argc, argv, "--host", KX_BENCH_REAL_HOST);
  const std::string chromium = ChromiumRenderer::Find();
  if (chromium.empty()) {
    std::printf("printing: FAILED: chromium is not installed\n");
    return 1;
  }
  char folder[] = "/tmp/kx-bench-print-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  const std::string work = folder;
  // A private scheduler, home and renderer folder for everything below.
  const std::string scripts = KX_CUPS_SCRIPTS;
  if (Run({"sh", scripts + "/start-cups.sh", work + "/cups"}, work + "/server") != 0) {
    std::printf("printing: FAILED: the private scheduler did not start\n");
    return 1;
  }
  std::string server = ReadAll(work + "/server");
  while (!server.empty() && server.back() == '\n') server.pop_back();
  setenv("CUPS_SERVER", server.c_str(), 1);
  setenv("CUPS_SERVERROOT", (work + "/cups/etc").c_str(), 1);
  setenv("HOME", (work + "/cups/home").c_str(), 1);
  setenv("XDG_DATA_HOME", (work + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (work + "/config").c_str(), 1);
  setenv("KESTRIX_RENDER_DIR", (work + "/render").c_str(), 1);
  setenv("KESTRIX_TRACE", (work + "/trace").c_str(), 0);  // (one given is kept, for a closer look)
  const std::string trace = std::getenv("KESTRIX_TRACE");
  const std::string loadBefore = LoadAverage();
  {
    std::ofstream label(work + "/label.html");
    label << kLabel;
  }
  int status = 0;
  std::printf("printing: an HTML label (62 x 29 mm) from the request to the job accepted by CUPS\n");

  std::vector<double> cold;
  for (int r = 0; r < runs; ++r) {
    double ms = Cold(chromium, work, r);
    if (ms < 0) {
      std::printf("printing: FAILED: the cold pipeline (%s) did not finish\n", ms == -1 ? "chromium" : "lp");
      status = 1;
      break;
    }
    cold.push_back(ms);
  }

  Host kx(host);
  std::vector<double> warm, paused;
  double first = -1, row = -1, burst = -1;
  std::string why;
  if (status == 0 && !kx.Open()) {
    std::printf("printing: FAILED: the host did not open\n");
    status = 1;
  }
  int n = 0;
  if (status == 0) {
    auto start = Clock::now();
    if (!kx.Send(n) || !kx.Accepted(n, &why)) status = 1;
    first = Ms(start);
    ++n;
  }
  for (int r = 0; status == 0 && r < runs; ++r, ++n) {
    auto start = Clock::now();
    if (!kx.Send(n) || !kx.Accepted(n, &why)) status = 1;
    warm.push_back(Ms(start));
  }
  // A page that prints a label now and then: the renderer has had a moment
  // to make the next page ready.
  for (int r = 0; status == 0 && r < runs; ++r, ++n) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    auto start = Clock::now();
    if (!kx.Send(n) || !kx.Accepted(n, &why)) status = 1;
    paused.push_back(Ms(start));
  }
  // The renderer with one site's context (one browser: no two jobs have run at once yet).
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string memoryOneSite = RendererMemory();
  // A page that prints a label once in a while: the machine is idle between.
  std::vector<double> idle;
  for (int r = 0; status == 0 && r < runs; ++r, ++n) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    auto start = Clock::now();
    if (!kx.Send(n) || !kx.Accepted(n, &why)) status = 1;
    idle.push_back(Ms(start));
  }
  // Two pages of two sites printing in turn, back to back.
  Host other(host, "http://127.0.0.1:8081/bench");
  std::vector<double> alternating;
  if (status == 0 && !other.Open()) {
    why = "the second site's host did not open";
    status = 1;
  }
  for (int r = 0; status == 0 && r < 2 * runs; ++r, ++n) {
    Host& page = r % 2 ? other : kx;
    auto start = Clock::now();
    if (!page.Send(n) || !page.Accepted(n, &why)) status = 1;
    if (r > 0) alternating.push_back(Ms(start));  // (the second site's first job opens its context)
  }
  if (status == 0) {
    auto start = Clock::now();
    for (int i = 0; status == 0 && i < labels; ++i, ++n)
      if (!kx.Send(n) || !kx.Accepted(n, &why)) status = 1;
    row = Ms(start);
  }
  // A page that prints the whole roll at once: the control runs what it may
  // at once (two jobs by default) and queues the rest.
  if (status == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    auto start = Clock::now();
    const int from = n;
    for (int i = 0; status == 0 && i < labels; ++i, ++n)
      if (!kx.Send(n)) status = 1;
    if (status == 0 && !kx.AllAccepted(from, n, &why)) status = 1;
    burst = Ms(start);
  }
  const auto steps = StepTimes(trace, 1, runs);
  const auto pausedSteps = StepTimes(trace, runs + 1, 2 * runs);
  const auto idleSteps = StepTimes(trace, 2 * runs + 1, 3 * runs);
  const auto alternatingSteps = StepTimes(trace, 3 * runs + 2, 5 * runs);
  const std::string memoryAfter = RendererMemory();
  // Four sites, each with a job done: the renderer keeps a context for each.
  std::string memoryFourSites = "not measured";
  if (status == 0) {
    // (The second site's host has ended meanwhile: a host that hears nothing between two pings does.)
    Host second(host, "http://127.0.0.1:8081/bench"), third(host, "http://127.0.0.1:8082/bench"),
        fourth(host, "http://127.0.0.1:8083/bench");
    if (!second.Open() || !third.Open() || !fourth.Open()) {
      memoryFourSites = "not measured: a host did not open";
    } else {
      Host* pages[] = {&third, &fourth, &second, &kx};
      bool done = true;
      for (int i = 0; done && i < 4; ++i) {
        done = pages[i]->Send(n + i) && pages[i]->Accepted(n + i, &why);
        if (!done && why.empty()) why = "site " + std::to_string(i + 1) + "'s job could not be sent";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      memoryFourSites = done ? RendererMemory() : "not measured: " + why;
    }
    n += 4;
    second.Close();
    third.Close();
    fourth.Close();
  }
  other.Close();
  kx.Close();
  if (status != 0) std::printf("printing: FAILED: job %d: %s\n", n, why.c_str());

  double coldRow = -1;
  bool coldMeasured = coldLabels > 0;
  if (status == 0 && coldMeasured) {
    auto start = Clock::now();
    for (int i = 0; i < coldLabels; ++i)
      if (Cold(chromium, work, 1000 + i) < 0) status = 1;
    coldRow = Ms(start) * labels / coldLabels;
  }
  const std::string loadAfter = LoadAverage();
  Run({"sh", scripts + "/stop-cups.sh", work + "/cups"});
  Run({"rm", "-rf", work});
  if (status != 0 || cold.empty() || warm.empty()) return 1;

  const double coldMs = bench::Median(cold), warmMs = bench::Median(warm), pausedMs = bench::Median(paused);
  const double idleMs = bench::Median(idle), alternatingMs = bench::Median(alternating);
  if (!coldMeasured) coldRow = coldMs * labels;
  std::printf("  cold: chromium --print-to-pdf + lp   median %8.1f ms of %d runs\n", coldMs, runs);
  std::printf("  warm: first job (starts the renderer)       %8.1f ms\n", first);
  std::printf("  warm: later jobs, back to back       median %8.1f ms of %d runs\n", warmMs, runs);
  std::printf("  warm: later jobs, 400 ms apart       median %8.1f ms of %d runs\n", pausedMs, runs);
  std::printf("  warm: one job after 2 s idle         median %8.1f ms of %d runs\n", idleMs, runs);
  std::printf("  warm: two sites alternating          median %8.1f ms of %d runs\n", alternatingMs,
              static_cast<int>(alternating.size()));
  if (!steps.empty() && !pausedSteps.empty() && !idleSteps.empty() && !alternatingSteps.empty()) {
    std::printf("  where a later warm job's time goes (median of each step): back to back, 400 ms apart, "
                "after idle, two sites\n");
    for (size_t s = 0; s < steps.size(); ++s)
      std::printf("    %-42s %7.1f ms %7.1f ms %7.1f ms %7.1f ms\n", kSteps[s].what, bench::Median(steps[s]),
                  bench::Median(pausedSteps[s]), bench::Median(idleSteps[s]), bench::Median(alternatingSteps[s]));
  }
  std::printf("  %d labels in a row: warm %.0f ms, cold %.0f ms (%s)\n", labels, row, coldRow,
              coldMeasured ? ("measured " + std::to_string(coldLabels) + " cold runs, scaled").c_str()
                           : "the cold median times the labels");
  std::printf("  %d labels at once: warm %.0f ms (all accepted)\n", labels, burst);
  std::printf("  warm renderer memory (proportional set size of all its browsers' processes):\n"
              "    one site, after the jobs back to back: %s\n    after the labels at once: %s\n"
              "    four sites: %s\n",
              memoryOneSite.c_str(), memoryAfter.c_str(), memoryFourSites.c_str());
  std::printf("  load average (1 min) %s before, %s after: figures taken under load are inflated\n",
              loadBefore.c_str(), loadAfter.c_str());
  std::printf("printing: warm job (back to back) / cold pipeline ratio %.3f (goal <= 0.2)\n", warmMs / coldMs);
  std::printf("printing: warm job (400 ms apart) / cold pipeline ratio %.3f (goal <= 0.2)\n", pausedMs / coldMs);
  std::printf("printing: warm job after idle / cold pipeline ratio %.3f (goal <= 0.12)\n", idleMs / coldMs);
  std::printf("printing: two sites alternating / cold pipeline ratio %.3f (goal <= 0.3)\n", alternatingMs / coldMs);
  std::printf("printing: %d labels in a row warm / cold ratio %.3f (goal <= 0.2)\n", labels, row / coldRow);
  std::printf("printing: %d labels at once warm / cold ratio %.3f (goal <= 0.2)\n", labels, burst / coldRow);
  return 0;
}
