#include "Installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <system_error>

#include "Manifest.h"
#include "Options.h"

namespace installer {
namespace fs = std::filesystem;

namespace {

// One manifest location the command acts on.
struct Target {
  Browser browser;
  Scope scope;
  bool explicitDir;  // --dir
  fs::path folder;   // empty when unknown (no HOME)

  std::string Label() const {
    return std::string(BrowserName(browser)) + " (" + (explicitDir ? "folder" : ScopeName(scope)) + ")";
  }
  fs::path File() const { return folder / kManifestFileName; }
};

std::vector<Target> Targets(const Options& o, const Environment& env) {
  std::vector<Target> targets;
  if (!o.dir.empty()) {
    targets.push_back({o.browsers[0], Scope::User, true, fs::absolute(o.dir).lexically_normal()});
    return targets;
  }
  for (Scope s : o.scopes)
    for (Browser b : o.browsers) targets.push_back({b, s, false, ManifestFolder(b, s, env)});
  return targets;
}

std::string Hint(const Target& t) {
  if (t.scope == Scope::System && !t.explicitDir && geteuid() != 0)
    return " (system-wide manifests need root: run it with sudo)";
  return {};
}

// Writes the file next to its final name and renames it, so a browser never reads
// half a manifest. Returns an error text, empty on success.
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

int Install(const Options& o, const std::vector<Target>& targets, const std::string& defaultHost,
            std::ostream& out, std::ostream& err) {
  fs::path host = fs::absolute(o.hostPath.empty() ? fs::path(defaultHost) : fs::path(o.hostPath)).lexically_normal();
  if (std::string why = HostBinaryProblem(host); !why.empty()) {
    err << "kestrix-install: cannot use the host binary " << host.string() << ": " << why << ".\n"
        << "  Build it first (cmake --build build) or name it with --host PATH.\n";
    return 1;
  }
  int status = 0;
  for (const Target& t : targets) {
    if (t.folder.empty()) {
      err << "kestrix-install: " << t.Label() << ": HOME is not set, so the user folder is unknown\n";
      status = 1;
      continue;
    }
    std::error_code ec;
    fs::create_directories(t.folder, ec);
    if (ec) {
      err << "kestrix-install: " << t.Label() << ": cannot create the folder " << t.folder.string() << ": "
          << ec.message() << Hint(t) << "\n";
      status = 1;
      continue;
    }
    const std::string& id = UsesOrigins(t.browser) ? o.extensionId : o.firefoxId;
    std::string text = ManifestText(BuildManifest(t.browser, host.string(), id));
    if (std::string why = WriteFileAtomically(t.File(), text); !why.empty()) {
      err << "kestrix-install: " << t.Label() << ": cannot write " << t.File().string() << ": " << why << Hint(t)
          << "\n";
      status = 1;
      continue;
    }
    out << "installed " << t.Label() << ": " << t.File().string() << " -> " << host.string() << "\n";
  }
  return status;
}

int Uninstall(const std::vector<Target>& targets, std::ostream& out, std::ostream& err) {
  int status = 0;
  for (const Target& t : targets) {
    if (t.folder.empty()) continue;  // no HOME: nothing can be installed there
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(t.File(), ec))) {
      out << t.Label() << ": not installed\n";
      continue;
    }
    if (!fs::remove(t.File(), ec) || ec) {
      err << "kestrix-install: " << t.Label() << ": cannot remove " << t.File().string() << ": " << ec.message()
          << Hint(t) << "\n";
      status = 1;
      continue;
    }
    out << "removed " << t.Label() << ": " << t.File().string() << "\n";
  }
  return status;
}

int Status(const std::vector<Target>& targets, std::ostream& out) {
  int installed = 0, broken = 0;
  for (const Target& t : targets) {
    std::error_code ec;
    if (t.folder.empty() || !fs::exists(fs::symlink_status(t.File(), ec))) {
      out << t.Label() << ": not installed"
          << (t.folder.empty() ? std::string(" (HOME is not set)") : " (" + t.folder.string() + ")") << "\n";
      continue;
    }
    ++installed;
    ManifestCheck check = CheckManifest(t.File(), t.browser);
    out << t.Label() << ": " << t.File().string() << "\n";
    if (!check.hostPath.empty()) out << "  host:   " << check.hostPath << "\n";
    for (const std::string& a : check.allowed) out << "  allows: " << a << "\n";
    if (check.problem.empty()) {
      out << "  ok\n";
    } else {
      out << "  BROKEN: " << check.problem << "\n";
      ++broken;
    }
  }
  if (installed == 0) {
    out << "no manifest installed; install one with: kestrix-install install\n";
    return 3;
  }
  return broken ? 1 : 0;
}

}  // namespace

int RunInstaller(const std::vector<std::string>& args, Environment env, const std::string& defaultHost,
                 std::ostream& out, std::ostream& err) {
  ParsedOptions parsed = ParseOptions(args);
  if (!parsed.options) {
    err << "kestrix-install: " << parsed.error << "\n  (kestrix-install --help lists the commands and options)\n";
    return 2;
  }
  const Options& o = *parsed.options;
  if (o.command == Command::Help) {
    out << Usage();
    return 0;
  }
  if (!o.root.empty()) env.root = fs::absolute(o.root).string();
  std::vector<Target> targets = Targets(o, env);
  switch (o.command) {
    case Command::Install: return Install(o, targets, defaultHost, out, err);
    case Command::Uninstall: return Uninstall(targets, out, err);
    case Command::Status: return Status(targets, out);
    case Command::Help: break;
  }
  return 0;
}

}  // namespace installer
