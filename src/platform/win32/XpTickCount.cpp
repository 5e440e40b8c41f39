// Windows XP lacks GetTickCount64, which the -posix toolchain's thread
// library (winpthreads) calls for its time-outs; an executable that imports
// it does not start there. The import slot is defined here, so the linker
// takes this one and the executable imports no GetTickCount64: it counts
// with GetTickCount and the wraps it has seen (a wrap is seen as long as it
// is called at least once every 49 days, which a waiting thread does).
#include <windows.h>

namespace {

ULONGLONG WINAPI TickCount64() {
  static volatile LONG busy = 0;
  static DWORD last = 0;
  static ULONGLONG wraps = 0;
  while (::InterlockedExchange(&busy, 1)) ::Sleep(0);
  DWORD now = ::GetTickCount();
  if (now < last) wraps += 0x100000000ULL;
  last = now;
  ULONGLONG result = wraps + now;
  ::InterlockedExchange(&busy, 0);
  return result;
}

}  // namespace

// Referenced from CodePage.cpp, which every program links, so that this file
// is linked before the thread library asks for the symbol.
extern "C" ULONGLONG(WINAPI* const kx_imp_GetTickCount64)() __asm__("__imp__GetTickCount64@0") = TickCount64;
extern "C" void KxLinkXpTickCount() {}
