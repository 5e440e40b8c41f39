// kestrix-install: registers kestrix-host with the browsers (see docs/install.md).
#include <iostream>

#include "Installer.h"
#include "Platform.h"

int main(int argc, char** argv) {
  return installer::RunInstaller(installer::Arguments(argc, argv), installer::ProcessEnvironment(),
                                 installer::DefaultHostPath(), std::cout, std::cerr);
}
