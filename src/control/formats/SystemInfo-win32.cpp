#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>

#include "control/formats/SystemInfo.h"
#include "platform/OleText.h"

namespace {
int CALLBACK AddFamily(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM list) {
  // '@' names are the vertical forms of East Asian fonts, not families of their own.
  if (font->lfFaceName[0] != L'@')
    reinterpret_cast<std::vector<std::string>*>(list)->push_back(Utf16ToUtf8(font->lfFaceName));
  return 1;
}
}  // namespace

std::vector<std::string> FontFamilies() {
  std::vector<std::string> families;
  HDC dc = CreateCompatibleDC(nullptr);
  if (!dc) return families;
  LOGFONTW all = {};
  all.lfCharSet = DEFAULT_CHARSET;  // every family once per character set
  EnumFontFamiliesExW(dc, &all, AddFamily, reinterpret_cast<LPARAM>(&families), 0);
  DeleteDC(dc);
  std::sort(families.begin(), families.end());
  families.erase(std::unique(families.begin(), families.end()), families.end());
  return families;
}

std::string LocalMacAddress() {
  ULONG size = 0;
  if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return std::string();
  std::vector<unsigned char> buffer(size);
  auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  if (GetAdaptersInfo(list, &size) != NO_ERROR) return std::string();
  std::string best;
  DWORD bestIndex = ULONG_MAX;
  for (const IP_ADAPTER_INFO* it = list; it; it = it->Next) {
    if (it->Type == MIB_IF_TYPE_LOOPBACK || it->AddressLength != 6) continue;
    const BYTE* a = it->Address;
    if (std::all_of(a, a + 6, [](BYTE b) { return b == 0; }) || it->Index >= bestIndex) continue;
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
    best = text;
    bestIndex = it->Index;
  }
  return best;
}

std::string MachineId() {
  // Set up once per installation of Windows; read from the 64-bit view on a
  // 64-bit system too (this is a 32-bit program).
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                    &key) != ERROR_SUCCESS)
    return std::string();
  wchar_t value[64] = {};
  DWORD type = 0, bytes = sizeof value - sizeof(wchar_t);
  const LONG result =
      RegQueryValueExW(key, L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ) return std::string();
  std::string id;
  for (const wchar_t* c = value; *c; ++c)
    if (*c < 128 && std::isxdigit(*c)) id += static_cast<char>(std::tolower(*c));
  return id.size() == 32 ? id : std::string();
}
