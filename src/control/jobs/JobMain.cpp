// kestrix-job: the job process of the printing control. It reads one job
// request (JSON) on stdin, carries it out (JobRunner) and writes progress as
// JSON lines on stdout. The control starts it in a session of its own, so a
// job still reaches the printer when the host is killed right after asking.
// Started with --ready it first waits for the request file (see JobLauncher.h).
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "control/jobs/JobLauncher.h"
#include "control/base/JobLine.h"
#include "control/jobs/JobRunner.h"
#include "control/render/RenderService.h"
#include "control/base/Trace.h"

namespace {
class LineReporter : public JobReporter {
 public:
  bool Emit(const Json::Value& line) override {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    std::string text = Json::writeString(writer, line) + "\n";
    Trace(("job: emits " + line["kind"].asString() + " " + line["job"]["status"].asString()).c_str());
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // the host is gone
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // The host's end of the pipe closed: poll reports an error on ours.
  bool Listening() override {
    pollfd out{STDOUT_FILENO, 0, 0};
    return !(poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)));
  }
};

// How long a process started ahead waits for its job. A host that gives it
// none for so long finds it gone at the next job and starts a fresh one, so
// the bound costs one program start; no process waits on a host forever.
constexpr int kReadyWaitSeconds = 600;

// Started ahead of its job (--ready): waits on the socket at fd 3 for the
// job's request file and takes it as stdin. True once it has it; false when
// the host closed the socket without sending one (it went, or no job came)
// or sent nothing within kReadyWaitSeconds.
bool ReceiveRequest() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kReadyWaitSeconds);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd socket{3, POLLIN, 0};
    const int n = left > 0 ? poll(&socket, 1, static_cast<int>(left)) : 0;
    if (n > 0) break;
    if (n == 0 || errno != EINTR) {
      close(3);
      return false;
    }
  }
  const int fd = ReceiveRequestFile(3);
  const bool ok = fd >= 0 && dup2(fd, STDIN_FILENO) == STDIN_FILENO;
  if (fd >= 0) close(fd);
  // The host hears that the job is ours (else it gives the file to a fresh
  // process); one that has gone needs no answer.
  if (ok && write(3, "1", 1) != 1) {
  }
  close(3);
  return ok;
}

// The request comes as a file the host wrote completely before the job had
// it, so reading it never waits. Anything else on stdin (a pipe, a socket, a
// terminal) is refused at once: its writer may never close it, and a job that
// holds the writing end itself (its own output pipe, given by mistake) would
// wait forever. "" for a file, else what stdin is.
std::string NotARequestFile() {
  struct stat st;
  if (fstat(STDIN_FILENO, &st) != 0) return std::string("no standard input (") + std::strerror(errno) + ")";
  if (S_ISREG(st.st_mode)) return std::string();
  if (S_ISFIFO(st.st_mode)) return "a pipe";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  if (S_ISCHR(st.st_mode)) return "a device";
  return "no regular file";
}

// The done line of a job whose request could not be read.
void RefuseRequest(JobReporter& reporter, const std::string& why) {
  Json::Value unnamed(Json::objectValue);
  unnamed["type"] = "job";
  unnamed["id"] = "";
  reporter.Emit(JobLine::Failed(unnamed, why));
}
}  // namespace

int main(int argc, char** argv) {
  Trace("job: main");
  if (argc > 1 && std::string(argv[1]) == "--render-service") return RenderServiceMain(argc, argv);
  // A host that has gone away must not take the job with it.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  if (argc > 1 && std::string(argv[1]) == "--ready") {
    if (!ReceiveRequest()) return 0;
  }
  LineReporter reporter;
  if (const std::string what = NotARequestFile(); !what.empty()) {
    RefuseRequest(reporter, "the job request did not come as a file: standard input is " + what);
    return 2;
  }
  std::string input;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    input.append(buffer, static_cast<size_t>(n));
    if (input.size() > (size_t(1) << 30)) break;
  }
  Trace("job: request read");
  Json::Value request;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(input.data(), input.data() + input.size(), &request, &errors) && request.isObject();
  } catch (const std::exception& e) {
    errors = e.what();
  }
  if (!parsed) {
    RefuseRequest(reporter, "unreadable job request: " + errors);
    return 2;
  }
  try {
    return RunJob(request, reporter);
  } catch (const std::exception& e) {
    // Whatever went wrong, the control hears of it.
    Json::Value named(Json::objectValue);
    named["type"] = request["type"].isString() ? request["type"] : Json::Value("job");
    named["id"] = request["id"].isString() ? request["id"] : Json::Value("");
    reporter.Emit(JobLine::Failed(named, std::string("the job process failed: ") + e.what()));
    return 3;
  }
}
