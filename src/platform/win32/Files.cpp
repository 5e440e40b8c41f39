#include "platform/Files.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/CodePage.h"

namespace {

std::mutex g_suffixMu;
std::function<std::string()> g_suffixSource;

// CREATE_NEW keeps the create safe whatever the name; the suffix only has to
// make a collision unlikely, so the retries stay few.
std::string DefaultSuffix() {
  static std::atomic<unsigned> counter{0};
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  char hex[32];
  std::snprintf(hex, sizeof hex, "%08lx%04lx%04x", static_cast<unsigned long>(now.LowPart),
                static_cast<unsigned long>(::GetCurrentProcessId() & 0xFFFF), counter.fetch_add(1) & 0xFFFF);
  return hex;
}

std::string NextSuffix() {
  std::lock_guard lock(g_suffixMu);
  return g_suffixSource ? g_suffixSource() : DefaultSuffix();
}

bool WriteAll(HANDLE file, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

}  // namespace

std::string WriteFileReplacing(const std::string& finalPath, const std::string& bytes, const ReplaceOptions& options) {
  const OleString finalWide = AnsiToWide(finalPath);
  const size_t slash = finalPath.find_last_of("\\/");
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = finalPath.substr(0, base) + "." + finalPath.substr(base) + "." + NextSuffix() + ".tmp";
    OleString wide = AnsiToWide(path);
    // CREATE_NEW: an existing name, a planted link included, is never opened.
    HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      DWORD error = ::GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      return {};
    }
    bool ok = WriteAll(file, bytes) && (!options.sync || ::FlushFileBuffers(file));
    ok = ::CloseHandle(file) && ok;
    if (!ok) {
      ::DeleteFileW(wide.c_str());
      return {};
    }
    // Replaces whatever is at the name (a link itself, never its target).
    if (::MoveFileExW(wide.c_str(), finalWide.c_str(), MOVEFILE_REPLACE_EXISTING)) return finalPath;
    if (options.keepUnmoved) return path;
    ::DeleteFileW(wide.c_str());
    return {};
  }
  return {};
}

void SetUniqueSuffixSourceForTesting(std::function<std::string()> source) {
  std::lock_guard lock(g_suffixMu);
  g_suffixSource = std::move(source);
}
