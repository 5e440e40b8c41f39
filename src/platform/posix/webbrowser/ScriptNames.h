// The member names a script heap has handed out DISPIDs for. A name gets its
// DISPID once and keeps it on every object of the heap, so callers look a
// name up once and use the number everywhere. Lookups take no allocation:
// by UTF-16 text (the COM side), by CESU-8 text (Duktape's side), or by the
// heap pointer of the name's interned script string once the heap has made
// one. Canonical array indexes ("0", "17") are not stored: they map to
// kIndexBase + index, so walking a long array does not fill the table.
//
// The table holds a bounded number of names. When it is full, the oldest
// eighth is retired: their DISPIDs are never given out again (a caller still
// holding one gets "no such member", never another member), and a retired
// name asked for again gets a new DISPID. A long session with ever new names
// (objects keyed by record ids) so keeps working in bounded memory. A few
// pinned names (added first) are never retired.
//
// Texts live in one pool, so a new name costs no allocation of its own; a
// view of a name stays valid only until the next name is added.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Automation.h"

class ScriptNames {
 public:
  static constexpr DISPID kIndexBase = 0x40000000;
  static constexpr uint32_t kMaxIndex = 0x7FFFFFFF - kIndexBase;  // exclusive
  static constexpr uint32_t kMaxPinned = 16;

  // capacity: names held at once, besides the pinned ones (rounded up to a
  // power of two).
  explicit ScriptNames(size_t capacity) {
    while (m_capacity < capacity) m_capacity *= 2;
  }

  // The DISPID of a name, DISPID_UNKNOWN when it has none (now).
  DISPID Find(OleStringView name) const noexcept;
  DISPID FindCesu8(std::string_view name) noexcept;
  // The DISPID of a name, given one when it has none; DISPID_UNKNOWN when
  // memory runs out (or, after a billion names, DISPIDs do).
  DISPID Add(OleStringView name) noexcept;
  DISPID AddCesu8(std::string_view name) noexcept;
  // A name that is never retired; only before any Add.
  DISPID AddPinned(OleStringView name) noexcept;

  static bool IsIndex(DISPID id) { return id >= kIndexBase; }
  static uint32_t IndexOf(DISPID id) { return static_cast<uint32_t>(id - kIndexBase); }
  // True for a DISPID of a name held now (not an index, not retired).
  bool IsStored(DISPID id) const {
    const uint32_t u = static_cast<uint32_t>(id);
    return id >= 1 && (u <= m_pinned.size() || (u >= m_oldest && u < m_next));
  }
  // The text of a stored name (see the note on views above).
  OleStringView Wide(DISPID id) const {
    const Name& n = Entry(id);
    return OleStringView(m_pool.data() + n.offset, n.length);
  }
  // The UTF-16 name of any DISPID held now (indexes included).
  bool NameOf(DISPID id, OleString* out) const;

  // The heap's interned string of a stored name, once made and kept by the
  // heap at keySlot; and back from the string to the name.
  void* Key(DISPID id) const { return Entry(id).key; }
  void SetKey(DISPID id, void* key, uint32_t keySlot) noexcept;
  DISPID FindKey(const void* key) const noexcept;
  // Slots of retired names' strings, which the heap may now let go.
  std::vector<uint32_t>& RetiredKeySlots() { return m_retiredKeySlots; }
  // Forgets the heap strings (when the heap goes away).
  void ForgetKeys() noexcept;

 private:
  struct Name {
    uint32_t id;
    uint32_t offset;  // in m_pool
    uint32_t length;
    uint32_t hash;
    void* key;
    uint32_t keySlot;
  };
  static constexpr uint32_t kFirstId = kMaxPinned + 1;

  const Name& Entry(DISPID id) const {
    const uint32_t u = static_cast<uint32_t>(id);
    return u <= m_pinned.size() ? m_pinned[u - 1] : m_ring[(u - kFirstId) & (m_capacity - 1)];
  }
  Name& Entry(DISPID id) { return const_cast<Name&>(static_cast<const ScriptNames*>(this)->Entry(id)); }
  static DISPID IndexId(OleStringView name) noexcept;
  static uint32_t Hash(OleStringView name) noexcept;
  static size_t KeyHash(const void* key) noexcept;
  DISPID Lookup(OleStringView name, uint32_t hash) const noexcept;
  DISPID FindStored(OleStringView name) const noexcept;
  bool Store(OleStringView name, uint32_t hash, Name* out) noexcept;
  void Index(const Name& n) noexcept;
  void IndexKey(const Name& n) noexcept;
  bool Rebuild(size_t slots) noexcept;
  bool Retire() noexcept;

  size_t m_capacity = 1;
  std::vector<Name> m_pinned;  // DISPIDs 1..
  std::vector<Name> m_ring;    // DISPIDs from kFirstId, oldest replaced first
  uint32_t m_oldest = kFirstId;  // the live ring DISPIDs: [m_oldest, m_next)
  uint32_t m_next = kFirstId;
  std::vector<OLECHAR> m_pool;  // every live name's text
  // Open addressing, at most half full: (hash << 32) | id, 0 when empty.
  std::vector<uint64_t> m_slots;
  // Interned string -> DISPID, the same way: {key, id}, null key when empty.
  std::vector<std::pair<const void*, uint32_t>> m_keySlots;
  size_t m_keyCount = 0;
  std::vector<uint32_t> m_retiredKeySlots;
  OleString m_scratch;  // CESU-8 names decoded for lookup
  // The name found last: callers ask for the same name over and over
  // ("push" for every element of an array).
  mutable DISPID m_lastFound = DISPID_UNKNOWN;
};
