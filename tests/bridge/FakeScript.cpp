#include "FakeScript.h"

#include <cstdio>

// ---- engine -------------------------------------------------------------------

void FakeEngine::Fail(FakeOp op, std::u16string name, WORD flags, int skip, int times, HRESULT hr) {
  m_rules.push_back({op, std::move(name), flags, skip, times, hr});
}

HRESULT FakeEngine::Check(FakeOp op, const std::u16string& name, WORD flags) {
  for (Rule& r : m_rules) {
    if (r.op != op || (!r.name.empty() && r.name != name) || (r.flags && r.flags != flags)) continue;
    if (r.skip > 0) {
      --r.skip;
      continue;
    }
    if (r.times == 0) continue;
    if (r.times > 0) --r.times;
    return r.hr;
  }
  return S_OK;
}

void FakeEngine::Log(const std::string& what, const std::u16string& name) {
  if (logging) log.push_back(name.empty() ? what : what + " " + Utf16ToUtf8(name));
}

FakeObject* FakeEngine::NewObject() { return new FakeObject(*this, FakeObject::Kind::Object); }
FakeObject* FakeEngine::NewArray() { return new FakeObject(*this, FakeObject::Kind::Array); }
FakeObject* FakeEngine::NewContext() { return new FakeObject(*this, FakeObject::Kind::Context); }

// ---- objects ------------------------------------------------------------------

FakeObject::FakeObject(FakeEngine& engine, Kind kind) : m_engine(engine), m_kind(kind) {
  ++m_engine.live;
  if (kind == Kind::Array) Set(u"length", Variant::FromLong(0));
  if (kind == Kind::Context) {
    Set(u"Object", Variant::FromLong(0));  // stand-ins for the constructor functions
    Set(u"Array", Variant::FromLong(0));
  }
}

FakeObject::~FakeObject() { --m_engine.live; }

void FakeObject::Set(const std::u16string& name, const VARIANT& value) { VariantCopy(&Ensure(name)->value, &value); }

void FakeObject::SetDispatch(const std::u16string& name, IDispatch* value) { Set(name, Variant::FromDispatch(value)); }

const VARIANT* FakeObject::Find(const std::u16string& name) const {
  auto it = m_index.find(name);
  return it == m_index.end() ? nullptr : &m_members[it->second].value;
}

std::vector<std::u16string> FakeObject::Names() const {
  std::vector<std::u16string> names;
  for (const Member& m : m_members) names.push_back(m.name);
  return names;
}

void FakeObject::ClearMembers() {
  std::vector<Member> gone;
  gone.swap(m_members);  // released after the object is consistent again
  m_index.clear();
}

FakeObject::Member* FakeObject::Ensure(const std::u16string& name) {
  auto it = m_index.find(name);
  if (it != m_index.end()) return &m_members[it->second];
  m_index.emplace(name, m_members.size());
  m_members.push_back({name, Variant()});
  return &m_members.back();
}

const FakeObject::Member* FakeObject::ById(DISPID id) const {
  if (id < kFirstId || static_cast<size_t>(id - kFirstId) >= m_members.size()) return nullptr;
  return &m_members[static_cast<size_t>(id - kFirstId)];
}

HRESULT FakeObject::QueryInterface(REFIID riid, void** ppv) {
  *ppv = nullptr;
  if (riid == IID_IDispatchEx) {
    if (HRESULT hr = m_engine.Check(FakeOp::QueryInterface, u"IDispatchEx"); FAILED(hr)) return E_NOINTERFACE;
  } else if (!(riid == IID_IUnknown || riid == IID_IDispatch)) {
    return E_NOINTERFACE;
  }
  *ppv = static_cast<IDispatchEx*>(this);
  AddRef();
  return S_OK;
}

ULONG FakeObject::AddRef() { return ++m_refs; }

