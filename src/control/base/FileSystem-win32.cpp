#include "control/base/FileSystem.h"

#include <windows.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <cwctype>
#include <random>

#include "platform/OleText.h"

namespace {
// The wide path for the system, with its own separators.
std::wstring Wide(const std::string& path) {
  std::wstring wide = Utf8ToUtf16(path);
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  return wide;
}

std::string Narrow(const std::wstring& wide) { return PortablePath(Utf16ToUtf8(wide)); }

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

EntryFacts FromAttributes(DWORD attributes, DWORD sizeHigh, DWORD sizeLow) {
  EntryFacts facts;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    facts.kind = EntryKind::Link;
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    facts.kind = EntryKind::Folder;
  } else if (attributes & FILE_ATTRIBUTE_DEVICE) {
    facts.kind = EntryKind::Other;
  } else {
    facts.kind = EntryKind::File;
    facts.size = (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow;
  }
  return facts;
}

// Names the system would read as a pattern or a stream are no names of a file.
bool PlainName(const std::wstring& name) { return name.find_first_of(L"*?:\"<>|") == std::wstring::npos; }
}  // namespace

bool IsPlainPath(const std::string& path) {
  // "//server/share/x", "//?/C:/x", "//./C:/x": a share or a device path, never a site's file.
  if (path.size() >= 2 && (path[0] == '/' || path[0] == '\\') && (path[1] == '/' || path[1] == '\\')) return false;
  const size_t root = PathRootLength(path);
  for (size_t pos = root; pos <= path.size();) {
    size_t end = path.find_first_of("/\\", pos);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == "." || part == "..") continue;
    if (part.back() == '.' || part.back() == ' ') return false;
    for (unsigned char c : part)
      if (c < 32 || std::strchr("*?:\"<>|", c)) return false;
    // Device names, with any extension.
    std::string stem = part.substr(0, part.find('.'));
    for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" || stem == "CONOUT$")
      return false;
    // COM1-9 and LPT1-9, and (later Windows) COM and LPT with a superscript 1, 2 or 3.
    const std::string digit = stem.size() > 3 ? stem.substr(3) : std::string();
    if ((stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
        ((digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xc2\xb9" || digit == "\xc2\xb2" ||
         digit == "\xc2\xb3"))
      return false;
  }
  return true;
}

namespace {
bool PlainPath(const std::string& path) {
  return path.find_first_of("*?:\"<>|", PathRootLength(path)) == std::string::npos;
}
}  // namespace

size_t PathRootLength(const std::string& path) {
  if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
      (path[2] == '/' || path[2] == '\\'))
    return 3;
  // "/x" is on the current drive; "//server/share" is not taken (no network shares).
  if (!path.empty() && (path[0] == '/' || path[0] == '\\') && (path.size() == 1 || (path[1] != '/' && path[1] != '\\')))
    return 1;
  return 0;
}

std::string PortablePath(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

EntryFacts EntryAt(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  // The attributes of the entry itself: a reparse point is not followed here.
  if (!PlainPath(path) ||
      !GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data))
    return EntryFacts();
  return FromAttributes(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow);
}

EntryFacts TargetOf(const std::string& path) {
  if (!PlainPath(path)) return EntryFacts();
  // Opened with no access at all: only to learn what the path leads to.
  HANDLE h = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return EntryFacts();
  BY_HANDLE_FILE_INFORMATION info;
  EntryFacts facts;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    facts.kind = EntryKind::Other;
  } else if (GetFileInformationByHandle(h, &info)) {
    facts = FromAttributes(info.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT, info.nFileSizeHigh,
                           info.nFileSizeLow);
  }
  CloseHandle(h);
  return facts;
}

namespace {
// The full path of wide ("X:\\..."), each part as the disk spells it; false
// for a missing part, a device, a network share, and a part that is a
// reparse point (*throughLink is then set).
bool WalkParts(const std::wstring& wide, std::wstring* out, bool* throughLink) {
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring rest(full, length);
  if (rest.size() < 3 || !iswalpha(rest[0]) || rest[1] != L':' || rest[2] != L'\\') return false;
  std::wstring walked = {static_cast<wchar_t>(towupper(rest[0])), L':', L'\\'};
  for (size_t pos = 3; pos < rest.size();) {
    size_t next = rest.find(L'\\', pos);
    if (next == std::wstring::npos) next = rest.size();
    const std::wstring part = rest.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty()) continue;
    if (!PlainName(part)) return false;
    if (walked.back() != L'\\') walked += L'\\';
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((walked + part).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      *throughLink = true;
      return false;
    }
    walked += found.cFileName;
  }
  *out = walked;
  return true;
}

// Where the system's own resolution of every link on the way leads
// (GetFinalPathNameByHandleW, Windows Vista and later; "" before).
std::wstring FinalPath(const std::wstring& wide) {
  using Final = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  static const auto final = reinterpret_cast<Final>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
  if (!final) return std::wstring();
  HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::wstring();
  wchar_t buffer[MAX_PATH + 8];
  const DWORD length = final(h, buffer, MAX_PATH + 8, 0 /* FILE_NAME_NORMALIZED | VOLUME_NAME_DOS */);
  CloseHandle(h);
  if (length == 0 || length >= MAX_PATH + 8) return std::wstring();
  std::wstring path(buffer, length);
  // "\\?\C:\..." only: a link that leads to another machine's share has no real path here.
  if (path.compare(0, 4, L"\\\\?\\") != 0 || path.size() < 7 || path[5] != L':') return std::wstring();
  return path.substr(4);
}
}  // namespace

