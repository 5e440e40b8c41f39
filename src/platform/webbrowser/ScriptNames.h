// The member names a script heap has handed out DISPIDs for. A name gets its
// DISPID once and keeps it on every object of the heap, so callers look a
// name up once and use the number everywhere. Lookups take no allocation:
// by UTF-16 text (the COM side), by CESU-8 text (Duktape's side), or by the
// heap pointer of the name's interned script string once the heap has made
// one. Canonical array indexes ("0", "17") are not stored: they map to
// kIndexBase + index, so walking a long array does not fill the table.
//
// Texts live in one pool, so a new name costs no allocation of its own; a
// view of a name stays valid only until the next name is added.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Automation.h"

class ScriptNames {
 public:
  static constexpr DISPID kIndexBase = 0x40000000;
  static constexpr uint32_t kMaxIndex = 0x7FFFFFFF - kIndexBase;  // exclusive

  explicit ScriptNames(size_t maxNames) : m_max(maxNames) {}

  // The DISPID of a name, DISPID_UNKNOWN when it has none yet.
  DISPID Find(std::u16string_view name) const noexcept;
  DISPID FindCesu8(std::string_view name) noexcept;
  // The DISPID of a name, given one when it has none; DISPID_UNKNOWN when the
  // table is full or memory runs out.
  DISPID Add(std::u16string_view name) noexcept;
  DISPID AddCesu8(std::string_view name) noexcept;

  static bool IsIndex(DISPID id) { return id >= kIndexBase; }
  static uint32_t IndexOf(DISPID id) { return static_cast<uint32_t>(id - kIndexBase); }
  // True for a DISPID of a stored name (not an index).
  bool IsStored(DISPID id) const { return id >= 1 && static_cast<size_t>(id) <= m_names.size(); }
  // The text of a stored name (see the note on views above).
  std::u16string_view Wide(DISPID id) const {
    const Name& n = m_names[static_cast<size_t>(id) - 1];
    return std::u16string_view(m_pool.data() + n.offset, n.length);
  }
  // The UTF-16 name of any DISPID the table gave out (indexes included).
  bool NameOf(DISPID id, std::u16string* out) const;

  // The heap's interned string of a stored name, once made; and back.
  void* Key(DISPID id) const { return m_names[static_cast<size_t>(id) - 1].key; }
  void SetKey(DISPID id, void* key) noexcept;
  DISPID FindKey(const void* key) const noexcept;
  // Forgets the heap strings (when the heap goes away).
  void ForgetKeys() noexcept;

 private:
  struct Name {
    uint32_t offset;  // in m_pool
    uint32_t length;
    void* key;
  };

  static DISPID IndexId(std::u16string_view name) noexcept;
  static uint32_t Hash(std::u16string_view name) noexcept;
  static size_t KeyHash(const void* key) noexcept;
  DISPID Lookup(std::u16string_view name, uint32_t hash) const noexcept;
  DISPID FindStored(std::u16string_view name) const noexcept;
  bool GrowSlots() noexcept;
  bool GrowKeySlots() noexcept;

  size_t m_max;
  std::vector<Name> m_names;       // m_names[id - 1]
  std::vector<char16_t> m_pool;    // every name's text, one after another
  // Open addressing, at most half full: (hash << 32) | id, 0 when empty.
  std::vector<uint64_t> m_slots;
  // Interned string -> DISPID, the same way: {key, id}, null key when empty.
  std::vector<std::pair<const void*, uint32_t>> m_keySlots;
  size_t m_keyCount = 0;
  std::u16string m_scratch;  // CESU-8 names decoded for lookup
  // The name found last: callers ask for the same name over and over
  // ("push" for every element of an array).
  mutable DISPID m_lastFound = DISPID_UNKNOWN;
};
