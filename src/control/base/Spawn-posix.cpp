#include "control/base/Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* error) {
  if (argv.empty()) {
    if (error) *error = "nothing to start";
    return -1;
  }
  const int count = static_cast<int>(options.fds.size());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  Lifted lifted;
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
      case ChildFd::Kind::Give: {
        // A descriptor among the child's numbers could be overwritten by an
        // earlier action, and a dup2 onto itself would keep its close-on-exec:
        // the child gets a copy from above them.
        int fd = fcntl(c.fd, F_DUPFD_CLOEXEC, count);
        if (fd < 0) {
          posix_spawn_file_actions_destroy(&actions);
          if (error) *error = "cannot pass a descriptor: " + std::string(std::strerror(errno));
          return -1;
        }
        lifted.fds.push_back(fd);
        posix_spawn_file_actions_adddup2(&actions, fd, target);
        break;
      }
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
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
  }
  posix_spawnattr_setflags(&attr, flags);

  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  std::vector<std::string> env = options.environment;
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0].c_str(), &actions, &attr, argp.data(), env.empty() ? environ : envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    if (error) *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}
