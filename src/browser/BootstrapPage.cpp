#include "browser/BootstrapPage.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Kernel.h"

extern const unsigned char kPageResource102[];
extern const size_t kPageResource102Size;

namespace {

std::atomic<int> g_pageCounter{0};

std::mutex g_suffixMu;
std::function<std::string()> g_suffixSource;

// Pages written under a unique name that the rename could not put in place:
// nobody else will ever remove them. Guarded by g_suffixMu.
std::vector<std::string>& UniquePages() {
  static std::vector<std::string>* const pages = new std::vector<std::string>;
  return *pages;
}

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

// Creates a new file beside finalPath that did not exist before (O_EXCL:
// an existing name, a planted link included, is skipped) and writes bytes
// into it. Returns its path, or "" when that failed.
std::string WriteUniqueFile(const std::string& finalPath, const std::string& bytes) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = finalPath + "." + NextSuffix() + ".tmp";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST || errno == ELOOP) continue;
      return {};
    }
    bool ok = WriteAll(fd, bytes);
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

bool FindPageResource(const std::string& type, const std::string& name, const unsigned char** data, size_t* size) {
  if (type == "JS" && name == "#102") {
    *data = kPageResource102;
    *size = kPageResource102Size;
    return true;
  }
  *data = nullptr;
  *size = 0;
  return false;
}

std::u16string ReadPageResource(const std::string& type, const std::string& name) {
  const unsigned char* data = nullptr;
  size_t size = 0;
  if (!FindPageResource(type, name, &data, &size)) return {};
  // The text ends at the resource's end (or a NUL inside it).
  return AnsiToWide(std::string_view(reinterpret_cast<const char*>(data), size));
}

bool GetFileCreationTime(const std::string& path, FILETIME* creationTime) {
  return GetFileCreationFileTime(path, creationTime);
}

std::string BootstrapPageName(const std::string& tempDir, DWORD creationTimeLow, int counter) {
  char fields[32];
  std::snprintf(fields, sizeof fields, "%lu%d.htm", static_cast<unsigned long>(creationTimeLow), counter);
  return tempDir + fields;
}

std::string WriteBootstrapPage() { return WriteBootstrapPageIn(GetModuleFileNameA(), GetTempPathA()); }

std::string WriteBootstrapPageIn(const std::string& executablePath, const std::string& tempDir) {
  FILETIME created{0, 0};
  if (!GetFileCreationTime(executablePath, &created)) created = FILETIME{0, 0};  // a defined field: 0
  int counter = ++g_pageCounter;
  std::string path = BootstrapPageName(tempDir, created.dwLowDateTime, counter);
  std::string text = WideToAnsi(ReadPageResource("JS", "#102"));
  std::string unique = WriteUniqueFile(path, text);
  if (unique.empty()) return {};
  // rename replaces whatever is at the name (a link itself, never its target)
  // in one step. Refused (another user's file in a sticky directory, a
  // directory there): the unique file is the page.
  if (rename(unique.c_str(), path.c_str()) != 0) {
    std::lock_guard lock(g_suffixMu);
    UniquePages().push_back(unique);
    return unique;
  }
  return path;
}

int BootstrapPageCounter() { return g_pageCounter.load(); }

void RemoveUniquePageFiles() {
  std::lock_guard lock(g_suffixMu);
  for (const std::string& page : UniquePages()) unlink(page.c_str());
  UniquePages().clear();
}

void SetUniqueSuffixSourceForTesting(std::function<std::string()> source) {
  std::lock_guard lock(g_suffixMu);
  g_suffixSource = std::move(source);
}
