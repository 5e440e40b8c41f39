// A child process for integration tests: spawned with pipes on its standard
// input and output, spoken to in frames (4-byte little-endian length + text)
// or raw bytes, read with a deadline, and waited for with a deadline.
// Nothing here sleeps for a fixed time: every wait polls its descriptor or the
// process until the deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The frame of a text: its length in 4 bytes, least significant first, then the text.
std::string Frame(std::string_view text);

struct ReadResult {
  enum Kind { Frame, Timeout, Closed } kind = Timeout;
  std::string text;     // the frame's text when kind == Frame
  Clock::time_point at;  // when the frame was complete
};

struct ExitStatus {
  bool exited = false;    // ended by exit() (else by a signal)
  int code = -1;          // exit status when exited
  int signal = 0;         // the signal that ended it otherwise
};

// A program started on two pipes: we hold `in` (its standard input) and `out`
// (its standard output), both close-on-exec; standard error is inherited, or
// appended to stderrPath when that is not empty. SIGPIPE is ignored from then
// on, so a write to a child that has gone fails instead of killing the caller.
// Throws std::runtime_error when the program cannot be started.
struct PipedChild {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
};
PipedChild SpawnOnPipes(const std::vector<std::string>& argv, char* const* envp, const std::string& stderrPath = "");

class ChildProcess {
 public:
  struct Options {
    // Extra or replaced environment variables (the rest is inherited).
    std::map<std::string, std::string> env;
    // Standard error: inherited when empty, else appended to this file.
    std::string stderrPath;
  };

  // Starts argv[0] (a path) with argv. Throws std::runtime_error when it cannot.
  ChildProcess(const std::vector<std::string>& argv, const Options& options);
  explicit ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Options{}) {}
  // Kills a child that is still running and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return m_pid; }
  Clock::time_point StartedAt() const { return m_started; }

  // False when the child's input is closed or broken.
  bool WriteRaw(std::string_view bytes);
  bool WriteFrame(std::string_view text) { return WriteRaw(Frame(text)); }
  void CloseStdin();
  // Closes our end of the child's standard output: its writes then fail.
  void CloseStdout();

  // The next whole frame, or Timeout / Closed (end of output) by the deadline.
  ReadResult ReadFrame(Millis timeout);
  // Frames until one whose text contains `needle`; the others are kept in
  // Skipped(). Timeout / Closed when none comes by the deadline.
  ReadResult ReadFrameContaining(std::string_view needle, Millis timeout);
  const std::vector<std::string>& Skipped() const { return m_skipped; }
  // For children that write plain text: everything until they close their
  // output (true) or the deadline passes (false, with what came so far).
  bool ReadAllOutput(std::string* out, Millis timeout);

  // The exit status once the child has ended; nullopt when it has not by the deadline.
  std::optional<ExitStatus> WaitExit(Millis timeout);
  // True while the child has not ended (reaps it when it has).
  bool Running();
  void Kill(int signal);

 private:
  pid_t m_pid = -1;
  int m_in = -1;   // our end of the child's stdin
  int m_out = -1;  // our end of the child's stdout
  std::string m_buffer;  // bytes read but not yet returned as frames
  std::vector<std::string> m_skipped;
  std::optional<ExitStatus> m_status;
  Clock::time_point m_started;

  bool TakeFrame(ReadResult* out);
};

// A fresh private directory under $TMPDIR (or /tmp), removed with its content
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// Polls `done` every few milliseconds until it is true or the deadline passes.
bool PollUntil(const std::function<bool()>& done, Millis timeout);

}  // namespace harness
