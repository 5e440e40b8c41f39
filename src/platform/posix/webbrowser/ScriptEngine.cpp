#include "platform/webbrowser/ScriptEngine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/webbrowser/Cesu8.h"
#include "platform/webbrowser/ScriptObject.h"

namespace {

constexpr const char kEngineKey[] = DUK_HIDDEN_SYMBOL("engine");
constexpr const char kSlotsKey[] = DUK_HIDDEN_SYMBOL("slots");
constexpr const char kNamesKey[] = DUK_HIDDEN_SYMBOL("names");
constexpr const char kArrayPushKey[] = DUK_HIDDEN_SYMBOL("arrayPush");
constexpr const char kObjectCtorKey[] = DUK_HIDDEN_SYMBOL("objectCtor");
constexpr const char kFinalizerKey[] = DUK_HIDDEN_SYMBOL("finalizer");
constexpr const char kNodeKey[] = DUK_HIDDEN_SYMBOL("node");
constexpr const char kForeignKey[] = DUK_HIDDEN_SYMBOL("foreign");
constexpr const char kNodeProto[] = DUK_HIDDEN_SYMBOL("NodeProto");
constexpr const char kForeignProto[] = DUK_HIDDEN_SYMBOL("ForeignProto");

void Fatal(void*, const char* message) {
  // Only reached on an error outside every protected call: a bug here.
  std::fprintf(stderr, "script engine: fatal error: %s\n", message ? message : "");
  std::abort();
}

// A uint32 stored under a hidden key of the object at idx; 0 when absent.
uint32_t HiddenKey(duk_context* ctx, duk_idx_t idx, const char* name) {
  if (!duk_is_object(ctx, idx)) return 0;
  duk_get_prop_string(ctx, idx, name);
  uint32_t key = duk_is_number(ctx, -1) ? static_cast<uint32_t>(duk_get_uint(ctx, -1)) : 0;
  duk_pop(ctx);
  return key;
}

}  // namespace

std::shared_ptr<ScriptEngine> ScriptEngine::Create(dom::NodePtr document) {
  std::shared_ptr<ScriptEngine> engine(new ScriptEngine(std::move(document)));
  if (!engine->Init()) return nullptr;
  return engine;
}

ScriptEngine::~ScriptEngine() {
  m_alive = false;
  if (m_ctx) DestroyHeap();
}

bool ScriptEngine::Init() {
  m_pushId = m_names.AddPinned(OLESTR("push"));
  m_protoId = m_names.AddPinned(OLESTR("__proto__"));
  m_ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, Fatal);
  if (!m_ctx) return false;
  m_alive = true;
  auto body = [this](duk_context* ctx) {
    duk_push_global_stash(ctx);
    duk_push_pointer(ctx, this);
    duk_put_prop_string(ctx, -2, kEngineKey);
    duk_push_array(ctx);
    m_slots = duk_get_heapptr(ctx, -1);
    duk_put_prop_string(ctx, -2, kSlotsKey);
    duk_push_array(ctx);
    m_nameKeys = duk_get_heapptr(ctx, -1);
    duk_put_prop_string(ctx, -2, kNamesKey);
    // The original Array.prototype.push and Object constructor, kept so that
    // they can be recognised whatever script later does to the globals.
    duk_get_global_string(ctx, "Array");
    duk_get_prop_string(ctx, -1, "prototype");
    duk_get_prop_string(ctx, -1, "push");
    m_arrayPush = duk_get_heapptr(ctx, -1);
    duk_put_prop_string(ctx, -4, kArrayPushKey);
    duk_pop_2(ctx);
    duk_get_global_string(ctx, "Object");
    m_objectCtor = duk_get_heapptr(ctx, -1);
    duk_put_prop_string(ctx, -2, kObjectCtorKey);
    duk_push_c_function(ctx, Finalize, 1);
    duk_put_prop_string(ctx, -2, kFinalizerKey);
    duk_push_object(ctx);  // foreign objects held by script: no members of their own
    duk_put_prop_string(ctx, -2, kForeignProto);
    duk_pop(ctx);
    InstallDomBindings(ctx);
    duk_push_global_object(ctx);
    duk_push_global_object(ctx);
    duk_put_prop_string(ctx, -2, "window");
    PushNode(ctx, m_document.get());
    duk_put_prop_string(ctx, -2, "document");
    duk_pop(ctx);
  };
  if (FAILED(Run(body))) {
    Close();
    return false;
  }
  return true;
}

