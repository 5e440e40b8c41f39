#include "platform/Files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_suffixMu;
std::function<std::string()> g_suffixSource;

std::string RandomSuffix() {
  unsigned char bytes[8];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy source: O_EXCL still keeps the create safe, only retries grow.
    static std::atomic<unsigned> fallback{0};
    unsigned v = fallback.fetch_add(1) ^ static_cast<unsigned>(getpid());
    std::memcpy(bytes, &v, sizeof v);
    std::memset(bytes + sizeof v, 0, sizeof bytes - sizeof v);
  }
  char hex[17];
  for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  return hex;
}

std::string NextSuffix() {
  std::lock_guard lock(g_suffixMu);
  return g_suffixSource ? g_suffixSource() : RandomSuffix();
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The new file's name: hidden, in finalPath's folder.
std::string UniqueName(const std::string& finalPath) {
  size_t slash = finalPath.rfind('/');
  size_t base = slash == std::string::npos ? 0 : slash + 1;
  return finalPath.substr(0, base) + "." + finalPath.substr(base) + "." + NextSuffix() + ".tmp";
}

// Creates a new file beside finalPath that did not exist before (O_EXCL:
// an existing name, a planted link included, is skipped) and writes bytes
// into it. Returns its path, or "" when that failed.
std::string WriteUniqueFile(const std::string& finalPath, const std::string& bytes, const ReplaceOptions& options) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = UniqueName(finalPath);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, options.mode);
    if (fd < 0) {
      if (errno == EEXIST || errno == ELOOP) continue;
      return {};
    }
    bool ok = WriteAll(fd, bytes) && (!options.sync || fsync(fd) == 0);
    ok = close(fd) == 0 && ok;
    if (!ok) {
      unlink(path.c_str());
      return {};
    }
    return path;
  }
  return {};
}

}  // namespace

std::string WriteFileReplacing(const std::string& finalPath, const std::string& bytes, const ReplaceOptions& options) {
  std::string unique = WriteUniqueFile(finalPath, bytes, options);
  if (unique.empty()) return {};
  // rename replaces whatever is at the name (a link itself, never its target)
  // in one step.
  if (rename(unique.c_str(), finalPath.c_str()) == 0) return finalPath;
  if (options.keepUnmoved) return unique;
  unlink(unique.c_str());
  return {};
}

void SetUniqueSuffixSourceForTesting(std::function<std::string()> source) {
  std::lock_guard lock(g_suffixMu);
  g_suffixSource = std::move(source);
}
