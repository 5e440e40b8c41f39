// A child process on two pipes: we write its standard input and read its
// standard output. Our ends are non-blocking; every wait is a poll with a
// deadline, so a benchmark never hangs on a host that stopped answering.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

class Child {
 public:
  // Starts argv[0] with argv; standard error is inherited. Throws
  // std::runtime_error when the program cannot be started.
  explicit Child(const std::vector<std::string>& argv);
  ~Child();  // kills a child that is still running, and reaps it
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return m_pid; }
  int In() const { return m_in; }    // our end of its standard input
  int Out() const { return m_out; }  // our end of its standard output

  // Writes all bytes, waiting for room until the deadline. False when the
  // pipe broke or the deadline passed.
  bool WriteAll(std::string_view bytes, Clock::time_point deadline);
  void CloseIn();
  // True when the child ended by the deadline (it is reaped); false otherwise.
  bool WaitExit(Clock::time_point deadline);
  void Kill();

 private:
  pid_t m_pid = -1;
  int m_in = -1;
  int m_out = -1;
};

// Milliseconds left until the deadline, for poll(); never negative.
int MillisLeft(Clock::time_point deadline);

}  // namespace bench
