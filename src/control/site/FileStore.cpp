#include "control/site/FileStore.h"

#include <algorithm>

#include "control/base/ControlJson.h"
#include "control/base/ControlPaths.h"
#include "control/base/FileSystem.h"
#include "control/site/SiteOrigin.h"
#include "platform/WebOrigin.h"
#include <json/json.h>

namespace {
// The longest path taken: longer ones are refused before the file system sees them.
constexpr size_t kMaxPathBytes = 4096;

// "~/x" -> the home folder's x; relative -> inside base.
std::string Absolute(const std::string& path, const std::string& base) {
  if (path == "~" || path.rfind("~/", 0) == 0) {
    std::string home = HomeFolder();
    if (!home.empty()) return home + path.substr(1);
  }
  if (PathRootLength(path) > 0) return path;
  return base + "/" + path;
}

// The folder that holds path, never above its root ("/a" -> "/", "C:/a" -> "C:/").
std::string ParentOf(const std::string& path) {
  const size_t root = PathRootLength(path);
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash < root) return path.substr(0, root);
  return path.substr(0, std::max(slash, root));
}
}  // namespace

std::string NormalizePath(const std::string& absolutePath) {
  const std::string root = absolutePath.substr(0, PathRootLength(absolutePath));
  std::vector<std::string> parts;
  size_t pos = root.size();
  while (pos <= absolutePath.size()) {
    size_t next = absolutePath.find('/', pos);
    if (next == std::string::npos) next = absolutePath.size();
    std::string part = absolutePath.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(std::move(part));
  }
  std::string out = root.empty() ? "/" : root;
  for (const auto& part : parts) out += (out.back() == '/' ? "" : "/") + part;
  return out;
}

FileStore::FileStore(std::string defaultFolder, std::vector<std::string> extraFolders, Shared shared, Quota quota)
    : m_default(std::move(defaultFolder)),
      m_extra(std::move(extraFolders)),
      m_shared(std::move(shared)),
      m_room(quota) {}

namespace {
// origin is named in list (each entry read as an address, so "https://Shop.example/"
// names "https://shop.example").
bool Names(const Json::Value& list, const std::string& origin) {
  if (!list.isArray() || origin.empty()) return false;
  for (const auto& item : list)
    if (item.isString() && WebOrigin::Parse(item.asString()).Key() == origin) return true;
  return false;
}

// A size in MiB from control.json, within [1, 1 TiB]; fallback when absent or not a number.
uint64_t MiB(const Json::Value& value, uint64_t fallback) {
  if (!value.isNumeric()) return fallback;
  const double mib = std::clamp(value.asDouble(), 1.0, 1048576.0);
  return static_cast<uint64_t>(mib) << 20;
}

// The names of the entries the shared folder held before the first site
// folder was made: recorded then, read afterwards.
std::vector<std::string> SharedNames(const std::string& folder) {
  static const char kRecord[] = ".before-sites.json";
  const std::string record = folder + "/" + kRecord;
  std::vector<std::string> names;
  std::string text;
  if (ReadWholeFile(record, &text, 16 << 20)) {
    Json::Value list;
    Json::Reader reader;
    if (reader.parse(text, list) && list.isArray())
      for (const auto& item : list)
        if (item.isString()) names.push_back(item.asString());
    return names;
  }
  if (!MakeFolders(folder, 0700)) return names;
  Json::Value list(Json::arrayValue);
  for (std::string& name : FolderNames(folder)) {
    if (name.rfind(kRecord, 0) == 0 || name.rfind("." + std::string(kRecord), 0) == 0) continue;
    list.append(name);
    names.push_back(std::move(name));
  }
  // Should this fail, the next site's request tries again: no site folder exists before it succeeds.
  WriteFileAtomically(record, Json::FastWriter().write(list), 0600);
  return names;
}
}  // namespace

FileStore FileStore::ForSite(const std::string& origin) {
  const Json::Value config = ReadControlJson();  // a broken file allows nothing beyond the site's folder
  const std::string files = DefaultFilesFolder();
  Shared shared;
  // First, so that the record never holds a site folder.
  std::vector<std::string> before = SharedNames(files);
  if (Names(config["sharedFiles"], origin)) shared = Shared{files, std::move(before)};
  std::vector<std::string> extra;
  const Json::Value& list = config["allowedFolders"];
  if (list.isArray()) {
    for (const auto& item : list) {
      if (item.isString() && !item.asString().empty()) {
        extra.push_back(item.asString());
      } else if (item.isObject() && item["path"].isString() && !item["path"].asString().empty() &&
                 Names(item["origins"], origin)) {
        extra.push_back(item["path"].asString());
      }
    }
  }
  Quota room;
  room.siteBytes = MiB(config["siteQuotaMiB"], room.siteBytes);
  room.minFree = MiB(config["minFreeMiB"], room.minFree);
  return FileStore(files + "/" + SiteFolderName(origin), std::move(extra), std::move(shared), room);
}

