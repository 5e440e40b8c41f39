#include "platform/webbrowser/ScriptNames.h"

#include <algorithm>

#include "platform/webbrowser/Cesu8.h"

DISPID ScriptNames::IndexId(std::u16string_view name) noexcept {
  if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == u'0')) return DISPID_UNKNOWN;
  uint64_t value = 0;
  for (char16_t c : name) {
    if (c < u'0' || c > u'9') return DISPID_UNKNOWN;
    value = value * 10 + static_cast<uint64_t>(c - u'0');
  }
  return value < kMaxIndex ? kIndexBase + static_cast<DISPID>(value) : DISPID_UNKNOWN;
}

uint32_t ScriptNames::Hash(std::u16string_view name) noexcept {
  uint32_t h = 2166136261u;  // FNV-1a over the code units
  for (char16_t c : name) {
    h ^= static_cast<uint32_t>(c);
    h *= 16777619u;
  }
  return h;
}

size_t ScriptNames::KeyHash(const void* key) noexcept {
  uint64_t v = reinterpret_cast<uintptr_t>(key);
  v ^= v >> 33;
  v *= 0xff51afd7ed558ccdull;
  v ^= v >> 33;
  return static_cast<size_t>(v);
}

DISPID ScriptNames::Lookup(std::u16string_view name, uint32_t hash) const noexcept {
  if (m_slots.empty()) return DISPID_UNKNOWN;
  const size_t mask = m_slots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint64_t slot = m_slots[i];
    if (slot == 0) return DISPID_UNKNOWN;
    if (static_cast<uint32_t>(slot >> 32) != hash) continue;
    const DISPID id = static_cast<DISPID>(static_cast<uint32_t>(slot));
    if (Wide(id) == name) return id;
  }
}

DISPID ScriptNames::FindStored(std::u16string_view name) const noexcept {
  if (m_lastFound != DISPID_UNKNOWN && Wide(m_lastFound) == name) return m_lastFound;
  DISPID id = Lookup(name, Hash(name));
  if (id != DISPID_UNKNOWN) m_lastFound = id;
  return id;
}

DISPID ScriptNames::Find(std::u16string_view name) const noexcept {
  DISPID index = IndexId(name);
  if (index != DISPID_UNKNOWN) return index;
  return FindStored(name);
}

bool ScriptNames::GrowSlots() noexcept {
  try {
    std::vector<uint64_t> slots(m_slots.empty() ? 1024 : m_slots.size() * 2, 0);
    const size_t mask = slots.size() - 1;
    for (uint64_t slot : m_slots) {
      if (!slot) continue;
      size_t i = static_cast<uint32_t>(slot >> 32) & mask;
      while (slots[i]) i = (i + 1) & mask;
      slots[i] = slot;
    }
    m_slots.swap(slots);
    return true;
  } catch (...) {
    return false;
  }
}

DISPID ScriptNames::Add(std::u16string_view name) noexcept {
  DISPID index = IndexId(name);
  if (index != DISPID_UNKNOWN) return index;
  if (m_lastFound != DISPID_UNKNOWN && Wide(m_lastFound) == name) return m_lastFound;
  const uint32_t hash = Hash(name);
  DISPID found = Lookup(name, hash);
  if (found != DISPID_UNKNOWN) return m_lastFound = found;
  if (m_names.size() >= m_max || m_pool.size() + name.size() > UINT32_MAX) return DISPID_UNKNOWN;
  if ((m_names.size() + 1) * 2 > m_slots.size() && !GrowSlots()) return DISPID_UNKNOWN;
  const size_t poolBefore = m_pool.size();
  try {
    m_pool.insert(m_pool.end(), name.begin(), name.end());
    m_names.push_back(Name{static_cast<uint32_t>(poolBefore), static_cast<uint32_t>(name.size()), nullptr});
  } catch (...) {
    m_pool.resize(poolBefore);
    return DISPID_UNKNOWN;
  }
  const uint32_t id = static_cast<uint32_t>(m_names.size());
  const size_t mask = m_slots.size() - 1;
  size_t i = hash & mask;
  while (m_slots[i]) i = (i + 1) & mask;
  m_slots[i] = (static_cast<uint64_t>(hash) << 32) | id;
  return static_cast<DISPID>(id);
}

namespace {
// Decodes a CESU-8 name into buffer (reused); ASCII is widened as it stands.
bool DecodeName(std::string_view name, std::u16string* buffer) noexcept {
  try {
    bool ascii = true;
    for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      buffer->resize(name.size());
      std::copy(name.begin(), name.end(), buffer->begin());
      return true;
    }
    buffer->resize(DecodeCesu8(name, nullptr));
    DecodeCesu8(name, buffer->data());
    return true;
  } catch (...) {
    return false;
  }
}
}  // namespace

DISPID ScriptNames::FindCesu8(std::string_view name) noexcept {
  return DecodeName(name, &m_scratch) ? Find(m_scratch) : DISPID_UNKNOWN;
}

DISPID ScriptNames::AddCesu8(std::string_view name) noexcept {
  return DecodeName(name, &m_scratch) ? Add(m_scratch) : DISPID_UNKNOWN;
}

bool ScriptNames::NameOf(DISPID id, std::u16string* out) const {
  if (IsIndex(id)) {
    char16_t digits[16];
    size_t n = 0;
    uint32_t value = IndexOf(id);
    do {
      digits[n++] = static_cast<char16_t>(u'0' + value % 10);
      value /= 10;
    } while (value);
    std::reverse(digits, digits + n);
    out->assign(digits, n);
    return true;
  }
  if (!IsStored(id)) return false;
  out->assign(Wide(id));
  return true;
}

bool ScriptNames::GrowKeySlots() noexcept {
  try {
    std::vector<std::pair<const void*, uint32_t>> slots(m_keySlots.empty() ? 1024 : m_keySlots.size() * 2,
                                                        {nullptr, 0});
    const size_t mask = slots.size() - 1;
    for (const auto& slot : m_keySlots) {
      if (!slot.first) continue;
      size_t i = KeyHash(slot.first) & mask;
      while (slots[i].first) i = (i + 1) & mask;
      slots[i] = slot;
    }
    m_keySlots.swap(slots);
    return true;
  } catch (...) {
    return false;
  }
}

void ScriptNames::SetKey(DISPID id, void* key) noexcept {
  if (!IsStored(id) || !key || m_names[static_cast<size_t>(id) - 1].key) return;
  m_names[static_cast<size_t>(id) - 1].key = key;
  // Without room in the index the name is still found by its text.
  if ((m_keyCount + 1) * 2 > m_keySlots.size() && !GrowKeySlots()) return;
  const size_t mask = m_keySlots.size() - 1;
  size_t i = KeyHash(key) & mask;
  while (m_keySlots[i].first) i = (i + 1) & mask;
  m_keySlots[i] = {key, static_cast<uint32_t>(id)};
  ++m_keyCount;
}

DISPID ScriptNames::FindKey(const void* key) const noexcept {
  if (m_keySlots.empty() || !key) return DISPID_UNKNOWN;
  const size_t mask = m_keySlots.size() - 1;
  for (size_t i = KeyHash(key) & mask;; i = (i + 1) & mask) {
    if (m_keySlots[i].first == key) return static_cast<DISPID>(m_keySlots[i].second);
    if (!m_keySlots[i].first) return DISPID_UNKNOWN;
  }
}

void ScriptNames::ForgetKeys() noexcept {
  for (Name& n : m_names) n.key = nullptr;
  m_keySlots.clear();
  m_keyCount = 0;
}
