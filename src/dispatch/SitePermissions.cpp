#include "dispatch/SitePermissions.h"

#include "dispatch/CommandTable.h"
#include "dispatch/ParamKinds.h"
#include "platform/WebOrigin.h"

#include <string_view>

namespace {

struct Named {
  Capability capability;
  const char* name;
};
constexpr Named kNames[] = {
    {kCapPrinters, "printers"},   {kCapReadFiles, "readFiles"}, {kCapWriteFiles, "writeFiles"},
    {kCapDownloads, "downloads"}, {kCapOpenFiles, "openFiles"}, {kCapDeviceIds, "deviceIds"},
    {kCapSettings, "settings"},
};

// Splits "scheme://host[:port]" as WebOrigin::Key left it (port "*" allowed).
bool SplitOrigin(const std::string& origin, std::string* schemeHost, std::string* port) {
  size_t hostStart = origin.find("://");
  if (hostStart == std::string::npos) return false;
  size_t colon = origin.rfind(':');
  if (colon > hostStart + 2 && origin.find(']', colon) == std::string::npos) {
    *schemeHost = origin.substr(0, colon);
    *port = origin.substr(colon + 1);
  } else {
    *schemeHost = origin;
    port->clear();
  }
  return true;
}

// The policy's capabilities for an origin, looking at exact entries first
// and then at "any port" entries. False when the policy does not list it.
bool PolicyGrants(const SitePolicy& policy, const std::string& origin, Capabilities* granted) {
  if (auto it = policy.allow.find(origin); it != policy.allow.end()) {
    *granted = it->second;
    return true;
  }
  std::string schemeHost, port;
  if (!SplitOrigin(origin, &schemeHost, &port)) return false;
  if (auto it = policy.allow.find(schemeHost + ":*"); it != policy.allow.end()) {
    *granted = it->second;
    return true;
  }
  return false;
}

// An origin as written in a file: normalised like a page address, or with
// ":*" for any port. "" when it is neither.
std::string OriginPattern(const std::string& text) {
  if (text.size() > 2 && text.compare(text.size() - 2, 2, ":*") == 0) {
    std::string base = WebOrigin::Parse(text.substr(0, text.size() - 2)).Key();
    std::string schemeHost, port;
    if (base.empty() || !SplitOrigin(base, &schemeHost, &port) || !port.empty()) return "";
    return base + ":*";
  }
  std::string origin = WebOrigin::Parse(text).Key();
  // Only a bare origin, in the spelling of its key, counts: a path would be a mistake worth refusing.
  return origin == text || origin + "/" == text ? origin : "";
}

Json::Value CapabilityNames(Capabilities set) {
  Json::Value names(Json::arrayValue);
  for (Capability c : AllCapabilityList())
    if (set & c) names.append(CapabilityName(c));
  return names;
}

}  // namespace

const std::vector<Capability>& AllCapabilityList() {
  static const auto* list = [] {
    auto* v = new std::vector<Capability>;
    for (const Named& n : kNames) v->push_back(n.capability);
    return v;
  }();
  return *list;
}

std::string CapabilityNamesText(Capabilities set) {
  std::vector<std::string> names;
  for (Capability c : AllCapabilityList())
    if (set & c) names.push_back(std::string("\"") + CapabilityName(c) + "\"");
  std::string text;
  for (size_t i = 0; i < names.size(); ++i)
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return text;
}

const char* CapabilityName(Capability c) {
  for (const Named& n : kNames)
    if (n.capability == c) return n.name;
  return "";
}

Capability CapabilityFromName(const std::string& name) {
  for (const Named& n : kNames)
    if (name == n.name) return n.capability;
  return Capability(0);
}

Capabilities RequiredCapabilities(const Json::Value& request) {
  const Json::Value* method = request.isObject() ? request.find("method", "method" + 6) : nullptr;
  return RequiredCapabilities(request, method && method->isString() ? method->asString() : std::string());
}

