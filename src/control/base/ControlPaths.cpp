#include "control/base/ControlPaths.h"

#include "control/base/Digest.h"
#include "control/base/FileSystem.h"

std::string SettingsFilePath() { return ControlDataFolder() + "/settings.json"; }
std::string SiteSettingsFilePath(const std::string& origin) {
  return ControlDataFolder() + "/settings/" + HexDigits(Sha256(origin).substr(0, 16)) + ".json";
}
std::string ControlConfigPath() { return ControlConfigFolder() + "/control.json"; }

bool MakeFolders(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  size_t pos = PathRootLength(path);
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    const std::string prefix = path.substr(0, next);
    pos = next + 1;
    if (next == 0 || path[next - 1] == '/') continue;  // an empty part
    const EntryKind kind = TargetOf(prefix).kind;
    if (kind == EntryKind::Folder) continue;
    if (kind != EntryKind::Missing || !MakeFolder(prefix, mode)) return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* out, size_t maxBytes) {
  ReadableFile file;
  if (!file.Open(path, false) || file.Size() > maxBytes) return false;
  std::string data;
  data.reserve(static_cast<size_t>(file.Size()));
  char buffer[65536];
  for (;;) {
    const long long n = file.Read(buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
    if (data.size() > maxBytes) return false;
  }
  *out = std::move(data);
  return true;
}
