// The file system as the site rules use it, the same on every platform. A
// path is UTF-8 text with '/' between its parts; an absolute one starts with
// its root: "/" on POSIX, "C:/" (or "/", the current drive's) on Windows,
// where '\' is read as '/'. A link is a symbolic link on POSIX and any
// reparse point (symbolic link, junction, mount point) on Windows.
// FileSystem-posix.cpp and FileSystem-win32.cpp hold the two sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The length of path's root ("/" -> 1, "C:/x" -> 3); 0 for a relative path.
size_t PathRootLength(const std::string& path);
// The path with the platform's separators read as '/' (Windows: '\' -> '/').
std::string PortablePath(std::string path);
// False for a path the system would read as something else than the file it
// names, so that the path checked is the path opened. Windows: a path that
// starts with two separators (a share, "//server/share", or a device path,
// "//?/C:/..."), a stream ("a.txt:x"), a pattern, a device name ("NUL",
// "com1.txt", "aux"), a part that ends in '.' or ' ' (the system drops
// those), a control character. POSIX takes every path as written.
bool IsPlainPath(const std::string& path);

enum class EntryKind { Missing, File, Folder, Link, Other };
struct EntryFacts {
  EntryKind kind = EntryKind::Missing;
  uint64_t size = 0;  // of a regular file
};
// What lies at path itself: a link is not followed (Link).
EntryFacts EntryAt(const std::string& path);
// What path leads to, links followed (never Link).
EntryFacts TargetOf(const std::string& path);

// The absolute path of an existing entry with every link followed, "." and
// ".." folded and the names as the disk spells them. On Windows a path that
// passes through a reparse point has none: false, as for a missing entry.
bool RealPath(const std::string& path, std::string* real);
// The user's home folder ("" when unknown).
std::string HomeFolder();

// The names in folder (never "." or ".."), at most maxNames of them: a
// listing that stops there has maxNames + 1 names (the last one cut).
std::vector<std::string> FolderNames(const std::string& folder, size_t maxNames = SIZE_MAX);
// Creates one folder (POSIX mode; the umask applies). True when it exists now
// as a folder made by this call or before.
bool MakeFolder(const std::string& path, unsigned mode);
// Free bytes for an unprivileged writer on the volume that holds path.
bool FreeBytesAt(const std::string& path, uint64_t* freeBytes);
// Moves a file over another in one step (the name's old file goes); removes a file.
bool MoveOver(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);
// The last error of the calls above and below, as text.
std::string LastFileError();

// A regular file opened for reading. Never waits to open (a FIFO is
// refused, not waited on); with noFollow a link at the last part is refused.
class ReadableFile {
 public:
  ReadableFile() = default;
  ~ReadableFile();
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;
  // False when it cannot be opened or is no regular file.
  bool Open(const std::string& path, bool noFollow);
  uint64_t Size() const { return m_size; }
  // Its POSIX permission bits (0 on Windows, where a file's name marks a program).
  unsigned Permissions() const { return m_permissions; }
  // Bytes read into buffer (0 at the end), or -1 on an error.
  long long Read(char* buffer, size_t room);

 private:
  void* m_handle = nullptr;  // a HANDLE, or the descriptor + 1
  uint64_t m_size = 0;
  unsigned m_permissions = 0;
};

// A new file under a name of its own in folder (prefix, random letters,
// suffix), never an existing one, private to the user until Finish gives it
// mode; removed by the destructor unless Keep() was called. While the object
// holds it, RemoveIfUnheld leaves it alone (flock; on Windows it is opened
// for no one else).
class NewFile {
 public:
  NewFile() = default;
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  bool Create(const std::string& folder, const std::string& prefix, unsigned mode, const std::string& suffix = "");
  const std::string& Path() const { return m_path; }
  bool Write(const char* bytes, size_t size);
  // Back to empty.
  bool Truncate();
  // Given its mode, on disk, then closed; false when any of it fails.
  bool Finish();
  // The file stays when this object goes.
  void Keep() { m_keep = true; }

 private:
  void* m_handle = nullptr;
  std::string m_path;
  unsigned m_mode = 0600;
  bool m_keep = false;
};

// Removes the regular file at path (a link is not followed) unless a NewFile
// holds it now: a file left by a writer that ended without finishing.
bool RemoveIfUnheld(const std::string& path);

// An exclusive lock that holders of the same folder's lock in every process
// respect (flock on the folder on POSIX; LockFileEx on ".<name>.lock" beside
// it on Windows), waited for at most waitSeconds. Released by the destructor,
// and by the system when the holder dies.
class FolderLock {
 public:
  FolderLock(const std::string& folder, int waitSeconds);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  // Another holder kept it for the whole wait (false also when the folder
  // does not exist: there is nothing in it to guard).
  bool Busy() const { return m_busy; }

 private:
  void* m_handle = nullptr;
  bool m_busy = false;
};
