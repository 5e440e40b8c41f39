// SiteGuard: what the page of this host process may do, from the files that
// hold the decisions. It knows the page's origin (from "new"), reads the
// administrator's policy and the user's remembered decisions, keeps the
// decisions made for this process only, and writes the user's decisions.
// Main thread only (the dispatcher's).
//
// Files:
//   policy   /etc/kestrix/policy.json, or $KESTRIX_POLICY (tests, and
//            administrators who keep it elsewhere). Absent (nothing at that
//            path): the built-in policy (SitePolicy::Default). Anything else
//            that cannot be read (a link to nothing, a folder, a FIFO, no read
//            permission, over 1 MiB) or is malformed: nothing is allowed and
//            nobody is asked (the error is listed).
//   sites    $XDG_CONFIG_HOME/kestrix/sites.json (else ~/.config/...): the
//            user's remembered decisions, written whole to a temporary file in
//            a 0700 folder, made 0600 and renamed into place. Unreadable or
//            malformed: no remembered decisions.
// Both are read again when they changed, looked at (one stat each) at "new",
// for every decision and list, and before a check when the last look is older
// than the recheck interval (250 ms; a look costs a few microseconds, a
// request of the host about two): a decision made in one tab, or removed in
// the options page, holds in every running host within a quarter second.
#pragma once

#include <json/json.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "dispatch/SitePermissions.h"
#include "platform/WebOrigin.h"

class SiteGuard {
 public:
  struct Paths {
    std::string policy;
    std::string sites;
    static Paths FromEnvironment();
  };

  explicit SiteGuard(Paths paths, std::chrono::milliseconds recheck = std::chrono::milliseconds(250));

  // "new": the page's address; its origin, parsed here once, is what every
  // later check is about. An address without a web origin gets nothing.
  void SetPage(const std::string& url);
  // The page's origin key; "" when it has none.
  const std::string& Origin() const { return m_page.Key(); }

  // Whether the page may do what the capabilities cover.
  Verdict Check(Capabilities needed);

  // A user's decision on one capability of an origin: "allow", "block" or
  // "forget" (back to undecided). remember: kept in the sites file; else it
  // holds for this process only. False (with why) for an origin that is not
  // http(s), a capability or decision that is not one, an origin the policy
  // decides, or a file that cannot be written.
  bool Decide(const std::string& origin, const std::string& capability, const std::string& decision,
              bool remember, std::string* error);
  // Removes every decision about an origin, remembered or not.
  bool Forget(const std::string& origin, std::string* error);

  // {"policy": SitePolicy::ToJson + "file", "sites": remembered decisions,
  //  "session": this process's decisions, "capabilities": [names...]}
  Json::Value List();

 private:
  struct Seen {
    bool exists = false;
    std::filesystem::file_time_type time{};
    bool operator==(const Seen&) const = default;
  };
  static Seen Look(const std::string& path);
  // force: look now, whatever the interval says.
  void Refresh(bool force);
  bool Save(const SiteDecisions& decisions, std::string* error);

  Paths m_paths;
  WebOrigin m_page;
  SitePolicy m_policy = SitePolicy::Default();
  SiteDecisions m_remembered;
  SiteDecisions m_session;
  Seen m_policySeen, m_sitesSeen;
  bool m_loaded = false;
  std::chrono::milliseconds m_recheck;
  std::chrono::steady_clock::time_point m_lastLook{};
};
