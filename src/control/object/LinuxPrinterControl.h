// The Linux printing control: IPrinterControl on CUPS, headless Chromium and
// the file system, registered under the printing control's class id.
#pragma once

#include "platform/Automation.h"

// Registers the control with the control registry (RegisterControlClass) under
// CLSID_KestrixPrinter. Call once at start, on the main thread.
void RegisterLinuxPrinterControl();

// A new control (one reference for the caller). Call on the thread that runs
// the message loop: the control's events are delivered through a hidden
// window of that thread.
HRESULT CreateLinuxPrinterControl(IUnknown** instance);
