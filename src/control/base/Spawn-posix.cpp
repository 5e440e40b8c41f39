#include "control/base/Spawn.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

// Closes the descriptors it holds when the spawn is over.
struct Lifted {
  std::vector<int> fds;
  ~Lifted() {
    for (int fd : fds) close(fd);
  }
};

// The signals a program that sets its own finds at their defaults (defaultSignals).
constexpr int kDefaultSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2};

// fork() with every signal blocked in the child (a handler of this process
// must not run there); the caller's mask is kept in *old and restored here.
pid_t ForkQuietly(sigset_t* old) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, old);
  const pid_t child = fork();
  if (child != 0) pthread_sigmask(SIG_SETMASK, old, nullptr);
  return child;
}

// What failed in a forked child, sent up a close-on-exec pipe (nothing
// arrives when the exec succeeds).
struct ChildFailure {
  int where = 0;  // kSetup, kExec
  int error = 0;
};
constexpr int kSetup = 1, kExec = 2;

[[noreturn]] void ChildFails(int report, int where, int error) {
  ChildFailure failure{where, error};
  (void)!write(report, &failure, sizeof failure);
  _exit(127);
}

// posix_spawn cannot run a caller's work in the child (a new namespace, for
// one), so a spawn with beforeExec forks here: the one place that does, with
// the same descriptors, session, signals and environment as posix_spawn's
// path gives. Only system calls run between fork and exec; every array the
// child needs is made before.
pid_t ForkAndExec(const std::vector<char*>& argp, char** envp, const SpawnOptions& options,
                  const std::vector<int>& given, std::string* error) {
  const int count = static_cast<int>(options.fds.size());
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    if (error) *error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return -1;
  }
  // (Above the child's numbers, so that no dup2 there overwrites it.)
  for (int& fd : report) {
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, count);
    close(fd);
    fd = high;
  }
  sigset_t old;
  const pid_t child = ForkQuietly(&old);
  if (child == 0) {
    if (options.beforeExec)
      if (int failed = options.beforeExec(options.context)) ChildFails(report[1], kSetup, failed);
    if (options.detach == SpawnOptions::Detach::Session && setsid() < 0) ChildFails(report[1], kSetup, errno);
    if (options.detach == SpawnOptions::Detach::Group && setpgid(0, 0) != 0) ChildFails(report[1], kSetup, errno);
    for (int target = 0; target < count; ++target) {
      const ChildFd& c = options.fds[target];
      int fd = -1;
      if (c.kind == ChildFd::Kind::Inherit) continue;
      if (c.kind == ChildFd::Kind::Give) fd = given[target];
      if (c.kind == ChildFd::Kind::Null) fd = open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
      if (c.kind == ChildFd::Kind::Open) fd = open(c.path.c_str(), c.flags, c.mode);
      if (fd < 0) ChildFails(report[1], kSetup, errno);
      if (fd == target) {
        fcntl(fd, F_SETFD, 0);
        continue;
      }
      if (dup2(fd, target) < 0) ChildFails(report[1], kSetup, errno);
      if (c.kind != ChildFd::Kind::Give) close(fd);
    }
    // Nothing else goes across (the report pipe closes on the exec).
    close_range(static_cast<unsigned>(count), ~0U, CLOSE_RANGE_CLOEXEC);
    // No handler of this process may run once signals are let through.
    struct sigaction deflt {};
    deflt.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
      struct sigaction now {};
      if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN && now.sa_handler != SIG_DFL)
        sigaction(sig, &deflt, nullptr);
    }
    if (options.defaultSignals) {
      for (int sig : kDefaultSignals) sigaction(sig, &deflt, nullptr);
      sigemptyset(&old);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    execve(argp[0], argp.data(), envp);
    ChildFails(report[1], kExec, errno);
  }
  close(report[1]);
  if (child < 0) {
    close(report[0]);
    if (error) *error = std::string("cannot fork: ") + std::strerror(errno);
    return -1;
  }
  ChildFailure failure;
  ssize_t got;
  while ((got = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (got != static_cast<ssize_t>(sizeof failure)) return child;  // it runs the program
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (error)
    *error = std::string(failure.where == kSetup ? "cannot prepare " : "cannot start ") + argp[0] + ": " +
             std::strerror(failure.error);
  return -1;
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* error) {
  if (argv.empty()) {
    if (error) *error = "nothing to start";
    return -1;
  }
  const int count = static_cast<int>(options.fds.size());
  // A descriptor among the child's numbers could be overwritten by an
  // earlier action, and a dup2 onto itself would keep its close-on-exec:
  // the child gets a copy from above them.
  Lifted lifted;
  std::vector<int> given(count, -1);
  for (int target = 0; target < count; ++target) {
    if (options.fds[target].kind != ChildFd::Kind::Give) continue;
    int fd = fcntl(options.fds[target].fd, F_DUPFD_CLOEXEC, count);
    if (fd < 0) {
      if (error) *error = "cannot pass a descriptor: " + std::string(std::strerror(errno));
      return -1;
    }
    lifted.fds.push_back(given[target] = fd);
  }
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  std::vector<std::string> env = options.environment;
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char** environment = env.empty() ? environ : envp.data();
  if (options.beforeExec) return ForkAndExec(argp, environment, options, given, error);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int target = 0; target < count; ++target) {
    const ChildFd& c = options.fds[target];
    switch (c.kind) {
      case ChildFd::Kind::Inherit: break;
      case ChildFd::Kind::Null:
        posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
        break;
      case ChildFd::Kind::Open:
        posix_spawn_file_actions_addopen(&actions, target, c.path.c_str(), c.flags, c.mode);
        break;
      case ChildFd::Kind::Give: posix_spawn_file_actions_adddup2(&actions, given[target], target); break;
    }
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, count);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  short flags = 0;
  if (options.detach == SpawnOptions::Detach::Session) flags |= POSIX_SPAWN_SETSID;
  if (options.detach == SpawnOptions::Detach::Group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  sigset_t none, defaults;
  if (options.defaultSignals) {
    flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : kDefaultSignals) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
  }
  posix_spawnattr_setflags(&attr, flags);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0].c_str(), &actions, &attr, argp.data(), environment);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    if (error) *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

pid_t SpawnTask(int (*task)(void* context), void* context, std::string* error) {
  sigset_t old;
  const pid_t child = ForkQuietly(&old);
  if (child == 0) _exit(task(context));
  if (child < 0 && error) *error = std::string("cannot fork: ") + std::strerror(errno);
  return child;
}
