// The WebBrowser control stand-in: a COM object offering IWebBrowser2 that
// loads a page file into an HtmlDocument (script engine + minimal DOM).
//
// Navigation is asynchronous as in the real control: Navigate2 only records
// the target and posts a message to the browser's own hidden window on the
// calling thread; the page is read, parsed and its scripts run when that
// message is dispatched. Until then get_Document yields the previous
// document (none at first). One thread only: the one that created it.
#pragma once

#include <functional>
#include <string>

#include "platform/WebBrowserApi.h"

// A new browser on the calling thread; the caller receives one reference.
HRESULT CreateWebBrowser(IWebBrowser2** browser);

// Registers CLSID_WebBrowser with the class registry (called by AtlAxWinInit).
void RegisterWebBrowserClass();

// Test programs: the file a navigation to path reads the page from instead
// (a copy elsewhere, so the page has another address); "" fails the load.
// Unset, the path itself. Set before the first navigation.
void SetPageLocator(std::function<std::string(const std::string& path)> locate);
