#include "platform/webbrowser/AxHost.h"

#include <mutex>

// Defined by the browser stand-in: registers the WebBrowser class.
void RegisterWebBrowserClass();

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
