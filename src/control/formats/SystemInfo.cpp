#include "control/formats/SystemInfo.h"

#include <fontconfig/fontconfig.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>

#include "control/base/ControlPaths.h"

#ifndef KESTRIX_VERSION
#define KESTRIX_VERSION "0.0.0"
#endif

std::string ControlVersion() { return KESTRIX_VERSION; }

std::vector<std::string> FontFamilies() {
  std::vector<std::string> families;
  FcConfig* config = FcInitLoadConfigAndFonts();
  if (!config) return families;
  FcPattern* pattern = FcPatternCreate();
  FcObjectSet* objects = FcObjectSetBuild(FC_FAMILY, nullptr);
  FcFontSet* set = FcFontList(config, pattern, objects);
  if (set) {
    for (int i = 0; i < set->nfont; ++i) {
      FcChar8* family = nullptr;
      // Index 0 is the family's own name; further values are localised aliases.
      if (FcPatternGetString(set->fonts[i], FC_FAMILY, 0, &family) == FcResultMatch && family)
        families.emplace_back(reinterpret_cast<const char*>(family));
    }
    FcFontSetDestroy(set);
  }
  FcObjectSetDestroy(objects);
  FcPatternDestroy(pattern);
  FcConfigDestroy(config);
  std::sort(families.begin(), families.end());
  families.erase(std::unique(families.begin(), families.end()), families.end());
  return families;
}

std::string LocalMacAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::string();
  std::string best;
  unsigned bestIndex = UINT_MAX;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_PACKET || (it->ifa_flags & IFF_LOOPBACK)) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
    if (link->sll_halen != 6) continue;
    bool zero = std::all_of(link->sll_addr, link->sll_addr + 6, [](unsigned char b) { return b == 0; });
    if (zero) continue;
    unsigned index = static_cast<unsigned>(link->sll_ifindex);
    if (index >= bestIndex) continue;
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", link->sll_addr[0], link->sll_addr[1],
                  link->sll_addr[2], link->sll_addr[3], link->sll_addr[4], link->sll_addr[5]);
    best = text;
    bestIndex = index;
  }
  freeifaddrs(list);
  return best;
}

std::string MachineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string text;
    if (!ReadWholeFile(path, &text, 4096)) continue;
    std::string id;
    for (char c : text)
      if (std::isxdigit(static_cast<unsigned char>(c))) id += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (id.size() == 32) return id;
  }
  return std::string();
}

namespace {
struct TypeEntry {
  const char* extension;
  const char* mime;
  bool printable;
};
constexpr TypeEntry kTypes[] = {
    {"pdf", "application/pdf", true},
    {"ps", "application/postscript", true},
    {"eps", "application/postscript", true},
    {"txt", "text/plain", true},
    {"text", "text/plain", true},
    {"log", "text/plain", true},
    {"csv", "text/plain", true},
    {"png", "image/png", true},
    {"jpg", "image/jpeg", true},
    {"jpeg", "image/jpeg", true},
    {"gif", "image/gif", true},
    {"tif", "image/tiff", true},
    {"tiff", "image/tiff", true},
    {"pwg", "image/pwg-raster", true},
    {"urf", "image/urf", true},
    {"html", "text/html", true},
    {"htm", "text/html", true},
    {"xhtml", "application/xhtml+xml", true},
    {"svg", "image/svg+xml", false},
    {"bmp", "image/bmp", false},
    {"doc", "application/msword", false},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document", false},
    {"xls", "application/vnd.ms-excel", false},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", false},
    {"zip", "application/zip", false},
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}
}  // namespace

std::string MimeTypeFor(const std::string& nameOrType) {
  std::string text = Lower(nameOrType);
  // Trim blanks and MIME parameters ("text/plain; charset=utf-8").
  text.erase(0, text.find_first_not_of(" \t"));
  if (size_t semi = text.find(';'); semi != std::string::npos) text.resize(semi);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  if (text.empty()) return std::string();
  if (text.find('/') != std::string::npos && text.find('.') == std::string::npos) {
    for (const auto& t : kTypes)
      if (text == t.mime) return t.mime;
    if (text == "application/vnd.cups-raw" || text == "application/octet-stream") return text;
    return std::string();
  }
  size_t dot = text.rfind('.');
  std::string extension = dot == std::string::npos ? text : text.substr(dot + 1);
  for (const auto& t : kTypes)
    if (extension == t.extension) return t.mime;
  return std::string();
}

bool IsPrintableType(const std::string& nameOrType) {
  std::string mime = MimeTypeFor(nameOrType);
  for (const auto& t : kTypes)
    if (mime == t.mime) return t.printable;
  return false;
}

bool CompareVersions(const std::string& a, const std::string& b, int* order) {
  auto parse = [](const std::string& text, std::vector<long>* parts) {
    if (text.empty() || text.size() > 64) return false;
    long current = -1;
    for (char c : text) {
      if (c == '.') {
        if (current < 0) return false;
        parts->push_back(current);
        current = -1;
      } else if (c >= '0' && c <= '9') {
        current = (current < 0 ? 0 : current) * 10 + (c - '0');
        if (current > 1000000000) return false;
      } else {
        return false;
      }
    }
    if (current < 0) return false;
    parts->push_back(current);
    return true;
  };
  std::vector<long> pa, pb;
  if (!parse(a, &pa) || !parse(b, &pb)) return false;
  size_t n = std::max(pa.size(), pb.size());
  pa.resize(n, 0);
  pb.resize(n, 0);
  *order = pa < pb ? -1 : pa > pb ? 1 : 0;
  return true;
}
