#include "common/Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace bench {

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

Child::Child(const std::vector<std::string>& argv) {
  // A child that has gone must show up as a failed write, not kill us.
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
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  int rc = ::posix_spawn(&m_pid, argp[0], &actions, nullptr, argp.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  m_in = in[1];
  m_out = out[0];
  // Our ends only: the child's ends are separate open files and stay blocking.
  ::fcntl(m_in, F_SETFL, ::fcntl(m_in, F_GETFL) | O_NONBLOCK);
  ::fcntl(m_out, F_SETFL, ::fcntl(m_out, F_GETFL) | O_NONBLOCK);
}

Child::~Child() {
  CloseIn();
  if (m_out >= 0) ::close(m_out);
  if (m_pid > 0) {
    Kill();
    ::waitpid(m_pid, nullptr, 0);
  }
}

bool Child::WriteAll(std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    if (m_in < 0) return false;
    ssize_t n = ::write(m_in, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    pollfd p{m_in, POLLOUT, 0};
    int left = MillisLeft(deadline);
    if (left == 0 || ::poll(&p, 1, left) <= 0) return false;
  }
  return true;
}

void Child::CloseIn() {
  if (m_in >= 0) ::close(m_in);
  m_in = -1;
}

bool Child::WaitExit(Clock::time_point deadline) {
  if (m_pid <= 0) return true;
  for (;;) {
    pid_t r = ::waitpid(m_pid, nullptr, WNOHANG);
    if (r == m_pid || (r < 0 && errno == ECHILD)) {
      m_pid = -1;
      return true;
    }
    if (Clock::now() >= deadline) return false;
    // The process descriptor becomes readable when the child ends.
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
    if (pidfd < 0) return false;
    pollfd p{pidfd, POLLIN, 0};
    ::poll(&p, 1, MillisLeft(deadline));
    ::close(pidfd);
  }
}

void Child::Kill() {
  if (m_pid > 0) ::kill(m_pid, SIGKILL);
}

}  // namespace bench
