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

// The path a file: address names, with '\' separators; "" when it is no
// local file address (another scheme, a host name, a bad escape, a query).
std::wstring FileAddressPath(std::wstring_view address) {
  if (Lower(address.substr(0, 5)) != L"file:") return {};
  std::wstring_view rest = address.substr(5);
  // "file:///C:/x", "file://C:/x", "file:C:/x"; "file://server/x" is no local file.
  size_t slashes = 0;
  while (slashes < rest.size() && (rest[slashes] == L'/' || rest[slashes] == L'\\')) ++slashes;
  rest.remove_prefix(slashes);
  if (rest.size() < 3 || !std::iswalpha(rest[0]) || (rest[1] != L':' && rest[1] != L'|')) return {};
  std::wstring path;
  for (size_t i = 0; i < rest.size(); ++i) {
    wchar_t c = rest[i];
    if (c == L'?' || c == L'#') return {};
    if (c == L'%') {
      if (i + 2 >= rest.size() || HexValue(rest[i + 1]) < 0 || HexValue(rest[i + 2]) < 0) return {};
      c = static_cast<wchar_t>(HexValue(rest[i + 1]) * 16 + HexValue(rest[i + 2]));
      i += 2;
      // An escaped separator or NUL would change which file is named.
      if (c == L'/' || c == L'\\' || c == 0) return {};
    }
    path += c == L'/' ? L'\\' : c;
  }
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

bool IsPageFileName(std::wstring_view name, DWORD creationLow) {
  const std::wstring prefix = std::to_wstring(static_cast<unsigned long>(creationLow));
  if (name.substr(0, prefix.size()) != prefix) return false;
  name.remove_prefix(prefix.size());
  size_t digits = 0;
  while (digits < name.size() && std::iswdigit(name[digits])) ++digits;
  if (digits == 0) return false;
  name.remove_prefix(digits);
  const std::wstring rest = Lower(name);
  if (rest == L".htm") return true;
  // The page left under its unique name: ".htm.<suffix>.tmp", one suffix.
  if (rest.size() <= 9 || rest.compare(0, 5, L".htm.") != 0 || rest.compare(rest.size() - 4, 4, L".tmp") != 0)
    return false;
  const std::wstring suffix = rest.substr(5, rest.size() - 9);
  return !suffix.empty() && suffix.find(L'.') == std::wstring::npos;
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
