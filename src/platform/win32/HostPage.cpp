#include "platform/HostPage.h"

#include <cwctype>
#include <string>

namespace {

std::wstring Lower(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(c));
  return out;
}

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// The text of UTF-8 bytes; "" when they are not UTF-8.
std::wstring FromUtf8(const std::string& bytes) {
  if (bytes.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                      nullptr, 0);
  if (n <= 0) return {};
  std::wstring text(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

// The path a file: address names, with '\' separators; "" when it is no
// local file address (another scheme, a host name, a path relative to a
// drive's current folder, a bad escape, a query, a control character).
std::wstring FileAddressPath(std::wstring_view address) {
  if (Lower(address.substr(0, 5)) != L"file:") return {};
  std::wstring_view rest = address.substr(5);
  // "file:///C:/x", "file://C:/x", "file:C:/x"; "file://server/x" is no local file.
  size_t slashes = 0;
  while (slashes < rest.size() && (rest[slashes] == L'/' || rest[slashes] == L'\\')) ++slashes;
  rest.remove_prefix(slashes);
  if (rest.size() < 3 || !std::iswalpha(rest[0]) || (rest[1] != L':' && rest[1] != L'|') ||
      (rest[2] != L'/' && rest[2] != L'\\'))
    return {};
  // Runs of escapes are UTF-8 bytes, each run whole characters.
  std::wstring path;
  std::string escaped;
  // A decoder that took overlong forms could still make a separator or a
  // control character: checked again once decoded.
  auto endRun = [&] {
    if (escaped.empty()) return true;
    const std::wstring text = FromUtf8(escaped);
    escaped.clear();
    path += text;
    for (wchar_t c : text)
      if (c < 0x20 || c == 0x7F || c == L'/' || c == L'\\') return false;
    return !text.empty();
  };
  for (size_t i = 0; i < rest.size(); ++i) {
    const wchar_t c = rest[i];
    // What follows a NUL is no part of the path the system opens; no
    // control character belongs in a page's address.
    if (c < 0x20 || c == 0x7F || c == L'?' || c == L'#') return {};
    if (c != L'%') {
      if (!endRun()) return {};
      path += c == L'/' ? L'\\' : c;
      continue;
    }
    if (i + 2 >= rest.size() || HexValue(rest[i + 1]) < 0 || HexValue(rest[i + 2]) < 0) return {};
    const int byte = HexValue(rest[i + 1]) * 16 + HexValue(rest[i + 2]);
    i += 2;
    // An escaped separator or control character would change which file is named.
    if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F) return {};
    escaped += static_cast<char>(byte);
  }
  if (!endRun()) return {};
  if (path[1] == L'|') path[1] = L':';
  return path;
}

// A path with every ".." and "." resolved, so a name cannot step out of the folder.
std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH * 2];
  DWORD n = ::GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  return std::wstring(buffer, n);
}

// The long form of a path that exists (a temporary folder may be given in
// its 8.3 form); the path itself otherwise.
std::wstring LongPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH * 2];
  DWORD n = ::GetLongPathNameW(path.c_str(), buffer, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return path;
  return std::wstring(buffer, n);
}

std::wstring WithoutTrailingSeparator(std::wstring path) {
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

// "<creationLow><counter>.htm", or the name the host leaves it under when
// it could not be moved into place: ".<that name>.<suffix>.tmp", the suffix
// letters and digits (a ':' would name a stream of another file).
bool IsPageFileName(std::wstring_view name, DWORD creationLow) {
  const bool unmoved = !name.empty() && name[0] == L'.';
  if (unmoved) name.remove_prefix(1);
  const std::wstring prefix = std::to_wstring(static_cast<unsigned long>(creationLow));
  if (name.substr(0, prefix.size()) != prefix) return false;
  name.remove_prefix(prefix.size());
  size_t digits = 0;
  while (digits < name.size() && name[digits] >= L'0' && name[digits] <= L'9') ++digits;
  if (digits == 0) return false;
  name.remove_prefix(digits);
  const std::wstring rest = Lower(name);
  if (!unmoved) return rest == L".htm";
  if (rest.size() <= 9 || rest.compare(0, 5, L".htm.") != 0 || rest.compare(rest.size() - 4, 4, L".tmp") != 0)
    return false;
  const std::wstring suffix = rest.substr(5, rest.size() - 9);
  for (wchar_t c : suffix)
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z'))) return false;
  return true;
}

std::wstring ModulePath(HMODULE module) {
  wchar_t buffer[MAX_PATH * 2];
  DWORD n = ::GetModuleFileNameW(module, buffer, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  return std::wstring(buffer, n);
}

}  // namespace

bool IsHostProgramPath(std::wstring_view programPath) {
  size_t slash = programPath.find_last_of(L"\\/");
  const std::wstring name = Lower(slash == std::wstring_view::npos ? programPath : programPath.substr(slash + 1));
  const std::wstring_view stem = L"kestrix-host", ext = L".exe";
  return name.size() >= stem.size() + ext.size() && name.compare(0, stem.size(), stem) == 0 &&
         name.compare(name.size() - ext.size(), ext.size(), ext) == 0;
}

bool IsBootstrapPageAddress(std::wstring_view address, std::wstring_view tempDir, DWORD creationLow) {
  const std::wstring path = FileAddressPath(address);
  if (path.empty()) return false;
  const std::wstring full = FullPath(path);
  size_t slash = full.find_last_of(L'\\');
  if (full.empty() || slash == std::wstring::npos) return false;
  if (!IsPageFileName(std::wstring_view(full).substr(slash + 1), creationLow)) return false;
  const std::wstring folder = Lower(WithoutTrailingSeparator(LongPath(full.substr(0, slash + 1))));
  const std::wstring temp = Lower(WithoutTrailingSeparator(LongPath(FullPath(std::wstring(tempDir)))));
  return !temp.empty() && folder == temp;
}

bool RunsInHostProcess() { return IsHostProgramPath(ModulePath(nullptr)); }

bool IsThisHostsBootstrapPage(const std::wstring& address) {
  const std::wstring program = ModulePath(nullptr);
  if (!IsHostProgramPath(program)) return false;
  wchar_t temp[MAX_PATH + 1];
  DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) return false;
  // The host names its page after the creation time of its program file.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(program.c_str(), GetFileExInfoStandard, &data)) return false;
  return IsBootstrapPageAddress(address, std::wstring_view(temp, n), data.ftCreationTime.dwLowDateTime);
}
