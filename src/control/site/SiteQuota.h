// A site's quota: how much of the disk the file members may take for one
// site (its own folder's bytes and entries, the depth of a written path) and
// the free space every write leaves on the disk. The numbers come from
// control.json ("siteQuotaMiB", "minFreeMiB"; see FileStore.h); the decision
// is a pure function of them and of what the disk holds now.
#pragma once

#include <cstddef>
#include <cstdint>

struct SiteQuota {
  uint64_t siteBytes = uint64_t(1) << 30;
  uint64_t minFree = uint64_t(256) << 20;
  size_t siteEntries = 10000;
  static constexpr size_t kMaxDepth = 32;  // parts of a written path below its allowed folder
};

// What the disk and the site's folder hold when a write asks for room.
struct RoomNow {
  bool freeKnown = false;
  uint64_t freeBytes = 0;   // for an unprivileged writer
  bool inSite = false;      // the target lies in the site's own folder (else only the floor holds)
  bool counted = true;      // the walk saw every entry (false: more than the entry bound)
  uint64_t siteBytes = 0;   // of the regular files in the site's folder
  size_t siteEntries = 0;
};
// One write: the size the file will have, the size of the file it replaces,
// the entries it creates (the file and each missing folder), and what of it
// is already written as a temporary file in the same folder (counted in
// RoomNow already, to become the file by a rename).
struct RoomAsk {
  uint64_t bytes = 0;
  uint64_t replaced = 0;
  size_t newEntries = 0;
  uint64_t staged = 0;
};
enum class RoomVerdict { Fits, BelowFloor, OverQuota, TooManyEntries, Uncounted };
// The decision alone: no files, no clock.
RoomVerdict DecideRoom(const SiteQuota& room, const RoomNow& now, const RoomAsk& ask);
