// "download": fetches an http or https address (libcurl) or copies a local
// file into a file, on a thread of its own so the member returns at once.
//
// - Each download writes its own temporary file beside the target (created
//   with O_EXCL under a unique name, locked while written) and renames it into
//   place: the target is either untouched or exactly the bytes of one
//   download, never a mix. Failures remove the temporary file;
//   SweepDownloadLeftovers removes the ones an interrupted process left.
// - Every connection, redirects included, is checked by the NetworkPolicy on
//   the address being connected to (libcurl's socket callback, after name
//   resolution). No proxy is used: through one, the address could not be seen.
// - At most maxBytes arrive, whether the server announced a length or not.
// - The folder's room is asked as the file grows (to stop early) and at its
//   whole size before the rename (place).
// - A local file is opened here, by the very path that was checked (no
//   following of a link at the last step, regular files only); no address is
//   handed to a library that might decode it again.
// The outcome arrives as a "done" event line {"type": "download", "id", "url",
// "file", "bytes", "message"}, after an OnMessage line for a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/base/JobLine.h"
#include "control/site/NetworkPolicy.h"

struct DownloadRequest {
  std::string url;        // shown in events; fetched unless localPath is set
  std::string localPath;  // a resolved path inside the allowed folders
  std::string target;     // a resolved path inside the allowed folders
  std::string id;
  NetworkPolicy network;
  uint64_t maxBytes = uint64_t(2) << 30;
  // Whether the target's folder has room for `more` bytes beyond what the
  // download wrote so far; asked again after each kRoomStep bytes, so a
  // download passes the folder's bound by less than that. Unset: only maxBytes.
  std::function<bool(uint64_t more, std::string* why)> hasRoom;
  // Moves the finished temporary file to target when the folder has room for
  // its whole size (checked under the folder's room lock, as every writer's
  // last step is), else removes it; false with why. Unset: a plain rename.
  std::function<bool(const std::string& temp, std::string* why)> place;
};

constexpr uint64_t kRoomStep = uint64_t(1) << 20;

// At most this many downloads of one process run at once; more are refused.
constexpr int kMaxDownloads = 4;

// Call once on the main thread before any download (curl_global_init).
void InitDownloads();

// False with a message when the download cannot start (too many at once, no thread).
bool StartDownload(DownloadRequest request, std::shared_ptr<JobEventQueue> queue, std::string* error);

// Removes the temporary files of downloads that no process is writing any
// more, below the given folders (at most `budget` entries looked at).
void SweepDownloadLeftovers(const std::vector<std::string>& folders, size_t budget = 20000);

// Resolves url against base (RFC 3986, through libcurl's URL parser). base may
// be empty when url is absolute. False when either cannot be parsed.
bool ResolveUrl(const std::string& url, const std::string& base, std::string* absolute);
