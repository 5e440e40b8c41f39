// The folders a page may use through the file members, and the file
// operations inside them. A page must not reach every file of the user, nor
// another site's files: every path is resolved to a real path (symbolic links
// followed, ".." folded) and refused unless it lies inside a folder the site
// may use:
//  - the site's own folder, $XDG_DATA_HOME/kestrix/files/<site> (SiteFolderName
//    of the page's origin; on Windows %LOCALAPPDATA%\Kestrix\files\<site>,
//    see ControlPaths.h), created on first use;
//  - the folders listed in $XDG_CONFIG_HOME/kestrix/control.json under
//    "allowedFolders": a text gives the folder to every site, an object
//    {"path": "/srv/labels", "origins": ["https://shop.example"]} only to the
//    origins it names (missing folders are skipped);
//  - for reading only, and only for the origins control.json lists under
//    "sharedFiles": the files that lay in the shared folder
//    $XDG_DATA_HOME/kestrix/files before each site had its own (their names are
//    recorded once, in files/.before-sites.json, when the first site's folder
//    is made, so no site folder is ever among them).
// Paths are read as FileSystem.h says ('/' between parts; on Windows '\'
// too, and a path the system would read as a stream or a device is refused).
// Relative paths are taken inside the site's folder (read: then in the shared
// files, when the site may read those); "~/" is the home folder.
// Disk is bounded too (SiteQuota.h): a site's own folder holds at most 1 GiB
// ("siteQuotaMiB" in control.json) in at most 10,000 entries (each folder a
// write creates counts), no path written lies more than 32 parts below its
// folder, and no write leaves the file system with less than 256 MiB free
// ("minFreeMiB"). A folder that holds more entries than its bound cannot be
// counted, so it takes no write at all. A file is checked at the size it
// will have, under the site's room lock (a lock on the site's folder) held
// from the check to the rename, so writes of the host and of job processes
// cannot pass the bound together.
// Only regular files are read or written: a FIFO, socket or device inside an
// allowed folder is refused before it is opened (and files are opened without
// waiting, so one swapped in later cannot hang the caller either).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control/site/SiteQuota.h"

class FileStore {
 public:
  enum class Access { Read, Write };
  static constexpr size_t kMaxReadBytes = size_t(64) << 20;
  static constexpr size_t kMaxCopyBytes = size_t(1) << 30;

  // Files that a site may still read from the shared folder: the folder and
  // the names of its entries that count.
  struct Shared {
    std::string folder;
    std::vector<std::string> names;
  };

  using Quota = SiteQuota;

  FileStore(std::string defaultFolder, std::vector<std::string> extraFolders, Shared shared = {}, Quota quota = {});
  // What the page of origin (a WebOrigin key; "" for none) may use, as described above.
  static FileStore ForSite(const std::string& origin);
  // Every folder some site may use (the whole files folder and every listed
  // folder): for housekeeping only, never for a page's request.
  static FileStore FromEnvironment();

  // The real path for path, or false with a message naming the refused path.
  // For Write the file may be missing (its folders too); the deepest existing
  // ancestor must then lie inside an allowed folder.
  bool Resolve(const std::string& path, Access access, std::string* resolved, std::string* error) const;

  // File operations on resolved paths, each with its own check.
  bool Read(const std::string& path, std::string* bytes, std::string* error, size_t maxBytes = kMaxReadBytes) const;
  // Creates missing folders, writes atomically; never follows a link at the last step.
  bool Write(const std::string& path, const std::string& bytes, std::string* error) const;
  // Streams source into a new file beside target, renamed into place; sources
  // larger than kMaxCopyBytes are refused.
  bool Copy(const std::string& source, const std::string& target, std::string* error) const;
  // Whether a file of bytes may be written at the resolved path real: a file
  // there now is replaced, so its size does not count; the folders missing
  // on the way count as entries. staged: bytes of it already written as a
  // temporary file in the same folder. False with a message ("no room ...")
  // otherwise. Without the room lock the answer may be stale at once: Place
  // and Commit hold it.
  bool HasRoom(const std::string& real, uint64_t bytes, std::string* error, uint64_t staged = 0) const;
  // Writes bytes at the resolved path real (its missing folders created)
  // when the room allows, under the room lock from the check to the rename.
  bool Place(const std::string& real, const std::string& bytes, std::string* error) const;
  // Creates the folders missing on the way to the resolved path real when
  // the room allows them and the file (each counts as an entry), under the
  // room lock: for writers that stage a file beside real (downloads,
  // workbooks). False with a message otherwise; nothing is created then.
  bool MakeFoldersFor(const std::string& real, std::string* error) const;
  // Renames the finished temporary file temp (beside real) to real when the
  // room allows its size, under the room lock; otherwise removes it.
  bool Commit(const std::string& temp, const std::string& real, std::string* error) const;
  const Quota& Limits() const { return m_room; }
  // The real path of an existing file inside the allowed folders, else "".
  std::string Locate(const std::string& path) const;

  // The allowed folders as real paths (the default folder is created first).
  std::vector<std::string> Roots() const;
  const std::string& DefaultFolder() const { return m_default; }

 private:
  static bool Inside(const std::string& real, const std::vector<std::string>& roots);
  // The parts of real below the deepest of roots that holds it.
  static size_t DepthBelow(const std::string& real, const std::vector<std::string>& roots);
  // real lies in one of the shared entries (never the shared folder itself).
  bool InShared(const std::string& real) const;

  std::string m_default;
  std::vector<std::string> m_extra;
  Shared m_shared;
  Quota m_room;
};

// "/a/./b//c/../d" -> "/a/b/d" (text only; the file system is not asked).
std::string NormalizePath(const std::string& absolutePath);
