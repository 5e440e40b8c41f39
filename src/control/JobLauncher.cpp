#include "control/JobLauncher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Kernel.h"
#include "platform/MessageLoop.h"

extern char** environ;

#ifndef KESTRIX_JOB_BUILD_PATH
#define KESTRIX_JOB_BUILD_PATH ""
#endif

void JobEventQueue::Push(Json::Value line) {
  {
    std::lock_guard lock(m_mutex);
    m_lines.push_back(std::move(line));
  }
  PostMessageW(m_window, m_message, 0, 0);  // fails harmlessly once the window is gone
}

std::deque<Json::Value> JobEventQueue::TakeAll() {
  std::lock_guard lock(m_mutex);
  std::deque<Json::Value> lines;
  lines.swap(m_lines);
  return lines;
}

namespace {
bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

Json::Value DoneLine(const Json::Value& request, const std::string& message) {
  Json::Value line(Json::objectValue);
  line["kind"] = "done";
  line["status"] = "error";
  line["result"]["type"] = request["type"];
  line["result"]["id"] = request["id"];
  line["result"]["jobId"] = 0;
  line["result"]["message"] = message;
  return line;
}

// The request as an unlinked file, positioned at its start.
int RequestFile(const std::string& text, std::string* error) {
  std::string folder = GetTempPathA();
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string name = folder + "kestrix-job-XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd >= 0) unlink(buffer.data());
  }
  if (fd < 0) {
    *error = "cannot create a temporary file in " + folder + ": " + std::strerror(errno);
    return -1;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot write the job request: " + std::string(std::strerror(errno));
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

void ReadLines(int fd, pid_t pid, Json::Value request, std::shared_ptr<JobEventQueue> queue) {
  std::string buffer;
  bool sawDone = false;
  // The job keeps its own time limit; this is the backstop for a job process
  // that no longer can (stopped, or stuck in the kernel): the limit and a
  // grace period, until the job says it only follows the print scheduler.
  const int limitSeconds = request["timeLimitSeconds"].asInt();
  bool limited = limitSeconds > 0, stopped = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds + 30);
  char chunk[65536];
  auto takeLine = [&](const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value line;
    std::string errors;
    try {
      if (!reader->parse(text.data(), text.data() + text.size(), &line, &errors) || !line.isObject()) return;
    } catch (const std::exception&) {
      return;
    }
    if (line["kind"].asString() == "done") sawDone = true;
    if (line["kind"].asString() == "released" || sawDone) limited = false;
    queue->Push(std::move(line));
  };
  for (;;) {
    if (limited) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() > 0) {
        int r = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (r == 0 || (r < 0 && errno == EINTR)) continue;
      } else {
        // Its browser ends with it: the browser's command pipe closes.
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        limited = false;
        stopped = true;
      }
    }
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<size_t>(n));
    size_t newline;
    while ((newline = buffer.find('\n')) != std::string::npos) {
      takeLine(buffer.substr(0, newline));
      buffer.erase(0, newline + 1);
    }
    if (buffer.size() > (size_t(16) << 20)) buffer.clear();  // a line that never ends
  }
  close(fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!sawDone) {
    std::string how = WIFSIGNALED(status) ? "was killed by signal " + std::to_string(WTERMSIG(status))
                                          : "ended with status " + std::to_string(WEXITSTATUS(status));
    if (stopped) how = "was stopped after its time limit of " + std::to_string(limitSeconds) + " s";
    queue->Push(DoneLine(request, "the job process " + how + " before it finished"));
  }
}
}  // namespace

std::string FindJobExecutable() {
  if (const char* chosen = std::getenv("KESTRIX_JOB"); chosen && IsExecutableFile(chosen)) return chosen;
  std::string self = GetModuleFileNameA();
  size_t slash = self.rfind('/');
  if (slash != std::string::npos) {
    std::string beside = self.substr(0, slash + 1) + "kestrix-job";
    if (IsExecutableFile(beside)) return beside;
  }
  if (IsExecutableFile(KESTRIX_JOB_BUILD_PATH)) return KESTRIX_JOB_BUILD_PATH;
  return std::string();
}

bool LaunchJob(const Json::Value& request, std::shared_ptr<JobEventQueue> queue, std::string* error) {
  std::string executable = FindJobExecutable();
  if (executable.empty()) {
    *error = "the job process kestrix-job was not found next to " + GetModuleFileNameA() + " (or in $KESTRIX_JOB)";
    return false;
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  int input = RequestFile(Json::writeString(writer, request), error);
  if (input < 0) return false;
  int lines[2];
  if (pipe2(lines, O_CLOEXEC) != 0) {
    *error = "cannot create a pipe: " + std::string(std::strerror(errno));
    close(input);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, lines[1], STDOUT_FILENO);
  // It may outlive the host: it must not keep the host's other files and pipes open.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A session of its own: a signal for the host's group or session does not reach it.
  // Signal dispositions and mask back to defaults (the job sets its own).
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none, reset;
  sigemptyset(&none);
  sigemptyset(&reset);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) sigaddset(&reset, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &reset);
  std::string argv0 = executable;
  char* argv[] = {argv0.data(), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, executable.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(input);
  close(lines[1]);
  if (rc != 0) {
    close(lines[0]);
    *error = "cannot start " + executable + ": " + std::strerror(rc);
    return false;
  }
  // The reader needs only the names of the job, not its content.
  Json::Value names(Json::objectValue);
  names["type"] = request["type"];
  names["id"] = request["id"];
  names["timeLimitSeconds"] = request["timeLimitSeconds"];
  try {
    std::thread(ReadLines, lines[0], pid, names, std::move(queue)).detach();
  } catch (const std::exception& e) {
    // The job runs on, but nobody hears of it: say so rather than stay silent.
    close(lines[0]);
    *error = std::string("the job started but cannot be followed: ") + e.what();
    return false;
  }
  return true;
}
