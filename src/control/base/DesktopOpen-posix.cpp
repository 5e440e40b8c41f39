#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "control/base/DesktopOpen.h"
#include "control/base/Spawn.h"

bool LaunchOpener(const std::string& path) {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!(display && *display) && !(wayland && *wayland)) return false;
  std::string opener = "/usr/bin/xdg-open";
  if (access(opener.c_str(), X_OK) != 0) return false;
  // Standard input and output are the host's message channel: the opener gets neither.
  std::string error;
  pid_t pid = Spawn({opener, path}, SpawnOptions{}, &error);
  if (pid < 0) return false;
  // Reap the opener when it ends (it hands the file to the desktop and quits).
  std::thread([pid] {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

