#include "platform/webbrowser/ScriptNames.h"

#include <algorithm>

#include "platform/webbrowser/Cesu8.h"

DISPID ScriptNames::IndexId(OleStringView name) noexcept {
  if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == OLESTR('0'))) return DISPID_UNKNOWN;
  uint64_t value = 0;
  for (OLECHAR c : name) {
    if (c < OLESTR('0') || c > OLESTR('9')) return DISPID_UNKNOWN;
    value = value * 10 + static_cast<uint64_t>(c - OLESTR('0'));
  }
  return value < kMaxIndex ? kIndexBase + static_cast<DISPID>(value) : DISPID_UNKNOWN;
}

uint32_t ScriptNames::Hash(OleStringView name) noexcept {
  uint32_t h = 2166136261u;  // FNV-1a over the code units
  for (OLECHAR c : name) {
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

// ---- lookups ----------------------------------------------------------------------

DISPID ScriptNames::Lookup(OleStringView name, uint32_t hash) const noexcept {
  if (m_slots.empty()) return DISPID_UNKNOWN;
  const size_t mask = m_slots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint64_t slot = m_slots[i];
    if (slot == 0) return DISPID_UNKNOWN;
    if (static_cast<uint32_t>(slot >> 32) != hash) continue;
    const DISPID id = static_cast<DISPID>(static_cast<uint32_t>(slot));
    if (IsStored(id) && Wide(id) == name) return id;
  }
}

DISPID ScriptNames::FindStored(OleStringView name) const noexcept {
  if (m_lastFound != DISPID_UNKNOWN && IsStored(m_lastFound) && Wide(m_lastFound) == name) return m_lastFound;
  DISPID id = Lookup(name, Hash(name));
  if (id != DISPID_UNKNOWN) m_lastFound = id;
  return id;
}

DISPID ScriptNames::Find(OleStringView name) const noexcept {
  DISPID index = IndexId(name);
  if (index != DISPID_UNKNOWN) return index;
  return FindStored(name);
}

namespace {
// Decodes a CESU-8 name into buffer (reused); ASCII is widened as it stands.
bool DecodeName(std::string_view name, OleString* buffer) noexcept {
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

bool ScriptNames::NameOf(DISPID id, OleString* out) const {
  if (IsIndex(id)) {
    OLECHAR digits[16];
    size_t n = 0;
    uint32_t value = IndexOf(id);
    do {
      digits[n++] = static_cast<OLECHAR>(OLESTR('0') + value % 10);
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

// ---- adding and retiring ------------------------------------------------------------

bool ScriptNames::Store(OleStringView name, uint32_t hash, Name* out) noexcept {
  const size_t before = m_pool.size();
  if (before + name.size() > UINT32_MAX) return false;
  try {
    m_pool.insert(m_pool.end(), name.begin(), name.end());
  } catch (...) {
    return false;
  }
  *out = Name{0, static_cast<uint32_t>(before), static_cast<uint32_t>(name.size()), hash, nullptr, 0};
  return true;
}

void ScriptNames::Index(const Name& n) noexcept {
  const size_t mask = m_slots.size() - 1;
  size_t i = n.hash & mask;
  while (m_slots[i]) i = (i + 1) & mask;
  m_slots[i] = (static_cast<uint64_t>(n.hash) << 32) | n.id;
}

void ScriptNames::IndexKey(const Name& n) noexcept {
  const size_t mask = m_keySlots.size() - 1;
  size_t i = KeyHash(n.key) & mask;
  while (m_keySlots[i].first) i = (i + 1) & mask;
  m_keySlots[i] = {n.key, n.id};
  ++m_keyCount;
}

bool ScriptNames::Rebuild(size_t slotCount) noexcept {
  // Both indexes are made anew from the live names: retired ones drop out.
  size_t keys = 0;
  for (const Name& n : m_pinned) keys += n.key != nullptr;
  for (uint32_t id = m_oldest; id < m_next; ++id) keys += Entry(static_cast<DISPID>(id)).key != nullptr;
  size_t keySlotCount = 1024;
  while (keySlotCount < 4 * (keys + 1)) keySlotCount *= 2;
  try {
    std::vector<uint64_t> slots(slotCount, 0);
    std::vector<std::pair<const void*, uint32_t>> keySlots(keySlotCount, {nullptr, 0});
    m_slots.swap(slots);
    m_keySlots.swap(keySlots);
  } catch (...) {
    return false;
  }
  m_keyCount = 0;
  auto add = [this](const Name& n) {
    Index(n);
    if (n.key) IndexKey(n);
  };
  for (const Name& n : m_pinned) add(n);
  for (uint32_t id = m_oldest; id < m_next; ++id) add(Entry(static_cast<DISPID>(id)));
  return true;
}

bool ScriptNames::Retire() noexcept {
  const uint32_t live = m_next - m_oldest;
  const uint32_t count = std::min<uint32_t>(live, std::max<size_t>(1, m_capacity / 8));
  // The heap strings of the retired names may go; without room to say so
  // they stay until the heap ends.
  for (uint32_t id = m_oldest; id < m_oldest + count; ++id) {
    const Name& n = Entry(static_cast<DISPID>(id));
    if (!n.key) continue;
    try {
      m_retiredKeySlots.push_back(n.keySlot);
    } catch (...) {
    }
  }
  const uint32_t oldestBefore = m_oldest;
  m_oldest += count;
  m_lastFound = DISPID_UNKNOWN;
  if (!Rebuild(m_slots.size())) {
    m_oldest = oldestBefore;  // the indexes still hold them: keep them
    return false;
  }
  // The pool keeps only live texts (worth it once it is mostly dead).
  try {
    std::vector<OLECHAR> pool;
    pool.reserve(m_pool.size() - m_pool.size() / 8);
    auto keep = [this, &pool](Name& n) {
      const uint32_t offset = static_cast<uint32_t>(pool.size());
      pool.insert(pool.end(), m_pool.begin() + n.offset, m_pool.begin() + n.offset + n.length);
      n.offset = offset;
    };
    for (Name& n : m_pinned) keep(n);
    for (uint32_t id = m_oldest; id < m_next; ++id) keep(Entry(static_cast<DISPID>(id)));
    m_pool.swap(pool);
  } catch (...) {
    // Out of memory: the old pool stays, offsets unchanged.
  }
  return true;
}

DISPID ScriptNames::Add(OleStringView name) noexcept {
  DISPID index = IndexId(name);
  if (index != DISPID_UNKNOWN) return index;
  if (m_lastFound != DISPID_UNKNOWN && IsStored(m_lastFound) && Wide(m_lastFound) == name) return m_lastFound;
  const uint32_t hash = Hash(name);
  DISPID found = Lookup(name, hash);
  if (found != DISPID_UNKNOWN) return m_lastFound = found;
  if (m_next >= static_cast<uint32_t>(kIndexBase)) return DISPID_UNKNOWN;  // DISPIDs used up
  if (m_next - m_oldest >= m_capacity && !Retire()) return DISPID_UNKNOWN;
  const size_t live = m_pinned.size() + (m_next - m_oldest);
  if ((live + 1) * 2 > m_slots.size() && !Rebuild(std::max<size_t>(1024, m_slots.size() * 2))) return DISPID_UNKNOWN;
  Name n;
  if (!Store(name, hash, &n)) return DISPID_UNKNOWN;
  n.id = m_next;
  const size_t at = (m_next - kFirstId) & (m_capacity - 1);
  if (at == m_ring.size()) {
    try {
      m_ring.push_back(n);
    } catch (...) {
      m_pool.resize(n.offset);
      return DISPID_UNKNOWN;
    }
  } else {
    m_ring[at] = n;  // a retired name's place
  }
  ++m_next;
  Index(n);
  return static_cast<DISPID>(n.id);
}

DISPID ScriptNames::AddPinned(OleStringView name) noexcept {
  if (m_next != kFirstId || m_pinned.size() >= kMaxPinned || IndexId(name) != DISPID_UNKNOWN) return DISPID_UNKNOWN;
  const uint32_t hash = Hash(name);
  DISPID found = Lookup(name, hash);
  if (found != DISPID_UNKNOWN) return found;
  if ((m_pinned.size() + 1) * 2 > m_slots.size() && !Rebuild(1024)) return DISPID_UNKNOWN;
  Name n;
  if (!Store(name, hash, &n)) return DISPID_UNKNOWN;
  n.id = static_cast<uint32_t>(m_pinned.size() + 1);
  try {
    m_pinned.push_back(n);
  } catch (...) {
    m_pool.resize(n.offset);
    return DISPID_UNKNOWN;
  }
  Index(n);
  return static_cast<DISPID>(n.id);
}

// ---- interned strings ------------------------------------------------------------------

void ScriptNames::SetKey(DISPID id, void* key, uint32_t keySlot) noexcept {
  if (!IsStored(id) || !key || Entry(id).key) return;
  Name& n = Entry(id);
  n.key = key;
  n.keySlot = keySlot;
  if ((m_keyCount + 1) * 2 > m_keySlots.size()) {
    // Rebuilding indexes this name with the others; without room it is
    // still found by its text.
    Rebuild(m_slots.size());
    return;
  }
  IndexKey(n);
}

DISPID ScriptNames::FindKey(const void* key) const noexcept {
  if (m_keySlots.empty() || !key) return DISPID_UNKNOWN;
  const size_t mask = m_keySlots.size() - 1;
  for (size_t i = KeyHash(key) & mask;; i = (i + 1) & mask) {
    const auto& slot = m_keySlots[i];
    if (!slot.first) return DISPID_UNKNOWN;
    if (slot.first == key) {
      const DISPID id = static_cast<DISPID>(slot.second);
      return IsStored(id) && Entry(id).key == key ? id : DISPID_UNKNOWN;
    }
  }
}

void ScriptNames::ForgetKeys() noexcept {
  for (Name& n : m_pinned) n.key = nullptr;
  for (uint32_t id = m_oldest; id < m_next; ++id) Entry(static_cast<DISPID>(id)).key = nullptr;
  m_keySlots.clear();
  m_keyCount = 0;
  m_retiredKeySlots.clear();
}
