// One running headless Chromium: the process, its folder and the two pipe
// ends of its DevTools connection (--remote-debugging-pipe: commands go to
// the browser's fd 3, replies come from its fd 4). What is said on the pipe
// is DevToolsSession's business (DevToolsSession.h); this file only starts,
// watches and ends the process.
//
// The browser runs in a network of its own (PrivateNetwork.h) whose only way
// out is the proxies made with Listen, with a private home, configuration,
// cache and temporary folder inside the folder it is given: whatever a page
// makes the browser write lands there and goes with the folder.
//
// Threads: one thread starts, uses and stops a ChromiumProcess; only
// AbortRunningBrowsers may be called from any other.
#pragma once

#include <sys/types.h>

#include <string>

#include "control/render/PrivateNetwork.h"

class ChromiumProcess {
 public:
  ChromiumProcess() = default;
  ~ChromiumProcess() { Stop(); }
  ChromiumProcess(const ChromiumProcess&) = delete;
  ChromiumProcess& operator=(const ChromiumProcess&) = delete;

  // Starts executable with its profile, home and temporary files in folder
  // (made by the caller, e.g. with BrowserFolder) and its standard error in
  // folder/chromium.log. False with a message when the browser's network
  // cannot be made (IsolationFailed() then) or the program cannot run. The
  // browser may still end at once: the first command's answer tells.
  bool Start(const std::string& executable, const std::string& folder, std::string* error);

  // Our ends of the DevTools pipe (-1 before Start and after Stop).
  int CommandFd() const { return m_out; }
  int ReplyFd() const { return m_in; }

  // A socket listening on 127.0.0.1 inside the browser's network, for a proxy;
  // the caller's to close. -1 with a message.
  int Listen(std::string* error) const { return m_network.Listen(error); }
  // Start failed because the browser's network could not be made.
  bool IsolationFailed() const { return m_isolationFailed; }

  // Ends the browser: asks it to close over the pipe, kills its process group
  // after 5 s, and in any case every helper process that outlived it; closes
  // the pipe. Returns once the process is reaped.
  void Stop();
  // Kills the process group at once (a browser that hung would not answer a close).
  void Kill();

  // The last bytes of the browser's standard error, for a failure's message.
  std::string LogTail() const;
  // The process id, which leads its process group; -1 when none runs.
  pid_t Pid() const { return m_pid; }
  // False once the browser process has ended (it is reaped then). A process
  // that is ending (its pipes already closed) is given graceMs to finish.
  bool Alive(int graceMs);

 private:
  PrivateNetwork m_network;
  bool m_isolationFailed = false;
  pid_t m_pid = -1;
  int m_out = -1, m_in = -1;
  std::string m_log;
};

// A fresh private folder for a browser (mkdtemp of base + prefix + "XXXXXX";
// base "" means the system's temporary folder), removed with everything in it
// when this goes, or by AbortRunningBrowsers.
class BrowserFolder {
 public:
  BrowserFolder() = default;
  ~BrowserFolder();
  BrowserFolder(const BrowserFolder&) = delete;
  BrowserFolder& operator=(const BrowserFolder&) = delete;
  // False with a message when no folder can be made there.
  bool Make(const std::string& base, const std::string& prefix, std::string* error);
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// Any thread, when the process is about to end (a job over its time limit):
// kills every browser a ChromiumProcess of this process runs and removes
// every BrowserFolder.
void AbortRunningBrowsers();
