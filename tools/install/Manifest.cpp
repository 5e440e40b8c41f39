#include "Manifest.h"

#include <fstream>
#include <sstream>

#include "Platform.h"

namespace installer {

bool IsChromiumExtensionId(const std::string& id) {
  if (id.size() != 32) return false;
  for (char c : id)
    if (c < 'a' || c > 'p') return false;
  return true;
}

namespace {
bool IsAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// "name@domain": name of [A-Za-z0-9._+-] (may be empty), domain of [A-Za-z0-9._-] (not empty).
bool IsEmailStyleId(const std::string& id) {
  size_t at = id.find('@');
  if (at == std::string::npos || at + 1 == id.size()) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    char c = id[i];
    if (i == at) continue;
    bool ok = IsAlnum(c) || c == '.' || c == '_' || c == '-' || (i < at && c == '+');
    if (!ok) return false;
  }
  return true;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in hexadecimal digits.
bool IsGuidStyleId(const std::string& id) {
  if (id.size() != 38 || id.front() != '{' || id.back() != '}') return false;
  for (size_t i = 1; i < 37; ++i) {
    bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? id[i] != '-' : !IsHex(id[i])) return false;
  }
  return true;
}
}  // namespace

bool IsFirefoxExtensionId(const std::string& id) { return IsEmailStyleId(id) || IsGuidStyleId(id); }

Json::Value BuildManifest(Browser browser, const std::string& hostPath, const std::vector<std::string>& ids) {
  Json::Value m(Json::objectValue);
  m["name"] = kHostName;
  m["description"] = "Kestrix printing host";
  m["path"] = hostPath;
  m["type"] = "stdio";
  Json::Value allowed(Json::arrayValue);
  if (UsesOrigins(browser)) {
    for (const std::string& id : ids) allowed.append("chrome-extension://" + id + "/");
    m["allowed_origins"] = allowed;
  } else {
    for (const std::string& id : ids) allowed.append(id);
    m["allowed_extensions"] = allowed;
  }
  return m;
}

std::string ManifestText(const Json::Value& manifest) {
  // Indented for people who read the file; ends in a newline.
  return Json::StyledWriter().write(manifest);
}

std::string HostBinaryProblem(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  if (!path.is_absolute()) return "the path is not absolute";
  std::error_code ec;
  fs::file_status st = fs::status(path, ec);
  if (!fs::exists(st)) return "no such file";
  if (!fs::is_regular_file(st)) return "not a regular file";
  return ExecutableProblem(path);
}

ManifestCheck CheckManifest(const std::filesystem::path& file, Browser browser) {
  ManifestCheck check;
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  Json::CharReaderBuilder builder;
  Json::Value m;
  std::string errors;
  std::istringstream source(text.str());
  if (!in || !Json::parseFromStream(builder, source, &m, &errors) || !m.isObject()) {
    check.problem = "not a valid manifest (unreadable or not a JSON object)";
    return check;
  }
  const Json::Value& path = m["path"];
  check.hostPath = path.isString() ? path.asString() : "";
  const Json::Value& allowed = m[UsesOrigins(browser) ? "allowed_origins" : "allowed_extensions"];
  if (allowed.isArray())
    for (const Json::Value& v : allowed)
      if (v.isString()) check.allowed.push_back(v.asString());

  if (!m["name"].isString() || m["name"].asString() != kHostName)
    check.problem = std::string("its \"name\" is not ") + kHostName;
  else if (!m["type"].isString() || m["type"].asString() != "stdio")
    check.problem = "its \"type\" is not \"stdio\"";
  else if (check.hostPath.empty())
    check.problem = "it has no \"path\"";
  else if (check.allowed.empty())
    check.problem = UsesOrigins(browser) ? "it allows no origin" : "it allows no extension";
  else if (std::string why = HostBinaryProblem(HostPathInManifest(file, check.hostPath)); !why.empty())
    check.problem = "host " + check.hostPath + ": " + why;
  return check;
}

}  // namespace installer
