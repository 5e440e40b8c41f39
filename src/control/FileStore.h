// The folders a page may use through the file members, and the file
// operations inside them. A page must not reach every file of the user: every
// path is resolved to a real path (symbolic links followed, ".." folded) and
// refused unless it lies inside an allowed folder:
//  - the default folder, $XDG_DATA_HOME/kestrix/files, created on first use;
//  - the folders listed in $XDG_CONFIG_HOME/kestrix/control.json as
//    {"allowedFolders": ["/srv/labels", "~/Documents"]} (missing ones are skipped).
// Relative paths are taken inside the default folder; "~/" is the home folder.
// Only regular files are read or written: a FIFO, socket or device inside an
// allowed folder is refused before it is opened (and files are opened without
// waiting, so one swapped in later cannot hang the caller either).
#pragma once

#include <string>
#include <vector>

class FileStore {
 public:
  enum class Access { Read, Write };
  static constexpr size_t kMaxReadBytes = size_t(64) << 20;
  static constexpr size_t kMaxCopyBytes = size_t(1) << 30;

  FileStore(std::string defaultFolder, std::vector<std::string> extraFolders);
  // The default folder and the user's list, as described above.
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
  // The real path of an existing file inside the allowed folders, else "".
  std::string Locate(const std::string& path) const;

  // The allowed folders as real paths (the default folder is created first).
  std::vector<std::string> Roots() const;
  const std::string& DefaultFolder() const { return m_default; }

 private:
  bool Inside(const std::string& real, const std::vector<std::string>& roots) const;

  std::string m_default;
  std::vector<std::string> m_extra;
};

// "/a/./b//c/../d" -> "/a/b/d" (text only; the file system is not asked).
std::string NormalizePath(const std::string& absolutePath);
