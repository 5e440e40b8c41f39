// A site's quota in the file store: how much a page may still write (SiteQuota.h).
#include <algorithm>
#include <vector>

#include "control/base/ControlPaths.h"
#include "control/base/FileSystem.h"
#include "control/site/FileStore.h"

RoomVerdict DecideRoom(const SiteQuota& room, const RoomNow& now, const RoomAsk& ask) {
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
    for (const std::string& name : FolderNames(dir, maxEntries - usage.entries)) {
      if (++usage.entries > maxEntries) break;
      const std::string path = dir + "/" + name;
      const EntryFacts facts = EntryAt(path);
      if (facts.kind == EntryKind::Folder) pending.push_back(path);
      else if (facts.kind == EntryKind::File) usage.bytes += facts.size;
    }
  }
  return usage;
}

// Free bytes for an unprivileged writer on the file system that holds path
// (or its deepest existing folder).
bool FreeBytes(std::string path, uint64_t* free) {
  while (!FreeBytesAt(path, free)) {
    const size_t root = PathRootLength(path);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || path.size() <= root) return false;
    path = path.substr(0, std::max(slash, root));
  }
  return true;
}

// The parts of path that do not exist yet: the file and the folders a write makes for it.
size_t MissingParts(std::string path) {
  size_t missing = 0;
  while (path.size() > PathRootLength(path) && EntryAt(path).kind == EntryKind::Missing) {
    ++missing;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) break;
    path = path.substr(0, std::max(slash, PathRootLength(path)));
  }
  return missing;
}

std::string MiBText(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// The room lock: a lock on the site's folder (FolderLock), held from a check
// to the rename it allows, by the host and by job processes alike. Holders
// only count, write bytes they hold in memory and rename, so the wait is
// short; it is bounded all the same (a holder that is stopped must not hang
// the host).
constexpr int kRoomWaitSeconds = 5;
std::string BusyText(const std::string& real) {
  return "no room to write '" + real + "': the site's folder stayed busy for " + std::to_string(kRoomWaitSeconds) + " s";
}

}  // namespace

bool FileStore::HasRoom(const std::string& real, uint64_t bytes, std::string* error, uint64_t staged) const {
  RoomAsk ask;
  ask.bytes = bytes;
  ask.staged = staged;
  const EntryFacts there = EntryAt(real);
  if (there.kind != EntryKind::Missing) {
    if (there.kind == EntryKind::File) ask.replaced = there.size;
  } else if (staged == 0) {
    ask.newEntries = MissingParts(real);  // a staged file stands in the folder already
  }
  RoomNow now;
  now.freeKnown = FreeBytes(real, &now.freeBytes);
  std::string site;
  if (RealPath(m_default, &site)) {
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
  FolderLock lock(m_default, kRoomWaitSeconds);
  if (lock.Busy()) {
    if (error) *error = BusyText(real);
    return false;
  }
  if (!HasRoom(real, bytes.size(), error)) return false;
  const size_t slash = real.rfind('/');
  if (slash != std::string::npos && slash >= PathRootLength(real) && !MakeFolders(real.substr(0, slash), 0700)) {
    if (error) *error = "cannot create the folder for '" + real + "'";
    return false;
  }
  if (!WriteFileAtomically(real, bytes, 0644)) {
    if (error) *error = "cannot write '" + real + "': " + LastFileError();
    return false;
  }
  return true;
}

bool FileStore::MakeFoldersFor(const std::string& real, std::string* error) const {
  FolderLock lock(m_default, kRoomWaitSeconds);
  if (lock.Busy()) {
    if (error) *error = BusyText(real);
    return false;
  }
  if (!HasRoom(real, 0, error)) return false;
  const size_t slash = real.rfind('/');
  if (slash != std::string::npos && slash >= PathRootLength(real) && !MakeFolders(real.substr(0, slash), 0700)) {
    if (error) *error = "cannot create the folder for '" + real + "'";
    return false;
  }
  return true;
}

bool FileStore::Commit(const std::string& temp, const std::string& real, std::string* error) const {
  FolderLock lock(m_default, kRoomWaitSeconds);
  const EntryFacts staged = EntryAt(temp);
  bool ok = !lock.Busy() && staged.kind == EntryKind::File;
  if (!ok && error)
    *error = lock.Busy() ? BusyText(real) : "cannot write '" + real + "': its temporary file is gone";
  const uint64_t size = ok ? staged.size : 0;
  ok = ok && HasRoom(real, size, error, size);
  if (ok && !MoveOver(temp, real)) {
    if (error) *error = "cannot write '" + real + "': " + LastFileError();
    ok = false;
  }
  if (!ok) RemoveFile(temp);
  return ok;
}
