// kestrix-install: registers kestrix-host with the browsers (see docs/install.md).
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "Installer.h"

int main(int argc, char** argv) {
  installer::Environment env;
  if (const char* home = std::getenv("HOME")) env.home = home;
  if (const char* config = std::getenv("XDG_CONFIG_HOME")) env.xdgConfigHome = config;

  // By default the host is the kestrix-host built or installed beside this program.
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::string defaultHost = ec ? std::string("kestrix-host") : (self.parent_path() / "kestrix-host").string();

  std::vector<std::string> args(argv + 1, argv + argc);
  return installer::RunInstaller(args, env, defaultHost, std::cout, std::cerr);
}
