// kestrix-host: the native messaging host the browser starts.
#include <csignal>

#include "control/object/LinuxPrinterControl.h"
#include "host/HostMain.h"
#include "platform/CodePage.h"

int main(int argc, char** argv) {
  // A write to a closed stdout is an error the host tolerates, not a signal that kills it.
  std::signal(SIGPIPE, SIG_IGN);
  InitThreadCodePage();
  RegisterLinuxPrinterControl();
  return HostMain(argc);
}
