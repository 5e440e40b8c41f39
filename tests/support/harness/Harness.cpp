#include "support/harness/Harness.h"

#include "framing/FrameCodec.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "framing/FrameCodec.h"

extern char** environ;

namespace harness {

namespace {

constexpr Millis kPollStep{5};

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (!overrides.count(name)) env.push_back(entry);
  }
  for (const auto& [name, value] : overrides) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (std::string& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

int Remaining(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string Frame(std::string_view text) { return ::Frame(text); }

PipedChild SpawnOnPipes(const std::vector<std::string>& argv, char* const* envp, const std::string& stderrPath) {
  // Writing to a child that has gone must fail, not kill the caller.
  ::signal(SIGPIPE, SIG_IGN);
  if (argv.empty()) throw std::runtime_error("no program to start");

  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (!stderrPath.empty())
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);

  std::vector<std::string> args = argv;
  std::vector<char*> argp = Pointers(args);
  PipedChild child;
  int rc = posix_spawn(&child.pid, args[0].c_str(), &actions, nullptr, argp.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  }
  child.in = in[1];
  child.out = out[0];
  return child;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
  std::vector<std::string> env = MergedEnvironment(options.env);
  std::vector<char*> envp = Pointers(env);
  m_started = Clock::now();
  PipedChild child = SpawnOnPipes(argv, envp.data(), options.stderrPath);
  m_pid = child.pid;
  m_in = child.in;
  m_out = child.out;
}

ChildProcess::~ChildProcess() {
  if (Running()) {
    Kill(SIGKILL);
    WaitExit(Millis(5000));
  }
  CloseStdin();
  CloseStdout();
}

bool ChildProcess::WriteRaw(std::string_view bytes) {
  if (m_in < 0) return false;
  while (!bytes.empty()) {
    ssize_t w = ::write(m_in, bytes.data(), bytes.size());
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(w));
  }
  return true;
}

void ChildProcess::CloseStdin() {
  if (m_in >= 0) ::close(m_in);
  m_in = -1;
}

void ChildProcess::CloseStdout() {
  if (m_out >= 0) ::close(m_out);
  m_out = -1;
}

bool ChildProcess::TakeFrame(ReadResult* out) {
  if (m_buffer.size() < 4) return false;
  uint32_t n = DecodeFrameLength(m_buffer.data());
  if (m_buffer.size() - 4 < n) return false;
  out->kind = ReadResult::Frame;
  out->text = m_buffer.substr(4, n);
  out->at = Clock::now();
  m_buffer.erase(0, 4 + static_cast<size_t>(n));
  return true;
}

ReadResult ChildProcess::ReadFrame(Millis timeout) {
  ReadResult result;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (TakeFrame(&result)) return result;
    if (m_out < 0) {
      result.kind = ReadResult::Closed;
      return result;
    }
    pollfd p{m_out, POLLIN, 0};
    int r = ::poll(&p, 1, Remaining(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      result.kind = ReadResult::Timeout;
      return result;
    }
    char buf[65536];
    ssize_t got = ::read(m_out, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      result.kind = ReadResult::Closed;
      return result;
    }
    m_buffer.append(buf, static_cast<size_t>(got));
  }
}

ReadResult ChildProcess::ReadFrameContaining(std::string_view needle, Millis timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    ReadResult r = ReadFrame(Millis(Remaining(deadline)));
    if (r.kind != ReadResult::Frame) return r;
    if (r.text.find(needle) != std::string::npos) return r;
    m_skipped.push_back(r.text);
  }
}

bool ChildProcess::ReadAllOutput(std::string* out, Millis timeout) {
  auto deadline = Clock::now() + timeout;
  out->swap(m_buffer);
  m_buffer.clear();
  while (m_out >= 0) {
    pollfd p{m_out, POLLIN, 0};
    int r = ::poll(&p, 1, Remaining(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return false;
    char buf[65536];
    ssize_t got = ::read(m_out, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    out->append(buf, static_cast<size_t>(got));
  }
  return true;
}

bool ChildProcess::Running() {
  if (m_status || m_pid <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(m_pid, &status, WNOHANG);
  if (r == 0) return true;
  ExitStatus s;
  if (r == m_pid) {
    s.exited = WIFEXITED(status);
    s.code = s.exited ? WEXITSTATUS(status) : -1;
    s.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  m_status = s;
  return false;
}

std::optional<ExitStatus> ChildProcess::WaitExit(Millis timeout) {
  auto deadline = Clock::now() + timeout;
  while (Running()) {
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPollStep);
  }
  return m_status;
}

void ChildProcess::Kill(int signal) {
  if (!m_status && m_pid > 0) ::kill(m_pid, signal);
}

TempDir::TempDir() {
  const char* t = std::getenv("TMPDIR");
  std::string base = (t && t[0] == '/') ? t : "/tmp";
  std::string templ = base + "/kx-test-XXXXXX";
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  m_path = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

bool PollUntil(const std::function<bool()>& done, Millis timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace harness
