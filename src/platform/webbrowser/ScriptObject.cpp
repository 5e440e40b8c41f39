#include "platform/webbrowser/ScriptObject.h"

#include <cstring>
#include <new>

#include "platform/webbrowser/Cesu8.h"

namespace {

constexpr DISPID DISPID_THIS = -613;

// Fills the exception information of a failed call (caller frees the texts).
void FillException(EXCEPINFO* ei, const std::string& message) {
  if (!ei) return;
  std::memset(ei, 0, sizeof *ei);
  ei->bstrSource = SysAllocStringU16(u"script");
  ei->bstrDescription = SysAllocStringU16(Utf8ToUtf16(message));
  ei->scode = DISP_E_EXCEPTION;
}

bool EqualsNoCaseAscii(const char* a, size_t an, const char* b, size_t bn) {
  if (an != bn) return false;
  for (size_t i = 0; i < an; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool AppendId(std::vector<DISPID>* list, DISPID id) noexcept {
  try {
    list->push_back(id);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

ScriptObject* ScriptObject::New(std::shared_ptr<ScriptEngine> engine, uint32_t key) noexcept {
  auto* object = new (std::nothrow) ScriptObject(engine, key);
  if (!object && engine) engine->Drop(key);
  return object;
}

ScriptObject::~ScriptObject() {
  if (m_engine) m_engine->Drop(m_key);
}

HRESULT ScriptObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IDispatchEx) {
    *ppv = static_cast<IDispatchEx*>(this);
  } else if (riid == IID_IScriptObjectWrapper) {
    *ppv = this;
  } else if (riid == IID_IHTMLObjectElement && ObjectElement()) {
    *ppv = static_cast<IHTMLObjectElement*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG ScriptObject::AddRef() { return ++m_ref; }

ULONG ScriptObject::Release() {
  ULONG r = --m_ref;
  if (r == 0) delete this;
  return r;
}

HRESULT ScriptObject::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

HRESULT ScriptObject::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return E_NOTIMPL;
}

HRESULT ScriptObject::HasMember(const std::string& name, bool* exists) {
  *exists = false;
  auto body = [this, &name, exists](duk_context* ctx) {
    m_engine->PushKept(ctx, m_key);
    *exists = duk_is_object(ctx, -1) && duk_has_prop_lstring(ctx, -1, name.data(), name.size());
    duk_pop(ctx);
  };
  return m_engine->Run(body);
}

HRESULT ScriptObject::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
  if (!rgszNames || !rgDispId) return E_POINTER;
  if (cNames == 0) return E_INVALIDARG;
  for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
  if (!rgszNames[0]) return E_INVALIDARG;
  try {
    std::u16string name(rgszNames[0]);
    bool exists = false;
    HRESULT hr = HasMember(Utf16ToCesu8(name), &exists);
    if (hr == E_UNEXPECTED) return hr;
    if (FAILED(hr) || !exists) return DISP_E_UNKNOWNNAME;
    DISPID id = m_engine->IdOfName(name);
    if (id == DISPID_UNKNOWN) return E_OUTOFMEMORY;
    rgDispId[0] = id;
    // Names of parameters cannot be matched: script functions take positions.
    return cNames > 1 ? DISP_E_UNKNOWNNAME : S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ScriptObject::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                             VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (puArgErr) *puArgErr = 0;
  return InvokeCore(dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo);
}

HRESULT ScriptObject::InvokeEx(DISPID id, LCID, WORD wFlags, DISPPARAMS* pdp, VARIANT* pvarRes, EXCEPINFO* pei,
                               IServiceProvider*) {
  return InvokeCore(id, wFlags, pdp, pvarRes, pei);
}

HRESULT ScriptObject::InvokeCore(DISPID id, WORD flags, DISPPARAMS* dp, VARIANT* result, EXCEPINFO* excep) {
  if (result) VariantInit(result);
  if (excep) std::memset(excep, 0, sizeof *excep);
  if (!m_engine->IsAlive()) return E_UNEXPECTED;
  try {
    const bool isValue = id == DISPID_VALUE;
    std::u16string wideName;
    if (!isValue && !m_engine->NameOfId(id, &wideName)) return DISP_E_MEMBERNOTFOUND;
    const std::string name = Utf16ToCesu8(wideName);

    UINT cArgs = dp ? dp->cArgs : 0, cNamed = dp ? dp->cNamedArgs : 0;
    if (cNamed > cArgs || (cArgs && !dp->rgvarg) || (cNamed && !dp->rgdispidNamedArgs)) return E_INVALIDARG;
    const VARIANT* putValue = nullptr;
    const VARIANT* thisValue = nullptr;
    for (UINT k = 0; k < cNamed; ++k) {
      if (dp->rgdispidNamedArgs[k] == DISPID_PROPERTYPUT) putValue = &dp->rgvarg[k];
      else if (dp->rgdispidNamedArgs[k] == DISPID_THIS) thisValue = &dp->rgvarg[k];
      else return DISP_E_PARAMNOTFOUND;
    }
    // Positional arguments follow the named ones, the last argument first.
    const UINT positional = cArgs - cNamed;
    const VARIANT* args = cArgs ? dp->rgvarg + cNamed : nullptr;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (put && !putValue) {
      if (positional == 0) return DISP_E_PARAMNOTFOUND;
      putValue = &args[0];
    }

    HRESULT status = S_OK;
    ScriptEngine* engine = m_engine.get();
    const uint32_t key = m_key;
    auto pushArgs = [engine, args, positional](duk_context* ctx) {
      for (UINT i = positional; i-- > 0;) engine->PushVariant(ctx, args[i]);
    };
    auto pushMember = [&name, isValue](duk_context* ctx) {  // [obj] -> [obj member]
      if (isValue)
        duk_dup(ctx, -1);
      else
        duk_get_prop_lstring(ctx, -1, name.data(), name.size());
    };
    auto body = [&](duk_context* ctx) {
      duk_require_stack(ctx, static_cast<duk_idx_t>(positional) + 8);
      engine->PushKept(ctx, key);
      if (!duk_is_object(ctx, -1)) {
        status = E_UNEXPECTED;
        return;
      }
      if (flags & DISPATCH_CONSTRUCT) {
        pushMember(ctx);
        if (!duk_is_constructable(ctx, -1)) {
          status = DISP_E_TYPEMISMATCH;
          return;
        }
        pushArgs(ctx);
        duk_new(ctx, static_cast<duk_idx_t>(positional));
        if (result) engine->ToVariant(ctx, -1, result);
        return;
      }
      if (put) {
        if (isValue) {
          status = DISP_E_MEMBERNOTFOUND;
          return;
        }
        if (name == "__proto__") {
          // A member of that name from outside stays a member: it must not
          // reach the inherited setter and change the object's prototype.
          duk_push_lstring(ctx, name.data(), name.size());
          engine->PushVariant(ctx, *putValue);
          duk_def_prop(ctx, -3, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE | DUK_DEFPROP_SET_ENUMERABLE |
                                    DUK_DEFPROP_SET_CONFIGURABLE);
          return;
        }
        engine->PushVariant(ctx, *putValue);
        duk_put_prop_lstring(ctx, -2, name.data(), name.size());
        return;
      }
      if (flags & DISPATCH_METHOD) {
        pushMember(ctx);
        if (duk_is_callable(ctx, -1)) {
          if (thisValue)
            engine->PushVariant(ctx, *thisValue);
          else if (isValue)
            duk_push_undefined(ctx);
          else
            duk_dup(ctx, -2);
          pushArgs(ctx);
          duk_call_method(ctx, static_cast<duk_idx_t>(positional));
          if (result) engine->ToVariant(ctx, -1, result);
          return;
        }
        if (!(flags & DISPATCH_PROPERTYGET)) {
          status = DISP_E_MEMBERNOTFOUND;
          return;
        }
        duk_pop(ctx);  // read as a property below
      }
      if (flags & DISPATCH_PROPERTYGET) {
        if (isValue || !duk_has_prop_lstring(ctx, -1, name.data(), name.size())) {
          status = DISP_E_MEMBERNOTFOUND;
          return;
        }
        duk_get_prop_lstring(ctx, -1, name.data(), name.size());
        if (result) engine->ToVariant(ctx, -1, result);
        return;
      }
      status = E_INVALIDARG;
    };
    std::string error;
    HRESULT hr = engine->Run(body, &error);
    if (hr == DISP_E_EXCEPTION) {
      if (result) VariantClear(result);
      FillException(excep, error);
      return hr;
    }
    if (FAILED(hr)) return hr;
    if (FAILED(status) && result) VariantClear(result);
    return status;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ScriptObject::GetDispID(BSTR bstrName, DWORD grfdex, DISPID* pid) {
  if (!pid) return E_POINTER;
  *pid = DISPID_UNKNOWN;
  if (!m_engine->IsAlive()) return E_UNEXPECTED;
  try {
    std::u16string wide(bstrName ? std::u16string_view(bstrName, SysStringLen(bstrName)) : std::u16string_view());
    std::string name = Utf16ToCesu8(wide);
    const bool ignoreCase = (grfdex & fdexNameCaseInsensitive) && !(grfdex & fdexNameCaseSensitive);
    const bool ensure = (grfdex & fdexNameEnsure) != 0;
    DISPID found = DISPID_UNKNOWN;
    bool exists = false, outOfNames = false;
    ScriptEngine* engine = m_engine.get();
    const uint32_t key = m_key;
    auto body = [&](duk_context* ctx) {
      engine->PushKept(ctx, key);
      if (!duk_is_object(ctx, -1)) return;
      exists = duk_has_prop_lstring(ctx, -1, name.data(), name.size());
      if (!exists && ignoreCase) {
        // Own and inherited names, each level including non-enumerable ones.
        duk_dup(ctx, -1);
        while (!exists && duk_is_object(ctx, -1)) {
          duk_enum(ctx, -1, DUK_ENUM_OWN_PROPERTIES_ONLY | DUK_ENUM_INCLUDE_NONENUMERABLE);
          while (!exists && duk_next(ctx, -1, 0)) {
            duk_size_t len = 0;
            const char* k = duk_get_lstring(ctx, -1, &len);
            if (k && EqualsNoCaseAscii(k, len, name.data(), name.size())) {
              exists = true;
              found = engine->IdOfCesu8Name(std::string_view(k, len));
              outOfNames = found == DISPID_UNKNOWN;
            }
            duk_pop(ctx);
          }
          duk_pop(ctx);  // enumerator
          duk_get_prototype(ctx, -1);
          duk_remove(ctx, -2);
        }
        duk_pop(ctx);
      }
      if (!exists && ensure) {
        duk_push_undefined(ctx);
        duk_put_prop_lstring(ctx, -2, name.data(), name.size());
        exists = true;
      }
      duk_pop(ctx);
    };
    HRESULT hr = engine->Run(body);
    if (hr == E_UNEXPECTED) return hr;
    if (FAILED(hr) || !exists) return DISP_E_UNKNOWNNAME;
    if (outOfNames) return E_OUTOFMEMORY;
    if (found == DISPID_UNKNOWN) found = engine->IdOfName(wide);
    if (found == DISPID_UNKNOWN) return E_OUTOFMEMORY;
    *pid = found;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ScriptObject::DeleteMemberByName(BSTR bstrName, DWORD) {
  if (!m_engine->IsAlive()) return E_UNEXPECTED;
  try {
    std::string name =
        Utf16ToCesu8(bstrName ? std::u16string_view(bstrName, SysStringLen(bstrName)) : std::u16string_view());
    bool deleted = false;
    ScriptEngine* engine = m_engine.get();
    const uint32_t key = m_key;
    auto body = [&](duk_context* ctx) {
      engine->PushKept(ctx, key);
      if (duk_is_object(ctx, -1)) deleted = duk_del_prop_lstring(ctx, -1, name.data(), name.size());
      duk_pop(ctx);
    };
    HRESULT hr = engine->Run(body);
    if (hr == E_UNEXPECTED) return hr;
    return SUCCEEDED(hr) && deleted ? S_OK : S_FALSE;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ScriptObject::DeleteMemberByDispID(DISPID id) {
  std::u16string name;
  if (!m_engine->NameOfId(id, &name)) return S_FALSE;
  Bstr b(name);
  return DeleteMemberByName(b.Get(), fdexNameCaseSensitive);
}

HRESULT ScriptObject::GetMemberProperties(DISPID, DWORD, DWORD* pgrfdex) {
  if (pgrfdex) *pgrfdex = 0;
  return E_NOTIMPL;
}

HRESULT ScriptObject::GetMemberName(DISPID id, BSTR* pbstrName) {
  if (!pbstrName) return E_POINTER;
  *pbstrName = nullptr;
  try {
    std::u16string name;
    if (!m_engine->NameOfId(id, &name)) return DISP_E_MEMBERNOTFOUND;
    *pbstrName = SysAllocStringU16(name);
    return *pbstrName ? S_OK : E_OUTOFMEMORY;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ScriptObject::GetNextDispID(DWORD, DISPID id, DISPID* pid) {
  if (!pid) return E_POINTER;
  *pid = DISPID_UNKNOWN;
  if (!m_engine->IsAlive()) return E_UNEXPECTED;
  size_t next = 0;
  if (id == DISPID_STARTENUM) {
    // A walk works on the members present when it starts.
    m_enum.clear();
    m_enumPos = 0;
    bool ok = true;
    ScriptEngine* engine = m_engine.get();
    const uint32_t key = m_key;
    std::vector<DISPID>* list = &m_enum;
    auto body = [&](duk_context* ctx) {
      engine->PushKept(ctx, key);
      if (!duk_is_object(ctx, -1)) {
        duk_pop(ctx);
        return;
      }
      duk_enum(ctx, -1, DUK_ENUM_OWN_PROPERTIES_ONLY);
      while (ok && duk_next(ctx, -1, 0)) {
        duk_size_t len = 0;
        const char* k = duk_get_lstring(ctx, -1, &len);
        DISPID d = k ? engine->IdOfCesu8Name(std::string_view(k, len)) : DISPID_UNKNOWN;
        ok = d != DISPID_UNKNOWN && AppendId(list, d);
        duk_pop(ctx);
      }
      duk_pop_2(ctx);
    };
    HRESULT hr = engine->Run(body);
    if (FAILED(hr)) {
      m_enum.clear();
      return hr == E_UNEXPECTED ? hr : E_FAIL;
    }
    if (!ok) {
      m_enum.clear();
      return E_OUTOFMEMORY;
    }
  } else if (m_enumPos < m_enum.size() && m_enum[m_enumPos] == id) {
    next = m_enumPos + 1;
  } else {
    size_t i = 0;
    while (i < m_enum.size() && m_enum[i] != id) ++i;
    if (i == m_enum.size()) return S_FALSE;
    next = i + 1;
  }
  if (next >= m_enum.size()) return S_FALSE;
  m_enumPos = next;
  *pid = m_enum[next];
  return S_OK;
}

HRESULT ScriptObject::GetNameSpaceParent(IUnknown** ppunk) {
  if (ppunk) *ppunk = nullptr;
  return E_NOTIMPL;
}

dom::Node* ScriptObject::ObjectElement() {
  if (!m_engine->IsAlive()) return nullptr;
  dom::Node* node = m_engine->NodeOfKept(m_key);
  return node && node->type == dom::NodeType::Element && node->tag == "object" ? node : nullptr;
}

HRESULT ScriptObject::get_object(IDispatch** control) {
  if (!control) return E_POINTER;
  *control = nullptr;
  dom::Node* node = ObjectElement();
  if (!node) return E_UNEXPECTED;
  switch (node->controlState) {
    case dom::ControlState::Created:
      return node->control ? node->control->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(control))
                           : E_UNEXPECTED;
    case dom::ControlState::Failed: return node->controlError;
    default: return S_OK;  // still on its way
  }
}
