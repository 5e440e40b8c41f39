#include "platform/JsonDispatch.h"

#include <cctype>
#include <limits>


namespace {
std::string BstrText(BSTR s) { return s ? Utf16ToUtf8(OleStringView(s, SysStringLen(s))) : std::string(); }
BSTR NewBstr(const std::string& text) { return SysAllocStringU16(Utf8ToUtf16(text)); }

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// "0", "17": an array index written the canonical way (no sign, no leading zero).
bool ParseIndex(const std::string& name, Json::ArrayIndex* index) {
  if (name.empty() || name.size() > 10) return false;
  if (name.size() > 1 && name[0] == '0') return false;
  uint64_t v = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v >= std::numeric_limits<Json::ArrayIndex>::max()) return false;
  *index = static_cast<Json::ArrayIndex>(v);
  return true;
}

void ScalarToVariant(const Json::Value& value, VARIANT* out) {
  switch (value.type()) {
    case Json::booleanValue:
      out->vt = VT_BOOL;
      out->boolVal = value.asBool() ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case Json::intValue:
    case Json::uintValue:
      if (value.isInt()) {
        out->vt = VT_I4;
        out->lVal = value.asInt();
      } else {
        out->vt = VT_R8;
        out->dblVal = value.asDouble();
      }
      return;
    case Json::realValue:
      out->vt = VT_R8;
      out->dblVal = value.asDouble();
      return;
    case Json::stringValue:
      out->vt = VT_BSTR;
      out->bstrVal = NewBstr(value.asString());
      return;
    default:
      out->vt = VT_NULL;
      return;
  }
}
}  // namespace

CJsonDispatch::CJsonDispatch(std::shared_ptr<const Json::Value> root, const Json::Value* node)
    : m_root(std::move(root)), m_node(node) {
  if (m_node->isObject()) m_names = m_node->getMemberNames();
}

ComPtr<IDispatch> CJsonDispatch::Create(Json::Value value) {
  auto root = std::make_shared<const Json::Value>(std::move(value));
  const Json::Value* node = root.get();
  return ComPtr<IDispatch>(new CJsonDispatch(std::move(root), node));
}

void JsonToResultVariant(const Json::Value& value, VARIANT* out) {
  VariantClear(out);
  if (value.isObject() || value.isArray()) {
    ComPtr<IDispatch> object = CJsonDispatch::Create(value);
    out->vt = VT_DISPATCH;
    out->pdispVal = object.Detach();
    return;
  }
  ScalarToVariant(value, out);
}

