#include "control/win32/ModuleState.h"

#include <atomic>

namespace {
HMODULE g_module = nullptr;
std::atomic<long> g_locks{0};
}  // namespace

HMODULE ControlModule() { return g_module ? g_module : ::GetModuleHandleW(nullptr); }
void SetControlModule(HMODULE module) { g_module = module; }

std::wstring ControlModulePath() {
  wchar_t buffer[MAX_PATH * 2];
  DWORD n = ::GetModuleFileNameW(ControlModule(), buffer, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  return std::wstring(buffer, n);
}

void LockControlModule() { ++g_locks; }
void UnlockControlModule() { --g_locks; }
bool ControlModuleInUse() { return g_locks.load() != 0; }
