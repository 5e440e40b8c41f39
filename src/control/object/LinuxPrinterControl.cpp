#include "control/object/LinuxPrinterControl.h"

#include "control/object/PrinterControlObject.h"
#include "platform/webbrowser/AxHost.h"

HRESULT CreateLinuxPrinterControl(IUnknown** instance) { return CLinuxPrinterControl::Create(instance); }

void RegisterLinuxPrinterControl() { RegisterControlClass(CLSID_KestrixPrinter, CreateLinuxPrinterControl); }
