#include "control/win32/WinPrinterControl.h"

#include "control/base/ControlText.h"
#include "control/win32/HostCheck.h"
#include "control/win32/RawJobs.h"
#include "control/win32/WideText.h"
#include "platform/JsonDispatch.h"

namespace {

const wchar_t kWindowClass[] = L"KestrixPrinterControlEvents";
constexpr DWORD kSafeOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

bool RegisterWindowClass(WNDPROC proc) {
  WNDCLASSW wc{};
  if (::GetClassInfoW(ControlModule(), kWindowClass, &wc)) return true;
  wc.lpfnWndProc = proc;
  wc.hInstance = ControlModule();
  wc.lpszClassName = kWindowClass;
  return ::RegisterClassW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

// ---- lifetime ---------------------------------------------------------------------
CWinPrinterControl::CWinPrinterControl() {
  if (RegisterWindowClass(&WindowProc)) {
    m_window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ControlModule(), this);
  }
  m_events = std::make_shared<EventQueue>(m_window, kEventMessage);
  m_rawJobs = std::make_unique<RawJobs>(m_events);
}

CWinPrinterControl::~CWinPrinterControl() {
  // Jobs already asked for still reach the spooler; nobody hears of them.
  m_events->Detach();
  m_rawJobs.reset();
  if (m_window) {
    ::SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
    ::DestroyWindow(m_window);
    // The class points into this DLL, which may be unloaded and loaded
    // elsewhere before the next control; while other controls' windows
    // exist this fails and the class stays.
    ::UnregisterClassW(kWindowClass, ControlModule());
  }
}

HRESULT CWinPrinterControl::Create(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  CWinPrinterControl* control = nullptr;
  try {
    control = new CWinPrinterControl();
  } catch (const std::exception&) {
    return E_OUTOFMEMORY;
  }
  if (!control->m_window) {
    delete control;
    return E_FAIL;
  }
  control->AddRef();
  HRESULT hr = control->QueryInterface(riid, object);
  control->Release();
  return hr;
}

HRESULT CWinPrinterControl::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IPrinterControl)
    *ppv = static_cast<IPrinterControl*>(this);
  else if (riid == IID_IConnectionPointContainer)
    *ppv = static_cast<IConnectionPointContainer*>(this);
  else if (riid == IID_IObjectSafety)
    *ppv = static_cast<IObjectSafety*>(this);
  else if (riid == IID_IObjectWithSite)
    *ppv = static_cast<IObjectWithSite*>(this);
  else if (riid == IID_ISupportErrorInfo)
    *ppv = static_cast<ISupportErrorInfo*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG CWinPrinterControl::AddRef() { return ++m_refs; }

ULONG CWinPrinterControl::Release() {
  ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

// ---- IDispatch -----------------------------------------------------------------------
HRESULT CWinPrinterControl::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT CWinPrinterControl::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_POINTER;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  if (!m_typeInfo) {
    ComPtr<ITypeLib> library;
    HRESULT hr = ::LoadTypeLibEx(ControlModulePath().c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(IID_IPrinterControl, &m_typeInfo);
    if (FAILED(hr)) return hr;
  }
  *ppTInfo = m_typeInfo.Get();
  (*ppTInfo)->AddRef();
  return S_OK;
}

HRESULT CWinPrinterControl::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) {
  ComPtr<ITypeInfo> info;
  HRESULT hr = GetTypeInfo(0, lcid, &info);
  if (FAILED(hr)) return hr;
  return ::DispGetIDsOfNames(info, rgszNames, cNames, rgDispId);
}

HRESULT CWinPrinterControl::Invoke(DISPID dispIdMember, REFIID, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  ComPtr<ITypeInfo> info;
  HRESULT hr = GetTypeInfo(0, lcid, &info);
  if (FAILED(hr)) return hr;
  return info->Invoke(static_cast<IPrinterControl*>(this), dispIdMember, wFlags, pDispParams, pVarResult,
                      pExcepInfo, puArgErr);
}

