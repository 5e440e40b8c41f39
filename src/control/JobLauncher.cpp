#include "control/JobLauncher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string_view>
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

namespace {
// A job process started ahead of its job: it waits on a socket for the
// request file (kestrix-job --ready), so the next job does not wait for a
// program to load (about 10 ms, more on a busy machine). It ends by itself
// when the host closes the socket, on purpose or by ending.
struct ReadyJob {
  std::string executable;
  size_t environment = 0;  // of the host when it started (see Environment)
  pid_t pid = -1;
  int socket = -1;  // the host's end
  int lines = -1;   // its standard output
};
std::mutex g_readyMutex;
ReadyJob g_ready;
// How long a waiting process may take to say it has its request file; one
// that does not is replaced (the file goes to a fresh one). It runs on the
// main thread, so the wait is short.
constexpr int kHandMs = 1000;

// The environment it would start with now: a process started ahead with
// another one (the host changed a variable since) is not used.
size_t Environment() {
  size_t key = 0;
  for (char** entry = environ; *entry; ++entry) key = key * 31 + std::hash<std::string_view>()(*entry);
  return key;
}

// Lifts fd clear of the child's 0-3 (a dup2 onto itself would keep its close-on-exec).
int Lift(int fd) {
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return high;
}

// Starts the job process: its request file as stdin, or (input < 0) the
// socket it receives the file on as fd 3 and nothing as stdin.
bool Spawn(const std::string& executable, int input, int socket, pid_t* pid, int* linesOut, std::string* error) {
  int lines[2];
  if (pipe2(lines, O_CLOEXEC) != 0) {
    *error = "cannot create a pipe: " + std::string(std::strerror(errno));
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0) posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  else posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, lines[1], STDOUT_FILENO);
  if (socket >= 0) posix_spawn_file_actions_adddup2(&actions, socket, 3);
  // It may outlive the host: it must not keep the host's other files and pipes open.
  posix_spawn_file_actions_addclosefrom_np(&actions, socket >= 0 ? 4 : 3);
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
  std::string argv0 = executable, ready = "--ready";
  char* argv[] = {argv0.data(), socket >= 0 ? ready.data() : nullptr, nullptr};
  int rc = posix_spawn(pid, executable.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(lines[1]);
  if (rc != 0) {
    close(lines[0]);
    *error = "cannot start " + executable + ": " + std::strerror(rc);
    return false;
  }
  *linesOut = lines[0];
  return true;
}

// Closes the host's ends of a waiting process, which then ends by itself,
// and forgets it; returns its pid (0 when none waited), for the caller to reap.
pid_t LetGo(ReadyJob* ready) {
  const pid_t pid = ready->pid > 0 ? ready->pid : 0;
  if (pid) {
    close(ready->socket);
    close(ready->lines);
  }
  *ready = ReadyJob();
  return pid;
}

void Dismiss(ReadyJob* ready) {
  const pid_t pid = LetGo(ready);
  if (!pid) return;
  kill(-pid, SIGKILL);  // it ends on its own; this is for one that does not
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Hands the request file to a waiting job process; false when it has gone.
bool Hand(const ReadyJob& ready, int input) {
  if (!SendRequestFile(ready.socket, input)) return false;
  // It says it has the file. Until then it may have died with the file still
  // in the socket (a send to a process being killed can succeed).
  pollfd answer{ready.socket, POLLIN, 0};
  int n;
  while ((n = poll(&answer, 1, kHandMs)) < 0 && errno == EINTR) {
  }
  char taken = 0;
  return n == 1 && read(ready.socket, &taken, 1) == 1;
}

// Starts the process for the next job, unless one waits already.
void MakeReady(const std::string& executable) {
  std::lock_guard lock(g_readyMutex);
  if (g_ready.pid > 0) return;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
  ReadyJob ready;
  ready.executable = executable;
  ready.environment = Environment();
  ready.socket = Lift(pair[0]);
  const int theirs = Lift(pair[1]);
  std::string ignored;
  if (ready.socket >= 0 && theirs >= 0 && Spawn(executable, -1, theirs, &ready.pid, &ready.lines, &ignored)) {
    g_ready = ready;
  } else if (ready.socket >= 0) {
    close(ready.socket);
  }
  if (theirs >= 0) close(theirs);
}

// One byte with a descriptor attached, the form of the hand-over both ways.
struct FileMessage {
  char byte = 'j';
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  FileMessage() {
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
  }
  FileMessage(const FileMessage&) = delete;
  FileMessage& operator=(const FileMessage&) = delete;
};
}  // namespace

bool SendRequestFile(int socket, int fd) {
  FileMessage file;
  cmsghdr* header = CMSG_FIRSTHDR(&file.message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  ssize_t n;
  while ((n = sendmsg(socket, &file.message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return n == 1;
}

int ReceiveRequestFile(int socket) {
  FileMessage file;
  ssize_t n;
  while ((n = recvmsg(socket, &file.message, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
  }
  cmsghdr* header = n > 0 ? CMSG_FIRSTHDR(&file.message) : nullptr;
  if (!header || header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) return -1;
  int fd;
  std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
  return fd;
}

pid_t ReadyJobProcess() {
  std::lock_guard lock(g_readyMutex);
  return g_ready.pid > 0 ? g_ready.pid : 0;
}

pid_t ReleaseReadyJob() {
  std::lock_guard lock(g_readyMutex);
  return LetGo(&g_ready);
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
  ReadyJob ready;
  {
    std::lock_guard lock(g_readyMutex);
    std::swap(ready, g_ready);
  }
  pid_t pid = -1;
  int lines = -1;
  // Once the file is on its way the job is the process's, whatever the host does next.
  if (ready.pid > 0 && ready.executable == executable && ready.environment == Environment() && Hand(ready, input)) {
    close(ready.socket);
    pid = ready.pid;
    lines = ready.lines;
  } else {
    Dismiss(&ready);
    lseek(input, 0, SEEK_SET);  // (one that died may have read some of it: the offset is shared)
    if (!Spawn(executable, input, -1, &pid, &lines, error)) {
      close(input);
      return false;
    }
  }
  close(input);
  // The reader needs only the names of the job, not its content.
  Json::Value names(Json::objectValue);
  names["type"] = request["type"];
  names["id"] = request["id"];
  names["timeLimitSeconds"] = request["timeLimitSeconds"];
  try {
    std::thread(ReadLines, lines, pid, names, std::move(queue)).detach();
  } catch (const std::exception& e) {
    // The job runs on, but nobody hears of it: say so rather than stay silent.
    close(lines);
    *error = std::string("the job started but cannot be followed: ") + e.what();
    return false;
  }
  MakeReady(executable);
  return true;
}
