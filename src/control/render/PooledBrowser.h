// PooledBrowser: what the warm renderer's pool (RenderPool.h) asks of a
// browser it keeps. The headless browser (ChromiumRenderer.cpp) implements
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
  // Renders one request in a fresh context, removed afterwards. False with a
  // message and a code ("renderFailed", "networkRefused", ...); *fault says
  // whether the browser itself failed (then it is not used again).
  virtual bool Render(const RenderRequest& request, std::string* output, std::string* error, std::string* code,
                      BrowserFault* fault) = 0;
  // After a job that rendered, once its caller has the output: removes the
  // job's context and makes ready what the next job like it needs (a fresh
  // context), so that it starts at once. Nothing is shared with that job but
  // the browser. False when the browser failed doing so (it is not used again).
  virtual bool Recycle(const RenderRequest& like) { return true; }
  // Any thread, while Render runs: the job is no longer wanted; Render ends
  // soon with a failure, the browser stays usable.
  virtual void Cancel() {}
  // The browser's processes (its process group leader), for memory figures.
  virtual pid_t ProcessGroup() const = 0;
};
