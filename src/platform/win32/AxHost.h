// Control hosting without the template library: a window that creates an
// ActiveX control by class id and hosts it in place, as an OLE container
// (client site, in-place site and frame, ambient properties, and the
// UI-handler interfaces the WebBrowser control asks its host for, and the
// services that decide what its pages may do: PageSecurity.h).
#pragma once

#include <string>

#include "platform/Automation.h"
#include "platform/Window.h"

class ControlSite;

// Nothing to register for this container; kept for the shape of the calls.
BOOL AtlAxWinInit();
// The upper-case braced text of a class id, as StringFromCLSID gives it.
std::string StringFromCLSID(const CLSID& clsid);

// A window that hosts one control. The control is created, sited and
// activated in place by CreateControl, sized with the window, and closed
// and released when the window is destroyed.
class CAxWindowT : public CWindowImplBase {
 public:
  ~CAxWindowT() override;
  // clsidText: "{8856F961-...}". The control is created in process
  // (CoCreateInstance), given its client site and activated in place in the
  // window's client area. The window must exist.
  HRESULT CreateControl(const std::string& clsidText, IUnknown* stream = nullptr, IUnknown** container = nullptr);
  HRESULT QueryControl(REFIID iid, void** out);
  // The one ActiveX class a browser hosted here may create and script, and
  // only in the host's own bootstrap page (PageSecurity.h). Before
  // CreateControl; without it the browser's pages create no control at all.
  void AllowPageControl(const CLSID& clsid);
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void ReleaseControl();
  ControlSite* m_site = nullptr;
  CLSID m_pageControl = GUID_NULL;
};
