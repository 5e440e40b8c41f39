#include "platform/JsonPlainParse.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/JsonText.h"

namespace {

// The member names of the envelope of a request. Their values are kept as
// static keys: the member's map node then points at this text instead of
// owning a copy, which saves an allocation (and its free) per member. The
// texts live as long as the process, so a copied value stays sound.
constexpr std::string_view kKnownKeys[] = {"method", "event", "params", "sender", "tab", "url", "id"};

class PlainParser {
 public:
  PlainParser(const char* begin, const char* end, PlainJsonEnvelope* envelope)
      : m_p(begin), m_end(end), m_envelope(envelope) {}

  bool Document(Json::Value* out) {
    SkipBlanks();
    if (m_p == m_end || *m_p != '{') return false;
    if (!Value(out, 0)) return false;
    SkipBlanks();
    if (m_p != m_end) return false;
    if (m_envelope)
      m_envelope->small = !m_nested && m_longestString <= kPlainJsonSmallText && out->size() <= kPlainJsonReused;
    return true;
  }

 private:
  const char* m_p;
  const char* m_end;
  PlainJsonEnvelope* m_envelope;  // may be null
  std::string m_scratch;
  bool m_nested = false;        // a top-level member is an object or an array
  size_t m_longestString = 0;   // of the names and texts  // a string with escapes, decoded

