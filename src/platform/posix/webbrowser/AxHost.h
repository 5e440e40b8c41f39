// Control hosting: the hosting window that creates a control inside itself
// (CAxWindowT) from the class registry (ControlClasses.h).
#pragma once

#include <string>

#include "platform/Window.h"
#include "platform/webbrowser/ControlClasses.h"

// Registers the hosting window class; a no-op kept for the shape of the calls.
BOOL AtlAxWinInit();

// A window that hosts one control. Messages its map leaves unhandled go to
// the hosting procedure, which releases the control when the window goes.
class CAxWindowT : public CWindowImplBase {
 public:
  // clsidText: "{8856F961-...}" as StringFromCLSID gives it.
  HRESULT CreateControl(const std::string& clsidText, IUnknown* stream = nullptr, IUnknown** container = nullptr);
  HRESULT QueryControl(REFIID iid, void** out);
  // Kept for the shape of the calls: the stand-in creates only the classes
  // this process registered (ControlClasses.h) and loads only the host's page.
  void AllowPageControl(const CLSID&) {}
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  ~CAxWindowT() override;

 private:
  IUnknown* m_control = nullptr;
};

// StringFromCLSID: the upper-case braced text.
std::string StringFromCLSID(const CLSID& clsid);