FileStore FileStore::FromEnvironment() {
  const Json::Value config = ReadControlJson();  // a broken file allows nothing beyond the site's folder
  std::vector<std::string> extra;
  const Json::Value& list = config["allowedFolders"];
  if (list.isArray()) {
    for (const auto& item : list) {
      const Json::Value& path = item.isObject() ? item["path"] : item;
      if (path.isString() && !path.asString().empty()) extra.push_back(path.asString());
    }
  }
  return FileStore(DefaultFilesFolder(), std::move(extra));
}

bool FileStore::InShared(const std::string& real) const {
  if (m_shared.folder.empty() || m_shared.names.empty()) return false;
  std::string root;
  if (!RealPath(m_shared.folder, &root)) return false;
  if (real.size() <= root.size() + 1 || real.compare(0, root.size(), root) != 0 || real[root.size()] != '/')
    return false;
  const size_t end = real.find('/', root.size() + 1);
  const std::string first = real.substr(root.size() + 1, end == std::string::npos ? std::string::npos : end - root.size() - 1);
  return std::find(m_shared.names.begin(), m_shared.names.end(), first) != m_shared.names.end();
}

std::vector<std::string> FileStore::Roots() const {
  std::vector<std::string> roots;
  MakeFolders(m_default, 0700);
  std::string real;
  if (RealPath(m_default, &real)) roots.push_back(real);
  for (const auto& folder : m_extra) {
    std::string absolute = Absolute(PortablePath(folder), "/");
    if (RealPath(absolute, &real) && TargetOf(real).kind == EntryKind::Folder) roots.push_back(real);
  }
  return roots;
}

bool FileStore::Inside(const std::string& real, const std::vector<std::string>& roots) {
  for (const auto& root : roots) {
    if (real == root) return true;
    if (root.size() == PathRootLength(root)) return true;  // a whole volume
    if (real.size() > root.size() && real.compare(0, root.size(), root) == 0 && real[root.size()] == '/')
      return true;
  }
  return false;
}

size_t FileStore::DepthBelow(const std::string& real, const std::vector<std::string>& roots) {
  size_t least = std::count(real.begin(), real.end(), '/');
  for (const auto& root : roots) {
    if (!Inside(real, {root})) continue;
    const size_t skip = root.size() == PathRootLength(root) ? 0 : root.size();
    least = std::min<size_t>(least, std::count(real.begin() + static_cast<long>(skip), real.end(), '/'));
  }
  return least;
}

