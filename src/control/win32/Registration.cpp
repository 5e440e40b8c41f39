#include "control/win32/Registration.h"

#include <vector>

namespace {

const wchar_t kClassKey[] = L"CLSID\\{5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F58}";
const wchar_t kLibraryId[] = L"{C60E349A-383D-4BD8-8A0F-A153A7577D0B}";
const wchar_t kLibraryKey[] = L"TypeLib\\{C60E349A-383D-4BD8-8A0F-A153A7577D0B}";
// The universal marshaller: calls across apartments go through the type library.
const wchar_t kTypeLibMarshaller[] = L"{00020424-0000-0000-C000-000000000046}";
struct InterfaceEntry {
  const wchar_t* key;
  const wchar_t* name;
};
const InterfaceEntry kInterfaces[] = {
    {L"Interface\\{7D3B2A64-1F0C-4E59-9B8A-5C6D2E4F1A30}", L"IPrinterControl"},
    {L"Interface\\{8AEAF9DC-BA35-446B-8781-F4457374B713}", L"IPrinterEvent"},
};
// The folders the keys above live in, removed again when left empty.
const wchar_t* const kFolders[] = {L"CLSID", L"TypeLib", L"Interface"};

class Key {
 public:
  Key() = default;
  ~Key() {
    if (m_key) ::RegCloseKey(m_key);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  LONG Create(HKEY parent, const std::wstring& path) {
    return ::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                             nullptr, &m_key, nullptr);
  }
  LONG Open(HKEY parent, const std::wstring& path, REGSAM access) {
    return ::RegOpenKeyExW(parent, path.c_str(), 0, access, &m_key);
  }
  HKEY Get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

LONG SetText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  Key key;
  LONG rc = key.Create(root, path);
  if (rc != ERROR_SUCCESS) return rc;
  return ::RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Removes a key and everything below it (RegDeleteTree is newer than XP).
LONG DeleteTree(HKEY parent, const std::wstring& path) {
  {
    Key key;
    LONG rc = key.Open(parent, path, KEY_READ | KEY_WRITE);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    for (;;) {
      wchar_t name[256];
      DWORD size = 256;
      rc = ::RegEnumKeyExW(key.Get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS) return rc;
      rc = DeleteTree(key.Get(), name);
      if (rc != ERROR_SUCCESS) return rc;
    }
  }
  LONG rc = ::RegDeleteKeyW(parent, path.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

// Removes a key that has neither subkeys nor values.
void DeleteIfEmpty(HKEY parent, const std::wstring& path) {
  DWORD subkeys = 1, values = 1;
  {
    Key key;
    if (key.Open(parent, path, KEY_READ) != ERROR_SUCCESS) return;
    if (::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                           nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      return;
  }
  if (subkeys == 0 && values == 0) ::RegDeleteKeyW(parent, path.c_str());
}

HRESULT Result(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc); }

}  // namespace

HKEY RegistrationRoot(RegistrationScope scope) {
  return scope == RegistrationScope::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

HRESULT RegisterControl(RegistrationScope scope, const std::wstring& dllPath) {
  Key classes;
  LONG rc = classes.Create(RegistrationRoot(scope), L"Software\\Classes");
  if (rc != ERROR_SUCCESS) return Result(rc);
  const HKEY root = classes.Get();
  const std::wstring clsid = kClassKey;
  const std::wstring library = kLibraryKey;
  std::wstring folder = dllPath.substr(0, dllPath.find_last_of(L"\\/") + 1);
  struct Value {
    std::wstring key;
    const wchar_t* name;
    std::wstring text;
  };
  std::vector<Value> values = {
      {clsid, nullptr, L"Kestrix printing control"},
      {clsid + L"\\InprocServer32", nullptr, dllPath},
      {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {clsid + L"\\TypeLib", nullptr, kLibraryId},
      {clsid + L"\\Version", nullptr, L"1.0"},
      {library + L"\\1.0", nullptr, L"Kestrix printing control 1.0"},
      {library + L"\\1.0\\0\\win32", nullptr, dllPath},
      {library + L"\\1.0\\FLAGS", nullptr, L"0"},
      {library + L"\\1.0\\HELPDIR", nullptr, folder},
  };
  for (const InterfaceEntry& entry : kInterfaces) {
    const std::wstring key = entry.key;
    values.push_back({key, nullptr, entry.name});
    values.push_back({key + L"\\ProxyStubClsid32", nullptr, kTypeLibMarshaller});
    values.push_back({key + L"\\TypeLib", nullptr, kLibraryId});
    values.push_back({key + L"\\TypeLib", L"Version", L"1.0"});
  }
  for (const Value& value : values) {
    rc = SetText(root, value.key, value.name, value.text);
    if (rc != ERROR_SUCCESS) {
      // Half a registration is none: take back what was written.
      UnregisterControl(scope);
      return Result(rc);
    }
  }
  return S_OK;
}

HRESULT UnregisterControl(RegistrationScope scope) {
  Key classes;
  LONG rc = classes.Open(RegistrationRoot(scope), L"Software\\Classes", KEY_READ | KEY_WRITE);
  if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
  if (rc != ERROR_SUCCESS) return Result(rc);
  LONG first = DeleteTree(classes.Get(), kClassKey);
  LONG next = DeleteTree(classes.Get(), kLibraryKey);
  if (first == ERROR_SUCCESS) first = next;
  for (const InterfaceEntry& entry : kInterfaces) {
    next = DeleteTree(classes.Get(), entry.key);
    if (first == ERROR_SUCCESS) first = next;
  }
  for (const wchar_t* folder : kFolders) DeleteIfEmpty(classes.Get(), folder);
  return Result(first);
}
