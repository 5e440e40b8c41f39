#include "platform/JsonDispatch.h"

#include <atomic>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Member ids are 1-based positions in the member list (0 is DISPID_VALUE).
class JsonDispatch final : public IDispatchEx {
 public:
  explicit JsonDispatch(const Json::Value& value) : m_value(value) {
    if (m_value.isArray()) {
      m_names.push_back(OLESTR("length"));
      for (Json::ArrayIndex i = 0; i < m_value.size(); ++i) m_names.push_back(Utf8ToUtf16(std::to_string(i)));
    } else if (m_value.isObject()) {
      for (const std::string& name : m_value.getMemberNames()) {
        m_names.push_back(Utf8ToUtf16(name));
        m_keys.push_back(name);
      }
    } else {
      m_value = Json::Value(Json::objectValue);
    }
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IDispatchEx) {
      *ppv = static_cast<IDispatchEx*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }

  HRESULT GetTypeInfoCount(UINT* n) override {
    if (n) *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = Find(names[i] ? OleStringView(names[i]) : OleStringView());
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* ei,
                 UINT*) override {
    return InvokeEx(id, lcid, flags, params, result, ei, nullptr);
  }

  HRESULT GetDispID(BSTR name, DWORD, DISPID* id) override {
    if (!id) return E_POINTER;
    *id = Find(name ? OleStringView(name, SysStringLen(name)) : OleStringView());
    return *id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
  }
  HRESULT InvokeEx(DISPID id, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   IServiceProvider*) override {
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;  // read-only
    if (id < 1 || static_cast<size_t>(id) > m_names.size()) return DISP_E_MEMBERNOTFOUND;
    if (!result) return S_OK;
    VariantClear(result);
    if (m_value.isArray()) {
      if (id == 1) {
        result->vt = VT_I4;
        result->lVal = static_cast<LONG>(m_value.size());
      } else {
        *result = JsonToAutomation(m_value[static_cast<Json::ArrayIndex>(id - 2)]);
      }
    } else {
      *result = JsonToAutomation(m_value[m_keys[static_cast<size_t>(id - 1)]]);
    }
    return S_OK;
  }
  HRESULT DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
  HRESULT DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
  HRESULT GetMemberProperties(DISPID, DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT GetMemberName(DISPID id, BSTR* name) override {
    if (!name) return E_POINTER;
    *name = nullptr;
    if (id < 1 || static_cast<size_t>(id) > m_names.size()) return DISP_E_MEMBERNOTFOUND;
    *name = SysAllocStringU16(m_names[static_cast<size_t>(id - 1)]);
    return S_OK;
  }
  HRESULT GetNextDispID(DWORD, DISPID id, DISPID* next) override {
    if (!next) return E_POINTER;
    DISPID candidate = id == DISPID_STARTENUM ? 1 : id + 1;
    if (candidate < 1 || static_cast<size_t>(candidate) > m_names.size()) {
      *next = DISPID_UNKNOWN;
      return S_FALSE;
    }
    *next = candidate;
    return S_OK;
  }
  HRESULT GetNameSpaceParent(IUnknown** parent) override {
    if (parent) *parent = nullptr;
    return E_NOTIMPL;
  }

 private:
  ~JsonDispatch() = default;

  DISPID Find(OleStringView name) const {
    if (m_ids.empty())
      for (size_t i = 0; i < m_names.size(); ++i) m_ids.emplace(m_names[i], static_cast<DISPID>(i + 1));
    auto it = m_ids.find(OleString(name));
    return it == m_ids.end() ? DISPID_UNKNOWN : it->second;
  }

  Json::Value m_value;
  std::vector<OleString> m_names;
  std::vector<std::string> m_keys;  // object member names, UTF-8
  mutable std::unordered_map<OleString, DISPID> m_ids;  // built on the first lookup
  std::atomic<ULONG> m_refs{1};
};

}  // namespace

IDispatch* CreateJsonDispatch(const Json::Value& value) { return new JsonDispatch(value); }

VARIANT JsonToAutomation(const Json::Value& value) {
  VARIANT v;
  VariantInit(&v);
  switch (value.type()) {
    case Json::nullValue: v.vt = VT_NULL; break;
    case Json::intValue:
      if (value.isInt()) {
        v.vt = VT_I4;
        v.lVal = value.asInt();
      } else {
        v.vt = VT_R8;
        v.dblVal = value.asDouble();
      }
      break;
    case Json::uintValue:
      if (value.isUInt()) {
        v.vt = VT_UI4;
        v.ulVal = value.asUInt();
      } else {
        v.vt = VT_R8;
        v.dblVal = value.asDouble();
      }
      break;
    case Json::realValue: v.vt = VT_R8; v.dblVal = value.asDouble(); break;
    case Json::stringValue: v.vt = VT_BSTR; v.bstrVal = SysAllocStringU16(Utf8ToUtf16(value.asString())); break;
    case Json::booleanValue: v.vt = VT_BOOL; v.boolVal = value.asBool() ? VARIANT_TRUE : VARIANT_FALSE; break;
    case Json::arrayValue:
    case Json::objectValue: v.vt = VT_DISPATCH; v.pdispVal = CreateJsonDispatch(value); break;
  }
  return v;
}