ScriptEngine* ScriptEngine::From(duk_context* ctx) {
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, kEngineKey);
  auto* engine = static_cast<ScriptEngine*>(duk_get_pointer(ctx, -1));
  duk_pop_2(ctx);
  return engine;
}

HRESULT ScriptEngine::RunRaw(duk_safe_call_function fn, void* udata, std::string* error) {
  if (!m_alive || !m_ctx) return E_UNEXPECTED;
  if (!duk_check_stack(m_ctx, 8)) return E_OUTOFMEMORY;
  std::shared_ptr<ScriptEngine> self = shared_from_this();  // a call may drop the last owner
  ++m_depth;
  if (!m_writes.empty() && !m_storingWrites) StoreQueuedWrites();  // before anything can look
  if (!m_names.RetiredKeySlots().empty() && m_alive) {
    // The strings of names the table retired: the heap may let them go.
    ++m_calls;
    duk_safe_call(m_ctx, ReleaseNames, this, 0, 1);
    duk_pop(m_ctx);
  }
  if (!m_alive) {  // closed by what the stores ran
    if (--m_depth == 0) AfterOutermostCall();
    return E_UNEXPECTED;
  }
  ++m_calls;
  duk_int_t rc = duk_safe_call(m_ctx, fn, udata, 0, 1);
  HRESULT hr = S_OK;
  if (rc != DUK_EXEC_SUCCESS) {
    hr = DISP_E_EXCEPTION;
    const char* message = duk_safe_to_string(m_ctx, -1);
    if (error) {
      try {
        *error = Cesu8ToUtf8(message ? message : "");
      } catch (...) {
        error->clear();
      }
    }
  }
  duk_pop(m_ctx);
  if (--m_depth == 0) AfterOutermostCall();
  return hr;
}

void ScriptEngine::AfterOutermostCall() {
  FlushDeferred();
  if (m_closePending && m_depth == 0) {
    m_closePending = false;
    DestroyHeap();
  }
}

void ScriptEngine::FlushDeferred() {
  // Releasing may run more code that defers more; repeat until quiet.
  while (!m_deferredNodes.empty() || !m_deferredObjects.empty()) {
    std::vector<dom::NodePtr> nodes = std::move(m_deferredNodes);
    std::vector<ComPtr<IUnknown>> objects = std::move(m_deferredObjects);
    m_deferredNodes.clear();
    m_deferredObjects.clear();
  }
}

void ScriptEngine::Close() {
  if (!m_alive) return;
  m_alive = false;
  if (m_depth > 0)
    m_closePending = true;
  else
    DestroyHeap();
}

void ScriptEngine::DestroyHeap() {
  m_alive = false;
  if (!m_ctx) return;
  m_destroying = true;  // finalizers run during destruction and must do nothing
  duk_destroy_heap(m_ctx);
  m_ctx = nullptr;
  // Wrappers still held elsewhere keep pointers into the heap that went;
  // they never use them again (every call checks IsAlive first).
  m_wrappers.clear();
  m_nodeObjects.clear();
  m_writes.clear();
  m_writeText.clear();
  m_writeNext = 0;
  m_slotsAfterWrites.clear();
  m_freeSlots.clear();
  m_slots = nullptr;
  m_nameKeys = nullptr;
  m_freeNameSlots.clear();
  m_nameSlotCount = 0;
  m_arrayPush = nullptr;
  m_objectCtor = nullptr;
  m_names.ForgetKeys();
  // Let go of everything script held, now that no heap can be re-entered.
  auto nodes = std::move(m_nodes);
  auto foreign = std::move(m_foreign);
  m_nodes.clear();
  m_foreign.clear();
  nodes.clear();
  foreign.clear();
  m_deferredNodes.clear();
  m_deferredObjects.clear();
  m_document.reset();
}

