// One job in a page that is open and attached (a DevTools session id, with
// Page.enable done): the page loads the request's document (html served at
// its documentUrl, or url), gets the request's page rules (@page size and
// margins, colours as given, extra CSS) once it has loaded, waits for its web
// fonts, then is printed to PDF or captured as PNG (its content's height, at
// most 16384 pixels). The browser context (its proxy, its downloads rule) is
// the caller's; so is closing the page afterwards.
//
// Fails (false with a message) when the document cannot be loaded, the
// browser reports an error, the deadline of the session passes or the browser
// returns no bytes. Runs on the session's thread.
#pragma once

#include <string>

#include "control/render/ChromiumRenderer.h"  // RenderRequest
#include "control/render/DevToolsSession.h"

bool RenderInPage(DevToolsSession& browser, const std::string& session, const RenderRequest& request,
                  std::string* output, std::string* message);
