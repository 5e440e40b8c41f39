#include "platform/Pipe.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/KernelObjects.h"

extern char** environ;

FileObject::~FileObject() {
  if (fd >= 0) ::close(fd);
}

PipeServerObject::~PipeServerObject() {
  if (!path.empty()) ::unlink(path.c_str());
}

std::string PrivatePipeFolder() {
  std::string dir = GetTempPathA() + "kestrix-" + std::to_string(::getuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return {};
  // Someone else's folder, a link, or one that others can enter is not ours to use.
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 0077) != 0) return {};
  return dir;
}

std::string PipePath(const std::string& pipeName, long launcherPid) {
  std::string dir = PrivatePipeFolder();
  if (dir.empty()) return {};
  // "\\.\pipe\NAME" -> NAME
  std::string base = pipeName;
  size_t slash = base.find_last_of("\\/");
  if (slash != std::string::npos) base = base.substr(slash + 1);
  return dir + "/" + base + "." + std::to_string(launcherPid);
}

HANDLE CreateNamedPipeW(const std::string& name, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, void*) {
  std::string path = PipePath(name, ::getpid());
  if (path.empty()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  ::unlink(path.c_str());  // a leftover of an earlier process with our pid
  if (::mkfifo(path.c_str(), 0600) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return new PipeServerObject(path);
}

BOOL ConnectNamedPipe(HANDLE pipe, OVERLAPPED*) {
  auto* server = (pipe && pipe != INVALID_HANDLE_VALUE) ? dynamic_cast<PipeServerObject*>(pipe) : nullptr;
  if (!server) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (server->fd >= 0) return TRUE;
  // Opening a FIFO for writing without a reader fails with ENXIO when non-blocking;
  // poll so that a worker that never comes cannot hold the launcher for ever.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    int fd = ::open(server->path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      server->fd = fd;
      return TRUE;
    }
    if (errno != ENXIO || std::chrono::steady_clock::now() > deadline) {
      SetLastError(ERROR_BROKEN_PIPE);
      return FALSE;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

HANDLE CreateFileW(const std::string& name, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
  std::string path = PipePath(name, ::getppid());
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // blocks until the launcher connects
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return new FileObject(fd);
}

HANDLE CreateRelayPipe(const std::string& baseName, HANDLE* workerEnd) {
  *workerEnd = nullptr;
  return CreateNamedPipeW(baseName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 2048, 2048, 5000, nullptr);
}

BOOL ConnectRelayPipe(HANDLE pipe) { return ConnectNamedPipe(pipe, nullptr); }

void CloseRelayPipe(HANDLE pipe) { CloseHandle(pipe); }

HANDLE OpenRelayPipe(const std::string& baseName) {
  return CreateFileW(baseName, FILE_READ_DATA, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

namespace {
struct PendingRead {
  int fd = -1;
  void* buffer = nullptr;
  DWORD n = 0;
  OVERLAPPED* overlapped = nullptr;
  LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
};
thread_local PendingRead t_pending;
}  // namespace

BOOL ReadFileEx(HANDLE file, void* buffer, DWORD n, OVERLAPPED* overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  int fd = HandleToFd(file);
  if (fd < 0 || !routine || t_pending.routine) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  t_pending = PendingRead{fd, buffer, n, overlapped, routine};
  return TRUE;
}

DWORD SleepEx(DWORD ms, BOOL alertable) {
  if (alertable && t_pending.routine) {
    PendingRead r = t_pending;
    t_pending = PendingRead{};
    ssize_t got;
    do {
      got = ::read(r.fd, r.buffer, r.n);
    } while (got < 0 && errno == EINTR);
    if (got > 0)
      r.routine(0, static_cast<DWORD>(got), r.overlapped);
    else
      r.routine(got == 0 ? ERROR_BROKEN_PIPE : ERROR_OPERATION_ABORTED, 0, r.overlapped);
    return WAIT_IO_COMPLETION;
  }
  if (ms == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return 0;
}

// ---- Processes ------------------------------------------------------------------
void GetStartupInfoW(STARTUPINFOW* info) {
  *info = STARTUPINFOW{sizeof(STARTUPINFOW), 0, 0, nullptr, nullptr, nullptr};
}

BOOL CreateProcessW(const std::string& applicationName, void*, void*, void*, BOOL, DWORD, void*, void*,
                    STARTUPINFOW* si, PROCESS_INFORMATION* pi) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (si && (si->dwFlags & STARTF_USESTDHANDLES)) {
    HANDLE input = si->hStdInput == INVALID_HANDLE_VALUE ? nullptr : si->hStdInput;
    int in = dynamic_cast<PipeServerObject*>(input) ? -1 : HandleToFd(input);
    if (in >= 0)
      posix_spawn_file_actions_adddup2(&actions, in, 0);
    else
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int out = HandleToFd(si->hStdOutput), err = HandleToFd(si->hStdError);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
    if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, 2);
  }
  char* argv[] = {const_cast<char*>(applicationName.c_str()), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, applicationName.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (pi) {
    pi->hProcess = new ProcessObject(pid);
    pi->hThread = new ThreadObject;
    pi->dwProcessId = static_cast<DWORD>(pid);
    pi->dwThreadId = 0;
  }
  return TRUE;
}

DWORD ProcessObject::Wait(DWORD timeoutMs) {
  std::lock_guard lock(mu);
  if (reaped) return WAIT_OBJECT_0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status;
    pid_t r = ::waitpid(pid, &status, timeoutMs == INFINITE ? 0 : WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) {
      reaped = true;
      return WAIT_OBJECT_0;
    }
    if (r < 0 && errno == EINTR) continue;
    if (timeoutMs != INFINITE && std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
    if (timeoutMs != INFINITE) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
