// kestrix-host.exe: the native messaging host the browser starts on Windows.
#include "host/HostMain.h"

#include "platform/CodePage.h"

int wmain(int argc, wchar_t**) {
  InitThreadCodePage();
  return HostMain(argc);
}
