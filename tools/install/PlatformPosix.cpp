// Linux: browsers find a manifest by its folder alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Platform.h"

namespace installer {
namespace fs = std::filesystem;

const std::vector<Browser>& AllBrowsers() {
  static const std::vector<Browser> all{Browser::Chromium, Browser::Chrome, Browser::Firefox};
  return all;
}

std::string Usage() {
  return "usage: kestrix-install install   [--user|--system] [--browser chromium|chrome|firefox|all]\n"
         "                                 [--extension-id ID] [--firefox-id ID] [--host PATH]\n"
         "                                 [--root DIR] [--dir DIR]\n"
         "       kestrix-install uninstall [--user|--system] [--browser ...] [--root DIR] [--dir DIR]\n"
         "       kestrix-install status    [--user|--system] [--browser ...] [--root DIR] [--dir DIR]\n"
         "\n"
         "  --user            the current user's browser folders (default for install/uninstall)\n"
         "  --system          the system-wide folders under /etc and /usr/lib (needs root)\n"
         "  --browser B       chromium, chrome, firefox or all (default all)\n"
         "  --extension-id    the Chromium/Chrome extension id allowed to start the host\n"
         "                    (default: the id of the bundled extension); may be repeated\n"
         "  --firefox-id      the Firefox add-on id allowed to start the host; may be repeated\n"
         "  --host PATH       the host binary (default: kestrix-host beside this program)\n"
         "  --root DIR        put the system folders below DIR (packaging, tests); a --host\n"
         "                    staged below DIR is checked there but named by its own path\n"
         "  --dir DIR         use DIR as the manifest folder, e.g. <profile>/NativeMessagingHosts\n"
         "                    of a browser started with --user-data-dir (needs one --browser)\n";
}

fs::path ManifestFolder(Browser browser, Scope scope, const Environment& env) {
  if (scope == Scope::System) {
    // The system folders are absolute; the root prefix lets packaging and tests
    // write them below another folder.
    fs::path root = env.root.empty() ? fs::path("/") : fs::path(env.root);
    switch (browser) {
      case Browser::Chromium: return root / "etc/chromium/native-messaging-hosts";
      case Browser::Chrome: return root / "etc/opt/chrome/native-messaging-hosts";
      case Browser::Firefox: return root / "usr/lib/mozilla/native-messaging-hosts";
      case Browser::Edge: return {};  // not offered here
    }
  }
  if (env.home.empty()) return {};
  fs::path home(env.home);
  // Chromium-family browsers keep their profile under $XDG_CONFIG_HOME when it is an
  // absolute path; Firefox always uses ~/.mozilla.
  fs::path config = fs::path(env.xdgConfigHome).is_absolute() ? fs::path(env.xdgConfigHome) : home / ".config";
  switch (browser) {
    case Browser::Chromium: return config / "chromium/NativeMessagingHosts";
    case Browser::Chrome: return config / "google-chrome/NativeMessagingHosts";
    case Browser::Firefox: return home / ".mozilla/native-messaging-hosts";
    case Browser::Edge: return {};
  }
  return {};
}

fs::path OwnedFolder(Scope, const Environment&) { return {}; }

fs::path PathFromUtf8(const std::string& text) { return fs::path(text); }
std::string Utf8(const fs::path& path) { return path.string(); }

std::string ExecutableProblem(const fs::path& path) {
  return ::access(path.c_str(), X_OK) == 0 ? std::string() : "not executable";
}

fs::path HostPathInManifest(const fs::path&, const std::string& path) { return fs::path(path); }

std::string PermissionHint(Scope scope, bool explicitDir) {
  if (scope == Scope::System && !explicitDir && geteuid() != 0)
    return " (system-wide manifests need root: run it with sudo)";
  return {};
}

std::string WriteFileAtomically(const fs::path& file, const std::string& text) {
  fs::path tmp = file;
  tmp += ".tmp" + std::to_string(getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string why = std::strerror(n < 0 ? errno : EIO);
      ::close(fd);
      ::unlink(tmp.c_str());
      return why;
    }
    done += static_cast<size_t>(n);
  }
  // The mode is set explicitly: a restrictive umask must not hide the manifest
  // from a browser running as another user (system installs).
  int error = ::fchmod(fd, 0644) == 0 ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(tmp.c_str(), file.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(tmp.c_str());
    return std::strerror(error);
  }
  return {};
}

std::string RegistrationName(Browser, Scope) { return {}; }
std::string Register(Browser, Scope, const fs::path&) { return {}; }
std::string Unregister(Browser, Scope, bool* existed) {
  *existed = false;
  return {};
}
std::optional<Registered> ReadRegistration(Browser, Scope) { return std::nullopt; }

Environment ProcessEnvironment() {
  Environment env;
  if (const char* home = std::getenv("HOME")) env.home = home;
  if (const char* config = std::getenv("XDG_CONFIG_HOME")) env.xdgConfigHome = config;
  return env;
}

std::string DefaultHostPath() {
  // The kestrix-host built or installed beside this program.
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("kestrix-host") : (self.parent_path() / "kestrix-host").string();
}

std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

}  // namespace installer