Capabilities AddedByContent(const Json::Value& request, const std::string& name, Capabilities needed) {
  Capabilities added = 0;
  // Only an http or https address is fetched from the network; the control
  // copies a file: source out of the allowed folders, which is reading them
  // (as copy does). Anything else it refuses, so asking more costs nothing.
  auto local = [](const Json::Value& url) {
    std::string scheme = url.isString() ? url.asString().substr(0, 8) : std::string();
    for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return scheme.rfind("http://", 0) != 0 && scheme.rfind("https://", 0) != 0;
  };
  if (name == "download" && local(ParamAt(request, 0))) added |= kCapReadFiles;
  // A job that writes a document made of a file ("file", or a "url" that is
  // no web address) copies that file into the site's files in another form.
  if ((needed & kCapWriteFiles) && (needed & kCapPrinters)) {
    const Json::Value& job = ParamAt(request, 0);
    const Json::Value* file = job.isObject() ? job.find("file", "file" + 4) : nullptr;
    const Json::Value* url = job.isObject() ? job.find("url", "url" + 3) : nullptr;
    if ((file && file->isString() && !file->asString().empty()) ||
        (url && url->isString() && !url->asString().empty() && local(*url)))
      added |= kCapReadFiles;
  }
  return added;
}

Capabilities RequiredCapabilities(const Json::Value& request, const std::string& name) {
  const CommandRow* row = FindCommand(name);
  if (!row) return name == "new" || name == "ping" ? 0 : kAllCapabilities;
  Capabilities needed = row->needs;
  // The flag as the dispatcher will read it.
  if (row->more.index >= 0 && ReadFlagParam(ParamAt(request, static_cast<unsigned>(row->more.index))))
    needed |= row->more.needs;
  needed |= AddedByContent(request, name, needed);
  return needed;
}

SitePolicy SitePolicy::Default() {
  SitePolicy p;
  p.allow["http://127.0.0.1:*"] = kAllCapabilities;
  p.allow["http://localhost:*"] = kAllCapabilities;
  return p;
}

SitePolicy SitePolicy::FromJson(const Json::Value& json) {
  SitePolicy p;
  auto refuse = [](const std::string& why) {
    SitePolicy none;
    none.othersMayAsk = false;
    none.error = why;
    return none;
  };
  if (!json.isObject()) return refuse("the policy is not a JSON object");
  // A misspelt member would silently leave its rule out ("othersMayask": false
  // would let every site ask): only the members the policy knows are taken.
  for (const std::string& name : json.getMemberNames())
    if (name != "allow" && name != "block" && name != "othersMayAsk")
      return refuse("the policy has a member \"" + name + "\"; it knows \"allow\", \"block\" and \"othersMayAsk\"");
  if (const Json::Value* allow = json.find("allow", "allow" + 5)) {
    if (!allow->isObject()) return refuse("\"allow\" is not an object of origins");
    for (const std::string& key : allow->getMemberNames()) {
      std::string origin = OriginPattern(key);
      if (origin.empty()) return refuse("\"allow\" names " + key + ", which is not an origin");
      // Two spellings of one origin: one list would silently replace the other.
      if (p.allow.count(origin)) return refuse("\"allow\" names " + origin + " twice");
      const Json::Value& caps = (*allow)[key];
      Capabilities set = 0;
      if (caps.isString() && caps.asString() == "all") {
        set = kAllCapabilities;
      } else if (caps.isArray()) {
        for (const Json::Value& c : caps) {
          Capability one = c.isString() ? CapabilityFromName(c.asString()) : Capability(0);
          if (!one) return refuse("\"allow\" of " + key + " lists something that is not a capability");
          set |= one;
        }
      } else {
        return refuse("\"allow\" of " + key + " is neither \"all\" nor a list of capabilities");
      }
      p.allow[origin] = set;
    }
  }
  if (const Json::Value* block = json.find("block", "block" + 5)) {
    if (!block->isArray()) return refuse("\"block\" is not a list of origins");
    for (const Json::Value& b : *block) {
      std::string origin = b.isString() ? OriginPattern(b.asString()) : "";
      if (origin.empty()) return refuse("\"block\" lists something that is not an origin");
      p.block.insert(origin);
    }
  }
  if (const Json::Value* ask = json.find("othersMayAsk", "othersMayAsk" + 12)) {
    if (!ask->isBool()) return refuse("\"othersMayAsk\" is not true or false");
    p.othersMayAsk = ask->asBool();
  }
  return p;
}