// ---- where the control may work ------------------------------------------------------
HRESULT CWinPrinterControl::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) {
  if (!supported || !enabled) return E_POINTER;
  *supported = *enabled = 0;
  if (riid != IID_IDispatch && riid != IID_IPrinterControl && riid != IID_IUnknown) return E_NOINTERFACE;
  // Elsewhere the control offers no safety at all.
  if (!RunsInHostProcess()) return S_OK;
  *supported = kSafeOptions;
  *enabled = m_safety;
  return S_OK;
}

HRESULT CWinPrinterControl::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  if (riid != IID_IDispatch && riid != IID_IPrinterControl && riid != IID_IUnknown) return E_NOINTERFACE;
  if ((mask & ~kSafeOptions) != 0) return E_FAIL;
  // Before it is sited the process decides; once sited, the page too.
  if (!RunsInHostProcess() || (m_site && !m_allowed)) return E_FAIL;
  m_safety = (m_safety & ~mask) | (enabled & mask);
  return S_OK;
}

HRESULT CWinPrinterControl::SetSite(IUnknown* site) {
  m_site = site;
  m_allowed = site && RunsInHostProcess() && IsThisHostsBootstrapPage(SiteDocumentAddress(site));
  if (!m_allowed) m_safety = 0;
  return S_OK;
}

HRESULT CWinPrinterControl::GetSite(REFIID riid, void** site) {
  if (!site) return E_POINTER;
  *site = nullptr;
  if (!m_site) return E_FAIL;
  return m_site->QueryInterface(riid, site);
}

HRESULT CWinPrinterControl::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IPrinterControl ? S_OK : S_FALSE;
}

HRESULT CWinPrinterControl::Refuse(const char* member) {
  const std::string text = std::string(member) +
                           ": the Kestrix printing control works only inside the Kestrix host's own page";
  ComPtr<ICreateErrorInfo> create;
  if (SUCCEEDED(::CreateErrorInfo(&create)) && create) {
    std::wstring description = Wide(text);
    create->SetGUID(IID_IPrinterControl);
    create->SetSource(const_cast<wchar_t*>(L"Kestrix.PrinterControl"));
    create->SetDescription(description.data());
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) && info)
      ::SetErrorInfo(0, info);
  }
  return E_ACCESSDENIED;
}

// ---- connection point ---------------------------------------------------------------
HRESULT CWinPrinterControl::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  if (ppEnum) *ppEnum = nullptr;
  return E_NOTIMPL;
}

HRESULT CWinPrinterControl::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (!ppCP) return E_POINTER;
  *ppCP = nullptr;
  if (!Allowed()) return Refuse("FindConnectionPoint");
  if (riid != IID_IPrinterEvent) return CONNECT_E_NOCONNECTION;
  *ppCP = &m_connectionPoint;
  m_connectionPoint.AddRef();
  return S_OK;
}

HRESULT CWinPrinterControl::ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
  *ppv = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

HRESULT CWinPrinterControl::ConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = IID_IPrinterEvent;
  return S_OK;
}

HRESULT CWinPrinterControl::ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (!ppCPC) return E_POINTER;
  *ppCPC = static_cast<IConnectionPointContainer*>(m_owner);
  m_owner->AddRef();
  return S_OK;
}

HRESULT CWinPrinterControl::ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  return m_owner->m_sinks.Advise(pUnkSink, IID_IPrinterEvent, pdwCookie);
}

HRESULT CWinPrinterControl::ConnectionPoint::Unadvise(DWORD dwCookie) { return m_owner->m_sinks.Unadvise(dwCookie); }

HRESULT CWinPrinterControl::ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (ppEnum) *ppEnum = nullptr;
  return E_NOTIMPL;
}

