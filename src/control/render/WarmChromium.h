// The warm renderer's browser (PooledBrowser.h): one headless Chromium kept
// running between jobs, with a browser context per site.
//
// A site is the page's origin (WebOrigin, from the job's network policy). A
// site's context carries that site's network policy (a Socks5Server of its
// own, which every connection of the context goes through) and is never used
// for another site's job; a site whose policy changed gets a fresh context.
// Each job has a page of its own in its site's context; the page is closed
// (its timers and workers end with it) and the site's cookies, storage,
// caches and service workers are cleared before the site's next job starts,
// and the next page is opened meanwhile. A page not on the web (no origin)
// gets a context for its one job. At most limits.sites contexts are kept (the
// least recently used goes first); one without a job for limits.idleSeconds
// goes at the next Tidy. A job that fails takes its site's context with it;
// a browser that cannot remove a context within seconds is reported as
// crashed or hung (BrowserFault) and must not be used again.
//
// Threads: one thread at a time renders, recycles and tidies (the pool's
// lease); Cancel may come from any thread.
#pragma once

#include <memory>
#include <string>

#include "control/render/PooledBrowser.h"

// How many sites a warm browser keeps a context for (1 to 32), and how long
// one is kept without a job (1 to 3600 s).
struct WarmSiteLimits {
  int sites = 4;
  int idleSeconds = 60;
};

// A warm browser, started and answering, its profile, home and temporary
// files in a folder of its own inside folder ("": the system's temporary
// folder), removed with it; null with a message and a code ("chromiumMissing",
// "networkIsolationUnavailable", "renderFailed").
std::unique_ptr<PooledBrowser> StartWarmChromium(const std::string& executable, const std::string& folder,
                                                 std::string* error, std::string* code,
                                                 WarmSiteLimits limits = {});
