#include "control/site/FileStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "control/base/ControlJson.h"
#include "control/base/ControlPaths.h"
#include "control/site/SiteOrigin.h"
#include "platform/WebOrigin.h"
#include <json/json.h>

namespace {
bool RealPath(const std::string& path, std::string* out) {
  char buffer[PATH_MAX];
  if (!realpath(path.c_str(), buffer)) return false;
  *out = buffer;
  return true;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home && home[0] == '/' ? home : "";
}

// "~/x" -> $HOME/x; relative -> inside base.
std::string Absolute(const std::string& path, const std::string& base) {
  if (path == "~" || path.rfind("~/", 0) == 0) {
    std::string home = HomeFolder();
    if (!home.empty()) return home + path.substr(1);
  }
  if (!path.empty() && path[0] == '/') return path;
  return base + "/" + path;
}
}  // namespace

std::string NormalizePath(const std::string& absolutePath) {
  std::vector<std::string> parts;
  size_t pos = 0;
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
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

FileStore::FileStore(std::string defaultFolder, std::vector<std::string> extraFolders, Shared shared, Room room)
    : m_default(std::move(defaultFolder)),
      m_extra(std::move(extraFolders)),
      m_shared(std::move(shared)),
      m_room(room) {}

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
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == ".." || name.rfind(kRecord, 0) == 0 || name.rfind("." + std::string(kRecord), 0) == 0)
        continue;
      names.push_back(name);
      list.append(name);
    }
    closedir(dir);
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
  Room room;
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
    std::string absolute = Absolute(folder, "/");
    struct stat st;
    if (RealPath(absolute, &real) && stat(real.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) roots.push_back(real);
  }
  return roots;
}

bool FileStore::Inside(const std::string& real, const std::vector<std::string>& roots) {
  for (const auto& root : roots) {
    if (real == root) return true;
    if (root == "/" ) return true;
    if (real.size() > root.size() && real.compare(0, root.size(), root) == 0 && real[root.size()] == '/')
      return true;
  }
  return false;
}

size_t FileStore::DepthBelow(const std::string& real, const std::vector<std::string>& roots) {
  size_t least = std::count(real.begin(), real.end(), '/');
  for (const auto& root : roots) {
    if (!Inside(real, {root})) continue;
    const size_t skip = root == "/" ? 0 : root.size();
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
  if (path.size() > PATH_MAX) return refuse("path too long");
  const std::vector<std::string> roots = Roots();
  std::string normal = NormalizePath(Absolute(path, m_default));
  std::string outside = "path '" + path + "' is outside the allowed folders";
  std::string tooDeep = "path '" + path + "' lies more than " + std::to_string(Room::kMaxDepth) +
                        " parts below its folder";

  std::string real;
  // A relative path the site's folder does not hold may name a shared file.
  if (access == Access::Read && !path.empty() && path[0] != '/' && path[0] != '~' && !m_shared.folder.empty() &&
      !RealPath(normal, &real)) {
    std::string shared;
    if (RealPath(NormalizePath(m_shared.folder + "/" + path), &shared) && InShared(shared)) normal = shared;
  }
  if (RealPath(normal, &real)) {
    if (!Inside(real, roots) && !(access == Access::Read && InShared(real))) return refuse(outside);
    if (access == Access::Write && DepthBelow(real, roots) > Room::kMaxDepth) return refuse(tooDeep);
    struct stat st;
    if (stat(real.c_str(), &st) != 0) return refuse("file '" + path + "' does not exist");
    if (S_ISDIR(st.st_mode)) return refuse("path '" + path + "' is a folder");
    if (!S_ISREG(st.st_mode)) return refuse("path '" + path + "' is not a regular file");
    *resolved = real;
    return true;
  }
  if (access == Access::Read) {
    // Missing, or a link that leads nowhere: say which without telling what lies outside.
    std::string parent = normal.substr(0, normal.rfind('/'));
    std::string realParent;
    if (RealPath(parent.empty() ? "/" : parent, &realParent) && !Inside(realParent, roots)) return refuse(outside);
    return refuse("file '" + path + "' does not exist");
  }
  // Writing a new file: the deepest existing ancestor decides.
  std::string ancestor = normal;
  std::string rest;
  while (true) {
    size_t slash = ancestor.rfind('/');
    if (slash == std::string::npos) return refuse(outside);
    rest = ancestor.substr(slash) + rest;
    ancestor = ancestor.substr(0, slash);
    if (ancestor.empty()) ancestor = "/";
    struct stat st;
    if (lstat(ancestor.c_str(), &st) == 0) break;
    if (ancestor == "/") return refuse(outside);
  }
  std::string realAncestor;
  if (!RealPath(ancestor, &realAncestor)) return refuse(outside);
  if (!Inside(realAncestor, roots)) return refuse(outside);
  struct stat st;
  if (stat(realAncestor.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return refuse("path '" + path + "' has a file where a folder should be");
  // The first missing part may be a dangling link: that counts as existing and is refused.
  std::string first = rest.substr(0, rest.find('/', 1));
  if (lstat((realAncestor + first).c_str(), &st) == 0) return refuse(outside);
  *resolved = (realAncestor == "/" ? "" : realAncestor) + rest;
  if (DepthBelow(*resolved, roots) > Room::kMaxDepth) return refuse(tooDeep);
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
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
  if (in < 0) return fail("cannot read '" + source + "': " + std::strerror(errno));
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxCopyBytes) {
    close(in);
    return fail("cannot copy '" + source + "' (not a regular file, or larger than " +
                std::to_string(kMaxCopyBytes >> 30) + " GiB)");
  }
  // The room is granted for the size the source has now.
  const size_t expected = static_cast<size_t>(st.st_size);
  if (!HasRoom(to, expected, error)) {
    close(in);
    return false;
  }
  size_t slash = to.rfind('/');
  std::string folder = to.substr(0, slash == 0 ? 1 : slash);
  if (!MakeFolders(folder, 0700)) {
    close(in);
    return fail("cannot create the folder for '" + target + "'");
  }
  // Into a file of its own beside the target, renamed into place when whole.
  std::string temp = folder + "/.copy.XXXXXX";
  int out = mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    close(in);
    return fail("cannot write '" + target + "': " + std::strerror(errno));
  }
  fchmod(out, 0644);
  std::string why;
  size_t total = 0;
  char buffer[1 << 16];
  while (why.empty()) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "cannot read '" + source + "': " + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total > expected) {
      why = "'" + source + "' grew while it was copied";
      break;
    }
    for (ssize_t done = 0; done < n && why.empty();) {
      ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) why = "cannot write '" + target + "': " + std::strerror(errno);
      else done += w;
    }
  }
  close(in);
  if (why.empty() && fsync(out) != 0) why = "cannot write '" + target + "': " + std::strerror(errno);
  if (close(out) != 0 && why.empty()) why = "cannot write '" + target + "': " + std::strerror(errno);
  if (!why.empty()) {
    unlink(temp.c_str());
    return fail(why);
  }
  // Checked again at its whole size: other writes may have taken the room meanwhile.
  return Commit(temp, to, error);
}

std::string FileStore::Locate(const std::string& path) const {
  std::string real;
  if (!Resolve(path, Access::Read, &real, nullptr)) return std::string();
  return real;
}
