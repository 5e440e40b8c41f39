// The browsers the installer knows. Which of them a platform offers, and where
// each looks for native messaging host manifests, is in Platform.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace installer {

// Edge is offered on Windows only (Linux keeps the three it always had).
enum class Browser { Chromium, Chrome, Edge, Firefox };
enum class Scope { User, System };

// What the folders depend on, taken from the process environment by main().
struct Environment {
  std::string home;           // Linux: $HOME. Windows: the user's local application data folder
  std::string xdgConfigHome;  // Linux: $XDG_CONFIG_HOME; empty or relative means ~/.config
  std::string root;           // Linux: prefix for the system folders ("" = the real /).
                              // Windows: the machine's application data folder (or --root)
};

const char* BrowserName(Browser browser);
const char* ScopeName(Scope scope);
// Only the browsers of AllBrowsers() (Platform.h).
std::optional<Browser> ParseBrowser(const std::string& name);
// "chromium, chrome, firefox or all": the names the command line accepts.
std::string BrowserChoices(const char* lastJoin);

// Chromium-family browsers name extensions by "allowed_origins", Firefox by "allowed_extensions".
bool UsesOrigins(Browser browser);

}  // namespace installer
