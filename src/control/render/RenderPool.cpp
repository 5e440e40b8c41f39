#include "control/render/RenderPool.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

RenderPool::RenderPool(BrowserFactory factory, int maxBrowsers)
    : m_factory(std::move(factory)), m_max(std::clamp(maxBrowsers, 1, 16)) {}

RenderPool::~RenderPool() { StopIdle(); }

std::unique_ptr<PooledBrowser> RenderPool::Take(std::string* error, std::string* code) {
  std::unique_lock lock(m_mutex);
  // A browser cleaning up after a job is free sooner than a new one could start.
  m_freed.wait(lock, [&] { return !m_idle.empty() || (m_running < m_max && m_recycling == 0); });
  if (!m_idle.empty()) {
    std::unique_ptr<PooledBrowser> browser = std::move(m_idle.back());
    m_idle.pop_back();
    m_busyGroups.push_back(browser->ProcessGroup());
    return browser;
  }
  ++m_running;  // a place for the browser being started, outside the lock
  lock.unlock();
  std::unique_ptr<PooledBrowser> browser = m_factory(error, code);
  lock.lock();
  if (!browser) {
    --m_running;
    m_freed.notify_one();
    return nullptr;
  }
  ++m_started;
  m_busyGroups.push_back(browser->ProcessGroup());
  return browser;
}

void RenderPool::Give(std::unique_ptr<PooledBrowser> browser) {
  {
    std::lock_guard lock(m_mutex);
    pid_t group = browser ? browser->ProcessGroup() : 0;
    auto at = std::find(m_busyGroups.begin(), m_busyGroups.end(), group);
    if (at != m_busyGroups.end()) m_busyGroups.erase(at);
    if (browser) {
      m_idle.push_back(std::move(browser));
    } else {
      --m_running;
    }
  }
  m_freed.notify_one();
}

void RenderCancel::Cancel() {
  std::lock_guard lock(m_mutex);
  m_cancelled = true;
  if (m_browser) m_browser->Cancel();
}

bool RenderCancel::Cancelled() const {
  std::lock_guard lock(m_mutex);
  return m_cancelled;
}

void RenderCancel::Attach(PooledBrowser* browser) {
  std::lock_guard lock(m_mutex);
  m_browser = browser;
  if (browser && m_cancelled) browser->Cancel();
}

bool RenderPool::Render(const RenderRequest& request, std::string* output, std::string* error, std::string* code,
                        RenderCancel* cancel, const std::function<void(bool ok)>& answer) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (cancel && cancel->Cancelled()) {
      if (error) *error = "the job went away";
      return false;
    }
    std::unique_ptr<PooledBrowser> browser = Take(error, code);
    if (!browser) return false;
    BrowserFault fault = BrowserFault::None;
    if (cancel) cancel->Attach(browser.get());
    bool ok = browser->Render(request, output, error, code, &fault);
    if (cancel) cancel->Attach(nullptr);
    if (fault == BrowserFault::None) {
      if (answer) answer(ok);
      if (!ok) {
        Give(std::move(browser));
        return ok;
      }
      {
        std::lock_guard lock(m_mutex);
        ++m_recycling;
      }
      const bool healthy = browser->Recycle(request);
      {
        std::lock_guard lock(m_mutex);
        --m_recycling;
      }
      if (healthy) Give(std::move(browser));
      else Drop(std::move(browser));
      return ok;
    }
    Drop(std::move(browser));
    if (fault == BrowserFault::TimedOut) {
      if (error) *error += "; the browser was replaced";
      if (answer) answer(false);
      return false;
    }
    if (attempt == 0 && error) error->clear();
  }
  if (error) *error = "chromium crashed twice while rendering this job: " + *error;
  if (code) *code = "renderFailed";
  if (answer) answer(false);
  return false;
}

// A browser that failed itself goes; its place is free for a new one.
void RenderPool::Drop(std::unique_ptr<PooledBrowser> browser) {
  {
    std::lock_guard lock(m_mutex);
    ++m_replaced;
  }
  pid_t group = browser->ProcessGroup();
  browser.reset();
  {
    std::lock_guard lock(m_mutex);
    auto at = std::find(m_busyGroups.begin(), m_busyGroups.end(), group);
    if (at != m_busyGroups.end()) m_busyGroups.erase(at);
    --m_running;
  }
  m_freed.notify_one();
}

void RenderPool::StopIdle() {
  std::vector<std::unique_ptr<PooledBrowser>> ending;
  {
    std::lock_guard lock(m_mutex);
    ending.swap(m_idle);
    m_running -= static_cast<int>(ending.size());
  }
  ending.clear();  // their destructors end them, outside the lock
  m_freed.notify_all();
}

void RenderPool::TidyIdle() {
  std::vector<std::unique_ptr<PooledBrowser>> tidying;
  {
    std::lock_guard lock(m_mutex);
    tidying.swap(m_idle);  // (still counted as running: no job starts a browser in their place)
    for (const auto& b : tidying) m_busyGroups.push_back(b->ProcessGroup());
  }
  for (auto& b : tidying) b->Tidy();
  for (auto& b : tidying) Give(std::move(b));
}

int RenderPool::Sites() const {
  std::lock_guard lock(m_mutex);
  int sites = 0;
  for (const auto& b : m_idle) sites += b->Sites();
  return sites;
}

int RenderPool::Running() const {
  std::lock_guard lock(m_mutex);
  return m_running;
}

int RenderPool::Busy() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_busyGroups.size());
}

int RenderPool::Started() const {
  std::lock_guard lock(m_mutex);
  return m_started;
}

int RenderPool::Replaced() const {
  std::lock_guard lock(m_mutex);
  return m_replaced;
}

std::vector<pid_t> RenderPool::ProcessGroups() const {
  std::lock_guard lock(m_mutex);
  std::vector<pid_t> groups = m_busyGroups;
  for (const auto& b : m_idle) groups.push_back(b->ProcessGroup());
  return groups;
}

long RenderPool::MemoryKb() const {
  std::vector<pid_t> groups = ProcessGroups();
  long total = 0;
  for (pid_t g : groups) total += ProcessGroupMemoryKb(g);
  return total;
}

long ProcessGroupMemoryKb(pid_t group) {
  if (group <= 0) return 0;
  long total = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name (which may hold blanks) in parentheses.
    size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    std::string state;
    long ppid = 0, pgrp = 0;
    fields >> state >> ppid >> pgrp;
    if (pgrp != group) continue;
    long kb = 0;
    std::ifstream rollup("/proc/" + std::string(entry->d_name) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);)
      if (line.rfind("Pss:", 0) == 0) kb = std::atol(line.c_str() + 4);
    if (kb == 0) {
      std::ifstream statm("/proc/" + std::string(entry->d_name) + "/statm");
      long size = 0, resident = 0;
      statm >> size >> resident;
      kb = resident * (sysconf(_SC_PAGESIZE) / 1024);
    }
    total += kb;
  }
  closedir(proc);
  return total;
}
