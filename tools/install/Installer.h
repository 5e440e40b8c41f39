// install / uninstall / status of the host manifests.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Browsers.h"

namespace installer {

// args are the words after the program name. Results go to out, problems to err.
// Exit codes: 0 done; 1 something could not be done (or status found a broken
// manifest); 2 bad command line; 3 status found no manifest at all.
int RunInstaller(const std::vector<std::string>& args, Environment env, const std::string& defaultHost,
                 std::ostream& out, std::ostream& err);

}  // namespace installer
