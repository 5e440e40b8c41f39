// The host with the fake printing control: for integration tests and
// benchmarks that need every command answered without printers.
#include <csignal>

#include "host/HostMain.h"
#include "platform/CodePage.h"
#include "support/fake/FakeControl.h"

int main(int argc, char**) {
  std::signal(SIGPIPE, SIG_IGN);
  InitThreadCodePage();
  RegisterFakeControlFromEnvironment();
  return HostMain(argc);
}
