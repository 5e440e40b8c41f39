// The browsers the installer knows and the folders where each looks for native
// messaging host manifests on Linux.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace installer {

enum class Browser { Chromium, Chrome, Firefox };
enum class Scope { User, System };

// What the folders depend on, taken from the process environment by main().
struct Environment {
  std::string home;           // $HOME
  std::string xdgConfigHome;  // $XDG_CONFIG_HOME; empty or relative means ~/.config
  std::string root;           // prefix for the system folders ("" = the real /)
};

const char* BrowserName(Browser browser);
const char* ScopeName(Scope scope);
std::optional<Browser> ParseBrowser(const std::string& name);
const std::vector<Browser>& AllBrowsers();

// Chromium and Chrome name extensions by "allowed_origins", Firefox by "allowed_extensions".
bool UsesOrigins(Browser browser);

// The folder for one browser and scope; empty when it cannot be known (no HOME).
std::filesystem::path ManifestFolder(Browser browser, Scope scope, const Environment& env);

}  // namespace installer