bool ScriptEngine::Eval(std::string_view source, std::string* error) {
  std::string cesu = Utf8ToCesu8(source);
  auto body = [&cesu](duk_context* ctx) {
    duk_push_string(ctx, "page");
    duk_compile_lstring_filename(ctx, 0, cesu.data(), cesu.size());
    duk_call(ctx, 0);
    duk_pop(ctx);
  };
  return SUCCEEDED(Run(body, error));
}

HRESULT ScriptEngine::GetGlobalObject(IDispatchEx** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ScriptObject* wrapper = nullptr;
  auto body = [this, &wrapper](duk_context* ctx) {
    duk_push_global_object(ctx);
    wrapper = WrapperAt(ctx, -1);
    duk_pop(ctx);
  };
  HRESULT hr = Run(body);
  if (FAILED(hr)) {
    if (wrapper) wrapper->Release();
    return hr;
  }
  *out = wrapper;
  return S_OK;
}

// ---- wrappers and their slots ----------------------------------------------------

uint32_t ScriptEngine::KeepInSlot(duk_context* ctx, duk_idx_t idx) {
  idx = duk_normalize_index(ctx, idx);
  // Taken before the store: if the store fails the slot is only lost.
  uint32_t slot;
  if (!m_freeSlots.empty()) {
    slot = m_freeSlots.back();
    m_freeSlots.pop_back();
  } else {
    slot = m_slotCount++;
  }
  duk_push_heapptr(ctx, m_slots);
  duk_dup(ctx, idx);
  duk_put_prop_index(ctx, -2, slot);
  duk_pop(ctx);
  return slot;
}

void ScriptEngine::FreeSlot(uint32_t slot) noexcept {
  if (!m_alive || !m_ctx) return;  // the heap took it with it
  if (m_storingWrites) {
    // Queued writes may still name the object: it goes once they are done.
    try {
      m_slotsAfterWrites.push_back(slot);
    } catch (...) {
      // Out of memory: the slot stays taken.
    }
    return;
  }
  auto body = [this, slot](duk_context* ctx) {
    duk_push_heapptr(ctx, m_slots);
    duk_push_undefined(ctx);
    duk_put_prop_index(ctx, -2, slot);
    duk_pop(ctx);
  };
  if (FAILED(Run(body))) return;  // the slot stays taken
  try {
    m_freeSlots.push_back(slot);
  } catch (...) {
    // Out of memory: the slot is not reused.
  }
}

namespace {
bool Remember(std::unordered_map<void*, ScriptObject*>* map, void* object, ScriptObject* wrapper) noexcept {
  try {
    map->emplace(object, wrapper);
    return true;
  } catch (...) {
    return false;
  }
}
}  // namespace

ScriptObject* ScriptEngine::WrapperAt(duk_context* ctx, duk_idx_t idx) {
  idx = duk_normalize_index(ctx, idx);
  void* object = duk_get_heapptr(ctx, idx);
  if (!object) {
    // A lightweight function has no heap identity: it is wrapped as the
    // function object it stands for.
    duk_dup(ctx, idx);
    duk_to_object(ctx, -1);
    ScriptObject* wrapper = WrapperAt(ctx, -1);
    duk_pop(ctx);
    return wrapper;
  }
  auto it = m_wrappers.find(object);
  if (it != m_wrappers.end()) {
    it->second->AddRef();
    return it->second;
  }
  const bool plainArray = IsPlainArray(ctx, idx);
  uint32_t slot = KeepInSlot(ctx, idx);
  // (No Duktape call while the engine reference below is a temporary.)
  ScriptObject* wrapper = ScriptObject::New(shared_from_this(), object, slot, plainArray);
  if (!wrapper) {
    FreeSlot(slot);
    duk_error(ctx, DUK_ERR_RANGE_ERROR, "out of memory");
  }
  if (!Remember(&m_wrappers, object, wrapper)) {
    wrapper->Release();  // frees the slot
    duk_error(ctx, DUK_ERR_RANGE_ERROR, "out of memory");
  }
  return wrapper;
}

