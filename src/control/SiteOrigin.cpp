#include "control/SiteOrigin.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>

namespace {
std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
}  // namespace

std::string SiteOrigin(const std::string& url) {
  const size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return std::string();
  const std::string scheme = Lower(url.substr(0, colon));
  if (!std::isalpha(static_cast<unsigned char>(scheme[0]))) return std::string();
  for (char c : scheme)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return std::string();
  if (url.compare(colon + 1, 2, "//") != 0) return scheme + ":";
  const size_t start = colon + 3;
  size_t end = url.find_first_of("/?#\\", start);
  if (end == std::string::npos) end = url.size();
  std::string authority = url.substr(start, end - start);
  if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  std::string host = authority, port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return std::string();
    host = authority.substr(0, close + 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return std::string();
      port = authority.substr(close + 2);
    }
  } else if (size_t c = authority.rfind(':'); c != std::string::npos) {
    host = authority.substr(0, c);
    port = authority.substr(c + 1);
  }
  host = Lower(host);
  while (!host.empty() && host.back() == '.') host.pop_back();
  if (host.empty()) return scheme + ":";
  for (char c : port)
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::string();
  while (port.size() > 1 && port[0] == '0') port.erase(0, 1);
  const bool defaultPort = port.empty() || ((scheme == "http" || scheme == "ws") && port == "80") ||
                           ((scheme == "https" || scheme == "wss") && port == "443");
  return scheme + "://" + host + (defaultPort ? "" : ":" + port);
}

std::string SiteFolderName(const std::string& origin) {
  if (origin.empty()) return "_none";
  std::string name;
  // scheme "://" host [":" port], or "scheme:" for addresses without a host.
  const size_t colon = origin.find(':');
  name = origin.substr(0, colon);  // letters, digits, + - . only (SiteOrigin checked)
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
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(origin.data(), origin.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < 8 && i < length; ++i) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", digest[i]);
      hex += two;
    }
    name = name.substr(0, 150) + "~" + hex;
  }
  return name;
}
