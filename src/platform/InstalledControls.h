// The controls installed on the system, for the browser stand-in: the
// control of a page's OBJECT element whose class the stand-in's own class
// registry does not know is created the way a browser creates an installed
// one. It must let itself be made safe for scripting by an untrusted page
// (IObjectSafety), and is then sited in the page's document, whose address
// the site gives as the container's moniker (a file: address for a page
// read from a file), so a control that checks where it is hosted reads the
// page's real address. On Windows the classes are COM's (CoCreateInstance
// of a registered in-process server); elsewhere the system installs none.
#pragma once

#include <string>

#include "platform/Automation.h"

// A new instance of the control installed under clsid, for the page read
// from pagePath (a file path in the thread's code page; "" for a page that
// came from no file, about:blank); the caller receives one reference.
// REGDB_E_CLASSNOTREG when nothing is installed under clsid; E_ACCESSDENIED
// for a control that offers no IObjectSafety, and the control's own error
// when it refuses to be made safe for scripting.
HRESULT CreateInstalledControl(const CLSID& clsid, const std::string& pagePath, IUnknown** control);