Json::Value SitePolicy::ToJson() const {
  Json::Value out(Json::objectValue);
  out["allow"] = Json::Value(Json::objectValue);
  for (const auto& [origin, caps] : allow) out["allow"][origin] = CapabilityNames(caps);
  out["block"] = Json::Value(Json::arrayValue);
  for (const std::string& origin : block) out["block"].append(origin);
  out["othersMayAsk"] = othersMayAsk;
  if (!error.empty()) out["error"] = error;
  return out;
}

bool SitePolicy::Names(const std::string& origin) const {
  Capabilities ignored;
  if (PolicyGrants(*this, origin, &ignored)) return true;
  if (block.count(origin)) return true;
  std::string schemeHost, port;
  return SplitOrigin(origin, &schemeHost, &port) && block.count(schemeHost + ":*");
}

SiteDecisions DecisionsFromJson(const Json::Value& json) {
  SiteDecisions out;
  if (!json.isObject()) return out;
  for (const std::string& key : json.getMemberNames()) {
    std::string origin = WebOrigin::Parse(key).Key();
    const Json::Value& entry = json[key];
    if (origin != key || !entry.isObject()) continue;
    for (const std::string& name : entry.getMemberNames()) {
      Capability c = CapabilityFromName(name);
      const Json::Value& d = entry[name];
      if (!c || !d.isString() || (d.asString() != "allow" && d.asString() != "block")) continue;
      out[origin][c] = d.asString() == "allow";
    }
  }
  return out;
}

Json::Value DecisionsToJson(const SiteDecisions& decisions) {
  Json::Value out(Json::objectValue);
  for (const auto& [origin, caps] : decisions) {
    if (caps.empty()) continue;
    Json::Value& entry = out[origin] = Json::Value(Json::objectValue);
    for (const auto& [c, allowed] : caps) entry[CapabilityName(c)] = allowed ? "allow" : "block";
  }
  return out;
}

const char* DecidedByName(DecidedBy d) {
  switch (d) {
    case DecidedBy::Policy: return "policy";
    case DecidedBy::User: return "user";
    case DecidedBy::Session: return "session";
    case DecidedBy::None: break;
  }
  return "nobody";
}

namespace {

// One capability: the first source that has a word on it decides.
Verdict DecideOne(const SitePolicy& policy, const SiteDecisions& remembered, const SiteDecisions& session,
                  const std::string& origin, Capability c) {
  Verdict v;
  v.capability = c;
  if (origin.empty()) {
    v.by = DecidedBy::Policy;  // not a web origin: nobody can be asked about it
    return v;
  }
  std::string schemeHost, port;
  SplitOrigin(origin, &schemeHost, &port);
  if (policy.block.count(origin) || policy.block.count(schemeHost + ":*")) {
    v.by = DecidedBy::Policy;
    return v;
  }
  Capabilities granted = 0;
  if (PolicyGrants(policy, origin, &granted)) {
    v.allowed = (granted & c) != 0;
    v.by = DecidedBy::Policy;
    return v;
  }
  if (!policy.othersMayAsk) {
    v.by = DecidedBy::Policy;
    return v;
  }
  // A remembered decision is the user's latest word (the options page edits
  // it), so it wins over one made for this host process only.
  for (auto [source, by] : {std::pair{&remembered, DecidedBy::User}, std::pair{&session, DecidedBy::Session}}) {
    auto site = source->find(origin);
    if (site == source->end()) continue;
    auto d = site->second.find(c);
    if (d == site->second.end()) continue;
    v.allowed = d->second;
    v.by = by;
    return v;
  }
  v.mayAsk = true;
  return v;
}

}  // namespace

Verdict Decide(const SitePolicy& policy, const SiteDecisions& remembered, const SiteDecisions& session,
               const std::string& origin, Capabilities needed) {
  Verdict result;
  result.allowed = true;
  Verdict undecided;
  for (Capability c : AllCapabilityList()) {
    if (!(needed & c)) continue;
    Verdict one = DecideOne(policy, remembered, session, origin, c);
    // A refusal nobody can change is reported before one the user may still be asked about.
    if (!one.allowed && !one.mayAsk) return one;
    if (!one.allowed && !undecided.mayAsk) undecided = one;
    if (one.allowed) result.by = one.by;
  }
  return undecided.mayAsk ? undecided : result;
}
