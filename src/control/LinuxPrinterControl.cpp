#include "control/LinuxPrinterControl.h"

#include "control/PrinterControlObject.h"
#include "platform/webbrowser/AxHost.h"

HRESULT CreateLinuxPrinterControl(IUnknown** instance) { return CLinuxPrinterControl::Create(instance); }

void RegisterLinuxPrinterControl() { RegisterControlClass(CLSID_KestrixPrinter, CreateLinuxPrinterControl); }
