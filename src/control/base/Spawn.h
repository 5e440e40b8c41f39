// Spawn: starts a program the control needs (the job process, the render
// service, the browser, the desktop's opener) with exactly the descriptors it
// is given: every descriptor of ours that is not listed is closed in the
// child, so a process that outlives the host never holds the host's pipes,
// sockets or files open.
//
// The POSIX implementation is Spawn-posix.cpp; callers never see how.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// What one of the child's descriptors is.
struct ChildFd {
 public:
  enum class Kind { Inherit, Null, Give, Open };
  Kind kind = Kind::Null;
  int fd = -1;           // Give: our descriptor, which the child gets at this number
  std::string path;      // Open: a file opened for the child
  int flags = 0;         //   with these open flags
  unsigned mode = 0600;  //   and this mode when it is created

  static ChildFd Inherit() { return Make(Kind::Inherit); }
  // /dev/null, for reading (descriptor 0) or writing (any other).
  static ChildFd Null() { return Make(Kind::Null); }
  static ChildFd Give(int fd) {
    ChildFd c = Make(Kind::Give);
    c.fd = fd;
    return c;
  }
  static ChildFd Open(std::string path, int flags, unsigned mode = 0600) {
    ChildFd c = Make(Kind::Open);
    c.path = std::move(path);
    c.flags = flags;
    c.mode = mode;
    return c;
  }

 private:
  static ChildFd Make(Kind kind) {
    ChildFd c;
    c.kind = kind;
    return c;
  }
};

struct SpawnOptions {
  // The child's descriptors 0, 1, 2, ... in order; every one above is closed.
  std::vector<ChildFd> fds = {ChildFd::Null(), ChildFd::Null(), ChildFd::Inherit()};
  // Session: a session of its own (a signal for the host's group or session
  // does not reach it). Group: a process group of its own, led by the child,
  // so that whatever it starts can be ended with it.
  enum class Detach { None, Session, Group };
  Detach detach = Detach::Session;
  // Signal mask emptied and the signals the host ignores or handles back to
  // their defaults (for programs that set their own).
  bool defaultSignals = false;
  // The child's environment ("NAME=value"); empty: ours.
  std::vector<std::string> environment;
  // Work the child does itself before anything above (a namespace of its
  // own, say: what no spawn attribute can ask for), with every signal
  // blocked, our descriptors still open and context as given. It runs in a
  // copy of a process that may have threads: it may only make system calls
  // (nothing that allocates or takes a lock); whatever it needs is made
  // before. It returns 0, or an errno value: the child then ends at once and
  // Spawn fails with that error.
  int (*beforeExec)(void* context) = nullptr;
  void* context = nullptr;
};

// Starts argv[0] (a path) with argv. Returns the child's pid, which the
// caller reaps, or -1 with a message in *error (the program could not be
// started, or beforeExec failed: no child is left then).
pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* error);

// Runs task(context) in a child process that starts no program (for work
// that only a process of its own may do, such as entering another user
// namespace) and ends with task's return value as its exit status. task is
// bound as beforeExec is, and the child has all of our descriptors and every
// signal blocked. Returns the child's pid, which the caller reaps, or -1 with
// a message.
pid_t SpawnTask(int (*task)(void* context), void* context, std::string* error);
