#include "platform/MessageLoop.h"

BOOL GetMessageTimeout(MSG* msg, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    if (::PeekMessageW(msg, nullptr, 0, 0, PM_REMOVE)) return TRUE;
    DWORD spent = ::GetTickCount() - start;
    if (spent >= timeoutMs) return FALSE;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - spent, QS_ALLINPUT);
  }
}
