// How much a page may still write: the disk bounds of FileStore.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "control/FileStore.h"

namespace {

struct Usage {
  uint64_t bytes = 0;
  size_t entries = 0;
};

// The bytes of the regular files under folder and the number of entries,
// links not followed. The walk stops once it has seen more than maxEntries.
Usage FolderUsage(const std::string& folder, size_t maxEntries) {
  Usage usage;
  std::vector<std::string> pending{folder};
  while (!pending.empty() && usage.entries <= maxEntries) {
    const std::string dir = std::move(pending.back());
    pending.pop_back();
    DIR* d = opendir(dir.c_str());
    if (!d) continue;
    while (dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (++usage.entries > maxEntries) break;
      const std::string path = dir + "/" + name;
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) pending.push_back(path);
      else if (S_ISREG(st.st_mode)) usage.bytes += static_cast<uint64_t>(st.st_size);
    }
    closedir(d);
  }
  return usage;
}

// Free bytes for an unprivileged writer on the file system that holds path
// (or its deepest existing folder).
bool FreeBytes(std::string path, uint64_t* free) {
  struct statvfs fs;
  while (statvfs(path.c_str(), &fs) != 0) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || path == "/") return false;
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  *free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  return true;
}

std::string MiBText(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

}  // namespace

bool FileStore::HasRoom(const std::string& real, uint64_t bytes, std::string* error) const {
  auto refuse = [&](const std::string& why) {
    if (error) *error = "no room to write '" + real + "': " + why;
    return false;
  };
  uint64_t replaced = 0;
  struct stat st;
  const bool exists = lstat(real.c_str(), &st) == 0;
  if (exists && S_ISREG(st.st_mode)) replaced = static_cast<uint64_t>(st.st_size);
  const uint64_t added = bytes > replaced ? bytes - replaced : 0;

  uint64_t free = 0;
  if (FreeBytes(real, &free) && (free < m_room.minFree || free - m_room.minFree < added))
    return refuse("the disk would keep less than " + MiBText(m_room.minFree) + " free");

  char buffer[PATH_MAX];
  if (!realpath(m_default.c_str(), buffer)) return true;  // not made yet: nothing of the site's is there
  const std::string site = buffer;
  if (real.size() <= site.size() || real.compare(0, site.size(), site) != 0 || real[site.size()] != '/')
    return true;  // a folder the user listed: only the disk's floor holds there
  const Usage usage = FolderUsage(site, m_room.siteEntries);
  if (!exists && usage.entries >= m_room.siteEntries)
    return refuse("the site's folder holds " + std::to_string(m_room.siteEntries) + " entries, its limit");
  if (usage.bytes > m_room.siteBytes || m_room.siteBytes - usage.bytes < added)
    return refuse("the site's folder would hold more than its " + MiBText(m_room.siteBytes));
  return true;
}
