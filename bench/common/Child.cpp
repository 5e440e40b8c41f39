#include "common/Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "support/harness/Harness.h"

extern char** environ;

namespace bench {

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

Child::Child(const std::vector<std::string>& argv) {
  // The test harness starts it (SIGPIPE ignored: a child that has gone shows up
  // as a failed write); the benchmarks wait with deadlines on our ends.
  harness::PipedChild child = harness::SpawnOnPipes(argv, environ);
  m_pid = child.pid;
  m_in = child.in;
  m_out = child.out;
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
