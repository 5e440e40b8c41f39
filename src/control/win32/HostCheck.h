// Who may use the control. Registered on the machine and safe for scripting,
// the control could otherwise be created by any page in a browser that hosts
// ActiveX controls, past the host and every permission a site was given. So
// it works only where the host put it:
//
//   1. the process is our host: its program file is named kestrix-host*.exe
//      (the class factory refuses to make the control anywhere else), and
//   2. the control is sited in the host's own bootstrap page: the address of
//      the document that contains it names the page file the host writes,
//      "<temporary folder><creation time of the program><counter>.htm" (or
//      ".<that name>.<suffix>.tmp" it has when it could not be moved
//      into place). The address comes from the site, as a site lock reads it:
//      IOleClientSite::GetContainer -> IHTMLDocument2::get_URL, else the
//      container's moniker (IOleClientSite::GetMoniker).
//
// A control that is not sited, or sited elsewhere, refuses every member with
// E_ACCESSDENIED and an error text, and IObjectSafety refuses to be made
// safe. Asked before it is sited, IObjectSafety answers on the process alone:
// the members still wait for the bootstrap page.
#pragma once

#include <windows.h>

#include <string>

// The program and page rules, shared with the host's browser site.
#include "platform/HostPage.h"

// The address of the document the site belongs to; "" when the site cannot tell.
std::wstring SiteDocumentAddress(IUnknown* site);