void ScriptEngine::ForgetWrapper(ScriptObject* wrapper, void* object, uint32_t slot) noexcept {
  // The map entry goes even while a close is pending: the running call may
  // still meet the object and must then make a new wrapper.
  auto it = m_wrappers.find(object);
  if (it != m_wrappers.end() && it->second == wrapper) m_wrappers.erase(it);
  FreeSlot(slot);
}

// ---- names ------------------------------------------------------------------------

void ScriptEngine::PushKey(duk_context* ctx, DISPID id) {
  if (ScriptNames::IsIndex(id)) {
    duk_push_uint(ctx, ScriptNames::IndexOf(id));
    return;
  }
  if (!m_names.IsStored(id)) duk_error(ctx, DUK_ERR_ERROR, "unknown member id");
  if (void* key = m_names.Key(id)) {
    duk_push_heapptr(ctx, key);
    return;
  }
  // First use in this heap: intern the string once and keep it, so later
  // uses push it by pointer instead of hashing the text again.
  OleStringView name = m_names.Wide(id);
  if (name.size() <= 256) {
    char ascii[256];
    size_t i = 0;
    for (; i < name.size() && name[i] < 0x80; ++i) ascii[i] = static_cast<char>(name[i]);
    if (i == name.size()) {
      duk_push_lstring(ctx, ascii, i);
      name = OleStringView();
    }
  }
  if (!name.empty()) {
    const size_t bytes = EncodeCesu8(name, nullptr);
    auto* buf = static_cast<char*>(duk_push_fixed_buffer(ctx, bytes));
    // The allocation may have run script (finalizers) that added names and
    // moved the pool: take the text again.
    EncodeCesu8(m_names.Wide(id), buf);
    duk_buffer_to_string(ctx, -1);
  }
  void* key = duk_get_heapptr(ctx, -1);
  // Taken before the store: if the store fails the slot is only lost.
  uint32_t slot;
  if (!m_freeNameSlots.empty()) {
    slot = m_freeNameSlots.back();
    m_freeNameSlots.pop_back();
  } else {
    slot = m_nameSlotCount++;
  }
  duk_push_heapptr(ctx, m_nameKeys);
  duk_dup(ctx, -2);
  duk_put_prop_index(ctx, -2, slot);
  duk_pop(ctx);
  m_names.SetKey(id, key, slot);
}

duk_ret_t ScriptEngine::ReleaseNames(duk_context* ctx, void* udata) {
  auto* engine = static_cast<ScriptEngine*>(udata);
  std::vector<uint32_t>& retired = engine->m_names.RetiredKeySlots();
  duk_push_heapptr(ctx, engine->m_nameKeys);
  while (!retired.empty()) {
    const uint32_t slot = retired.back();
    duk_push_undefined(ctx);
    duk_put_prop_index(ctx, -2, slot);
    retired.pop_back();
    try {
      engine->m_freeNameSlots.push_back(slot);
    } catch (...) {
      // Out of memory: the slot is not reused.
    }
  }
  return 0;
}

bool ScriptEngine::IsPlainArray(duk_context* ctx, duk_idx_t idx) {
  if (!duk_is_array(ctx, idx)) return false;
  duk_get_prototype(ctx, idx);
  const bool plain = duk_is_object(ctx, -1);
  duk_pop(ctx);
  return plain;
}

// ---- text ---------------------------------------------------------------------------

void ScriptEngine::PushUtf16(duk_context* ctx, OleStringView text) {
  if (text.size() <= 256) {
    // Short ASCII text goes straight in (a plain array: nothing to destroy).
    char ascii[256];
    size_t i = 0;
    for (; i < text.size() && text[i] < 0x80; ++i) ascii[i] = static_cast<char>(text[i]);
    if (i == text.size()) {
      duk_push_lstring(ctx, ascii, i);
      return;
    }
  }
  size_t n = EncodeCesu8(text, nullptr);
  if (n == 0) {
    duk_push_string(ctx, "");
    return;
  }
  auto* buf = static_cast<char*>(duk_push_fixed_buffer(ctx, n));
  EncodeCesu8(text, buf);
  duk_buffer_to_string(ctx, -1);
}

