// Spawn: the child has exactly the descriptors it is given, the environment
// it is given, and the session or group asked for, whether it is spawned
// directly or forked to run work of the caller's before the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "control/base/Spawn.h"

namespace {

// Runs a shell line with its standard output given a pipe; what it printed.
std::string RunShell(const std::string& line, SpawnOptions options) {
  int out[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  options.fds.resize(std::max<size_t>(options.fds.size(), 3), ChildFd::Null());
  options.fds[1] = ChildFd::Give(out[1]);
  std::string error;
  pid_t pid = Spawn({"/bin/sh", "-c", line}, options, &error);
  close(out[1]);
  EXPECT_GT(pid, 0) << error;
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  return text;
}

int NoWork(void*) { return 0; }
int ChangeFolder(void* folder) { return chdir(static_cast<const char*>(folder)) == 0 ? 0 : errno; }

// Both ways a child is made: posix_spawn, and the fork that runs the caller's work first.
SpawnOptions Way(bool forked) {
  SpawnOptions options;
  if (forked) options.beforeExec = NoWork;
  return options;
}

std::string Open(int fd) { return "[ -e /proc/self/fd/" + std::to_string(fd) + " ] && echo open || echo closed;"; }

class Spawning : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Spawn, Spawning, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Forked" : "Direct"; });

TEST_P(Spawning, TheChildHasTheDescriptorsItIsGivenAndNoOther) {
  // Inherited by every child unless closed (no close-on-exec), as a
  // descriptor opened by a library the host links would be.
  int opened = open("/dev/null", O_RDONLY);
  int stray = fcntl(opened, F_DUPFD, 50);  // above the child's own numbers
  close(opened);
  ASSERT_GE(stray, 50);
  int given = open("/dev/null", O_RDONLY | O_CLOEXEC);
  SpawnOptions options = Way(GetParam());
  options.fds = {ChildFd::Null(), ChildFd::Null(), ChildFd::Null(), ChildFd::Give(given)};
  EXPECT_EQ(RunShell(Open(stray) + Open(3) + Open(4), options), "closed\nopen\nclosed\n");
  // A descriptor given at its own number among the child's numbers still
  // arrives. (At a number this test holds: one taken by dup2 would close
  // whatever the process keeps there, and whoever keeps it would later
  // close the next file opened under that number.)
  options.fds.assign(given + 1, ChildFd::Null());
  options.fds[given] = ChildFd::Give(given);
  EXPECT_EQ(RunShell(Open(given), options), "open\n");
  close(stray);
  close(given);
}

TEST_P(Spawning, EnvironmentAndDetachAreTheOnesAsked) {
  SpawnOptions options = Way(GetParam());
  options.environment = {"KX_ONLY=1"};
  options.detach = SpawnOptions::Detach::Group;
  // Fields 1, 5 and 6 of /proc/<pid>/stat: pid, process group, session.
  std::istringstream group(RunShell("echo \"$KX_ONLY-${HOME:-none}\"; read l < /proc/$$/stat; echo $l | cut -d' ' -f1,5,6", options));
  std::string env, pid, pgrp, sid;
  group >> env >> pid >> pgrp >> sid;
  EXPECT_EQ(env, "1-none");
  EXPECT_EQ(pgrp, pid);
  EXPECT_NE(sid, pid);
  options.detach = SpawnOptions::Detach::Session;
  options.environment.clear();
  std::istringstream session(RunShell("read l < /proc/$$/stat; echo $l | cut -d' ' -f1,5,6", options));
  session >> pid >> pgrp >> sid;
  EXPECT_EQ(sid, pid);
  std::string error;
  EXPECT_EQ(Spawn({"/nonexistent/program"}, Way(GetParam()), &error), -1);
  EXPECT_NE(error.find("/nonexistent/program"), std::string::npos) << error;
}

TEST(Spawn, TheCallersWorkRunsInTheChildAndItsFailureIsSpawnsFailure) {
  SpawnOptions options;
  options.beforeExec = ChangeFolder;
  options.context = const_cast<char*>("/proc");
  EXPECT_EQ(RunShell("pwd", options), "/proc\n");
  char here[4096];
  EXPECT_STRNE(getcwd(here, sizeof here), "/proc") << "the work ran in this process";
  std::string error;
  options.context = const_cast<char*>("/nonexistent");
  EXPECT_EQ(Spawn({"/bin/true"}, options, &error), -1);
  EXPECT_NE(error.find(std::strerror(ENOENT)), std::string::npos) << error;
  // A task without a program: its return value is the child's exit status.
  int touched = 0;
  pid_t pid = SpawnTask([](void* c) { return ++*static_cast<int*>(c) + 6; }, &touched, &error);
  ASSERT_GT(pid, 0) << error;
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
  EXPECT_EQ(touched, 0);
}

}  // namespace
