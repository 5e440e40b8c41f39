#include "Installer.h"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <system_error>

#include "Manifest.h"
#include "Options.h"
#include "Platform.h"

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
  std::string Hint() const { return PermissionHint(scope, explicitDir); }
};

std::vector<Target> Targets(const Options& o, const Environment& env) {
  std::vector<Target> targets;
  if (!o.dir.empty()) {
    // On Windows the manifest in DIR is registered for the scope (user unless --system).
    targets.push_back({o.browsers[0], o.scopes[0], true, fs::absolute(PathFromUtf8(o.dir)).lexically_normal()});
    return targets;
  }
  for (Scope s : o.scopes)
    for (Browser b : o.browsers) targets.push_back({b, s, false, ManifestFolder(b, s, env)});
  return targets;
}

// Removes folder and its parents up to and including top while they are empty.
// Only below a folder this program owns (Windows); browsers own theirs on Linux.
void RemoveEmptyFolders(fs::path folder, const fs::path& top) {
  if (top.empty()) return;
  auto [end, rest] = std::mismatch(top.begin(), top.end(), folder.begin(), folder.end());
  if (end != top.end()) return;
  for (std::error_code ec; !folder.empty(); folder = folder.parent_path()) {
    if (!fs::remove(folder, ec) || ec) return;  // not empty, or gone
    if (folder == top) return;
  }
}

int Install(const Options& o, const std::vector<Target>& targets, const std::string& defaultHost,
            std::ostream& out, std::ostream& err) {
  fs::path host = fs::absolute(PathFromUtf8(o.hostPath.empty() ? defaultHost : o.hostPath)).lexically_normal();
  // A package is built in a staging folder: the manifest names the host where it
  // will be installed, and the check finds it below --root until then.
  fs::path checked = host;
  if (!o.root.empty() && !o.hostPath.empty()) {
    fs::path staged = fs::absolute(PathFromUtf8(o.root)) / host.relative_path();
    std::error_code ec;
    if (fs::exists(staged, ec)) checked = staged;
  }
  if (std::string why = HostBinaryProblem(checked); !why.empty()) {
    err << "kestrix-install: cannot use the host binary " << Utf8(host) << ": " << why << ".\n"
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
      err << "kestrix-install: " << t.Label() << ": cannot create the folder " << Utf8(t.folder) << ": "
          << ec.message() << t.Hint() << "\n";
      status = 1;
      continue;
    }
    const std::vector<std::string>& ids = UsesOrigins(t.browser) ? o.extensionIds : o.firefoxIds;
    std::string text = ManifestText(BuildManifest(t.browser, Utf8(host), ids));
    if (std::string why = WriteFileAtomically(t.File(), text); !why.empty()) {
      err << "kestrix-install: " << t.Label() << ": cannot write " << Utf8(t.File()) << ": " << why << t.Hint()
          << "\n";
      status = 1;
      continue;
    }
    std::string key = RegistrationName(t.browser, t.scope);
    if (std::string why = Register(t.browser, t.scope, t.File()); !why.empty()) {
      // A manifest no browser can find is left behind by nothing.
      fs::remove(t.File(), ec);
      err << "kestrix-install: " << t.Label() << ": cannot write the registry key " << key << ": " << why
          << PermissionHint(t.scope, false) << "\n";
      status = 1;
      continue;
    }
    out << "installed " << t.Label() << ": " << Utf8(t.File()) << " -> " << Utf8(host) << "\n";
    if (!key.empty()) out << "  registered in " << key << "\n";
  }
  return status;
}

int Uninstall(const std::vector<Target>& targets, const Environment& env, std::ostream& out, std::ostream& err) {
  int status = 0;
  for (const Target& t : targets) {
    std::string key = RegistrationName(t.browser, t.scope);
    if (t.folder.empty() && key.empty()) continue;  // no HOME: nothing can be installed there
    // The files to remove: this location's manifest and, on Windows, the one the
    // registry names (it may have been installed with --dir).
    std::vector<fs::path> files;
    if (!t.folder.empty()) files.push_back(t.File());
    std::optional<Registered> registered = ReadRegistration(t.browser, t.scope);
    if (registered && registered->manifest.filename() == kManifestFileName &&
        (files.empty() || registered->manifest != files[0]))
      files.push_back(registered->manifest);

    bool keyExisted = false;
    if (std::string why = Unregister(t.browser, t.scope, &keyExisted); !why.empty()) {
      err << "kestrix-install: " << t.Label() << ": cannot remove the registry key " << key << ": " << why
          << PermissionHint(t.scope, false) << "\n";
      status = 1;
      continue;
    }
    bool removed = keyExisted;
    if (keyExisted) out << "removed " << t.Label() << ": " << key << "\n";
    for (const fs::path& file : files) {
      std::error_code ec;
      if (!fs::exists(fs::symlink_status(file, ec))) continue;
      if (!fs::remove(file, ec) || ec) {
        err << "kestrix-install: " << t.Label() << ": cannot remove " << Utf8(file) << ": " << ec.message()
            << t.Hint() << "\n";
        status = 1;
        removed = true;  // there was something, so not "not installed"
        continue;
      }
      out << "removed " << t.Label() << ": " << Utf8(file) << "\n";
      removed = true;
    }
    if (!t.explicitDir && !t.folder.empty()) RemoveEmptyFolders(t.folder, OwnedFolder(t.scope, env));
    if (!removed) out << t.Label() << ": not installed\n";
  }
  return status;
}

int Status(const std::vector<Target>& targets, std::ostream& out) {
  int installed = 0, broken = 0;
  for (const Target& t : targets) {
    std::string key = RegistrationName(t.browser, t.scope);
    fs::path file = t.File();
    std::string problem;
    bool present;
    if (std::optional<Registered> registered = ReadRegistration(t.browser, t.scope)) {
      // Windows: the browser reads the manifest the key names, wherever it is.
      present = !registered->manifest.empty() || !registered->problem.empty();
      file = registered->manifest;
      problem = registered->problem;
    } else {
      std::error_code ec;
      present = !t.folder.empty() && fs::exists(fs::symlink_status(file, ec));
    }
    if (!present) {
      out << t.Label() << ": not installed";
      if (!key.empty()) out << " (no key " << key << ")\n";
      else out << (t.folder.empty() ? std::string(" (HOME is not set)") : " (" + Utf8(t.folder) + ")") << "\n";
      continue;
    }
    ++installed;
    out << t.Label() << ": " << (problem.empty() ? Utf8(file) : key) << "\n";
    if (!key.empty()) out << "  registered in " << key << "\n";
    if (problem.empty()) {
      std::error_code ec;
      if (fs::exists(fs::symlink_status(file, ec))) {
        ManifestCheck check = CheckManifest(file, t.browser);
        if (!check.hostPath.empty()) out << "  host:   " << check.hostPath << "\n";
        for (const std::string& a : check.allowed) out << "  allows: " << a << "\n";
        problem = check.problem;
      } else {
        problem = "the registry names " + Utf8(file) + ", which does not exist";
      }
    }
    if (problem.empty()) {
      out << "  ok\n";
    } else {
      out << "  BROKEN: " << problem << "\n";
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
  if (!o.root.empty()) env.root = Utf8(fs::absolute(PathFromUtf8(o.root)));
  std::vector<Target> targets = Targets(o, env);
  switch (o.command) {
    case Command::Install: return Install(o, targets, defaultHost, out, err);
    case Command::Uninstall: return Uninstall(targets, env, out, err);
    case Command::Status: return Status(targets, out);
    case Command::Help: break;
  }
  return 0;
}

}  // namespace installer
