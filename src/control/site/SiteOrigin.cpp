#include "control/site/SiteOrigin.h"

#include <cctype>
#include <cstdio>

#include "control/base/Digest.h"

std::string SiteFolderName(const std::string& origin) {
  if (origin.empty()) return "_none";
  std::string name;
  // scheme "://" host [":" port], or "scheme:" for addresses without a host.
  const size_t colon = origin.find(':');
  name = origin.substr(0, colon);  // "http" or "https" (WebOrigin checked)
  std::string rest = origin.compare(colon, 3, "://") == 0 ? origin.substr(colon + 3) : std::string();
  std::string host = rest, port;
  if (size_t c = rest.rfind(':'); c != std::string::npos && rest.find(']', c) == std::string::npos) {
    host = rest.substr(0, c);
    port = rest.substr(c + 1);
  }
  name += "_";
  for (unsigned char c : host) {
    if (std::isalnum(c) || c == '.' || c == '-') {
      name += static_cast<char>(std::tolower(c));
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      name += escaped;
    }
  }
  if (!port.empty()) name += "_" + port;
  if (name.size() > 200) {
    name = name.substr(0, 150) + "~" + HexDigits(Sha256(origin).substr(0, 8));
  }
  return name;
}
