#include "browser/BootstrapPage.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/Resources.h"

namespace {

std::atomic<int> g_pageCounter{0};

// Pages left under their unique name because the move into place was
// refused: nobody else will ever remove them.
std::mutex g_uniquePagesMu;
std::vector<std::string>& UniquePages() {
  static std::vector<std::string>* const pages = new std::vector<std::string>;
  return *pages;
}

}  // namespace

OleString ReadPageResource(const std::string& type, const std::string& name) {
  const unsigned char* data = nullptr;
  size_t size = 0;
  if (!FindModuleResource(type, name, &data, &size)) return {};
  // A copy one byte longer with a zero after it: the text ends at the
  // resource's end, or at a NUL inside it.
  std::string text(reinterpret_cast<const char*>(data), size);
  return AnsiToWide(text.c_str());
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
  std::string written = WriteFileReplacing(path, text, ReplaceOptions{0600, false, /*keepUnmoved=*/true});
  if (!written.empty() && written != path) {
    std::lock_guard lock(g_uniquePagesMu);
    UniquePages().push_back(written);
  }
  return written;
}

int BootstrapPageCounter() { return g_pageCounter.load(); }

void RemoveUniquePageFiles() {
  std::lock_guard lock(g_uniquePagesMu);
  for (const std::string& page : UniquePages()) std::remove(page.c_str());
  UniquePages().clear();
}
