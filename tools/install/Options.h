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
  // The extensions allowed to start the host; each option may be given more
  // than once (a store build and a self-signed package have different ids).
  std::vector<std::string> extensionIds;  // Chromium-family browsers
  std::vector<std::string> firefoxIds;    // Firefox
  std::string hostPath;           // empty: kestrix-host beside the installer
  std::string root;               // prefix for the system folders (Windows: their base); a staged
                                  // --host is looked for below it (packaging)
  std::string dir;                // one explicit folder instead of the browsers' own
};

struct ParsedOptions {
  std::optional<Options> options;
  std::string error;  // set when options is empty
};

ParsedOptions ParseOptions(const std::vector<std::string>& args);

}  // namespace installer
