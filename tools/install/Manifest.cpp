#include "Manifest.h"

#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace installer {

bool IsChromiumExtensionId(const std::string& id) {
  if (id.size() != 32) return false;
  for (char c : id)
    if (c < 'a' || c > 'p') return false;
  return true;
}

bool IsFirefoxExtensionId(const std::string& id) {
  static const std::regex email(R"(^[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+$)");
  static const std::regex guid(R"(^\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}$)");
  return std::regex_match(id, email) || std::regex_match(id, guid);
}

Json::Value BuildManifest(Browser browser, const std::string& hostPath, const std::string& extensionId) {
  Json::Value m(Json::objectValue);
  m["name"] = kHostName;
  m["description"] = "Kestrix printing host";
  m["path"] = hostPath;
  m["type"] = "stdio";
  Json::Value allowed(Json::arrayValue);
  if (UsesOrigins(browser)) {
    allowed.append("chrome-extension://" + extensionId + "/");
    m["allowed_origins"] = allowed;
  } else {
    allowed.append(extensionId);
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
  if (::access(path.c_str(), X_OK) != 0) return "not executable";
  return {};
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
  else if (std::string why = HostBinaryProblem(check.hostPath); !why.empty())
    check.problem = "host " + check.hostPath + ": " + why;
  return check;
}

}  // namespace installer
