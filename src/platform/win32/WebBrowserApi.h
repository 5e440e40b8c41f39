// The WebBrowser control and its HTML document, from the SDK (exdisp.h,
// mshtml.h); the identifiers come from libuuid.
#pragma once

#include "platform/Automation.h"
// After Automation.h (windows.h first).
#include <exdisp.h>
#include <mshtml.h>
