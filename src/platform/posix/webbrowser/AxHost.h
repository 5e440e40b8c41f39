// Control hosting: a class registry that creates controls by class id, and
// the hosting window that creates a control inside itself (CAxWindowT).
#pragma once

#include <functional>
#include <string>

#include "platform/Automation.h"
#include "platform/Window.h"

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

// Registers the hosting window class; a no-op kept for the shape of the calls.
BOOL AtlAxWinInit();

// A window that hosts one control. Messages its map leaves unhandled go to
// the hosting procedure, which releases the control when the window goes.
class CAxWindowT : public CWindowImplBase {
 public:
  // clsidText: "{8856F961-...}" as StringFromCLSID gives it.
  HRESULT CreateControl(const std::string& clsidText, IUnknown* stream = nullptr, IUnknown** container = nullptr);
  HRESULT QueryControl(REFIID iid, void** out);
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  ~CAxWindowT() override;

 private:
  IUnknown* m_control = nullptr;
};

// StringFromCLSID: the upper-case braced text.
std::string StringFromCLSID(const CLSID& clsid);
