// kestrix-host.exe: the native messaging host the browser starts on Windows.
#include "host/HostMain.h"

int wmain(int argc, wchar_t**) { return HostMain(argc); }
