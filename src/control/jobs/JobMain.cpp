// kestrix-job: the job process of the printing control. It reads one job
// request (JSON) on stdin, carries it out (JobRunner) and writes progress as
// JSON lines on stdout. The control starts it in a session of its own, so a
// job still reaches the printer when the host is killed right after asking.
// Started with --ready it first waits for the request file (see JobLauncher.h).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
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

// Started ahead of its job (--ready): waits on the socket at fd 3 for the
// job's request file and takes it as stdin. True once it has it; false when
// the host closed the socket without sending one (it went, or no job came).
bool ReceiveRequest() {
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
  LineReporter reporter;
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
    Json::Value unnamed(Json::objectValue);
    unnamed["type"] = "job";
    unnamed["id"] = "";
    reporter.Emit(JobLine::Failed(unnamed, "unreadable job request: " + errors));
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
