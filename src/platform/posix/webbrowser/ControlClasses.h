// The class registry of the browser stand-in: the controls that OBJECT
// elements (and the hosting window) create by class id.
#pragma once

#include <functional>

#include "platform/Automation.h"

// A factory returns E_PENDING when its control cannot be created yet (a
// control that is slow to appear); an OBJECT element then asks again on a
// short timer until it gets the control or another failure. (E_PENDING is
// declared with the other HRESULTs in Automation.h.)

// Creates a new instance; the caller receives one reference.
using ControlFactory = std::function<HRESULT(IUnknown** instance)>;

// Registers (or replaces) the control created for clsid. The WebBrowser
// class id is registered by the browser stand-in itself.
void RegisterControlClass(const CLSID& clsid, ControlFactory factory);
void UnregisterControlClass(const CLSID& clsid);
// QueryInterface(iid) on a new instance of clsid; REGDB_E_CLASSNOTREG when
// no control is registered under it.
HRESULT CreateControlInstance(const CLSID& clsid, REFIID iid, void** out);