bool FileStore::Resolve(const std::string& path, Access access, std::string* resolved, std::string* error) const {
  auto refuse = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (path.empty()) return refuse("no path given");
  if (path.find('\0') != std::string::npos) return refuse("path contains a NUL character");
  if (path.size() > kMaxPathBytes) return refuse("path too long");
  // Refused as a path outside: on no system is it a file inside a folder.
  if (!IsPlainPath(PortablePath(path)))
    return refuse("path '" + path +
                  "' is outside the allowed folders: it names something else than a file on this system");
  const std::vector<std::string> roots = Roots();
  std::string normal = NormalizePath(Absolute(PortablePath(path), m_default));
  std::string outside = "path '" + path + "' is outside the allowed folders";
  std::string tooDeep = "path '" + path + "' lies more than " + std::to_string(Quota::kMaxDepth) +
                        " parts below its folder";

  std::string real;
  // A relative path the site's folder does not hold may name a shared file.
  if (access == Access::Read && PathRootLength(PortablePath(path)) == 0 && path[0] != '~' && !m_shared.folder.empty() &&
      !RealPath(normal, &real)) {
    std::string shared;
    if (RealPath(NormalizePath(m_shared.folder + "/" + path), &shared) && InShared(shared)) normal = shared;
  }
  if (RealPath(normal, &real)) {
    if (!Inside(real, roots) && !(access == Access::Read && InShared(real))) return refuse(outside);
    if (access == Access::Write && DepthBelow(real, roots) > Quota::kMaxDepth) return refuse(tooDeep);
    const EntryKind kind = TargetOf(real).kind;
    if (kind == EntryKind::Missing) return refuse("file '" + path + "' does not exist");
    if (kind == EntryKind::Folder) return refuse("path '" + path + "' is a folder");
    if (kind != EntryKind::File) return refuse("path '" + path + "' is not a regular file");
    *resolved = real;
    return true;
  }
  if (access == Access::Read) {
    // Missing, or a link that leads nowhere: say which without telling what lies outside.
    std::string realParent;
    if (RealPath(ParentOf(normal), &realParent) && !Inside(realParent, roots)) return refuse(outside);
    return refuse("file '" + path + "' does not exist");
  }
  // Writing a new file: the deepest existing ancestor decides.
  std::string ancestor = normal;
  std::string rest;
  while (true) {
    const size_t root = PathRootLength(ancestor);
    if (ancestor.size() <= root) return refuse(outside);
    const std::string parent = ParentOf(ancestor);
    rest = ancestor.substr(parent.size() == root ? root - 1 : parent.size()) + rest;
    ancestor = parent;
    if (EntryAt(ancestor).kind != EntryKind::Missing) break;
    if (ancestor.size() == root) return refuse(outside);
  }
  std::string realAncestor;
  if (!RealPath(ancestor, &realAncestor)) return refuse(outside);
  if (!Inside(realAncestor, roots)) return refuse(outside);
  if (TargetOf(realAncestor).kind != EntryKind::Folder)
    return refuse("path '" + path + "' has a file where a folder should be");
  // The first missing part may be a dangling link: that counts as existing and is refused.
  std::string first = rest.substr(0, rest.find('/', 1));
  if (realAncestor.back() == '/') realAncestor.pop_back();  // a volume's root: its separator comes with rest
  if (EntryAt(realAncestor + first).kind != EntryKind::Missing) return refuse(outside);
  *resolved = realAncestor + rest;
  if (DepthBelow(*resolved, roots) > Quota::kMaxDepth) return refuse(tooDeep);
  return true;
}

bool FileStore::Read(const std::string& path, std::string* bytes, std::string* error, size_t maxBytes) const {
  std::string real;
  if (!Resolve(path, Access::Read, &real, error)) return false;
  if (!ReadWholeFile(real, bytes, maxBytes)) {
    if (error) *error = "cannot read '" + path + "' (not a regular file, unreadable or larger than " +
                        std::to_string(maxBytes >> 20) + " MiB)";
    return false;
  }
  return true;
}

bool FileStore::Write(const std::string& path, const std::string& bytes, std::string* error) const {
  std::string real;
  return Resolve(path, Access::Write, &real, error) && Place(real, bytes, error);
}

bool FileStore::Copy(const std::string& source, const std::string& target, std::string* error) const {
  std::string from, to;
  if (!Resolve(source, Access::Read, &from, error) || !Resolve(target, Access::Write, &to, error)) return false;
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  ReadableFile in;
  if (!in.Open(from, true)) return fail("cannot read '" + source + "': " + LastFileError());
  if (in.Size() > kMaxCopyBytes)
    return fail("cannot copy '" + source + "' (larger than " + std::to_string(kMaxCopyBytes >> 30) + " GiB)");
  // The room is granted for the size the source has now.
  const uint64_t expected = in.Size();
  if (!HasRoom(to, expected, error)) return false;
  const std::string folder = ParentOf(to);
  if (!MakeFolders(folder, 0700)) return fail("cannot create the folder for '" + target + "'");
  // Into a file of its own beside the target, renamed into place when whole.
  NewFile out;
  if (!out.Create(folder, ".copy.", 0644)) return fail("cannot write '" + target + "': " + LastFileError());
  std::string why;
  uint64_t total = 0;
  char buffer[1 << 16];
  while (why.empty()) {
    const long long n = in.Read(buffer, sizeof buffer);
    if (n < 0) {
      why = "cannot read '" + source + "': " + LastFileError();
      break;
    }
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    if (total > expected) {
      why = "'" + source + "' grew while it was copied";
      break;
    }
    if (!out.Write(buffer, static_cast<size_t>(n))) why = "cannot write '" + target + "': " + LastFileError();
  }
  if (why.empty() && !out.Finish()) why = "cannot write '" + target + "': " + LastFileError();
  if (!why.empty()) return fail(why);
  out.Keep();  // Commit renames it or removes it
  // Checked again at its whole size: other writes may have taken the room meanwhile.
  return Commit(out.Path(), to, error);
}

std::string FileStore::Locate(const std::string& path) const {
  std::string real;
  if (!Resolve(path, Access::Read, &real, nullptr)) return std::string();
  return real;
}
