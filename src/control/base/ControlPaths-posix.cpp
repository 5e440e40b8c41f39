#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "control/base/ControlPaths.h"
#include "control/base/FileSystem.h"
#include "platform/Kernel.h"

#ifndef KESTRIX_JOB_BUILD_PATH
#define KESTRIX_JOB_BUILD_PATH ""
#endif

namespace {
std::string XdgFolder(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value && value[0] == '/') return value;  // relative values are ignored, as the rules say
  const std::string home = HomeFolder();
  return (home.empty() ? "/tmp" : home) + fallback;
}
}  // namespace

std::string ControlDataFolder() { return XdgFolder("XDG_DATA_HOME", "/.local/share") + "/kestrix"; }
std::string ControlConfigFolder() { return XdgFolder("XDG_CONFIG_HOME", "/.config") + "/kestrix"; }
std::string DefaultFilesFolder() { return ControlDataFolder() + "/files"; }

namespace {
bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}
}  // namespace

std::string FindJobExecutable() {
  if (const char* chosen = std::getenv("KESTRIX_JOB"); chosen && IsExecutableFile(chosen)) return chosen;
  std::string self = GetModuleFileNameA();
  size_t slash = self.rfind('/');
  if (slash != std::string::npos) {
    std::string beside = self.substr(0, slash + 1) + "kestrix-job";
    if (IsExecutableFile(beside)) return beside;
  }
  if (IsExecutableFile(KESTRIX_JOB_BUILD_PATH)) return KESTRIX_JOB_BUILD_PATH;
  return std::string();
}
