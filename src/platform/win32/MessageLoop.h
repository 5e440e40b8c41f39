// Message queues, posted messages, timers and windows: the SDK's own.
#pragma once

#include <windows.h>

// Waits at most timeoutMs for a message of the thread and removes it; FALSE
// on time-out. For tests and our own loops.
BOOL GetMessageTimeout(MSG* msg, DWORD timeoutMs);