void ScriptEngine::PushUtf8(duk_context* ctx, std::string_view text) {
  if (IsCesu8Compatible(text)) {
    duk_push_lstring(ctx, text.data(), text.size());
    return;
  }
  // Through UTF-16 in a heap buffer: no C++ temporaries across the pushes.
  size_t units = DecodeCesu8(text, nullptr);
  auto* wide = static_cast<OLECHAR*>(duk_push_fixed_buffer(ctx, units * sizeof(OLECHAR)));
  DecodeCesu8(text, wide);
  PushUtf16(ctx, OleStringView(wide, units));
  duk_remove(ctx, -2);
}

// ---- values -----------------------------------------------------------------------

void ScriptEngine::PushVariant(duk_context* ctx, const VARIANT& in) {
  const VARIANT* v = &in;
  if (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) {
      duk_push_undefined(ctx);
      return;
    }
    v = v->pvarVal;
  }
  switch (v->vt) {
    case VT_NULL: duk_push_null(ctx); return;
    case VT_I2: duk_push_int(ctx, v->iVal); return;
    case VT_I4:
    case VT_INT: duk_push_int(ctx, v->lVal); return;
    case VT_R4: duk_push_number(ctx, v->fltVal); return;
    case VT_R8:
    case VT_DATE: duk_push_number(ctx, v->dblVal); return;
    case VT_CY: duk_push_number(ctx, static_cast<double>(v->cyVal.int64) / 10000.0); return;
    case VT_BOOL: duk_push_boolean(ctx, v->boolVal != VARIANT_FALSE); return;
    case VT_I1: duk_push_int(ctx, v->cVal); return;
    case VT_UI1: duk_push_uint(ctx, v->bVal); return;
    case VT_UI2: duk_push_uint(ctx, v->uiVal); return;
    case VT_UI4:
    case VT_UINT: duk_push_uint(ctx, v->ulVal); return;
    case VT_I8: duk_push_number(ctx, static_cast<double>(v->llVal)); return;
    case VT_UI8: duk_push_number(ctx, static_cast<double>(v->ullVal)); return;
    case VT_DECIMAL: {
      VARIANT r8;
      VariantInit(&r8);
      if (SUCCEEDED(VariantChangeType(&r8, v, 0, VT_R8)))
        duk_push_number(ctx, r8.dblVal);
      else
        duk_push_undefined(ctx);
      return;
    }
    case VT_BSTR:
      PushUtf16(ctx, v->bstrVal ? OleStringView(v->bstrVal, SysStringLen(v->bstrVal)) : OleStringView());
      return;
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* object = v->punkVal;
      if (!object) {
        duk_push_null(ctx);
        return;
      }
      // One of our own wrappers of this heap gives back its script value.
      ScriptObject* wrapper = nullptr;
      if (SUCCEEDED(object->QueryInterface(IID_IScriptObjectWrapper, reinterpret_cast<void**>(&wrapper))) && wrapper) {
        bool ours = wrapper->Engine() == this && m_alive;
        void* held = wrapper->Object();
        wrapper->MarkHandedOut();  // script can reach it from now on
        wrapper->Release();  // the VARIANT still holds the object
        if (ours) {
          duk_push_heapptr(ctx, held);  // kept alive by the wrapper's slot
          return;
        }
      }
      PushForeign(ctx, object);
      return;
    }
    default: duk_push_undefined(ctx); return;  // VT_EMPTY, VT_ERROR (a missing argument), the rest
  }
}

void ScriptEngine::ToVariant(duk_context* ctx, duk_idx_t idx, VARIANT* out) {
  idx = duk_normalize_index(ctx, idx);
  ToVariantOfType(ctx, idx, duk_get_type(ctx, idx), out);
}

