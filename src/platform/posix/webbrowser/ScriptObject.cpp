#include "platform/webbrowser/ScriptObject.h"

#include <cstring>
#include <new>

#include "platform/webbrowser/Cesu8.h"

namespace {

// Fills the exception information of a failed call (caller frees the texts).
void FillException(EXCEPINFO* ei, const std::string& message) {
  if (!ei) return;
  std::memset(ei, 0, sizeof *ei);
  ei->bstrSource = SysAllocStringU16(OLESTR("script"));
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

ScriptObject* ScriptObject::New(std::shared_ptr<ScriptEngine> engine, void* object, uint32_t slot,
                                bool plainArray) noexcept {
  return new (std::nothrow) ScriptObject(std::move(engine), object, slot, plainArray);
}

ScriptObject::~ScriptObject() {
  ClearAhead();
  m_engine->ForgetWrapper(this, m_object, m_slot);
}

HRESULT ScriptObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IDispatchEx) {
    *ppv = static_cast<IDispatchEx*>(this);
  } else if (riid == IID_IScriptObjectWrapper) {
    *ppv = this;
  } else if (riid == IID_IHTMLObjectElement && ObjectElement()) {
    *ppv = static_cast<StandInObjectElement*>(this);
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

bool ScriptObject::ReadToTellExistence(duk_context* ctx, DISPID id) {
  // Reading an array element present in the array part runs no script, and
  // "push" is a plain function on Array.prototype; only a hole or a missing
  // push would reach further (then the has-check decides). Reading a hole
  // walks the prototypes, where a getter for that index would run.
  if (!m_plainArray || (!ScriptNames::IsIndex(id) && id != m_engine->PushId())) return false;
  m_engine->PushKey(ctx, id);
  duk_get_prop(ctx, -2);
  if (!duk_is_undefined(ctx, -1)) return true;
  duk_pop(ctx);
  return false;
}

HRESULT ScriptObject::HasMember(DISPID id, OleStringView name, bool* exists) {
  *exists = false;
  ScriptEngine* engine = m_engine.get();
  void* object = m_object;
  bool pushReady = false;
  const bool ahead = m_plainArray && ScriptNames::IsIndex(id) && PrepareAhead();
  auto body = [this, engine, object, id, name, exists, &pushReady, ahead](duk_context* ctx) {
    duk_push_heapptr(ctx, object);
    if (!duk_is_object(ctx, -1)) return;
    if (ahead) {
      ReadAhead(ctx, ScriptNames::IndexOf(id));
      if (AheadHas(ScriptNames::IndexOf(id))) {
        *exists = true;
        return;
      }
    } else if (id != DISPID_UNKNOWN && ReadToTellExistence(ctx, id)) {
      *exists = true;
      pushReady = id == engine->PushId() && engine->IsArrayPush(ctx, -1);
      return;
    }
    if (id != DISPID_UNKNOWN)
      engine->PushKey(ctx, id);
    else
      ScriptEngine::PushUtf16(ctx, name);
    *exists = duk_has_prop(ctx, -2);
  };
  HRESULT hr = engine->Run(body);
  if (pushReady && SUCCEEDED(hr)) m_pushReadyAt = engine->Quiet();
  if (ahead) {
    if (SUCCEEDED(hr))
      m_aheadAt = engine->Quiet();
    else
      ClearAhead();
  }
  return hr;
}

HRESULT ScriptObject::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
  if (!rgszNames || !rgDispId) return E_POINTER;
  if (cNames == 0) return E_INVALIDARG;
  rgDispId[0] = DISPID_UNKNOWN;
  for (UINT i = 1; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
  if (!rgszNames[0]) return E_INVALIDARG;
  if (!m_engine->IsAlive()) return E_UNEXPECTED;
  const OleStringView name(rgszNames[0]);
  // A name seen before is looked up by its interned key; a new one by its
  // text, and it joins the table only once some object has it.
  DISPID id = m_engine->Names().Find(name);
  if (id != DISPID_UNKNOWN && KnownToExist(id)) {
    RememberFound(id);
    rgDispId[0] = id;
    return cNames > 1 ? DISP_E_UNKNOWNNAME : S_OK;
  }
  bool exists = false;
  HRESULT hr = HasMember(id, name, &exists);
  if (hr == E_UNEXPECTED) return hr;
  if (FAILED(hr) || !exists) return DISP_E_UNKNOWNNAME;
  if (id == DISPID_UNKNOWN) id = m_engine->Names().Add(name);
  if (id == DISPID_UNKNOWN) return E_OUTOFMEMORY;
  RememberFound(id);
  rgDispId[0] = id;
  // Names of parameters cannot be matched: script functions take positions.
  return cNames > 1 ? DISP_E_UNKNOWNNAME : S_OK;
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
  ScriptEngine* engine = m_engine.get();
  // An element read ahead is handed out as it was read.
  const bool elementGet = m_plainArray && ScriptNames::IsIndex(id) && flags == DISPATCH_PROPERTYGET &&
                          (!dp || (dp->cArgs == 0 && dp->cNamedArgs == 0));
  if (elementGet && StillQuiet(m_aheadAt) && TakeAhead(ScriptNames::IndexOf(id), result)) return S_OK;
  if (!engine->IsAlive()) return E_UNEXPECTED;
  const bool isValue = id == DISPID_VALUE;
  if (!isValue && !ScriptNames::IsIndex(id) && !engine->Names().IsStored(id)) return DISP_E_MEMBERNOTFOUND;

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
  // Found by the name lookup just before, with nothing run since: it exists.
  const bool found = id == m_foundId && StillQuiet(m_foundAt);
  // push(x) on a plain array whose push is the original one is a store at
  // the end: the same outcome without a call into the interpreter. With no
  // result wanted it waits for the next entry into the heap.
  const bool pushReady = found && m_pushReadyAt == m_foundAt && id == engine->PushId();
  const bool plainArray = m_plainArray;
  const WORD kind = flags & (DISPATCH_METHOD | DISPATCH_CONSTRUCT | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
  if (pushReady && kind == DISPATCH_METHOD && positional == 1 && cNamed == 0 && !result &&
      engine->QueuePush(m_object, args[0]))
    return S_OK;
  // Members of a fresh object are made and set in the write queue.
  if (m_fresh && put && !isValue && kind == (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) &&
      engine->QueuePut(m_object, id, *putValue))
    return S_OK;
  const bool ahead = elementGet && PrepareAhead();
  bool tookAhead = false;
  bool madeFresh = false;

  HRESULT status = S_OK;
  void* object = m_object;
  auto pushArgs = [engine, args, positional](duk_context* ctx) {
    for (UINT i = positional; i-- > 0;) engine->PushVariant(ctx, args[i]);
  };
  auto pushMember = [engine, id, isValue](duk_context* ctx) {  // [obj] -> [obj member]
    if (isValue) {
      duk_dup(ctx, -1);
    } else {
      engine->PushKey(ctx, id);
      duk_get_prop(ctx, -2);
    }
  };
  // [obj ...] -> obj[length] = the argument; false when the real push must
  // run instead (it raises the error of an array that cannot grow).
  auto storeAtEnd = [engine, args, result](duk_context* ctx) {
    const duk_size_t length = duk_get_length(ctx, 0);
    if (length >= 0xFFFFFFFFu) return false;
    engine->PushVariant(ctx, args[0]);
    duk_put_prop_index(ctx, 0, static_cast<duk_uarridx_t>(length));
    if (result) {
      duk_push_number(ctx, static_cast<double>(length) + 1);
      engine->ToVariant(ctx, -1, result);
    }
    return true;
  };
  auto body = [&](duk_context* ctx) {
    duk_require_stack(ctx, static_cast<duk_idx_t>(positional) + 8);
    duk_push_heapptr(ctx, object);  // at index 0: a protected call starts with an empty frame
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
      madeFresh = positional == 0 && engine->IsObjectConstructor(ctx, -1);
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
      engine->PushKey(ctx, id);
      engine->PushVariant(ctx, *putValue);
      if (id == engine->ProtoId()) {
        // A member of that name from outside stays a member: it must not
        // reach the inherited setter and change the object's prototype.
        duk_def_prop(ctx, -3, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE | DUK_DEFPROP_SET_ENUMERABLE |
                                  DUK_DEFPROP_SET_CONFIGURABLE);
      } else {
        duk_put_prop(ctx, -3);
      }
      return;
    }
    if (flags & DISPATCH_METHOD) {
      const bool plainPush = positional == 1 && !thisValue && id == engine->PushId() && plainArray;
      if (plainPush && pushReady && storeAtEnd(ctx)) return;
      pushMember(ctx);
      if (duk_is_callable(ctx, -1)) {
        if (plainPush && !pushReady && engine->IsArrayPush(ctx, -1) && storeAtEnd(ctx)) return;
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
      if (isValue) {
        status = DISP_E_MEMBERNOTFOUND;
        return;
      }
      if (ahead) {
        ReadAhead(ctx, ScriptNames::IndexOf(id));
        if (AheadHas(ScriptNames::IndexOf(id))) {
          tookAhead = true;  // handed out after the call
          return;
        }
      } else if (found || ReadToTellExistence(ctx, id)) {
        if (found) {
          engine->PushKey(ctx, id);
          duk_get_prop(ctx, -2);
        }
        if (result) engine->ToVariant(ctx, -1, result);
        return;
      }
      engine->PushKey(ctx, id);  // [obj key]
      duk_dup(ctx, -1);
      if (!duk_has_prop(ctx, -3)) {
        status = DISP_E_MEMBERNOTFOUND;
        return;
      }
      duk_get_prop(ctx, -2);
      if (result) engine->ToVariant(ctx, -1, result);
      return;
    }
    status = E_INVALIDARG;
  };
  std::string error;
  HRESULT hr = engine->Run(body, &error);
  if (ahead) {
    if (SUCCEEDED(hr) && tookAhead) {
      m_aheadAt = engine->Quiet();
      TakeAhead(ScriptNames::IndexOf(id), result);
    } else if (FAILED(hr)) {
      ClearAhead();
    } else {
      m_aheadAt = engine->Quiet();
    }
  }
  if (hr == DISP_E_EXCEPTION) {
    if (result) VariantClear(result);
    FillException(excep, error);
    return hr;
  }
  if (FAILED(hr)) return hr;
  if (FAILED(status) && result) VariantClear(result);
  if (madeFresh && SUCCEEDED(status) && result && result->vt == VT_DISPATCH) {
    // A new object of the original Object constructor: its wrapper is new too.
    static_cast<ScriptObject*>(static_cast<IDispatchEx*>(result->pdispVal))->m_fresh = true;
  }
  return status;
}

HRESULT ScriptObject::GetDispID(BSTR bstrName, DWORD grfdex, DISPID* pid) {
  if (!pid) return E_POINTER;
  *pid = DISPID_UNKNOWN;
  ScriptEngine* engine = m_engine.get();
  if (!engine->IsAlive()) return E_UNEXPECTED;
  try {
    const OleStringView wide =
        bstrName ? OleStringView(bstrName, SysStringLen(bstrName)) : OleStringView();
    const bool ignoreCase = (grfdex & fdexNameCaseInsensitive) && !(grfdex & fdexNameCaseSensitive);
    const bool ensure = (grfdex & fdexNameEnsure) != 0;
    // A member about to be made gets its name now; otherwise only a name
    // some object has joins the table.
    DISPID id = ensure ? engine->Names().Add(wide) : engine->Names().Find(wide);
    if (ensure && id == DISPID_UNKNOWN) return E_OUTOFMEMORY;
    if (ensure && !ignoreCase && m_fresh && engine->QueueEnsure(m_object, id)) {
      *pid = id;
      return S_OK;
    }
    const std::string cesu = ignoreCase ? Utf16ToCesu8(wide) : std::string();
    DISPID found = DISPID_UNKNOWN;
    bool exists = false, outOfNames = false;
    void* object = m_object;
    auto body = [&](duk_context* ctx) {
      duk_push_heapptr(ctx, object);  // [obj]
      if (!duk_is_object(ctx, -1)) return;
      if (id != DISPID_UNKNOWN)
        engine->PushKey(ctx, id);
      else
        ScriptEngine::PushUtf16(ctx, wide);
      duk_dup(ctx, -1);  // [obj key key]
      exists = duk_has_prop(ctx, -3);
      if (!exists && ignoreCase) {
        // Own and inherited names, each level including non-enumerable ones.
        duk_dup(ctx, -2);
        while (!exists && duk_is_object(ctx, -1)) {
          duk_enum(ctx, -1, DUK_ENUM_OWN_PROPERTIES_ONLY | DUK_ENUM_INCLUDE_NONENUMERABLE);
          while (!exists && duk_next(ctx, -1, 0)) {
            duk_size_t len = 0;
            const char* k = duk_get_lstring(ctx, -1, &len);
            if (k && EqualsNoCaseAscii(k, len, cesu.data(), cesu.size())) {
              exists = true;
              found = engine->Names().AddCesu8(std::string_view(k, len));
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
      if (!exists && ensure) {  // [obj key]
        duk_push_undefined(ctx);
        duk_put_prop(ctx, -3);
        exists = true;
      }
    };
    HRESULT hr = engine->Run(body);
    if (hr == E_UNEXPECTED) return hr;
    if (FAILED(hr) || !exists) return DISP_E_UNKNOWNNAME;
    if (outOfNames) return E_OUTOFMEMORY;
    if (found == DISPID_UNKNOWN) found = id != DISPID_UNKNOWN ? id : engine->Names().Add(wide);
    if (found == DISPID_UNKNOWN) return E_OUTOFMEMORY;
    RememberFound(found);
    *pid = found;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ScriptObject::DeleteMemberByName(BSTR bstrName, DWORD) {
  ScriptEngine* engine = m_engine.get();
  if (!engine->IsAlive()) return E_UNEXPECTED;
  const OleStringView name =
      bstrName ? OleStringView(bstrName, SysStringLen(bstrName)) : OleStringView();
  bool deleted = false;
  void* object = m_object;
  auto body = [&](duk_context* ctx) {
    duk_push_heapptr(ctx, object);
    if (!duk_is_object(ctx, -1)) return;
    ScriptEngine::PushUtf16(ctx, name);
    deleted = duk_del_prop(ctx, -2);
  };
  HRESULT hr = engine->Run(body);
  if (hr == E_UNEXPECTED) return hr;
  return SUCCEEDED(hr) && deleted ? S_OK : S_FALSE;
}

HRESULT ScriptObject::DeleteMemberByDispID(DISPID id) {
  OleString name;
  try {
    if (!m_engine->NameOfId(id, &name)) return S_FALSE;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
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
  if (m_engine->Names().IsStored(id)) {
    *pbstrName = SysAllocStringU16(m_engine->Names().Wide(id));
    return *pbstrName ? S_OK : E_OUTOFMEMORY;
  }
  try {
    OleString index;
    if (!m_engine->NameOfId(id, &index)) return DISP_E_MEMBERNOTFOUND;
    *pbstrName = SysAllocStringU16(index);
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
    void* object = m_object;
    std::vector<DISPID>* list = &m_enum;
    auto body = [&](duk_context* ctx) {
      duk_push_heapptr(ctx, object);
      if (!duk_is_object(ctx, -1)) return;
      duk_enum(ctx, -1, DUK_ENUM_OWN_PROPERTIES_ONLY);
      while (ok && duk_next(ctx, -1, 0)) {
        duk_size_t len = 0;
        const char* k = duk_get_lstring(ctx, -1, &len);
        // Names the heap has interned for us are found by pointer.
        DISPID d = engine->Names().FindKey(duk_get_heapptr(ctx, -1));
        if (d == DISPID_UNKNOWN && k) d = engine->Names().AddCesu8(std::string_view(k, len));
        ok = d != DISPID_UNKNOWN && AppendId(list, d);
        duk_pop(ctx);
      }
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
  dom::Node* node = m_engine->NodeOfObject(m_object);
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
