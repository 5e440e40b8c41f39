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
#include "control/formats/SystemInfo.h"

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
