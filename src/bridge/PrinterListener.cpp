#include "bridge/PrinterListener.h"

#include "platform/CodePage.h"
#include "platform/JsonText.h"
#include "platform/Kernel.h"

namespace {

// Read by name: GetIDsOfNames with the one name, then a property get.
bool ReadProperty(IDispatch* object, const OleString& name, VARIANT* out) {
  if (!object) return false;
  BSTR text = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
  if (!text) return false;
  Bstr owned = Bstr::Attach(text);
  LPOLESTR names[1] = {text};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  if (FAILED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, out, nullptr,
                            nullptr))) {
    VariantClear(out);
    return false;
  }
  return true;
}

// The members of a job object that make up its record, in this order.
constexpr const OLECHAR* kJobMembers[] = {
    OLESTR("document"), OLESTR("machineName"), OLESTR("position"), OLESTR("pagesPrinted"), OLESTR("printerName"), OLESTR("size"),
    OLESTR("statusText"), OLESTR("submittedAt"), OLESTR("totalPages"), OLESTR("type"), OLESTR("userName"), OLESTR("status"),
};

// The dispatch ids of IPrinterEvent as the control's type library gives them.
struct EventEntry {
  const OLECHAR* name;
  DISPID id;
};
constexpr EventEntry kEvents[] = {
    {OLESTR("OnDone"), DISPID_PRINTEREVENT_ONDONE},
    {OLESTR("OnJobState"), DISPID_PRINTEREVENT_ONJOBSTATE},
    {OLESTR("OnMessage"), DISPID_PRINTEREVENT_ONMESSAGE},
};

// Names resolve regardless of case, as through a type library.
bool SameNameIgnoringCase(const OLECHAR* a, const OLECHAR* b) {
  auto lower = [](OLECHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<OLECHAR>(c + 32) : c; };
  for (; *a && *b; ++a, ++b)
    if (lower(*a) != lower(*b)) return false;
  return *a == *b;
}

// An argument as a string: by reference or not; empty and null are no text.
HRESULT ArgumentText(const VARIANT& arg, Bstr& out) {
  const VARIANT* v = &arg;
  if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal) v = arg.pvarVal;
  if (v->vt == (VT_BYREF | VT_BSTR)) {
    BSTR* s = static_cast<BSTR*>(v->byref);
    if (s && *s) out = Bstr(OleStringView(*s, SysStringLen(*s)));
    return S_OK;
  }
  if (v->vt == VT_EMPTY || v->vt == VT_NULL) return S_OK;
  Variant text;
  if (FAILED(VariantChangeType(&text, v, 0, VT_BSTR))) return DISP_E_TYPEMISMATCH;
  out = Bstr::Attach(text.bstrVal);
  text.vt = VT_EMPTY;
  return S_OK;
}

// An argument as an object: an object, an unknown that is one, or none.
HRESULT ArgumentObject(const VARIANT& arg, ComPtr<IDispatch>& out) {
  const VARIANT* v = &arg;
  if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal) v = arg.pvarVal;
  IUnknown* unknown = nullptr;
  switch (v->vt) {
    case VT_EMPTY: case VT_NULL: return S_OK;
    case VT_DISPATCH: case VT_UNKNOWN: unknown = v->punkVal; break;
    case VT_BYREF | VT_DISPATCH: case VT_BYREF | VT_UNKNOWN:
      unknown = v->byref ? *static_cast<IUnknown**>(v->byref) : nullptr;
      break;
    default: return DISP_E_TYPEMISMATCH;
  }
  if (!unknown) return S_OK;
  if ((v->vt & ~VT_BYREF) == VT_DISPATCH) {
    out = static_cast<IDispatch*>(unknown);
    return S_OK;
  }
  IDispatch* object = nullptr;
  if (FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&object))) || !object)
    return DISP_E_TYPEMISMATCH;
  out = ComPtr<IDispatch>::Attach(object);
  return S_OK;
}

}  // namespace

std::string ReadStringProperty(IDispatch* object, const OleString& name) {
  Variant value;
  if (!ReadProperty(object, name, &value) || value.vt != VT_BSTR || !value.bstrVal) return std::string();
  return WideToAnsi(OleStringView(value.bstrVal, SysStringLen(value.bstrVal)));
}

CPrinterListener* CPrinterListener::CreateInstance() { return new CPrinterListener(); }

void CPrinterListener::SetEventNames(IDispatch* callback, ListenerOwner* proxy) {
  m_pProxy = proxy;
  m_doneEvent = ReadStringProperty(callback, OLESTR("done"));
  m_stateEvent = ReadStringProperty(callback, OLESTR("onState"));
  m_listenerEvent = ReadStringProperty(callback, OLESTR("listener"));
}

// ---- IUnknown ----------------------------------------------------------------

