// The folders a page may use through the file members, and the file
// operations inside them. A page must not reach every file of the user, nor
// another site's files: every path is resolved to a real path (symbolic links
// followed, ".." folded) and refused unless it lies inside a folder the site
// may use:
//  - the site's own folder, $XDG_DATA_HOME/kestrix/files/<site> (SiteFolderName
//    of the page's origin), created on first use;
//  - the folders listed in $XDG_CONFIG_HOME/kestrix/control.json under
//    "allowedFolders": a text gives the folder to every site, an object
//    {"path": "/srv/labels", "origins": ["https://shop.example"]} only to the
//    origins it names (missing folders are skipped);
//  - for reading only, and only for the origins control.json lists under
//    "sharedFiles": the files that lay in the shared folder
//    $XDG_DATA_HOME/kestrix/files before each site had its own (their names are
//    recorded once, in files/.before-sites.json, when the first site's folder
//    is made, so no site folder is ever among them).
// Relative paths are taken inside the site's folder (read: then in the shared
// files, when the site may read those); "~/" is the home folder.
// Disk is bounded too (Room): a site's own folder holds at most 1 GiB
// ("siteQuotaMiB" in control.json) in at most 10,000 entries, and no write
// leaves the file system with less than 256 MiB free ("minFreeMiB").
// Only regular files are read or written: a FIFO, socket or device inside an
// allowed folder is refused before it is opened (and files are opened without
// waiting, so one swapped in later cannot hang the caller either).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The disk bounds (see above); outside the class so that it can be a default argument.
struct FileRoom {
  uint64_t siteBytes = uint64_t(1) << 30;
  uint64_t minFree = uint64_t(256) << 20;
  size_t siteEntries = 10000;
};

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

  using Room = FileRoom;

  FileStore(std::string defaultFolder, std::vector<std::string> extraFolders, Shared shared = {}, Room room = {});
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
  // Whether bytes more may be written at the resolved path real: a file there
  // now is replaced, so its size does not count. False with a message
  // ("no room ...") otherwise.
  bool HasRoom(const std::string& real, uint64_t bytes, std::string* error) const;
  // The real path of an existing file inside the allowed folders, else "".
  std::string Locate(const std::string& path) const;

  // The allowed folders as real paths (the default folder is created first).
  std::vector<std::string> Roots() const;
  const std::string& DefaultFolder() const { return m_default; }

 private:
  bool Inside(const std::string& real, const std::vector<std::string>& roots) const;
  // real lies in one of the shared entries (never the shared folder itself).
  bool InShared(const std::string& real) const;

  std::string m_default;
  std::vector<std::string> m_extra;
  Shared m_shared;
  Room m_room;
};

// "/a/./b//c/../d" -> "/a/b/d" (text only; the file system is not asked).
std::string NormalizePath(const std::string& absolutePath);
