#include "control/base/ControlPaths.h"

#ifndef KESTRIX_JOB_BUILD_PATH
#define KESTRIX_JOB_BUILD_PATH ""
#endif

#include <fcntl.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Kernel.h"

namespace {
std::string Home() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  if (passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

std::string XdgFolder(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value && value[0] == '/') return value;  // relative values are ignored, as the rules say
  return Home() + fallback;
}
}  // namespace

std::string DataHome() { return XdgFolder("XDG_DATA_HOME", "/.local/share"); }
std::string ConfigHome() { return XdgFolder("XDG_CONFIG_HOME", "/.config"); }
std::string DefaultFilesFolder() { return DataHome() + "/kestrix/files"; }
std::string SettingsFilePath() { return DataHome() + "/kestrix/settings.json"; }
std::string SiteSettingsFilePath(const std::string& origin) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(origin.data(), origin.size(), digest, &length, EVP_sha256(), nullptr);
  static const char hex[] = "0123456789abcdef";
  std::string name;
  for (unsigned int i = 0; i < 16 && i < length; ++i) name += {hex[digest[i] >> 4], hex[digest[i] & 15]};
  return DataHome() + "/kestrix/settings/" + name + ".json";
}
std::string ControlConfigPath() { return ConfigHome() + "/kestrix/control.json"; }

bool MakeFolders(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  std::string prefix;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    prefix = path.substr(0, next);
    pos = next + 1;
    if (prefix.empty()) continue;
    struct stat st;
    if (stat(prefix.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return false;
      continue;
    }
    if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* out, size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO that nobody writes must not wait; it is then
  // refused, as is every other file that is not a regular one.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > maxBytes) {
    close(fd);
    return false;
  }
  std::string data;
  data.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
    if (data.size() > maxBytes) {
      close(fd);
      return false;
    }
  }
  close(fd);
  *out = std::move(data);
  return true;
}

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