void ScriptEngine::ToVariantOfType(duk_context* ctx, duk_idx_t idx, duk_int_t type, VARIANT* out) {
  VariantInit(out);
  switch (type) {
    case DUK_TYPE_NULL: out->vt = VT_NULL; return;
    case DUK_TYPE_BOOLEAN:
      out->vt = VT_BOOL;
      out->boolVal = duk_get_boolean(ctx, idx) ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case DUK_TYPE_NUMBER: {
      double d = duk_get_number(ctx, idx);
      if (d >= -2147483648.0 && d <= 2147483647.0 && d == static_cast<double>(static_cast<int32_t>(d))) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(d);
      } else {
        out->vt = VT_R8;
        out->dblVal = d;
      }
      return;
    }
    case DUK_TYPE_STRING: {
      duk_size_t len = 0;
      const char* s = duk_get_lstring(ctx, idx, &len);
      std::string_view text(s, len);
      // CESU-8 never has more code units than bytes: room for ASCII, widened
      // on the way; other text is decoded into a string of its own length.
      BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(len));
      if (!b) duk_error(ctx, DUK_ERR_RANGE_ERROR, "out of memory");
      size_t i = 0;
      for (; i < len && static_cast<unsigned char>(s[i]) < 0x80; ++i) b[i] = static_cast<OLECHAR>(s[i]);
      if (i < len) {
        SysFreeString(b);
        b = SysAllocStringLen(nullptr, static_cast<UINT>(DecodeCesu8(text, nullptr)));
        if (!b) duk_error(ctx, DUK_ERR_RANGE_ERROR, "out of memory");
        DecodeCesu8(text, b);
      }
      out->vt = VT_BSTR;
      out->bstrVal = b;
      return;
    }
    case DUK_TYPE_OBJECT:
    case DUK_TYPE_LIGHTFUNC:
    case DUK_TYPE_BUFFER: {
      // An object met before comes back as the same wrapper.
      if (void* object = duk_get_heapptr(ctx, idx)) {
        auto it = m_wrappers.find(object);
        if (it != m_wrappers.end()) {
          it->second->AddRef();
          it->second->MarkHandedOut();  // met in the heap: script has it
          out->vt = VT_DISPATCH;
          out->pdispVal = static_cast<IDispatchEx*>(it->second);
          return;
        }
      }
      if (IUnknown* foreign = ForeignAt(ctx, idx)) {
        IDispatch* disp = nullptr;
        if (SUCCEEDED(foreign->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp))) && disp) {
          out->vt = VT_DISPATCH;
          out->pdispVal = disp;
        } else {
          foreign->AddRef();
          out->vt = VT_UNKNOWN;
          out->punkVal = foreign;
        }
        return;
      }
      ScriptObject* wrapper = WrapperAt(ctx, idx);
      out->vt = VT_DISPATCH;
      out->pdispVal = static_cast<IDispatchEx*>(wrapper);
      return;
    }
    default: return;  // undefined, pointers: VT_EMPTY
  }
}

// ---- nodes and foreign objects --------------------------------------------------------

uint32_t ScriptEngine::RegisterNode(dom::Node* node) noexcept {
  try {
    uint32_t key;
    do {
      key = m_nextKey++;
      if (m_nextKey == 0) m_nextKey = 1;
    } while (key == 0 || m_nodes.count(key) || m_foreign.count(key));
    m_nodes.emplace(key, node->shared_from_this());
    return key;
  } catch (...) {
    return 0;
  }
}

uint32_t ScriptEngine::RegisterForeign(IUnknown* object) noexcept {
  try {
    uint32_t key;
    do {
      key = m_nextKey++;
      if (m_nextKey == 0) m_nextKey = 1;
    } while (key == 0 || m_nodes.count(key) || m_foreign.count(key));
    m_foreign.emplace(key, ComPtr<IUnknown>(object));
    return key;
  } catch (...) {
    return 0;
  }
}

void ScriptEngine::PushHolder(duk_context* ctx, const char* protoKey, const char* hiddenKey, uint32_t key) {
  duk_push_object(ctx);
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, protoKey);
  duk_set_prototype(ctx, -3);
  duk_get_prop_string(ctx, -1, kFinalizerKey);
  duk_set_finalizer(ctx, -3);
  duk_pop(ctx);
  duk_push_uint(ctx, key);
  duk_put_prop_string(ctx, -2, hiddenKey);
}

void ScriptEngine::PushNode(duk_context* ctx, dom::Node* node) {
  if (!node) {
    duk_push_null(ctx);
    return;
  }
  auto it = m_nodeObjects.find(node);
  if (it != m_nodeObjects.end()) {
    duk_push_heapptr(ctx, it->second);  // alive: its finalizer has not run
    return;
  }
  uint32_t key = RegisterNode(node);
  if (!key) duk_error(ctx, DUK_ERR_RANGE_ERROR, "out of memory");
  PushHolder(ctx, kNodeProto, kNodeKey, key);
  RememberNodeObject(node, duk_get_heapptr(ctx, -1));
}