ULONG FakeObject::Release() {
  ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT FakeObject::GetTypeInfoCount(UINT* pctinfo) {
  *pctinfo = 0;
  return S_OK;
}

HRESULT FakeObject::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT FakeObject::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) {
  ++m_engine.nameLookups;
  if (!(riid == IID_NULL) || cNames != 1 || lcid != LOCALE_USER_DEFAULT) return E_INVALIDARG;
  std::u16string name(rgszNames[0]);
  m_engine.Log("GetIDsOfNames", name);
  if (HRESULT hr = m_engine.Check(FakeOp::GetIDsOfNames, name); FAILED(hr)) return hr;
  if (m_kind == Kind::Array && name == u"push") {
    rgDispId[0] = kPushId;
    return S_OK;
  }
  auto it = m_index.find(name);
  if (it == m_index.end()) {
    rgDispId[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  rgDispId[0] = kFirstId + static_cast<DISPID>(it->second);
  return S_OK;
}

HRESULT FakeObject::Invoke(DISPID id, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* dp, VARIANT* result,
                           EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (!(riid == IID_NULL) || lcid != LOCALE_USER_DEFAULT || pExcepInfo || puArgErr) return E_INVALIDARG;
  if (id == kPushId && m_kind == Kind::Array) {
    m_engine.Log("push", u"");
    if (HRESULT hr = m_engine.Check(FakeOp::Invoke, u"push", wFlags); FAILED(hr)) return hr;
    if (wFlags != DISPATCH_METHOD || dp->cArgs != 1 || dp->cNamedArgs != 0) return E_INVALIDARG;
    const VARIANT* len = Find(u"length");
    LONG n = len ? len->lVal : 0;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", static_cast<int>(n));
    Set(Utf8ToUtf16(digits), dp->rgvarg[0]);
    Set(u"length", Variant::FromLong(n + 1));
    return S_OK;
  }
  const Member* member = ById(id);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  const std::u16string name = member->name;
  switch (wFlags) {
    case DISPATCH_PROPERTYGET:
      m_engine.Log("GET", name);
      if (HRESULT hr = m_engine.Check(FakeOp::Invoke, name, wFlags); FAILED(hr)) return hr;
      if (!result || dp->cArgs != 0) return E_INVALIDARG;
      return VariantCopy(result, &member->value);
    case DISPATCH_PROPERTYPUT:
    case DISPATCH_PROPERTYPUTREF:
      m_engine.Log(wFlags == DISPATCH_PROPERTYPUT ? "PUT" : "PUTREF", name);
      if (HRESULT hr = m_engine.Check(FakeOp::Invoke, name, wFlags); FAILED(hr)) return hr;
      if (dp->cArgs != 1 || dp->cNamedArgs != 1 || dp->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
        return E_INVALIDARG;
      Set(name, dp->rgvarg[0]);
      return S_OK;
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

HRESULT FakeObject::GetDispID(BSTR bstrName, DWORD grfdex, DISPID* pid) {
  std::u16string name(bstrName, SysStringLen(bstrName));
  m_engine.Log("GetDispID", name);
  if (HRESULT hr = m_engine.Check(FakeOp::GetDispID, name); FAILED(hr)) return hr;
  if (grfdex != (fdexNameCaseSensitive | fdexNameEnsure)) return E_INVALIDARG;
  Ensure(name);
  *pid = kFirstId + static_cast<DISPID>(m_index[name]);
  return S_OK;
}

HRESULT FakeObject::InvokeEx(DISPID id, LCID lcid, WORD wFlags, DISPPARAMS* pdp, VARIANT* pvarRes, EXCEPINFO* pei,
                             IServiceProvider* pspCaller) {
  const Member* member = ById(id);
  if (m_kind != Kind::Context || !member || wFlags != DISPATCH_CONSTRUCT || !pvarRes || pdp->cArgs != 0)
    return DISP_E_MEMBERNOTFOUND;
  m_engine.Log("Construct", member->name);
  if (HRESULT hr = m_engine.Check(FakeOp::InvokeEx, member->name); FAILED(hr)) return hr;
  FakeObject* made = member->name == u"Array" ? m_engine.NewArray() : m_engine.NewObject();
  VariantClear(pvarRes);
  pvarRes->vt = VT_DISPATCH;
  pvarRes->pdispVal = made;  // the caller receives our one reference
  return S_OK;
}

HRESULT FakeObject::DeleteMemberByName(BSTR, DWORD) { return E_NOTIMPL; }
HRESULT FakeObject::DeleteMemberByDispID(DISPID) { return E_NOTIMPL; }
HRESULT FakeObject::GetMemberProperties(DISPID, DWORD, DWORD*) { return E_NOTIMPL; }

HRESULT FakeObject::GetMemberName(DISPID id, BSTR* pbstrName) {
  *pbstrName = nullptr;
  const Member* member = ById(id);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  if (HRESULT hr = m_engine.Check(FakeOp::GetMemberName, member->name); FAILED(hr)) return hr;
  *pbstrName = SysAllocStringU16(member->name);
  return S_OK;
}

HRESULT FakeObject::GetNextDispID(DWORD grfdex, DISPID id, DISPID* pid) {
  if (grfdex != fdexEnumAll) return E_INVALIDARG;
  if (HRESULT hr = m_engine.Check(FakeOp::GetNextDispID, u""); FAILED(hr)) return hr;
  DISPID next = id == DISPID_STARTENUM ? kFirstId : id + 1;
  // Like script engines, an array does not list its "length".
  if (m_kind == Kind::Array && next >= kFirstId && static_cast<size_t>(next - kFirstId) < m_members.size() &&
      m_members[next - kFirstId].name == u"length")
    ++next;
  if (next < kFirstId || static_cast<size_t>(next - kFirstId) >= m_members.size()) {
    *pid = DISPID_STARTENUM;  // the end, as the platform says it
    return S_FALSE;
  }
  *pid = next;
  return S_OK;
}

HRESULT FakeObject::GetNameSpaceParent(IUnknown** ppunk) {
  *ppunk = nullptr;
  return E_NOTIMPL;
}

// ---- description ----------------------------------------------------------------

std::string Describe(const VARIANT& v) {
  char buf[64];
  switch (v.vt) {
    case VT_EMPTY: return "EMPTY";
    case VT_NULL: return "NULL";
    case VT_I4: std::snprintf(buf, sizeof buf, "I4:%d", static_cast<int>(v.lVal)); return buf;
    case VT_UI4: std::snprintf(buf, sizeof buf, "UI4:%u", static_cast<unsigned>(v.ulVal)); return buf;
    case VT_R8: std::snprintf(buf, sizeof buf, "R8:%.17g", v.dblVal); return buf;
    case VT_BOOL: std::snprintf(buf, sizeof buf, "BOOL:%d", static_cast<int>(v.boolVal)); return buf;
    case VT_BSTR:
      return v.bstrVal ? "BSTR:" + Utf16ToUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)))
                       : "BSTR(null)";
    case VT_DISPATCH: {
      if (!v.pdispVal) return "DISPATCH(null)";
      auto* object = static_cast<FakeObject*>(static_cast<IDispatchEx*>(v.pdispVal));
      const bool array = object->GetKind() == FakeObject::Kind::Array;
      std::string out = array ? "Array[" : "Object{";
      bool first = true;
      for (const std::u16string& name : object->Names()) {
        if (array && name == u"length") continue;
        if (!first) out += ",";
        first = false;
        if (!array) out += Utf16ToUtf8(name) + "=";
        out += Describe(*object->Find(name));
      }
      return out + (array ? "]" : "}");
    }
    default: std::snprintf(buf, sizeof buf, "VT%d", static_cast<int>(v.vt)); return buf;
  }
}