HRESULT CJsonDispatch::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IDispatchEx) {
    *ppv = static_cast<IDispatchEx*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CJsonDispatch::AddRef() { return ++m_refs; }

ULONG CJsonDispatch::Release() {
  ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT CJsonDispatch::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

HRESULT CJsonDispatch::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return E_NOTIMPL;
}

DISPID CJsonDispatch::FindName(const std::string& name, bool caseInsensitive) const {
  if (m_node->isArray()) {
    if (name == "length" || (caseInsensitive && EqualNoCase(name, "length")))
      return static_cast<DISPID>(m_node->size()) + 1;
    Json::ArrayIndex index;
    if (ParseIndex(name, &index) && index < m_node->size()) return static_cast<DISPID>(index) + 1;
    return DISPID_UNKNOWN;
  }
  for (size_t i = 0; i < m_names.size(); ++i) {
    if (m_names[i] == name || (caseInsensitive && EqualNoCase(m_names[i], name)))
      return static_cast<DISPID>(i) + 1;
  }
  // Not found as it is stored: perhaps by the name GetMemberName lists. Those
  // that differ (not valid UTF-8) are worked out once, on the first miss, so
  // that making a wrapper, which happens on every read of a member object,
  // costs no conversions.
  if (!m_reportedNamesKnown) {
    m_reportedNamesKnown = true;
    for (size_t i = 0; i < m_names.size(); ++i) {
      std::string reported = Utf16ToUtf8(Utf8ToUtf16(m_names[i]));
      if (reported != m_names[i]) m_reportedNames.emplace_back(std::move(reported), static_cast<DISPID>(i) + 1);
    }
  }
  for (const auto& [reported, id] : m_reportedNames) {
    if (reported == name || (caseInsensitive && EqualNoCase(reported, name))) return id;
  }
  return DISPID_UNKNOWN;
}

const Json::Value* CJsonDispatch::MemberById(DISPID id) const {
  if (id < 1) return nullptr;
  size_t index = static_cast<size_t>(id) - 1;
  if (m_node->isArray()) return index < m_node->size() ? &(*m_node)[static_cast<Json::ArrayIndex>(index)] : nullptr;
  if (index < m_names.size()) return m_node->find(m_names[index].data(), m_names[index].data() + m_names[index].size());
  return nullptr;
}

bool CJsonDispatch::IsLengthId(DISPID id) const {
  return m_node->isArray() && id == static_cast<DISPID>(m_node->size()) + 1;
}

HRESULT CJsonDispatch::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
  if (!rgszNames || !rgDispId) return E_POINTER;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < cNames; ++i) {
    // Names after the first would be argument names; this object has no methods.
    DISPID id = DISPID_UNKNOWN;
    if (i == 0 && rgszNames[0]) {
      OleStringView wide(rgszNames[0]);
      id = FindName(Utf16ToUtf8(wide), false);
    }
    rgDispId[i] = id;
    if (id == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT CJsonDispatch::GetDispID(BSTR bstrName, DWORD grfdex, DISPID* pid) {
  if (!pid) return E_POINTER;
  *pid = FindName(BstrText(bstrName), (grfdex & fdexNameCaseInsensitive) != 0);
  return *pid == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
}

HRESULT CJsonDispatch::Get(DISPID id, WORD flags, VARIANT* result) {
  if (!(flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD))) return DISP_E_MEMBERNOTFOUND;
  VARIANT scratch;
  VariantInit(&scratch);
  VARIANT* out = result ? result : &scratch;
  if (id == DISPID_VALUE) {
    // The value of the object itself: its JSON text, or the scalar it wraps.
    if (m_node->isObject() || m_node->isArray()) {
      Json::StreamWriterBuilder writer;
      writer["indentation"] = "";
      writer["emitUTF8"] = true;
      JsonToResultVariant(Json::Value(Json::writeString(writer, *m_node)), out);
    } else {
      JsonToResultVariant(*m_node, out);
    }
  } else if (IsLengthId(id)) {
    VariantClear(out);
    out->vt = VT_I4;
    out->lVal = static_cast<LONG>(m_node->size());
  } else if (const Json::Value* member = MemberById(id)) {
    if (member->isObject() || member->isArray()) {
      VariantClear(out);
      out->vt = VT_DISPATCH;
      out->pdispVal = new CJsonDispatch(m_root, member);
      out->pdispVal->AddRef();
    } else {
      JsonToResultVariant(*member, out);
    }
  } else {
    return DISP_E_MEMBERNOTFOUND;
  }
  VariantClear(&scratch);
  return S_OK;
}

HRESULT CJsonDispatch::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                              VARIANT* pVarResult, EXCEPINFO*, UINT*) {
  if (pDispParams && pDispParams->cArgs > 0) return DISP_E_BADPARAMCOUNT;
  return Get(dispIdMember, wFlags, pVarResult);
}

HRESULT CJsonDispatch::InvokeEx(DISPID id, LCID lcid, WORD wFlags, DISPPARAMS* pdp, VARIANT* pvarRes, EXCEPINFO* pei,
                                IServiceProvider*) {
  return Invoke(id, IID_NULL, lcid, wFlags, pdp, pvarRes, pei, nullptr);
}

HRESULT CJsonDispatch::DeleteMemberByName(BSTR, DWORD) { return S_FALSE; }
HRESULT CJsonDispatch::DeleteMemberByDispID(DISPID) { return S_FALSE; }

HRESULT CJsonDispatch::GetMemberProperties(DISPID, DWORD, DWORD* pgrfdex) {
  if (pgrfdex) *pgrfdex = 0;
  return E_NOTIMPL;
}

HRESULT CJsonDispatch::GetMemberName(DISPID id, BSTR* pbstrName) {
  if (!pbstrName) return E_POINTER;
  *pbstrName = nullptr;
  if (IsLengthId(id)) {
    *pbstrName = NewBstr("length");
    return S_OK;
  }
  if (!MemberById(id)) return DISP_E_MEMBERNOTFOUND;
  std::string name = m_node->isArray() ? std::to_string(id - 1) : m_names[static_cast<size_t>(id) - 1];
  *pbstrName = NewBstr(name);
  return S_OK;
}

HRESULT CJsonDispatch::GetNextDispID(DWORD, DISPID id, DISPID* pid) {
  if (!pid) return E_POINTER;
  // Members (or indexes) in order; an array's "length" is not enumerated, as in script.
  const DISPID count = static_cast<DISPID>(m_node->isArray() ? m_node->size() : m_names.size());
  DISPID next = (id == DISPID_STARTENUM) ? 1 : id + 1;
  if (id < DISPID_STARTENUM || id == DISPID_VALUE || next > count) {
    *pid = DISPID_STARTENUM;
    return S_FALSE;
  }
  *pid = next;
  return S_OK;
}

HRESULT CJsonDispatch::GetNameSpaceParent(IUnknown** ppunk) {
  if (ppunk) *ppunk = nullptr;
  return E_NOTIMPL;
}
