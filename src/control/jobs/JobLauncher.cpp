#include "control/jobs/JobLauncher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

#include "control/base/ControlPaths.h"
#include "control/base/Spawn.h"
#include "platform/Kernel.h"

extern char** environ;  // what a process started ahead was started with

namespace {
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
    const JobLine::Kind kind = JobLine::KindOf(line);
    if (kind == JobLine::Kind::Done) sawDone = true;
    if (kind == JobLine::Kind::Released || sawDone) limited = false;
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
    if (n < 0 && errno == EBADF) fd = -1;  // closed elsewhere: the number is no longer ours to close
    if (n <= 0) break;
    buffer.append(chunk, static_cast<size_t>(n));
    size_t newline;
    while ((newline = buffer.find('\n')) != std::string::npos) {
      takeLine(buffer.substr(0, newline));
      buffer.erase(0, newline + 1);
    }
    if (buffer.size() > (size_t(16) << 20)) buffer.clear();  // a line that never ends
  }
  if (fd >= 0) close(fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!sawDone) {
    std::string how = WIFSIGNALED(status) ? "was killed by signal " + std::to_string(WTERMSIG(status))
                                          : "ended with status " + std::to_string(WEXITSTATUS(status));
    if (stopped) how = "was stopped after its time limit of " + std::to_string(limitSeconds) + " s";
    queue->Push(JobLine::Failed(request, "the job process " + how + " before it finished"));
  }
}
}  // namespace


namespace {
// What a descriptor refers to (0, 0 when it is not open).
struct FdIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};
FdIdentity IdentityOf(int fd) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return FdIdentity();
  return FdIdentity{st.st_dev, st.st_ino};
}
// True when fd still refers to what it did when identity was taken. A
// descriptor kept for long can be closed by a stray close elsewhere in the
// process (a library, a test); the next file opened then takes its number,
// and closing that number, or handing it to a job, would hit that file.
bool StillHolds(int fd, const FdIdentity& identity) {
  const FdIdentity now = IdentityOf(fd);
  return identity.inode != 0 && now.device == identity.device && now.inode == identity.inode;
}

// A job process started ahead of its job: it waits on a socket for the
// request file (kestrix-job --ready), so the next job does not wait for a
// program to load (about 10 ms, more on a busy machine). It ends by itself
// when the host closes the socket, on purpose or by ending, or when no job
// has come for ten minutes.
struct ReadyJob {
  std::string executable;
  size_t environment = 0;  // of the host when it started (see Environment)
  pid_t pid = -1;
  int socket = -1;  // the host's end
  int lines = -1;   // its standard output
  FdIdentity socketIs, linesAre;  // what the two were when it started

  // Both descriptors are still the ones it started with.
  bool Intact() const { return StillHolds(socket, socketIs) && StillHolds(lines, linesAre); }
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

// Starts the job process: its request file as stdin, or (input < 0) the
// socket it receives the file on as fd 3 and nothing as stdin. It may outlive
// the host: it gets no other descriptor of the host's, a session of its own (a
// signal for the host's group or session does not reach it), and the signals'
// defaults (the job sets its own).
bool StartJobProcess(const std::string& executable, int input, int socket, pid_t* pid, int* linesOut,
                     std::string* error) {
  int lines[2];
  if (pipe2(lines, O_CLOEXEC) != 0) {
    *error = "cannot create a pipe: " + std::string(std::strerror(errno));
    return false;
  }
  SpawnOptions options;
  options.fds = {input >= 0 ? ChildFd::Give(input) : ChildFd::Null(), ChildFd::Give(lines[1]), ChildFd::Inherit()};
  if (socket >= 0) options.fds.push_back(ChildFd::Give(socket));
  options.defaultSignals = true;
  std::vector<std::string> argv = {executable};
  if (socket >= 0) argv.push_back("--ready");
  *pid = Spawn(argv, options, error);
  close(lines[1]);
  if (*pid < 0) {
    close(lines[0]);
    return false;
  }
  *linesOut = lines[0];
  return true;
}

// Closes the host's ends of a waiting process, which then ends by itself,
// and forgets it; returns its pid (0 when none waited), for the caller to reap.
// A number that no longer holds its end is left alone: it is another's now.
pid_t LetGo(ReadyJob* ready) {
  const pid_t pid = ready->pid > 0 ? ready->pid : 0;
  if (pid) {
    if (StillHolds(ready->socket, ready->socketIs)) close(ready->socket);
    if (StillHolds(ready->lines, ready->linesAre)) close(ready->lines);
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
  ready.socket = pair[0];
  const int theirs = pair[1];
  std::string ignored;
  if (StartJobProcess(executable, -1, theirs, &ready.pid, &ready.lines, &ignored)) {
    ready.socketIs = IdentityOf(ready.socket);
    ready.linesAre = IdentityOf(ready.lines);
    g_ready = ready;
  } else {
    close(ready.socket);
  }
  close(theirs);
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
  if (ready.pid > 0 && ready.executable == executable && ready.environment == Environment() && ready.Intact() &&
      Hand(ready, input)) {
    close(ready.socket);
    pid = ready.pid;
    lines = ready.lines;
  } else {
    Dismiss(&ready);
    lseek(input, 0, SEEK_SET);  // (one that died may have read some of it: the offset is shared)
    if (!StartJobProcess(executable, input, -1, &pid, &lines, error)) {
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