bool RealPath(const std::string& path, std::string* real) {
  std::wstring walked;
  bool throughLink = false;
  if (!WalkParts(Wide(path), &walked, &throughLink)) {
    // Through a link: where the system says it leads, walked again (that path holds no link).
    const std::wstring final = throughLink ? FinalPath(Wide(path)) : std::wstring();
    throughLink = false;
    if (final.empty() || !WalkParts(final, &walked, &throughLink)) return false;
  }
  *real = Narrow(walked);
  return true;
}

std::string HomeFolder() {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  const std::string home = Narrow(buffer);
  return PathRootLength(home) == 3 ? home : std::string();
}

std::vector<std::string> FolderNames(const std::string& folder, size_t maxNames) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((Wide(folder) + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    names.push_back(Utf16ToUtf8(name));
    if (names.size() > maxNames) break;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

bool MakeFolder(const std::string& path, unsigned /*mode: the folder takes its parent's access rules*/) {
  if (CreateDirectoryW(Wide(path).c_str(), nullptr)) return true;
  return GetLastError() == ERROR_ALREADY_EXISTS && TargetOf(path).kind == EntryKind::Folder;
}

bool FreeBytesAt(const std::string& path, uint64_t* freeBytes) {
  ULARGE_INTEGER available, total, free;
  std::wstring folder = Wide(path);
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, &total, &free)) return false;
  *freeBytes = available.QuadPart;  // what this user may still take, quotas applied
  return true;
}

bool MoveOver(const std::string& from, const std::string& to) {
  return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool RemoveFile(const std::string& path) { return DeleteFileW(Wide(path).c_str()); }

std::string LastFileError() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = text ? Utf16ToUtf8(text) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
    message.pop_back();
  return message;
}

ReadableFile::~ReadableFile() {
  if (m_handle) CloseHandle(AsHandle(m_handle));
}

bool ReadableFile::Open(const std::string& path, bool noFollow) {
  if (!PlainPath(path)) return false;
  // With FILE_FLAG_OPEN_REPARSE_POINT the link itself is opened, never what it
  // leads to; it is then refused by its attributes below.
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | (noFollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(h);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  m_handle = h;
  m_size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

long long ReadableFile::Read(char* buffer, size_t room) {
  DWORD n = 0;
  const DWORD ask = room > (1u << 30) ? (1u << 30) : static_cast<DWORD>(room);
  if (!ReadFile(AsHandle(m_handle), buffer, ask, &n, nullptr)) return -1;
  return n;
}

NewFile::~NewFile() {
  if (m_handle) CloseHandle(AsHandle(m_handle));
  if (!m_keep && !m_path.empty()) DeleteFileW(Wide(m_path).c_str());
}

bool NewFile::Create(const std::string& folder, const std::string& prefix, unsigned mode, const std::string& suffix) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = folder + "/" + prefix;
    for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    name += suffix;
    // CREATE_NEW: never an existing name (a planted link included). Shared
    // with no one: RemoveIfUnheld cannot open it while it is held.
    HANDLE h = CreateFileW(Wide(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      m_handle = h;
      m_path = std::move(name);
      m_mode = mode;
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool NewFile::Truncate() {
  return SetFilePointer(AsHandle(m_handle), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
         SetEndOfFile(AsHandle(m_handle));
}

bool NewFile::Write(const char* bytes, size_t size) {
  for (size_t done = 0; done < size;) {
    DWORD n = 0;
    const DWORD ask = size - done > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size - done);
    if (!WriteFile(AsHandle(m_handle), bytes + done, ask, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

bool NewFile::Finish() {
  HANDLE h = AsHandle(m_handle);
  m_handle = nullptr;
  const bool flushed = FlushFileBuffers(h);
  const DWORD saved = GetLastError();
  const bool closed = CloseHandle(h);
  if (!flushed) SetLastError(saved);
  return flushed && closed;
}

bool RemoveIfUnheld(const std::string& path) {
  if (!PlainPath(path)) return false;
  // Opened for no one else, which fails while a NewFile holds it; the link
  // itself when it is one (then left alone).
  HANDLE h = CreateFileW(Wide(path).c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool plainFile = GetFileInformationByHandle(h, &info) &&
                         !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  CloseHandle(h);
  // A writer never opens an existing name again, so none can take it between.
  return plainFile && DeleteFileW(Wide(path).c_str());
}

FolderLock::FolderLock(const std::string& folder, int waitSeconds) {
  if (TargetOf(folder).kind != EntryKind::Folder) return;  // no folder: nothing in it to count
  // A folder takes no byte-range lock: the lock is on a file beside it, whose
  // name ('.' first) no site's folder can have.
  const size_t slash = folder.find_last_of('/');
  const std::string lockPath = slash == std::string::npos
                                   ? "." + folder + ".lock"
                                   : folder.substr(0, slash + 1) + "." + folder.substr(slash + 1) + ".lock";
  HANDLE h = CreateFileW(Wide(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    m_busy = true;  // the lock cannot be taken: no write may pass unguarded
    return;
  }
  m_handle = h;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  for (;;) {
    OVERLAPPED at = {};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return;
    if (GetLastError() != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= until) {
      m_busy = true;
      return;
    }
    Sleep(5);
  }
}

FolderLock::~FolderLock() {
  if (m_handle) CloseHandle(AsHandle(m_handle));  // the lock goes with the handle
}
