// Pushes onto plain arrays that wait for the next entry into the heap.
//
// Building a script array through IDispatch is a name lookup and a "push"
// call per element. When the lookup has just found the array's original
// push and nothing has run since, the push is queued instead of entering the
// heap; the queue is stored in one protected call before the next entry, so
// every observer sees the elements exactly as if each push had run.
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

bool ScriptEngine::QueuePush(void* target, const VARIANT& value) noexcept {
  if (!m_alive || m_depth != 0 || m_storingPushes || !target || (m_pushTarget && m_pushTarget != target)) return false;
  QueuedPush entry{};
  if (value.vt == VT_BSTR) {
    const std::u16string_view text =
        value.bstrVal ? std::u16string_view(value.bstrVal, SysStringLen(value.bstrVal)) : std::u16string_view();
    const size_t before = m_pushText.size();
    const size_t bytes = EncodeCesu8(text, nullptr);
    if (before + bytes > UINT32_MAX) return false;
    try {
      m_pushText.resize(before + bytes);
    } catch (...) {
      return false;
    }
    EncodeCesu8(text, m_pushText.data() + before);
    entry.text = true;
    entry.offset = static_cast<uint32_t>(before);
    entry.length = static_cast<uint32_t>(bytes);
  } else if (IsScalar(value.vt)) {
    entry.value = value;  // a plain copy: scalars own nothing
  } else {
    return false;
  }
  try {
    m_pushes.push_back(entry);
  } catch (...) {
    if (entry.text) m_pushText.resize(entry.offset);
    return false;
  }
  m_pushTarget = target;
  return true;
}

duk_ret_t ScriptEngine::StorePushes(duk_context* ctx, void* udata) {
  auto* engine = static_cast<ScriptEngine*>(udata);
  duk_push_heapptr(ctx, engine->m_pushTarget);  // kept alive by its wrapper's slot
  while (engine->m_pushNext < engine->m_pushes.size()) {
    const QueuedPush& entry = engine->m_pushes[engine->m_pushNext];
    // Counted before the store: one that throws is passed over, as a push
    // that failed would be.
    ++engine->m_pushNext;
    const duk_size_t length = duk_get_length(ctx, 0);
    if (length >= 0xFFFFFFFFu) continue;  // the real push fails: the array is full
    if (entry.text)
      duk_push_lstring(ctx, engine->m_pushText.data() + entry.offset, entry.length);
    else
      engine->PushVariant(ctx, entry.value);
    duk_put_prop_index(ctx, 0, static_cast<duk_uarridx_t>(length));
  }
  return 0;
}

void ScriptEngine::StoreQueuedPushes() {
  m_storingPushes = true;
  // One protected call for the lot; after a failure it goes on with the next.
  while (m_alive && m_ctx && m_pushNext < m_pushes.size()) {
    ++m_calls;
    duk_safe_call(m_ctx, StorePushes, this, 0, 1);
    duk_pop(m_ctx);
  }
  m_pushTarget = nullptr;
  m_pushes.clear();
  m_pushNext = 0;
  m_pushText.clear();
  try {
    if (m_pushText.capacity() > (1u << 20)) m_pushText.shrink_to_fit();
    if (m_pushes.capacity() > 65536) m_pushes.shrink_to_fit();
  } catch (...) {
    // Keeping the room is as good.
  }
  m_storingPushes = false;
}
