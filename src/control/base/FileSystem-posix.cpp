#include "control/base/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {
EntryFacts Facts(int result, const struct stat& st) {
  EntryFacts facts;
  if (result != 0) return facts;
  if (S_ISREG(st.st_mode)) {
    facts.kind = EntryKind::File;
    facts.size = static_cast<uint64_t>(st.st_size);
  } else {
    facts.kind = S_ISDIR(st.st_mode) ? EntryKind::Folder : S_ISLNK(st.st_mode) ? EntryKind::Link : EntryKind::Other;
  }
  return facts;
}

// The descriptor kept in a void* (0 stays "none").
int Fd(void* handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)) - 1; }
void* Handle(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1); }
}  // namespace

size_t PathRootLength(const std::string& path) { return !path.empty() && path[0] == '/' ? 1 : 0; }
std::string PortablePath(std::string path) { return path; }
bool IsPlainPath(const std::string&) { return true; }

EntryFacts EntryAt(const std::string& path) {
  struct stat st;
  const int result = lstat(path.c_str(), &st);
  return Facts(result, st);
}

EntryFacts TargetOf(const std::string& path) {
  struct stat st;
  const int result = stat(path.c_str(), &st);
  return Facts(result, st);
}

bool RealPath(const std::string& path, std::string* real) {
  char buffer[PATH_MAX];
  if (!realpath(path.c_str(), buffer)) return false;
  *real = buffer;
  return true;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  if (passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') return pw->pw_dir;
  return std::string();
}

std::vector<std::string> FolderNames(const std::string& folder, size_t maxNames) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    names.emplace_back(name);
    if (names.size() > maxNames) break;
  }
  closedir(dir);
  return names;
}

bool MakeFolder(const std::string& path, unsigned mode) {
  if (mkdir(path.c_str(), mode) == 0) return true;
  return errno == EEXIST && TargetOf(path).kind == EntryKind::Folder;
}

bool FreeBytesAt(const std::string& path, uint64_t* freeBytes) {
  struct statvfs fs;
  if (statvfs(path.c_str(), &fs) != 0) return false;
  *freeBytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  return true;
}

bool MoveOver(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }
bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }
std::string LastFileError() { return std::strerror(errno); }

ReadableFile::~ReadableFile() {
  if (m_handle) close(Fd(m_handle));
}

bool ReadableFile::Open(const std::string& path, bool noFollow) {
  // O_NONBLOCK: opening a FIFO that nobody writes must not wait; it is then
  // refused below, as is every other file that is not a regular one.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (noFollow ? O_NOFOLLOW : 0));
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int saved = errno;
    close(fd);
    errno = saved ? saved : EINVAL;
    return false;
  }
  m_handle = Handle(fd);
  m_size = static_cast<uint64_t>(st.st_size);
  m_permissions = st.st_mode & 07777;
  return true;
}

long long ReadableFile::Read(char* buffer, size_t room) {
  for (;;) {
    const ssize_t n = read(Fd(m_handle), buffer, room);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

NewFile::~NewFile() {
  if (m_handle) close(Fd(m_handle));
  if (!m_keep && !m_path.empty()) unlink(m_path.c_str());
}

bool NewFile::Create(const std::string& folder, const std::string& prefix, unsigned mode, const std::string& suffix) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::string name = folder + "/" + prefix + "XXXXXX" + suffix;
    // mkostemps: O_CREAT | O_EXCL under a random name, mode 0600.
    const int fd = mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) return false;
    flock(fd, LOCK_EX);  // "being written": RemoveIfUnheld leaves it alone
    // RemoveIfUnheld may have taken it between its creation and the lock.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_nlink > 0) {
      m_handle = Handle(fd);
      m_path = std::move(name);
      m_mode = mode;
      return true;
    }
    close(fd);
  }
  errno = EEXIST;
  return false;
}

bool NewFile::Write(const char* bytes, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(Fd(m_handle), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool NewFile::Truncate() { return ftruncate(Fd(m_handle), 0) == 0 && lseek(Fd(m_handle), 0, SEEK_SET) == 0; }

bool NewFile::Finish() {
  const int fd = Fd(m_handle);
  m_handle = nullptr;
  const bool synced = fchmod(fd, m_mode) == 0 && fsync(fd) == 0;
  const int saved = errno;
  const bool closed = close(fd) == 0;
  if (!synced) errno = saved;
  return synced && closed;
}

bool RemoveIfUnheld(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  // Nobody holds its lock: the writer has ended without finishing.
  const bool removed = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                       unlink(path.c_str()) == 0;
  close(fd);
  return removed;
}

FolderLock::FolderLock(const std::string& folder, int waitSeconds) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;  // no folder: nothing in it to count
  m_handle = Handle(fd);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= until) {
      m_busy = true;
      return;
    }
    poll(nullptr, 0, 5);
  }
}

FolderLock::~FolderLock() {
  if (m_handle) close(Fd(m_handle));  // the lock goes with the descriptor
}
