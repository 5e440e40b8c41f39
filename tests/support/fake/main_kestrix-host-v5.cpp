// The host as it runs on a system that reports Windows major version 5: a
// start with arguments becomes the launcher of a relay worker. Only tests use it.
#include <csignal>

#include "host/HostMain.h"
#include "platform/CodePage.h"
#include "platform/Kernel.h"
#include "support/fake/FakeControl.h"

int main(int argc, char**) {
  std::signal(SIGPIPE, SIG_IGN);
  InitThreadCodePage();
  SetReportedMajorVersion(5);
  RegisterFakeControlFromEnvironment();
  return HostMain(argc);
}
