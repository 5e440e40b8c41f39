// Writes that wait for the next entry into the heap (see ScriptEngine.h).
//
// The queue is stored in one protected call at the start of the next entry
// (RunRaw), before its own work; after a store that throws, storing goes on
// with the next write in a new protected call, as the calls would have gone
// on one by one.
#include "platform/webbrowser/Cesu8.h"
#include "platform/webbrowser/ScriptEngine.h"

namespace {

bool IsScalar(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE:
    case VT_BOOL: case VT_ERROR: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ScriptEngine::Queue(void* target, DISPID id, uint8_t kind, const VARIANT* value) noexcept {
  // Only between calls: inside one, script runs between the calls it makes.
  if (!m_alive || m_depth != 0 || m_storingWrites || !target) return false;
  if (value && value->vt != VT_BSTR && !IsScalar(value->vt)) return false;
  if (m_writes.capacity() < kWriteBatch) {
    try {
      m_writes.reserve(kWriteBatch);  // once: the queue never grows beyond it
    } catch (...) {
      return false;
    }
  }
  uint32_t offset = 0, length = 0;
  if (value && value->vt == VT_BSTR) {
    const OleStringView text =
        value->bstrVal ? OleStringView(value->bstrVal, SysStringLen(value->bstrVal)) : OleStringView();
    const size_t before = m_writeText.size();
    size_t bytes = text.size();
    for (OLECHAR c : text) {
      if (c >= 0x80) {
        bytes = EncodeCesu8(text, nullptr);
        break;
      }
    }
    if (before + bytes > UINT32_MAX) return false;
    try {
      m_writeText.resize(before + bytes);
    } catch (...) {
      return false;
    }
    char* out = m_writeText.data() + before;
    if (bytes == text.size()) {
      for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<char>(text[i]);  // ASCII as it stands
    } else {
      EncodeCesu8(text, out);
    }
    offset = static_cast<uint32_t>(before);
    length = static_cast<uint32_t>(bytes);
  }
  // Made in place (room was reserved, so this cannot throw).
  QueuedWrite& entry = m_writes.emplace_back();
  entry.target = target;
  entry.id = id;
  entry.kind = kind;
  entry.text = value && value->vt == VT_BSTR;
  if (entry.text) {
    entry.span.offset = offset;
    entry.span.length = length;
  } else if (value) {
    entry.value = *value;
  }
  // A long queue is stored now: it stays small enough to sit in the cache.
  if (m_writes.size() >= kWriteBatch) StoreWritesNow();
  return true;
}

void ScriptEngine::StoreWritesNow() noexcept {
  if (!m_alive || !m_ctx || m_depth != 0) return;
  std::shared_ptr<ScriptEngine> self;
  try {
    self = shared_from_this();  // the stores may drop the last owner
  } catch (...) {
    return;
  }
  ++m_depth;
  StoreQueuedWrites();
  if (--m_depth == 0) AfterOutermostCall();
}

bool ScriptEngine::QueuePush(void* target, const VARIANT& value) noexcept {
  return Queue(target, DISPID_UNKNOWN, kWritePush, &value);
}

bool ScriptEngine::QueueEnsure(void* target, DISPID id) noexcept { return Queue(target, id, kWriteEnsure, nullptr); }

bool ScriptEngine::QueuePut(void* target, DISPID id, const VARIANT& value) noexcept {
  return Queue(target, id, kWritePut, &value);
}

duk_ret_t ScriptEngine::StoreWrites(duk_context* ctx, void* udata) {
  auto* engine = static_cast<ScriptEngine*>(udata);
  void* current = nullptr;  // the target at index 0
  while (engine->m_writeNext < engine->m_writes.size()) {
    // Counted before the store: one that throws is passed over, as a call
    // that failed would be.
    const QueuedWrite& write = engine->m_writes[engine->m_writeNext++];
    if (write.target != current) {
      duk_set_top(ctx, 0);
      duk_push_heapptr(ctx, write.target);  // kept alive by its wrapper's slot
      current = write.target;
    }
    if (write.kind == kWriteEnsure) {
      // A put of the same member right after makes it the same way.
      if (engine->m_writeNext < engine->m_writes.size()) {
        const QueuedWrite& next = engine->m_writes[engine->m_writeNext];
        if (next.kind == kWritePut && next.target == write.target && next.id == write.id) continue;
      }
      engine->PushKey(ctx, write.id);
      duk_dup(ctx, -1);
      if (duk_has_prop(ctx, 0)) {
        duk_pop(ctx);
      } else {
        duk_push_undefined(ctx);
        duk_put_prop(ctx, 0);
      }
      continue;
    }
    duk_size_t length = 0;
    if (write.kind == kWritePush) {
      length = duk_get_length(ctx, 0);
      if (length >= 0xFFFFFFFFu) continue;  // the real push fails: the array is full
    } else {
      engine->PushKey(ctx, write.id);
    }
    if (write.text)
      duk_push_lstring(ctx, engine->m_writeText.data() + write.span.offset, write.span.length);
    else
      engine->PushVariant(ctx, write.value);
    if (write.kind == kWritePush) {
      duk_put_prop_index(ctx, 0, static_cast<duk_uarridx_t>(length));
    } else if (write.id == engine->m_protoId) {
      // As a put from outside: a member, never the prototype.
      duk_def_prop(ctx, 0, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE | DUK_DEFPROP_SET_ENUMERABLE |
                               DUK_DEFPROP_SET_CONFIGURABLE);
    } else {
      duk_put_prop(ctx, 0);
    }
  }
  return 0;
}

void ScriptEngine::StoreQueuedWrites() {
  m_storingWrites = true;
  while (m_alive && m_ctx && m_writeNext < m_writes.size()) {
    ++m_calls;
    duk_safe_call(m_ctx, StoreWrites, this, 0, 1);
    duk_pop(m_ctx);
  }
  m_writes.clear();
  m_writeNext = 0;
  m_writeText.clear();
  try {
    if (m_writeText.capacity() > (1u << 20)) m_writeText.shrink_to_fit();  // after very long texts
  } catch (...) {
    // Keeping the room is as good.
  }
  m_storingWrites = false;
  std::vector<uint32_t> slots = std::move(m_slotsAfterWrites);
  m_slotsAfterWrites.clear();
  for (uint32_t slot : slots) FreeSlot(slot);
}
