// Command line of kestrix-install.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Browsers.h"

namespace installer {

enum class Command { Install, Uninstall, Status, Help };

struct Options {
  Command command = Command::Help;
  std::vector<Scope> scopes;      // install/uninstall default to user; status to both
  std::vector<Browser> browsers;  // default: all of the platform
  std::string extensionId;        // Chromium-family browsers
  std::string firefoxId;          // Firefox
  std::string hostPath;           // empty: kestrix-host beside the installer
  std::string root;               // prefix for the system folders (Windows: their base)
  std::string dir;                // one explicit folder instead of the browsers' own
};

struct ParsedOptions {
  std::optional<Options> options;
  std::string error;  // set when options is empty
};

ParsedOptions ParseOptions(const std::vector<std::string>& args);

}  // namespace installer
