#include "platform/Kernel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/KernelObjects.h"

namespace {
thread_local DWORD t_lastError = 0;
std::atomic<DWORD> g_reportedMajor{10};
std::atomic<DebugOutputSink> g_debugSink{nullptr};
}  // namespace

// A handle that can be looked at: never null or INVALID_HANDLE_VALUE (-1),
// which a failed open returns and which must not be dereferenced.
static KernelObject* Object(HANDLE h) { return (h && h != INVALID_HANDLE_VALUE) ? h : nullptr; }

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

// ---- Events -----------------------------------------------------------------------
HANDLE CreateEventW(void*, BOOL manualReset, BOOL initialState, const wchar_t*) {
  auto* e = new EventObject;
  e->manualReset = manualReset != FALSE;
  e->signalled = initialState != FALSE;
  return e;
}

BOOL SetEvent(HANDLE handle) {
  auto* e = dynamic_cast<EventObject*>(Object(handle));
  if (!e) return FALSE;
  {
    std::lock_guard lock(e->mu);
    e->signalled = true;
  }
  e->cv.notify_all();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto* e = dynamic_cast<EventObject*>(Object(handle));
  if (!e) return FALSE;
  std::lock_guard lock(e->mu);
  e->signalled = false;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs) {
  if (auto* e = dynamic_cast<EventObject*>(Object(handle))) {
    std::unique_lock lock(e->mu);
    auto ready = [e] { return e->signalled; };
    if (timeoutMs == INFINITE) {
      e->cv.wait(lock, ready);
    } else if (!e->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
      return WAIT_TIMEOUT;
    }
    if (!e->manualReset) e->signalled = false;
    return WAIT_OBJECT_0;
  }
  if (auto* p = dynamic_cast<ProcessObject*>(Object(handle))) return p->Wait(timeoutMs);
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE handle) {
  if (!Object(handle)) return FALSE;
  if (dynamic_cast<StdHandleObject*>(handle)) return TRUE;  // the standard handles live for the process
  delete handle;
  return TRUE;
}

// ---- Threads ----------------------------------------------------------------------
HANDLE CreateThread(void*, size_t, LPTHREAD_START_ROUTINE start, void* parameter, DWORD, DWORD* threadId) {
  try {
    std::thread([start, parameter] { start(parameter); }).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  if (threadId) *threadId = 0;
  return new ThreadObject;
}

// ---- Version ------------------------------------------------------------------------
BOOL GetVersionExW(OSVERSIONINFOW* info) {
  if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOW) - sizeof(info->szCSDVersion)) return FALSE;
  info->dwMajorVersion = g_reportedMajor.load();
  info->dwMinorVersion = 0;
  info->dwBuildNumber = 19045;
  info->dwPlatformId = 2;
  info->szCSDVersion[0] = 0;
  return TRUE;
}

void SetReportedMajorVersion(DWORD major) { g_reportedMajor = major; }

// ---- Paths --------------------------------------------------------------------------
std::string GetTempPathA() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t && t[0] == '/') ? t : "/tmp/";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

std::string GetModuleFileNameA() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

bool GetFileCreationFileTime(const std::string& path, FILETIME* out) {
  struct statx sx;
  int64_t sec = 0;
  uint32_t nsec = 0;
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) != 0) return false;
  if (sx.stx_mask & STATX_BTIME) {
    sec = sx.stx_btime.tv_sec;
    nsec = sx.stx_btime.tv_nsec;
  } else {
    sec = sx.stx_mtime.tv_sec;
    nsec = sx.stx_mtime.tv_nsec;
  }
  // FILETIME counts 100 ns from 1601-01-01; Unix time from 1970-01-01.
  constexpr uint64_t kEpochDelta = 116444736000000000ull;
  uint64_t ft = kEpochDelta + static_cast<uint64_t>(sec) * 10000000ull + nsec / 100;
  out->dwLowDateTime = static_cast<DWORD>(ft);
  out->dwHighDateTime = static_cast<DWORD>(ft >> 32);
  return true;
}

// ---- Standard handles -----------------------------------------------------------------
HANDLE GetStdHandle(DWORD which) {
  static StdHandleObject in(0), out(1), err(2);
  switch (which) {
    case STD_INPUT_HANDLE: return &in;
    case STD_OUTPUT_HANDLE: return &out;
    case STD_ERROR_HANDLE: return &err;
    default: return INVALID_HANDLE_VALUE;
  }
}

int HandleToFd(HANDLE handle) {
  if (auto* f = dynamic_cast<FileObject*>(Object(handle))) return f->fd;
  return -1;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD n, DWORD* read, void*) {
  int fd = HandleToFd(file);
  if (read) *read = 0;
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ssize_t r;
  do {
    r = ::read(fd, buffer, n);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    SetLastError(errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_BROKEN_PIPE);
    return FALSE;
  }
  if (r == 0) {
    SetLastError(ERROR_BROKEN_PIPE);  // the writer has closed its end
    return FALSE;
  }
  if (read) *read = static_cast<DWORD>(r);
  return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD n, DWORD* written, void*) {
  int fd = HandleToFd(file);
  if (written) *written = 0;
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char* p = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      SetLastError(ERROR_BROKEN_PIPE);
      if (written) *written = done;
      return FALSE;
    }
    done += static_cast<DWORD>(w);
  }
  if (written) *written = done;
  return TRUE;
}

// ---- Debugger output --------------------------------------------------------------------
namespace {
bool DebuggerAttached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10) != 0;
  }
  return false;
}
}  // namespace

void OutputDebugStringA(const char* text) {
  if (!text) return;
  if (DebugOutputSink sink = g_debugSink.load()) {
    sink(text);
    return;
  }
  // Asked once: attaching a debugger later is rare, and the check reads /proc.
  static const bool attached = DebuggerAttached();
  if (attached) {
    std::fputs(text, stderr);
    std::fputc('\n', stderr);
  }
}

void SetDebugOutputSink(DebugOutputSink sink) { g_debugSink = sink; }
