// How much a page may still write: the disk bounds of FileStore.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "control/base/ControlPaths.h"
#include "control/site/FileStore.h"

RoomVerdict DecideRoom(const FileRoom& room, const RoomNow& now, const RoomAsk& ask) {
  // What is already on the disk (the replaced file, the staged part) is not asked for again.
  const uint64_t held = ask.replaced + ask.staged;
  const uint64_t need = ask.bytes > held ? ask.bytes - held : 0;
  if (now.freeKnown && (now.freeBytes < room.minFree || now.freeBytes - room.minFree < need))
    return RoomVerdict::BelowFloor;
  if (!now.inSite) return RoomVerdict::Fits;  // a folder the user listed: only the disk's floor holds there
  // Past the entry bound the walk stopped: bytes it did not see could be anywhere.
  if (!now.counted) return RoomVerdict::Uncounted;
  if (ask.newEntries > 0 &&
      (now.siteEntries >= room.siteEntries || room.siteEntries - now.siteEntries < ask.newEntries))
    return RoomVerdict::TooManyEntries;
  const uint64_t kept = now.siteBytes > held ? now.siteBytes - held : 0;
  if (ask.bytes > room.siteBytes || kept > room.siteBytes - ask.bytes) return RoomVerdict::OverQuota;
  return RoomVerdict::Fits;
}

namespace {

struct Usage {
  uint64_t bytes = 0;
  size_t entries = 0;
};

// The bytes of the regular files under folder and the number of entries,
// links not followed. The walk stops once it has seen more than maxEntries
// (then entries is maxEntries + 1 and bytes is not the whole).
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

// The parts of path that do not exist yet: the file and the folders a write makes for it.
size_t MissingParts(std::string path) {
  size_t missing = 0;
  struct stat st;
  while (path.size() > 1 && lstat(path.c_str(), &st) != 0) {
    ++missing;
    path = path.substr(0, std::max<size_t>(path.rfind('/'), 1));
  }
  return missing;
}

std::string MiBText(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// The room lock: an flock on the site's folder, held from a check to the
// rename it allows, by the host and by job processes alike. Holders only
// count, write bytes they hold in memory and rename, so the wait is short;
// it is bounded all the same (a holder that is stopped must not hang the host).
class RoomLock {
 public:
  explicit RoomLock(const std::string& folder) {
    m_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) return;  // no site folder: nothing of the site's to count
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
    while (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= until) {
        m_busy = true;
        return;
      }
      poll(nullptr, 0, 5);
    }
  }
  ~RoomLock() {
    if (m_fd >= 0) close(m_fd);  // the lock goes with the descriptor
  }
  RoomLock(const RoomLock&) = delete;
  RoomLock& operator=(const RoomLock&) = delete;
  bool Busy() const { return m_busy; }
  static constexpr int kWaitSeconds = 5;

 private:
  int m_fd = -1;
  bool m_busy = false;
};

}  // namespace

bool FileStore::HasRoom(const std::string& real, uint64_t bytes, std::string* error, uint64_t staged) const {
  RoomAsk ask;
  ask.bytes = bytes;
  ask.staged = staged;
  struct stat st;
  if (lstat(real.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode)) ask.replaced = static_cast<uint64_t>(st.st_size);
  } else if (staged == 0) {
    ask.newEntries = MissingParts(real);  // a staged file stands in the folder already
  }
  RoomNow now;
  now.freeKnown = FreeBytes(real, &now.freeBytes);
  char buffer[PATH_MAX];
  if (realpath(m_default.c_str(), buffer)) {
    const std::string site = buffer;
    now.inSite = real.size() > site.size() && real.compare(0, site.size(), site) == 0 && real[site.size()] == '/';
    if (now.inSite) {
      const Usage usage = FolderUsage(site, m_room.siteEntries);
      now.counted = usage.entries <= m_room.siteEntries;
      now.siteBytes = usage.bytes;
      now.siteEntries = usage.entries;
    }
  }
  auto refuse = [&](const std::string& why) {
    if (error) *error = "no room to write '" + real + "': " + why;
    return false;
  };
  switch (DecideRoom(m_room, now, ask)) {
    case RoomVerdict::Fits:
      return true;
    case RoomVerdict::BelowFloor:
      return refuse("the disk would keep less than " + MiBText(m_room.minFree) + " free");
    case RoomVerdict::Uncounted:
      return refuse("the site's folder holds more than " + std::to_string(m_room.siteEntries) +
                    " entries, its limit, and cannot be counted");
    case RoomVerdict::TooManyEntries:
      return refuse("the site's folder would hold more than " + std::to_string(m_room.siteEntries) +
                    " entries, its limit (this write adds " + std::to_string(ask.newEntries) + ")");
    case RoomVerdict::OverQuota:
      break;
  }
  return refuse("the site's folder would hold more than its " + MiBText(m_room.siteBytes));
}

bool FileStore::Place(const std::string& real, const std::string& bytes, std::string* error) const {
  RoomLock lock(m_default);
  if (lock.Busy()) {
    if (error) *error = "no room to write '" + real + "': the site's folder stayed busy for " +
                        std::to_string(RoomLock::kWaitSeconds) + " s";
    return false;
  }
  if (!HasRoom(real, bytes.size(), error)) return false;
  const size_t slash = real.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(real.substr(0, slash), 0700)) {
    if (error) *error = "cannot create the folder for '" + real + "'";
    return false;
  }
  if (!WriteFileAtomically(real, bytes, 0644)) {
    if (error) *error = "cannot write '" + real + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

bool FileStore::MakeFoldersFor(const std::string& real, std::string* error) const {
  RoomLock lock(m_default);
  if (lock.Busy()) {
    if (error) *error = "no room to write '" + real + "': the site's folder stayed busy for " +
                        std::to_string(RoomLock::kWaitSeconds) + " s";
    return false;
  }
  if (!HasRoom(real, 0, error)) return false;
  const size_t slash = real.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(real.substr(0, slash), 0700)) {
    if (error) *error = "cannot create the folder for '" + real + "'";
    return false;
  }
  return true;
}

bool FileStore::Commit(const std::string& temp, const std::string& real, std::string* error) const {
  RoomLock lock(m_default);
  struct stat st;
  bool ok = !lock.Busy() && lstat(temp.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (!ok && error)
    *error = lock.Busy() ? "no room to write '" + real + "': the site's folder stayed busy for " +
                               std::to_string(RoomLock::kWaitSeconds) + " s"
                         : "cannot write '" + real + "': its temporary file is gone";
  const uint64_t size = ok ? static_cast<uint64_t>(st.st_size) : 0;
  ok = ok && HasRoom(real, size, error, size);
  if (ok && rename(temp.c_str(), real.c_str()) != 0) {
    if (error) *error = "cannot write '" + real + "': " + std::strerror(errno);
    ok = false;
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}
