// Rendering browsers kept running between jobs: at most one per job that may
// render at once, started on first use. Each site renders in a browser
// context of its own and each job in a page of its own, closed before the
// next starts (the browser side, PooledBrowser, sees to that), so nothing a
// page leaves behind (cookies, storage, cache) reaches another site.
//
// A browser that crashes or stops answering is ended and never used again.
// The job it held is tried once more on a fresh browser when the browser
// crashed; a job that ran out of time fails (it would only run out again).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control/render/PooledBrowser.h"

// Lets another thread cancel the job a Render call is doing (its client has gone).
class RenderCancel {
 public:
  void Cancel();
  bool Cancelled() const;

 private:
  friend class RenderPool;
  void Attach(PooledBrowser* browser);
  mutable std::mutex m_mutex;
  PooledBrowser* m_browser = nullptr;
  bool m_cancelled = false;
};

// Starts a browser; null with a message (and a code) when it cannot.
using BrowserFactory = std::function<std::unique_ptr<PooledBrowser>(std::string* error, std::string* code)>;

class RenderPool {
 public:
  RenderPool(BrowserFactory factory, int maxBrowsers);
  ~RenderPool();

  // Any thread: renders with a free browser, starting one when fewer than
  // maxBrowsers run, else waiting for one to come free.
  // A cancelled job (cancel may be null) fails soon and is not tried again.
  // answer (may be empty) is called once the outcome is known (output, error
  // and code set) and before the browser cleans up after the job, so that
  // the caller can pass the outcome on without waiting for that.
  bool Render(const RenderRequest& request, std::string* output, std::string* error, std::string* code,
              RenderCancel* cancel = nullptr, const std::function<void(bool ok)>& answer = {});
  // Ends every idle browser (busy ones end when their job is done).
  void StopIdle();
  // Tidies every idle browser (PooledBrowser::Tidy); busy ones are left.
  void TidyIdle();
  // The sites the idle browsers keep contexts for, summed.
  int Sites() const;

  int Running() const;
  int Busy() const;
  // Browsers started and ended (crashed or hung ones included) so far.
  int Started() const;
  int Replaced() const;
  // The process groups of the browsers running now.
  std::vector<pid_t> ProcessGroups() const;
  // Proportional set size of every process of every browser, in KiB.
  long MemoryKb() const;

 private:
  std::unique_ptr<PooledBrowser> Take(std::string* error, std::string* code);
  void Give(std::unique_ptr<PooledBrowser> browser);
  void Drop(std::unique_ptr<PooledBrowser> browser);

  BrowserFactory m_factory;
  const int m_max;
  mutable std::mutex m_mutex;
  std::condition_variable m_freed;
  std::vector<std::unique_ptr<PooledBrowser>> m_idle;
  std::vector<pid_t> m_busyGroups;
  int m_running = 0;  // idle + busy + starting
  int m_recycling = 0;
  int m_started = 0;
  int m_replaced = 0;
};

// Proportional set size (else resident size) of the processes in a process group, in KiB.
long ProcessGroupMemoryKb(pid_t group);
