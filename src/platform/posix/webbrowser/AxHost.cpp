#include "platform/webbrowser/AxHost.h"

#include <map>
#include <cstring>
#include <mutex>

namespace {
struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};
std::mutex g_classesMu;
std::map<GUID, ControlFactory, GuidLess>& Classes() {
  static std::map<GUID, ControlFactory, GuidLess> classes;
  return classes;
}
}  // namespace

// Defined by the browser stand-in: registers the WebBrowser class.
void RegisterWebBrowserClass();

void RegisterControlClass(const CLSID& clsid, ControlFactory factory) {
  std::lock_guard lock(g_classesMu);
  Classes()[clsid] = std::move(factory);
}

void UnregisterControlClass(const CLSID& clsid) {
  std::lock_guard lock(g_classesMu);
  Classes().erase(clsid);
}

HRESULT CreateControlInstance(const CLSID& clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ControlFactory factory;
  {
    std::lock_guard lock(g_classesMu);
    auto it = Classes().find(clsid);
    if (it == Classes().end()) return REGDB_E_CLASSNOTREG;
    factory = it->second;
  }
  IUnknown* instance = nullptr;
  HRESULT hr = factory(&instance);
  if (FAILED(hr) || !instance) return FAILED(hr) ? hr : E_FAIL;
  hr = instance->QueryInterface(iid, out);
  instance->Release();
  return hr;
}

BOOL AtlAxWinInit() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterWebBrowserClass(); });
  return TRUE;
}

std::string StringFromCLSID(const CLSID& clsid) { return GuidToString(clsid); }

HRESULT CAxWindowT::CreateControl(const std::string& clsidText, IUnknown*, IUnknown** container) {
  if (container) *container = nullptr;
  AtlAxWinInit();
  CLSID clsid;
  if (!GuidFromString(clsidText, &clsid)) return E_INVALIDARG;
  IUnknown* control = nullptr;
  HRESULT hr = CreateControlInstance(clsid, IID_IUnknown, reinterpret_cast<void**>(&control));
  if (FAILED(hr)) return hr;
  if (m_control) m_control->Release();
  m_control = control;
  return S_OK;
}

HRESULT CAxWindowT::QueryControl(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!m_control) return E_FAIL;
  return m_control->QueryInterface(iid, out);
}

LRESULT CAxWindowT::DefWindowProc(UINT message, WPARAM, LPARAM) {
  if (message == WM_DESTROY && m_control) {
    // The hosted control goes with the window.
    m_control->Release();
    m_control = nullptr;
  }
  return 0;
}

CAxWindowT::~CAxWindowT() {
  if (m_control) m_control->Release();
}