// ---- events -------------------------------------------------------------------------
LRESULT CALLBACK CWinPrinterControl::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  } else if (message == kEventMessage) {
    auto* control = reinterpret_cast<CWinPrinterControl*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (control) {
      control->AddRef();  // a sink may release the control while it handles an event
      control->DeliverQueuedEvents();
      control->Release();
    }
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

std::string CWinPrinterControl::NextJobId(const std::string& prefix) {
  std::string id = prefix + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(m_nextId++);
  m_jobSinks[id] = m_sinks.Empty() ? ComPtr<IDispatch>() : m_sinks.Sinks().back().second;
  return id;
}

std::vector<ComPtr<IDispatch>> CWinPrinterControl::SinksFor(const std::string& jobId) const {
  std::vector<ComPtr<IDispatch>> sinks;
  if (!jobId.empty()) {
    auto it = m_jobSinks.find(jobId);
    if (it != m_jobSinks.end()) {
      if (it->second) sinks.push_back(it->second);
      return sinks;
    }
  }
  for (const auto& entry : m_sinks.Sinks()) sinks.push_back(entry.second);
  return sinks;
}

void CWinPrinterControl::Fire(const std::vector<ComPtr<IDispatch>>& sinks, DISPID id, VARIANT* argsReversed,
                              UINT count) {
  for (const auto& sink : sinks) {
    DISPPARAMS params{argsReversed, nullptr, count, 0};
    VARIANT ignored;
    ::VariantInit(&ignored);
    sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &ignored, nullptr, nullptr);
    ::VariantClear(&ignored);
  }
}

void CWinPrinterControl::DeliverQueuedEvents() {
  for (Json::Value& line : m_events->TakeAll()) {
    if (!line.isObject() || !line["kind"].isString()) continue;
    const std::string kind = line["kind"].asString();
    const char* holder = kind == "state" ? "job" : kind == "message" ? "message" : "result";
    const Json::Value& idValue = line[holder]["id"];
    const std::string jobId = idValue.isString() ? idValue.asString() : std::string();
    const std::vector<ComPtr<IDispatch>> sinks = SinksFor(jobId);
    if (kind == "done") {
      VARIANT args[2];
      ::VariantInit(&args[0]);
      ::VariantInit(&args[1]);
      JsonToResultVariant(line["result"], &args[0]);
      args[1].vt = VT_BSTR;
      args[1].bstrVal = Utf8ToBstr(line["status"].asString());
      Fire(sinks, DISPID_PRINTEREVENT_ONDONE, args, 2);
      ::VariantClear(&args[0]);
      ::VariantClear(&args[1]);
      m_jobSinks.erase(jobId);  // nothing of a job after its OnDone
    } else if (kind == "state" || kind == "message") {
      VARIANT arg;
      ::VariantInit(&arg);
      JsonToResultVariant(line[holder], &arg);
      Fire(sinks, kind == "state" ? DISPID_PRINTEREVENT_ONJOBSTATE : DISPID_PRINTEREVENT_ONMESSAGE, &arg, 1);
      ::VariantClear(&arg);
    }
  }
}

void CWinPrinterControl::Report(const std::string& code, const std::string& text, const std::string& jobId) {
  Json::Value line(Json::objectValue);
  line["kind"] = "message";
  Json::Value& message = line["message"];
  message["type"] = "error";
  message["code"] = code;
  message["message"] = text;
  if (!jobId.empty()) message["id"] = jobId;
  m_events->Push(std::move(line));
}

void CWinPrinterControl::ReportJobFailure(const std::string& type, const std::string& id, const std::string& code,
                                          const std::string& text) {
  Report(code, text, id);
  Json::Value line(Json::objectValue);
  line["kind"] = "done";
  line["status"] = "error";
  Json::Value& result = line["result"];
  result["type"] = type;
  result["id"] = id;
  result["jobId"] = 0;
  result["message"] = text;
  m_events->Push(std::move(line));
}

void CWinPrinterControl::NotBuilt(const char* member) {
  Report("notBuilt", std::string(member) + " is not built in the Windows control yet");
}

void CWinPrinterControl::NotBuiltJob(const char* member, const char* type) {
  ReportJobFailure(type, NextJobId(type), "notBuilt", std::string(member) + " is not built in the Windows control yet");
}
