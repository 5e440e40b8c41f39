#include "dispatch/SiteGuard.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {

// Larger files are not decisions anybody wrote by hand or by a click.
constexpr uintmax_t kMaxFileBytes = 1 << 20;

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;  // relative values are ignored, as the XDG rules say
  const char* home = std::getenv("HOME");
  return std::string(home && home[0] == '/' ? home : "/tmp") + "/.config";
}

// false when nothing is at the path; otherwise true, with *json null and
// *error saying why when the file cannot be read or parsed. Only absence is
// "no file": a link that points nowhere, a folder, a FIFO or a device, a file
// that may not be read or a folder on the way that may not be searched are
// files that cannot be read.
bool ReadJsonFile(const std::string& path, Json::Value* json, std::string* error) {
  *json = Json::Value();
  std::error_code ec;
  const fs::file_status own = fs::symlink_status(path, ec);
  if (own.type() == fs::file_type::not_found) return false;
  if (ec) {
    *error = path + " cannot be looked at: " + ec.message();
    return true;
  }
  // Followed to the end: a dangling link is not_found here, but was found above.
  const fs::file_status target = fs::status(path, ec);
  if (ec || target.type() != fs::file_type::regular) {
    *error = path + (target.type() == fs::file_type::not_found ? " is a link to nothing"
                     : ec                                     ? " cannot be looked at: " + ec.message()
                                                              : " is not a regular file");
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text(kMaxFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad() || !in.is_open()) {
    *error = path + " cannot be read";
    return true;
  }
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxFileBytes) {
    *error = path + " is larger than 1 MiB";
    return true;
  }
  // Strict JSON: a comment, a trailing comma, a repeated member or text after
  // the object make the file malformed. A lenient reader would guess what an
  // administrator meant; a policy must say it, or allow nothing.
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  std::string why;
  std::istringstream source(text);
  if (!Json::parseFromStream(builder, source, json, &why)) {
    *json = Json::Value();
    *error = path + " is not JSON: " + why;
  }
  return true;
}

}  // namespace

SiteGuard::Paths SiteGuard::Paths::FromEnvironment() {
  Paths p;
  const char* policy = std::getenv("KESTRIX_POLICY");
  p.policy = policy && policy[0] ? policy : "/etc/kestrix/policy.json";
  p.sites = ConfigHome() + "/kestrix/sites.json";
  return p;
}

SiteGuard::SiteGuard(Paths paths, std::chrono::milliseconds recheck) : m_paths(std::move(paths)), m_recheck(recheck) {}

SiteGuard::Seen SiteGuard::Look(const std::string& path) {
  // The rename that replaces a file gives it a new time, to the nanosecond.
  // Present is anything at the path, a link to nothing included (as
  // ReadJsonFile tells them apart), so a file that turns into such a link is
  // read again.
  Seen s;
  std::error_code ec;
  s.exists = fs::symlink_status(path, ec).type() != fs::file_type::not_found;
  s.time = fs::last_write_time(path, ec);
  if (ec) s.time = {};
  return s;
}

void SiteGuard::Refresh(bool force) {
  auto now = std::chrono::steady_clock::now();
  if (!force && m_loaded && now - m_lastLook < m_recheck) return;
  m_lastLook = now;
  Seen policySeen = Look(m_paths.policy);
  if (!m_loaded || !(policySeen == m_policySeen)) {
    m_policySeen = policySeen;
    Json::Value json;
    std::string error;
    if (!ReadJsonFile(m_paths.policy, &json, &error)) {
      m_policy = SitePolicy::Default();
    } else {
      m_policy = SitePolicy::FromJson(json);
      if (!error.empty()) m_policy.error = error;
    }
  }
  Seen sitesSeen = Look(m_paths.sites);
  if (!m_loaded || !(sitesSeen == m_sitesSeen)) {
    m_sitesSeen = sitesSeen;
    Json::Value json;
    std::string error;
    m_remembered = ReadJsonFile(m_paths.sites, &json, &error) ? DecisionsFromJson(json) : SiteDecisions{};
  }
  m_loaded = true;
}

void SiteGuard::SetPage(const std::string& url) {
  m_page = WebOrigin::Parse(url);
  Refresh(true);
}

Verdict SiteGuard::Check(Capabilities needed) {
  if (needed == 0) return Verdict{true};
  Refresh(false);
  return ::Decide(m_policy, m_remembered, m_session, m_page.Key(), needed);
}

bool SiteGuard::Save(const SiteDecisions& decisions, std::string* error) {
  fs::path target(m_paths.sites);
  fs::path folder = target.parent_path();
  std::error_code ec;
  if (!fs::exists(folder, ec)) {
    fs::create_directories(folder, ec);
    // Only the user reads what they decided.
    fs::permissions(folder, fs::perms::owner_all, ec);
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  if (!WriteFileAtomically(target.string(), Json::writeString(writer, DecisionsToJson(decisions)) + "\n", 0600)) {
    *error = "cannot write " + target.string();
    return false;
  }
  m_remembered = decisions;
  m_sitesSeen = Look(m_paths.sites);
  return true;
}

bool SiteGuard::Decide(const std::string& origin, const std::string& capability, const std::string& decision,
                       bool remember, std::string* error) {
  Refresh(true);
  Capability c = CapabilityFromName(capability);
  if (origin.empty() || WebOrigin::Parse(origin).Key() != origin) {
    *error = "\"" + origin + "\" is not an http or https origin";
    return false;
  }
  if (!c) {
    *error = "\"" + capability + "\" is not a capability";
    return false;
  }
  if (decision != "allow" && decision != "block" && decision != "forget") {
    *error = "the decision must be \"allow\", \"block\" or \"forget\"";
    return false;
  }
  if (m_policy.Names(origin) || !m_policy.othersMayAsk) {
    *error = "the administrator's policy decides for " + origin;
    return false;
  }
  // The other kind of decision on the same capability goes: the newest word holds.
  SiteDecisions remembered = m_remembered;
  for (SiteDecisions* set : {&remembered, &m_session}) {
    auto site = set->find(origin);
    if (site == set->end()) continue;
    site->second.erase(c);
    if (site->second.empty()) set->erase(site);
  }
  if (decision != "forget") (remember ? remembered : m_session)[origin][c] = decision == "allow";
  if (remembered == m_remembered) return true;
  return Save(remembered, error);
}

bool SiteGuard::Forget(const std::string& origin, std::string* error) {
  Refresh(true);
  m_session.erase(origin);
  if (!m_remembered.count(origin)) return true;
  SiteDecisions remembered = m_remembered;
  remembered.erase(origin);
  return Save(remembered, error);
}

Json::Value SiteGuard::List() {
  Refresh(true);
  Json::Value out(Json::objectValue);
  out["policy"] = m_policy.ToJson();
  out["policy"]["file"] = m_paths.policy;
  out["policy"]["fromFile"] = m_policySeen.exists;
  out["sites"] = DecisionsToJson(m_remembered);
  out["session"] = DecisionsToJson(m_session);
  out["capabilities"] = Json::Value(Json::arrayValue);
  for (Capability c : AllCapabilityList()) out["capabilities"].append(CapabilityName(c));
  return out;
}
