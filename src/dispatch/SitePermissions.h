// What a site may do: the capabilities, which command needs which, and the
// decision for one origin and one capability. Pure: no files, no threads.
//
// A capability is a group of commands a person can judge ("use printers",
// "read this site's files"); the host grants or refuses whole groups per
// origin. The decision takes, in this order: the administrator's policy (it
// always wins, and an origin it names is never asked about), the user's
// remembered decisions, and the decisions the user made for this host
// process only ("Allow" without "Remember").
#pragma once

#include <json/json.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// One bit per capability; Capabilities is a set of them.
enum Capability : uint32_t {
  kCapPrinters = 1u << 0,    // list, status, papers, print (preview, print to PDF/image also need kCapWriteFiles)
  kCapReadFiles = 1u << 1,   // read the site's files
  kCapWriteFiles = 1u << 2,  // write, copy and export into the site's files, and the documents jobs write there
  kCapDownloads = 1u << 3,   // fetch from the network into the site's files
  kCapOpenFiles = 1u << 4,   // open a file with the desktop's program (openFile, printPreview, exportAsExcel's "open")
  kCapDeviceIds = 1u << 5,   // MAC address, machine id
  kCapSettings = 1u << 6,    // settings kept between visits
};
using Capabilities = uint32_t;
inline constexpr Capabilities kAllCapabilities = (1u << 7) - 1;

// The capabilities in a fixed order, with the names used on the wire and in
// the policy and decision files ("printers", "readFiles", ...).
const std::vector<Capability>& AllCapabilityList();
const char* CapabilityName(Capability c);
// 0 for a name that is not a capability.
Capability CapabilityFromName(const std::string& name);
// The names of a set for a message: "\"printers\" and \"writeFiles\"".
std::string CapabilityNamesText(Capabilities set);

// What a request needs, by the capability column of the command table
// (Commands.def): a command needs its row's capabilities (and those its flag
// rule adds: exportAsExcel with "open" set also needs kCapOpenFiles); the
// protocol's own "new" and "ping" need nothing. Two rules read the request:
// download also needs kCapReadFiles unless its source is an http or https
// address, and a job that writes a document made of a "file" (or of a "url"
// that is no web address) needs it too. Any other method, a "method" that is
// not text and a request that is not an object need every capability
// (kAllCapabilities): whatever is not a command is refused, never free.
// What a request's content adds to the capabilities of its row (needed):
// the two rules above that read the request. The dispatcher adds it to what
// the command table's row gives.
Capabilities AddedByContent(const Json::Value& request, const std::string& name, Capabilities needed);
Capabilities RequiredCapabilities(const Json::Value& request);
// The same for a request whose "method" (a string, or "" when it is none) has
// been read already.
Capabilities RequiredCapabilities(const Json::Value& request, const std::string& method);

// Origins are WebOrigin keys (platform/WebOrigin.h): "https://shop.test",
// "http://127.0.0.1:8080"; "" for a page that has no web origin.

// What the administrator decided (policy.json).
struct SitePolicy {
  // Origin -> granted capabilities. The file must name an origin in the
  // spelling of its key (a trailing "/" aside). An entry whose port is "*"
  // ("http://127.0.0.1:*") matches every port of that scheme and host.
  std::map<std::string, Capabilities> allow;
  std::set<std::string> block;
  // false: origins the policy does not name get nothing and are never asked.
  bool othersMayAsk = true;
  std::string error;  // why the file was refused (then nothing is allowed)

  // The built-in policy when no file exists: the loopback pages that could use
  // the host before sites were asked keep everything, every other site may ask.
  static SitePolicy Default();
  // Parses the file's JSON. A value of the wrong shape, or a member other
  // than "allow", "block" and "othersMayAsk", is refused whole:
  // the result allows nothing, lets nobody ask, and says why in error.
  static SitePolicy FromJson(const Json::Value& json);
  Json::Value ToJson() const;
  // Whether the policy decides this origin (allowed or blocked by it).
  bool Names(const std::string& origin) const;
};

// Decisions per origin: capability -> allowed (true) or blocked (false).
using SiteDecisions = std::map<std::string, std::map<Capability, bool>>;

// sites.json <-> decisions. Entries that are not an origin, a capability or
// "allow"/"block" are left out when reading.
SiteDecisions DecisionsFromJson(const Json::Value& json);
Json::Value DecisionsToJson(const SiteDecisions& decisions);

// Who decided a verdict.
enum class DecidedBy { None, Policy, User, Session };
const char* DecidedByName(DecidedBy d);

struct Verdict {
  bool allowed = false;
  DecidedBy by = DecidedBy::None;
  bool mayAsk = false;  // refused only because nobody has decided yet
  Capability capability = Capability(0);  // the first capability refused
};

// The decision for an origin and a set of needed capabilities: allowed only
// when every one of them is.
Verdict Decide(const SitePolicy& policy, const SiteDecisions& remembered, const SiteDecisions& session,
               const std::string& origin, Capabilities needed);
