// The DLL's own state: its module handle (for its path, its type library and
// its window class) and the count that keeps it loaded while objects, class
// factory locks or job threads still need its code.
#pragma once

#include <windows.h>

#include <string>

// The control's module; set by DllMain (the program's own module in tests
// that link the control's code directly).
HMODULE ControlModule();
void SetControlModule(HMODULE module);
std::wstring ControlModulePath();

// DllCanUnloadNow says S_OK only when nothing holds the module.
void LockControlModule();
void UnlockControlModule();
bool ControlModuleInUse();

// Holds the module for its lifetime.
class ModuleHold {
 public:
  ModuleHold() { LockControlModule(); }
  ~ModuleHold() { UnlockControlModule(); }
  ModuleHold(const ModuleHold&) { LockControlModule(); }
  ModuleHold& operator=(const ModuleHold&) = default;
};
