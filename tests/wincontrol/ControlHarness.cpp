#include "ControlHarness.h"

#include <urlmon.h>

#include <algorithm>
#include <cstdio>

#include "control/members/AutomationToJson.h"
#include "control/win32/WideText.h"

std::wstring ControlDllPath() {
  wchar_t buffer[MAX_PATH * 2];
  DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
  std::wstring path(buffer, n);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"kestrix-control.dll";
}

FARPROC ControlExport(const char* name) {
  static HMODULE module = ::LoadLibraryW(ControlDllPath().c_str());
  return module ? ::GetProcAddress(module, name) : nullptr;
}

HRESULT CallRegistration(const char* name) {
  auto entry = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(ControlExport(name)));
  return entry ? entry() : E_NOTIMPL;
}

HRESULT CallDllInstall(bool install, const wchar_t* scope) {
  auto entry = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>(reinterpret_cast<void*>(ControlExport("DllInstall")));
  return entry ? entry(install ? TRUE : FALSE, scope) : E_NOTIMPL;
}

namespace {
void Dump(HKEY key, const std::string& prefix, std::vector<std::string>* lines) {
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameSize = 16384, type = 0, size = 0;
    if (::RegEnumValueW(key, i, name, &nameSize, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size + 2);
    nameSize = 16384;
    ::RegEnumValueW(key, i, name, &nameSize, nullptr, &type, data.data(), &size);
    std::string text;
    for (DWORD b = 0; b < size; ++b) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x", data[b]);
      text += hex;
    }
    lines->push_back(prefix + " [" + Narrow(std::wstring(name, nameSize)) + "] " + std::to_string(type) + " " + text);
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD size = 256;
    if (::RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    const std::string path = prefix + "\\" + Narrow(std::wstring(name, size));
    lines->push_back(path);
    if (::RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
      Dump(sub, path, lines);
      ::RegCloseKey(sub);
    }
  }
}
}  // namespace

std::string DumpRegistry(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::vector<std::string> lines;
  Dump(key, "", &lines);
  ::RegCloseKey(key);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& line : lines) out += line + "\n";
  return out;
}

std::wstring BootstrapPageAddressOfThisProgram() {
  wchar_t program[MAX_PATH * 2];
  ::GetModuleFileNameW(nullptr, program, MAX_PATH * 2);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ::GetFileAttributesExW(program, GetFileExInfoStandard, &data);
  wchar_t temp[MAX_PATH + 1];
  DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
  std::wstring path(temp, n);
  path += std::to_wstring(static_cast<unsigned long>(data.ftCreationTime.dwLowDateTime)) + L"1.htm";
  std::replace(path.begin(), path.end(), L'\\', L'/');
  return L"file:///" + path;
}

namespace {
class AddressSite final : public IOleClientSite {
 public:
  explicit AddressSite(std::wstring address) : m_address(std::move(address)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IOleClientSite) return E_NOINTERFACE;
    *ppv = static_cast<IOleClientSite*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --m_refs;
    if (!left) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD which, IMoniker** moniker) override {
    if (!moniker) return E_POINTER;
    *moniker = nullptr;
    if (which != OLEWHICHMK_CONTAINER) return E_NOTIMPL;
    return ::CreateURLMoniker(nullptr, m_address.c_str(), moniker);
  }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override {
    if (container) *container = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

 private:
  ULONG m_refs = 0;
  std::wstring m_address;
};
}  // namespace

ComPtr<IUnknown> MakeSiteAt(const std::wstring& address) { return ComPtr<IUnknown>(new AddressSite(address)); }

ComPtr<EventRecorder> EventRecorder::Create() { return ComPtr<EventRecorder>(new EventRecorder()); }

HRESULT EventRecorder::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IDispatch && riid != IID_IPrinterEvent) return E_NOINTERFACE;
  *ppv = static_cast<IDispatch*>(this);
  AddRef();
  return S_OK;
}

ULONG EventRecorder::Release() {
  ULONG left = --m_refs;
  if (!left) delete this;
  return left;
}

HRESULT EventRecorder::GetTypeInfoCount(UINT* n) {
  if (n) *n = 0;
  return S_OK;
}
HRESULT EventRecorder::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}
HRESULT EventRecorder::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return DISP_E_UNKNOWNNAME; }

HRESULT EventRecorder::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) {
  Json::Value event(Json::objectValue);
  // Arguments arrive last first.
  if (id == DISPID_PRINTEREVENT_ONDONE && params->cArgs == 2) {
    event["event"] = "done";
    event["status"] = params->rgvarg[1].vt == VT_BSTR ? BstrText(params->rgvarg[1].bstrVal) : "";
    event["object"] = VariantToJsonValue(params->rgvarg[0]);
  } else if ((id == DISPID_PRINTEREVENT_ONJOBSTATE || id == DISPID_PRINTEREVENT_ONMESSAGE) && params->cArgs == 1) {
    event["event"] = id == DISPID_PRINTEREVENT_ONJOBSTATE ? "state" : "message";
    event["object"] = VariantToJsonValue(params->rgvarg[0]);
  } else {
    event["event"] = "unexpected";
    event["id"] = static_cast<int>(id);
  }
  event["thread"] = static_cast<Json::UInt>(::GetCurrentThreadId());
  events.push_back(event);
  return S_OK;
}

HRESULT Advise(IUnknown* control, IUnknown* sink, DWORD* cookie) {
  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (FAILED(hr)) return hr;
  ComPtr<IConnectionPoint> point;
  hr = container->FindConnectionPoint(IID_IPrinterEvent, &point);
  if (FAILED(hr)) return hr;
  return point->Advise(sink, cookie);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (done()) return true;
    const DWORD used = ::GetTickCount() - start;
    if (used >= timeoutMs) return done();
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(timeoutMs - used, 100), QS_ALLINPUT);
  }
}

std::string BstrText(BSTR text) { return text ? Narrow(std::wstring_view(text, ::SysStringLen(text))) : std::string(); }