void ScriptEngine::RememberNodeObject(dom::Node* node, void* object) noexcept {
  try {
    m_nodeObjects[node] = object;
  } catch (...) {
    // Out of memory: the next lookup of the node makes another object.
  }
}

dom::Node* ScriptEngine::NodeAt(duk_context* ctx, duk_idx_t idx) {
  uint32_t key = HiddenKey(ctx, idx, kNodeKey);
  if (!key) return nullptr;
  auto it = m_nodes.find(key);
  return it == m_nodes.end() ? nullptr : it->second.get();
}

dom::Node* ScriptEngine::NodeOfObject(void* object) {
  dom::Node* node = nullptr;
  auto body = [this, object, &node](duk_context* ctx) {
    duk_push_heapptr(ctx, object);
    node = NodeAt(ctx, -1);
    duk_pop(ctx);
  };
  return SUCCEEDED(Run(body)) ? node : nullptr;
}

void ScriptEngine::PushForeign(duk_context* ctx, IUnknown* object) {
  if (!object) {
    duk_push_null(ctx);
    return;
  }
  uint32_t key = RegisterForeign(object);
  if (!key) duk_error(ctx, DUK_ERR_RANGE_ERROR, "out of memory");
  PushHolder(ctx, kForeignProto, kForeignKey, key);
}

IUnknown* ScriptEngine::ForeignAt(duk_context* ctx, duk_idx_t idx) {
  uint32_t key = HiddenKey(ctx, idx, kForeignKey);
  if (!key) return nullptr;
  auto it = m_foreign.find(key);
  return it == m_foreign.end() ? nullptr : it->second.Get();
}

namespace {
// Moves a released holder's C++ side to the deferred lists (never throws).
template <class Map, class List>
void Defer(Map& map, List& list, uint32_t key) noexcept {
  auto it = map.find(key);
  if (it == map.end()) return;
  auto value = std::move(it->second);
  map.erase(it);
  try {
    list.push_back(std::move(value));
  } catch (...) {
    // Out of memory: released here instead (value goes out of scope).
  }
}
}  // namespace

namespace {
// An own (not inherited) uint32 under a hidden key of the object at idx.
uint32_t OwnHiddenKey(duk_context* ctx, duk_idx_t idx, const char* name) {
  duk_push_string(ctx, name);
  duk_get_prop_desc(ctx, idx, 0);  // undefined when there is no own property
  uint32_t key = 0;
  if (duk_is_object(ctx, -1)) {
    duk_get_prop_string(ctx, -1, "value");
    key = duk_is_number(ctx, -1) ? static_cast<uint32_t>(duk_get_uint(ctx, -1)) : 0;
    duk_pop(ctx);
  }
  duk_pop(ctx);
  return key;
}
}  // namespace

duk_ret_t ScriptEngine::Finalize(duk_context* ctx) {
  ScriptEngine* engine = From(ctx);
  if (!engine || engine->m_destroying || !duk_is_object(ctx, 0)) return 0;
  uint32_t node = OwnHiddenKey(ctx, 0, kNodeKey);
  uint32_t foreign = OwnHiddenKey(ctx, 0, kForeignKey);
  if (node) {
    // The node's next lookup makes a new object. (Should script rescue this
    // one from its own finalizer, it is no longer a node: DOM calls on it
    // then fail with a TypeError, never touch a freed node.)
    auto held = engine->m_nodes.find(node);
    if (held != engine->m_nodes.end()) {
      auto it = engine->m_nodeObjects.find(held->second.get());
      if (it != engine->m_nodeObjects.end() && it->second == duk_get_heapptr(ctx, 0)) engine->m_nodeObjects.erase(it);
    }
    Defer(engine->m_nodes, engine->m_deferredNodes, node);
  }
  if (foreign) Defer(engine->m_foreign, engine->m_deferredObjects, foreign);
  return 0;
}
