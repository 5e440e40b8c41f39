#include "platform/StandardInput.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<bool> g_closed{false};
}  // namespace

void PrepareInputStream() {
  // Without it a length byte 0x1A ends the input and CR LF becomes LF.
  _setmode(_fileno(stdin), _O_BINARY);
}

int InputWakeFd() { return -1; }

void CloseInputStream() {
  // Windows XP cannot cancel a synchronous read on another thread
  // (CancelSynchronousIo came later), and closing the handle under a pending
  // read may wait for it. So the input is only marked closed: a reader
  // between reads ends at once, one blocked in a read stays there, and the
  // process ends around it.
  g_closed.store(true);
}

size_t ReadInput(int fd, int, uint8_t* buffer, size_t size) {
  if (g_closed.load()) return 0;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return 0;
  DWORD got = 0;
  // A pipe whose writer has gone reports ERROR_BROKEN_PIPE; a file at its end
  // reads 0 bytes: both are the end of input.
  if (!::ReadFile(handle, buffer, static_cast<DWORD>(size), &got, nullptr) || got == 0) return 0;
  if (g_closed.load()) return 0;
  return got;
}