  void SkipBlanks() {
    while (m_p != m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r')) ++m_p;
  }

  // After a scalar the next character must end it (the reader would read
  // "truex" or "12a" differently, or not at all).
  bool AtDelimiter() const {
    if (m_p == m_end) return true;
    char c = *m_p;
    return c == ',' || c == '}' || c == ']' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
  }

  // Sets *out to value. Only the payload is exchanged: a move would also
  // exchange comments and offsets, which neither value has, at several
  // times the cost.
  static void Put(Json::Value* out, Json::Value&& value) { out->swapPayload(value); }

  bool Value(Json::Value* out, int depth) {
    if (m_p == m_end) return false;
    switch (*m_p) {
      case '{': return Object(out, depth + 1);
      case '[': return Array(out, depth + 1);
      case '"': {
        std::string_view s;
        if (!String(&s)) return false;
        Put(out, Json::Value(s.data(), s.data() + s.size()));
        return true;
      }
      case 't': return Literal("true", Json::Value(true), out);
      case 'f': return Literal("false", Json::Value(false), out);
      case 'n': return Literal("null", Json::Value(), out);
      default: return Integer(out);
    }
  }

  bool Literal(const char* word, Json::Value value, Json::Value* out) {
    size_t n = std::strlen(word);
    if (static_cast<size_t>(m_end - m_p) < n || std::memcmp(m_p, word, n) != 0) return false;
    m_p += n;
    if (!AtDelimiter()) return false;
    Put(out, std::move(value));
    return true;
  }

  // -?(0|[1-9][0-9]{0,8}): within an int, where the reader makes an int value too.
  bool Integer(Json::Value* out) {
    bool negative = *m_p == '-';
    if (negative) ++m_p;
    const char* digits = m_p;
    while (m_p != m_end && *m_p >= '0' && *m_p <= '9') ++m_p;
    size_t n = static_cast<size_t>(m_p - digits);
    if (n == 0 || n > 9 || (n > 1 && *digits == '0')) return false;
    Json::Int64 v = 0;
    for (const char* d = digits; d != m_p; ++d) v = v * 10 + (*d - '0');
    if (!AtDelimiter()) return false;  // a fraction, an exponent, or not a number
    Put(out, Json::Value(negative ? -v : v));
    return true;
  }

  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // At the opening quote. *s is the string's bytes: in the text when it has
  // no escapes, in m_scratch (valid until the next string) when it has.
  bool String(std::string_view* s, bool* escaped = nullptr) {
    if (escaped) *escaped = false;
    const char* start = ++m_p;
    m_p = start + JsonPlainRunEnd(std::string_view(start, static_cast<size_t>(m_end - start)), 0);
    if (m_p == m_end || static_cast<unsigned char>(*m_p) < 0x20) return false;
    if (*m_p == '"') {
      *s = std::string_view(start, static_cast<size_t>(m_p - start));
      m_longestString = std::max(m_longestString, s->size());
      ++m_p;
      return true;
    }
    // A backslash: decoded from here on.
    if (escaped) *escaped = true;
    m_scratch.assign(start, m_p);
    while (m_p != m_end) {
      unsigned char c = static_cast<unsigned char>(*m_p++);
      if (c == '"') {
        *s = m_scratch;
        m_longestString = std::max(m_longestString, s->size());
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        m_scratch += static_cast<char>(c);
        continue;
      }
      if (m_p == m_end) return false;
      switch (*m_p++) {
        case '"': m_scratch += '"'; break;
        case '\\': m_scratch += '\\'; break;
        case '/': m_scratch += '/'; break;
        case 'b': m_scratch += '\b'; break;
        case 'f': m_scratch += '\f'; break;
        case 'n': m_scratch += '\n'; break;
        case 'r': m_scratch += '\r'; break;
        case 't': m_scratch += '\t'; break;
        case 'u': {
          if (m_end - m_p < 4) return false;
          unsigned cp = 0;
          for (int i = 0; i < 4; ++i) {
            int h = Hex(*m_p++);
            if (h < 0) return false;
            cp = cp * 16 + static_cast<unsigned>(h);
          }
          if (cp >= 0xD800 && cp <= 0xDFFF) return false;  // pairs are the reader's to judge
          if (cp < 0x80) {
            m_scratch += static_cast<char>(cp);
          } else if (cp < 0x800) {
            m_scratch += static_cast<char>(0xC0 | (cp >> 6));
            m_scratch += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            m_scratch += static_cast<char>(0xE0 | (cp >> 12));
            m_scratch += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            m_scratch += static_cast<char>(0x80 | (cp & 0x3F));
          }
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  // The member's value slot, created empty (or the earlier one of the same
  // name: the last of duplicate members wins, as with the reader).
  static Json::Value* Slot(Json::Value* object, std::string_view key) {
    for (std::string_view known : kKnownKeys)
      if (key == known) return &(*object)[Json::StaticString(known.data())];
    return object->demand(key.data(), key.data() + key.size());
  }

  // The members an object held before this parse, when it is reused: those
  // the text does not set again are removed at its end.
  struct Earlier {  // trivial: an array of them costs nothing to declare
    Json::Value* slot;
    const char* key;  // the node's own key, valid until it is removed
    size_t keySize;
    bool set;
  };

  // Readies the object a reused top-level value holds: notes its members, or
  // starts afresh when it has more than kPlainJsonReused of them. *count is
  // the number noted. (The value was made by a parse like this one, so none
  // of its members carries a comment that setting its payload would leave.)
  static void NoteEarlier(Json::Value* out, Earlier* earlier, size_t* count) {
    *count = 0;
    if (out->size() > kPlainJsonReused) {
      *out = Json::Value(Json::objectValue);
      return;
    }
    const auto end = out->end();
    for (auto it = out->begin(); it != end; ++it) {
      const char* nameEnd = nullptr;
      const char* name = it.memberName(&nameEnd);
      earlier[(*count)++] = {&*it, name, static_cast<size_t>(nameEnd - name), false};
    }
  }

  // The slot of an earlier member of this name (marked as set), or null.
  static Json::Value* EarlierSlot(std::string_view key, Earlier* earlier, size_t count) {
    for (size_t i = 0; i < count; ++i)
      if (std::string_view(earlier[i].key, earlier[i].keySize) == key) {
        earlier[i].set = true;
        return earlier[i].slot;
      }
    return nullptr;
  }

  static void RemoveUnset(Json::Value* out, const Earlier* earlier, size_t count) {
    for (size_t i = 0; i < count; ++i)
      if (!earlier[i].set) out->removeMember(earlier[i].key, earlier[i].key + earlier[i].keySize, nullptr);
  }

  bool Object(Json::Value* out, int depth) {
    if (depth > kPlainJsonDepth) return false;
    // At the top an object of an earlier request keeps its map and nodes:
    // members of the same names are set again where they are.
    Earlier earlier[kPlainJsonReused];
    size_t earlierCount = 0;
    if (depth == 1 && out->isObject())
      NoteEarlier(out, earlier, &earlierCount);
    else
      Put(out, Json::Value(Json::objectValue));
    ++m_p;
    SkipBlanks();
    if (m_p != m_end && *m_p == '}') {
      ++m_p;
      RemoveUnset(out, earlier, earlierCount);
      return true;
    }
    for (;;) {
      if (m_p == m_end || *m_p != '"') return false;
      std::string_view key;
      bool escaped = false;
      if (!String(&key, &escaped)) return false;
      // A decoded key lies in the scratch string, which the value may reuse.
      std::string owned;
      if (escaped) {
        owned.assign(key);
        key = owned;
      }
      SkipBlanks();
      if (m_p == m_end || *m_p != ':') return false;
      ++m_p;
      SkipBlanks();
      // A member of an earlier request is found among the names noted, not
      // looked up in the map again.
      Json::Value* slot = EarlierSlot(key, earlier, earlierCount);
      if (!slot) slot = Slot(out, key);
      if (depth == 1 && m_envelope) {
        if (key == "method") m_envelope->method = slot;
        else if (key == "event") m_envelope->event = slot;
        if (*m_p == '{' || *m_p == '[') m_nested = true;
      }
      if (!Value(slot, depth)) return false;
      SkipBlanks();
      if (m_p == m_end) return false;
      if (*m_p == '}') {
        ++m_p;
        RemoveUnset(out, earlier, earlierCount);
        return true;
      }
      if (*m_p != ',') return false;
      ++m_p;
      SkipBlanks();
    }
  }

  bool Array(Json::Value* out, int depth) {
    if (depth > kPlainJsonDepth) return false;
    Put(out, Json::Value(Json::arrayValue));
    ++m_p;
    SkipBlanks();
    if (m_p != m_end && *m_p == ']') {
      ++m_p;
      return true;
    }
    for (Json::ArrayIndex i = 0;; ++i) {
      if (!Value(&(*out)[i], depth)) return false;
      SkipBlanks();
      if (m_p == m_end) return false;
      if (*m_p == ']') {
        ++m_p;
        return true;
      }
      if (*m_p != ',') return false;
      ++m_p;
      SkipBlanks();
    }
  }
};

}  // namespace

bool ParsePlainJson(const char* begin, const char* end, Json::Value* out, PlainJsonEnvelope* envelope) {
  if (envelope) *envelope = PlainJsonEnvelope();
  PlainParser parser(begin, end, envelope);
  if (parser.Document(out)) {
    if (envelope) envelope->noted = true;
    return true;
  }
  *out = Json::Value();
  if (envelope) *envelope = PlainJsonEnvelope();
  return false;
}
