// What kestrix-install does differently on Linux and on Windows: which browsers
// it knows, where their manifests go, how a browser learns of a manifest (its
// folder on Linux, a registry key on Windows), and how paths and files are
// handled. PlatformPosix.cpp and PlatformWin32.cpp; everything else is shared.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Browsers.h"

namespace installer {

// The browsers this platform's "--browser all" means.
const std::vector<Browser>& AllBrowsers();
std::string Usage();

// The folder for one browser and scope; empty when it cannot be known (no HOME).
std::filesystem::path ManifestFolder(Browser browser, Scope scope, const Environment& env);
// The folder this program owns above ManifestFolder (emptied folders up to and
// including it are removed on uninstall); empty where the browsers own the folders.
std::filesystem::path OwnedFolder(Scope scope, const Environment& env);

// Text in the installer is UTF-8; paths are wide on Windows.
std::filesystem::path PathFromUtf8(const std::string& text);
std::string Utf8(const std::filesystem::path& path);

// Why the browser could not start an existing regular file; empty when it can.
std::string ExecutableProblem(const std::filesystem::path& path);
// The host a manifest's "path" names: Windows allows a path relative to the manifest.
std::filesystem::path HostPathInManifest(const std::filesystem::path& manifest, const std::string& path);
// Appended to an error for a location the user may lack rights to.
std::string PermissionHint(Scope scope, bool explicitDir);

// Writes the file next to its final name and renames it, so a browser never reads
// half a manifest. Returns an error text, empty on success.
std::string WriteFileAtomically(const std::filesystem::path& file, const std::string& text);

// Registration beyond the file (the registry key on Windows; nothing on Linux).
// Where a browser looks for the registration, for messages; empty on Linux.
std::string RegistrationName(Browser browser, Scope scope);
// Names the manifest in the registration. Error text, empty on success.
std::string Register(Browser browser, Scope scope, const std::filesystem::path& manifest);
// Removes the registration; *existed says whether there was one. Error text or empty.
std::string Unregister(Browser browser, Scope scope, bool* existed);
// The manifest the registration names. Linux: nullopt (the folder is the
// registration). Windows: an empty path when there is no key; otherwise the file
// it names, or problem set when the value is unusable.
struct Registered {
  std::filesystem::path manifest;
  std::string problem;
};
std::optional<Registered> ReadRegistration(Browser browser, Scope scope);

// For main(): the folders' environment, the host beside this program, and the
// words of the command line (UTF-8) after the program name.
Environment ProcessEnvironment();
std::string DefaultHostPath();
std::vector<std::string> Arguments(int argc, char** argv);

}  // namespace installer
