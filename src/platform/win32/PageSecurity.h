// What the hosted browser may do with the pages it shows. The host's browser
// site hands the browser these services (MakePageServices, its
// IServiceProvider::QueryService), and the browser asks them before it
// creates or scripts a control, downloads code or a file, opens a window, or
// grants a page rights by its zone. Other services: E_NOINTERFACE.
//
// The security manager (SID_SInternetSecurityManager):
//   - the host's own bootstrap page (HostPage.h) may create and script one
//     ActiveX class, pageControl, and no other; no other content may create
//     or script any control, a control without a class (a plug-in) included;
//   - no code is downloaded (CODEBASE, signed or not) and Java does not run,
//     anywhere; no page starts a file download;
//   - MapUrlToZone: the bootstrap page is in the local machine zone, anything
//     else (a job's HTML, another file, about:blank, any web page) in the
//     Internet zone, and GetSecurityId says so too;
//   - any other action (or custom policy) on content that is not the
//     bootstrap page gets the Internet zone's policy, never a prompt (a
//     prompt becomes a refusal) and never the browser's own answer;
//     on the bootstrap page the browser decides as it would (no opinion,
//     INET_E_DEFAULT_ACTION).
// A refusal is URLPOLICY_DISALLOW in the policy and S_FALSE.
//
// The download manager (SID_SDownloadManager) takes every download a page
// starts and downloads nothing: the host has no one to ask where to put it.
// The new-window manager (SID_SNewWindowManager) opens no window a page asks
// for (window.open, a link's target): the host's window is never shown.
#pragma once

#include <windows.h>

#include <urlmon.h>

#include "platform/ComPtr.h"

// pageControl GUID_NULL: no class at all.
ComPtr<IServiceProvider> MakePageServices(const CLSID& pageControl);
// The security manager alone.
ComPtr<IInternetSecurityManager> MakePageSecurityManager(const CLSID& pageControl);
