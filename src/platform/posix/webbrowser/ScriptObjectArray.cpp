// The plain-array paths of script object wrappers: name lookups answered
// from what the previous call found, and elements read ahead.
//
// A plain array (an array that is no proxy) gives no script a chance to run
// when its present elements or Array.prototype.push are read. So the bridge's
// rounds of "look up index i, get index i" and "look up push, call push" can
// be served by one call for many rounds, as long as nothing else enters the
// heap in between (ScriptEngine::Quiet). (A hole, an element missing from
// the array, is looked for on the prototypes; a getter script put there for
// that index runs when the hole is read ahead, not when it is asked for.)
#include "platform/webbrowser/ScriptObject.h"

bool ScriptObject::KnownToExist(DISPID id) const {
  if (!m_plainArray) return false;
  if (id == m_engine->PushId()) return StillQuiet(m_pushReadyAt);
  if (ScriptNames::IsIndex(id) && StillQuiet(m_aheadAt)) {
    const uint32_t index = ScriptNames::IndexOf(id);
    if (index < m_aheadFirst || index - m_aheadFirst >= m_aheadCount) return false;
    return m_aheadState[index - m_aheadFirst] != kAheadUnknown;
  }
  return false;
}

bool ScriptObject::PrepareAhead() noexcept {
  ClearAhead();
  try {
    m_ahead.resize(kReadAhead);
    m_aheadState.resize(kReadAhead);
  } catch (...) {
    return false;
  }
  for (VARIANT& v : m_ahead) VariantInit(&v);
  return true;
}

void ScriptObject::ReadAhead(duk_context* ctx, uint32_t first) {
  // Entries are counted as they are made, so a failure part way leaves a
  // cache that ClearAhead can release.
  m_aheadFirst = first;
  m_aheadCount = 0;
  const duk_size_t length = duk_get_length(ctx, 0);
  for (uint32_t k = 0; k < kReadAhead && first + static_cast<duk_size_t>(k) < length; ++k) {
    duk_get_prop_index(ctx, 0, first + k);
    const duk_int_t type = duk_get_type(ctx, -1);
    m_aheadState[k] = kAheadUnknown;  // a hole, or undefined: only a has-check can tell
    m_aheadCount = k + 1;
    if (type != DUK_TYPE_UNDEFINED) {
      m_engine->ToVariantOfType(ctx, duk_get_top_index(ctx), type, &m_ahead[k]);
      m_aheadState[k] = kAheadPresent;
    }
    duk_pop(ctx);
    if (type == DUK_TYPE_OBJECT || type == DUK_TYPE_LIGHTFUNC || type == DUK_TYPE_BUFFER) break;
  }
}

bool ScriptObject::AheadHas(uint32_t index) const {
  return index >= m_aheadFirst && index - m_aheadFirst < m_aheadCount &&
         m_aheadState[index - m_aheadFirst] == kAheadPresent;
}

bool ScriptObject::TakeAhead(uint32_t index, VARIANT* result) {
  if (!AheadHas(index)) return false;
  VARIANT& entry = m_ahead[index - m_aheadFirst];
  if (result) {
    *result = entry;  // handed over
    VariantInit(&entry);
  } else {
    VariantClear(&entry);
  }
  m_aheadState[index - m_aheadFirst] = kAheadTaken;
  return true;
}

void ScriptObject::ClearAhead() noexcept {
  m_aheadAt = 0;
  const uint32_t count = m_aheadCount;
  m_aheadCount = 0;
  // Clearing may release wrappers, which may call into the heap: the cache
  // is already empty by then.
  for (uint32_t k = 0; k < count; ++k) VariantClear(&m_ahead[k]);
}