HRESULT CPrinterListener::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IPrinterEvent) {
    *ppv = static_cast<IPrinterEvent*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CPrinterListener::AddRef() { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG CPrinterListener::Release() {
  ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

// ---- IDispatch: a fixed table instead of type information ---------------------

HRESULT CPrinterListener::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

HRESULT CPrinterListener::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT CPrinterListener::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                        DISPID* rgDispId) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (cNames == 0) return S_OK;
  if (!rgszNames || !rgDispId) return E_POINTER;
  for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
  if (rgszNames[0]) {
    for (const EventEntry& e : kEvents) {
      if (SameNameIgnoringCase(rgszNames[0], e.name)) rgDispId[0] = e.id;
    }
  }
  // The table knows no argument names.
  return rgDispId[0] != DISPID_UNKNOWN && cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT CPrinterListener::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                 DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                 UINT* puArgErr) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  UINT expected;
  switch (dispIdMember) {
    case DISPID_PRINTEREVENT_ONDONE: expected = 2; break;
    case DISPID_PRINTEREVENT_ONJOBSTATE: case DISPID_PRINTEREVENT_ONMESSAGE: expected = 1; break;
    default: return DISP_E_MEMBERNOTFOUND;
  }
  if (!(wFlags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (pDispParams && pDispParams->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
  const UINT count = pDispParams ? pDispParams->cArgs : 0;
  if (count != expected) return DISP_E_BADPARAMCOUNT;
  if (!pDispParams->rgvarg) return E_INVALIDARG;
  const VARIANT* args = pDispParams->rgvarg;  // the last argument first
  if (pVarResult) VariantInit(pVarResult);

  if (dispIdMember == DISPID_PRINTEREVENT_ONDONE) {
    Bstr text;
    ComPtr<IDispatch> object;
    if (FAILED(ArgumentText(args[1], text))) {
      if (puArgErr) *puArgErr = 1;
      return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(ArgumentObject(args[0], object))) {
      if (puArgErr) *puArgErr = 0;
      return DISP_E_TYPEMISMATCH;
    }
    return OnDone(text.Get(), object.Get());
  }
  ComPtr<IDispatch> object;
  if (FAILED(ArgumentObject(args[0], object))) {
    if (puArgErr) *puArgErr = 0;
    return DISP_E_TYPEMISMATCH;
  }
  return dispIdMember == DISPID_PRINTEREVENT_ONJOBSTATE ? OnJobState(object.Get()) : OnMessage(object.Get());
}

// ---- IPrinterEvent -------------------------------------------------------------
// The control must never see a C++ exception: a conversion that gives up
// (out of memory) drops the message and still answers S_OK.

Json::Value CPrinterListener::ObjectToJson(IDispatch* object) {
  Variant v = Variant::FromDispatch(object);
  return m_pProxy->Bridge().VariantToJson(v);
}

HRESULT CPrinterListener::OnDone(BSTR text, IDispatch* object) {
  if (!m_pProxy) return S_OK;
  try {
    Json::Value message(Json::objectValue);
    Json::Value params(Json::arrayValue);
    if (!m_listenerEvent.empty()) {
      Json::Value result = ObjectToJson(object);
      if (result.isObject() && result.isMember("type")) {
        params[0] = result;
        message["event"] = m_listenerEvent;
      }
    } else if (!m_doneEvent.empty()) {
      params[0] = text ? WideToAnsi(OleStringView(text, SysStringLen(text))) : std::string();
      params[1] = ObjectToJson(object);
      message["event"] = m_doneEvent;
    }
    if (message.isMember("event")) {
      message["params"] = params;
      message["tab"] = m_pProxy->GetTab();
      m_pProxy->WriteMessage(WriteCompactJson(message));
    }
  } catch (const std::exception&) {
    OutputDebugStringA("OnDone: the event could not be converted; dropped\n");
  }
  return S_OK;
}

HRESULT CPrinterListener::OnJobState(IDispatch* job) {
  if (!m_pProxy || (m_stateEvent.empty() && m_listenerEvent.empty())) return S_OK;
  try {
    Json::Value record(Json::objectValue);
    for (const OLECHAR* member : kJobMembers) {
      Variant value;
      if (!ReadProperty(job, member, &value)) continue;
      record[WideToAnsi(member)] = m_pProxy->Bridge().VariantToJson(value);
    }
    Json::Value message(Json::objectValue);
    message["event"] = m_stateEvent.empty() ? m_listenerEvent : m_stateEvent;
    message["params"] = Json::Value(Json::arrayValue);
    message["params"].append(record);
    message["tab"] = m_pProxy->GetTab();
    m_pProxy->WriteMessage(WriteStyledJson(message));
  } catch (const std::exception&) {
    OutputDebugStringA("OnJobState: the event could not be converted; dropped\n");
  }
  return S_OK;
}

HRESULT CPrinterListener::OnMessage(IDispatch* object) {
  if (!m_pProxy) return S_OK;
  try {
    Json::Value message = ObjectToJson(object);
    // Only an object can carry "tab"; an array (an object with "length") or
    // nothing at all is not a message the extension can route, so it is dropped.
    if (!message.isObject()) {
      OutputDebugStringA("OnMessage: the control passed no object; dropped\n");
      return S_OK;
    }
    message["tab"] = m_pProxy->GetTab();
    m_pProxy->WriteMessage(WriteStyledJson(message));
  } catch (const std::exception&) {
    OutputDebugStringA("OnMessage: the event could not be converted; dropped\n");
  }
  return S_OK;
}
