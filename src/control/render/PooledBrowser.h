// PooledBrowser: what the warm renderer's pool (RenderPool.h) asks of a
// browser it keeps. The warm headless browser (WarmChromium.h) implements
// it; the pool knows only this, so the browser does not depend on the pool.
#pragma once

#include <sys/types.h>

#include <string>

#include "control/render/ChromiumRenderer.h"  // RenderRequest

// What became of a browser while it rendered.
enum class BrowserFault { None, Crashed, TimedOut };

class PooledBrowser {
 public:
  virtual ~PooledBrowser() = default;
  // Renders one request in a page of its own, in its site's context. False with a
  // message and a code ("renderFailed", "networkRefused", ...); *fault says
  // whether the browser itself failed (then it is not used again).
  virtual bool Render(const RenderRequest& request, std::string* output, std::string* error, std::string* code,
                      BrowserFault* fault) = 0;
  // After a job that rendered, once its caller has the output: removes the
  // job's page and makes ready what the next job of its site needs (a
  // fresh page, the site's data cleared), so that it starts at once. False
  // when the browser failed doing so (it is not used again).
  virtual bool Recycle(const RenderRequest& like) { return true; }
  // Between jobs (never while Render runs): lets what was kept for jobs
  // that no longer come go (a site's context after its idle time).
  virtual void Tidy() {}
  // The sites the browser keeps a context for now.
  virtual int Sites() const { return 0; }
  // Any thread, while Render runs: the job is no longer wanted; Render ends
  // soon with a failure, the browser stays usable.
  virtual void Cancel() {}
  // The browser's processes (its process group leader), for memory figures.
  virtual pid_t ProcessGroup() const = 0;
};
