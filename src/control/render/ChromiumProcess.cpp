#include "control/render/ChromiumProcess.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "control/base/ControlPaths.h"
#include "platform/Kernel.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

// The browsers and folders of this process, for AbortRunningBrowsers.
std::mutex g_runningMutex;
std::set<pid_t> g_runningBrowsers;
std::set<std::string> g_runningFolders;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void RemoveTree(const std::string& path) {
  if (!path.empty()) nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}
}  // namespace

bool ChromiumProcess::Start(const std::string& executable, const std::string& folder, std::string* error) {
  m_log = folder + "/chromium.log";
  int toBrowser[2], fromBrowser[2];
  if (pipe2(toBrowser, O_CLOEXEC) != 0) return Fail(error, "cannot create a pipe");
  if (pipe2(fromBrowser, O_CLOEXEC) != 0) {
    close(toBrowser[0]);
    close(toBrowser[1]);
    return Fail(error, "cannot create a pipe");
  }
  std::vector<std::string> args = {executable,
                                   "--headless=new",
                                   "--remote-debugging-pipe",
                                   "--user-data-dir=" + folder + "/profile",
                                   "--no-first-run",
                                   "--no-default-browser-check",
                                   "--disable-gpu",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--disable-extensions",
                                   "--disable-default-apps",
                                   "--mute-audio",
                                   "--hide-scrollbars",
                                   "--disable-quic",
                                   // A page rendered for printing is foreground work, though no
                                   // window shows it: no lowered priority, no throttled timers.
                                   "--disable-renderer-backgrounding",
                                   "--disable-background-timer-throttling",
                                   "--disable-backgrounding-occluded-windows",
                                   // (WebRTC's UDP finds no way out of the browser's network
                                   // anyway: this keeps it from trying.)
                                   "--force-webrtc-ip-handling-policy=disable_non_proxied_udp",
                                   // Every browser context would get the address bar's popup as a
                                   // page of its own, each in a renderer process of about 50 MiB.
                                   "--disable-features=WebUIOmniboxPopup,WebUIOmniboxAimPopup,"
                                   "WebUIOmniboxFullPopup"};
  // Chromium's sandbox cannot run as root; elsewhere it stays on unless asked.
  const char* noSandbox = std::getenv("KESTRIX_CHROMIUM_NO_SANDBOX");
  if (geteuid() == 0 || (noSandbox && std::strcmp(noSandbox, "1") == 0)) args.push_back("--no-sandbox");
  args.push_back("about:blank");

  // A private home, configuration, cache and temporary folder: whatever the
  // page makes the browser write (a download that slips through, caches,
  // crash dumps) lands in the folder that is removed after the job.
  const std::string home = folder + "/home";
  MakeFolders(home, 0700);
  const std::pair<const char*, std::string> privateFolders[] = {
      {"HOME", home},
      {"TMPDIR", folder},
      {"XDG_CONFIG_HOME", home + "/.config"},
      {"XDG_CACHE_HOME", home + "/.cache"},
      {"XDG_DATA_HOME", home + "/.local/share"},
      {"XDG_DOWNLOAD_DIR", home + "/Downloads"},
  };
  SpawnOptions options;
  for (char** e = environ; e && *e; ++e) {
    bool replaced = false;
    for (const auto& [name, value] : privateFolders)
      replaced = replaced || (std::strncmp(*e, name, std::strlen(name)) == 0 && (*e)[std::strlen(name)] == '=');
    if (!replaced) options.environment.emplace_back(*e);
  }
  for (const auto& [name, value] : privateFolders) options.environment.push_back(std::string(name) + "=" + value);
  options.fds = {ChildFd::Null(), ChildFd::Null(), ChildFd::Open(m_log, O_WRONLY | O_CREAT | O_TRUNC, 0600),
                 ChildFd::Give(toBrowser[0]), ChildFd::Give(fromBrowser[1])};

  // The browser runs in a network of its own whose only way out is the
  // job's policy proxy (Listen): WebRTC's UDP, which no proxy carries,
  // and any connection that would skip the proxy reach nothing.
  std::unique_lock running(g_runningMutex);
  pid_t pid = -1;
  std::string failure;
  const bool started = m_network.Spawn(args, std::move(options), &pid, &failure, &m_isolationFailed);
  if (pid > 0) g_runningBrowsers.insert(m_pid = pid);
  running.unlock();
  close(toBrowser[0]);
  close(fromBrowser[1]);
  m_out = toBrowser[1];
  m_in = fromBrowser[0];
  return started || Fail(error, failure);
}

void ChromiumProcess::Stop() {
  if (m_pid > 0) {
    if (m_out >= 0) {
      // (Browser.close under an id no session uses.)
      static const char kClose[] = "{\"id\":999999,\"method\":\"Browser.close\"}";
      (void)!write(m_out, kClose, sizeof kClose);  // with its NUL, which ends a message
    }
    auto until = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
      if (Clock::now() > until) {
        kill(-m_pid, SIGKILL);
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        break;
      }
      poll(nullptr, 0, 20);
    }
    kill(-m_pid, SIGKILL);  // helpers that outlived the browser process
    std::lock_guard running(g_runningMutex);
    g_runningBrowsers.erase(m_pid);
    m_pid = -1;
  }
  if (m_out >= 0) close(m_out);
  if (m_in >= 0) close(m_in);
  m_out = m_in = -1;
}

void ChromiumProcess::Kill() {
  if (m_pid > 0) kill(-m_pid, SIGKILL);
}

std::string ChromiumProcess::LogTail() const {
  std::string text;
  if (!ReadWholeFile(m_log, &text, size_t(64) << 20)) return std::string();
  if (text.size() > 600) text = text.substr(text.size() - 600);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

bool ChromiumProcess::Alive(int graceMs) {
  if (m_pid <= 0) return false;
  const auto until = Clock::now() + std::chrono::milliseconds(graceMs);
  for (;;) {
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) != 0) return false;
    if (Clock::now() >= until) return true;
    poll(nullptr, 0, 10);
  }
}

BrowserFolder::~BrowserFolder() {
  if (m_path.empty()) return;
  RemoveTree(m_path);
  std::lock_guard running(g_runningMutex);
  g_runningFolders.erase(m_path);
}

bool BrowserFolder::Make(const std::string& base, const std::string& prefix, std::string* error) {
  const std::string where = base.empty() ? GetTempPathA() : base;
  std::string folderTemplate = where + prefix + "XXXXXX";
  std::vector<char> buffer(folderTemplate.begin(), folderTemplate.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) return Fail(error, "cannot create a folder in " + where);
  m_path = buffer.data();
  std::lock_guard running(g_runningMutex);
  g_runningFolders.insert(m_path);
  return true;
}

void AbortRunningBrowsers() {
  std::lock_guard running(g_runningMutex);
  for (pid_t pid : g_runningBrowsers) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
  }
  g_runningBrowsers.clear();
  for (const std::string& folder : g_runningFolders) RemoveTree(folder);
  g_runningFolders.clear();
}
