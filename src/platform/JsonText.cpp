#include "platform/JsonText.h"

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform/Automation.h"
#include "platform/CodePage.h"

namespace {

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

bool NeedsRecoding(const Json::Value& v) {
  switch (v.type()) {
    case Json::stringValue: {
      const char* b;
      const char* e;
      v.getString(&b, &e);
      for (const char* p = b; p != e; ++p)
        if (static_cast<unsigned char>(*p) >= 0x80) return true;
      return false;
    }
    case Json::arrayValue:
      for (const Json::Value& item : v)
        if (NeedsRecoding(item)) return true;
      return false;
    case Json::objectValue:
      for (auto it = v.begin(); it != v.end(); ++it)
        if (!IsAscii(it.name()) || NeedsRecoding(*it)) return true;
      return false;
    default: return false;
  }
}

}  // namespace

// The conversions stop at a NUL, but a JSON string may hold one: convert
// the stretches between NULs and keep the NULs.
std::string TextToUtf8(std::string_view text) {
  std::string out;
  for (;;) {
    size_t nul = text.find('\0');
    out += AnsiToUtf8(text.substr(0, nul));
    if (nul == std::string_view::npos) return out;
    out.push_back('\0');
    text.remove_prefix(nul + 1);
  }
}

namespace {

// A copy with every string and member name in UTF-8 (what the writers expect).
Json::Value ToUtf8(const Json::Value& v) {
  switch (v.type()) {
    case Json::stringValue: {
      const char* b;
      const char* e;
      v.getString(&b, &e);
      return Json::Value(TextToUtf8(std::string_view(b, static_cast<size_t>(e - b))));
    }
    case Json::arrayValue: {
      Json::Value out(Json::arrayValue);
      for (const Json::Value& item : v) out.append(ToUtf8(item));
      return out;
    }
    case Json::objectValue: {
      Json::Value out(Json::objectValue);
      for (auto it = v.begin(); it != v.end(); ++it) out[TextToUtf8(it.name())] = ToUtf8(*it);
      return out;
    }
    default: return v;
  }
}

unsigned HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 16;
}

bool ReadEscape(const std::string& s, size_t i, unsigned* unit) {
  // s[i] == '\\', s[i + 1] == 'u'
  if (i + 6 > s.size() || s[i + 1] != 'u') return false;
  unsigned u = 0;
  for (size_t k = 2; k < 6; ++k) {
    unsigned d = HexDigit(s[i + k]);
    if (d > 15) return false;
    u = (u << 4) | d;
  }
  *unit = u;
  return true;
}

// Turns \uXXXX escapes of characters above U+007F back into UTF-8 bytes.
std::string UnescapeNonAscii(const std::string& s) {
  if (s.find("\\u") == std::string::npos) return s;
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out.push_back(s[i]);
      continue;
    }
    unsigned unit;
    if (!ReadEscape(s, i, &unit) || unit < 0x80) {
      out.push_back(s[i]);
      out.push_back(s[i + 1]);  // keep the escape pair whole (\\, \", \n, \u0001 ...)
      ++i;
      continue;
    }
    OleString chars(1, static_cast<OLECHAR>(unit));
    size_t used = 6;
    unsigned low;
    if (unit >= 0xD800 && unit <= 0xDBFF && ReadEscape(s, i + 6, &low) && low >= 0xDC00 && low <= 0xDFFF) {
      chars.push_back(static_cast<OLECHAR>(low));
      used = 12;
    }
    out += Utf16ToUtf8(chars);
    i += used - 1;
  }
  return out;
}

template <class Writer>
std::string Write(const Json::Value& value) {
  Writer writer;
  if (!NeedsRecoding(value)) return writer.write(value);
  return Utf8ToAnsi(UnescapeNonAscii(writer.write(ToUtf8(value))));
}

}  // namespace

std::string WriteCompactJson(const Json::Value& value) { return Write<Json::FastWriter>(value); }

size_t JsonPlainRunEnd(std::string_view text, size_t i) {
  const size_t n = text.size();
#ifdef __SSE2__
  // Sixteen bytes at a time; the lowest bit of the mask is the first special byte.
  const __m128i kControl = _mm_set1_epi8(0x1F), kQuote = _mm_set1_epi8('"'), kSlash = _mm_set1_epi8('\\');
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    __m128i special = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, kControl), v),
                                    _mm_or_si128(_mm_cmpeq_epi8(v, kQuote), _mm_cmpeq_epi8(v, kSlash)));
    if (int mask = _mm_movemask_epi8(special)) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  // Eight bytes at a time. The tests for a byte below 0x20 or equal to one
  // can mark bytes above a true one wrongly, never below it: the lowest
  // marked byte is exact.
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    uint64_t below20 = (w - kOnes * 0x20) & ~w & kHigh;
    uint64_t quote = w ^ (kOnes * '"'), slash = w ^ (kOnes * '\\');
    uint64_t isQuote = (quote - kOnes) & ~quote & kHigh, isSlash = (slash - kOnes) & ~slash & kHigh;
    if (uint64_t marked = below20 | isQuote | isSlash) return i + static_cast<size_t>(__builtin_ctzll(marked)) / 8;
  }
  for (; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == '"' || c == '\\') break;
  }
  return i;
}

void AppendQuotedJson(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  size_t run = 0;  // start of the stretch that needs no escaping
  for (size_t i = JsonPlainRunEnd(text, 0); i < text.size(); i = JsonPlainRunEnd(text, i + 1)) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

void AppendCompactJson(std::string& out, const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue: out += "null"; return;
    case Json::booleanValue: out += value.asBool() ? "true" : "false"; return;
    case Json::intValue: out += std::to_string(value.asLargestInt()); return;
    case Json::uintValue: out += std::to_string(value.asLargestUInt()); return;
    case Json::stringValue: {
      const char* b = nullptr;
      const char* e = nullptr;
      value.getString(&b, &e);
      AppendQuotedJson(out, std::string_view(b, static_cast<size_t>(e - b)));
      return;
    }
    default: {
      std::string text = WriteCompactJson(value);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      out += text;
    }
  }
}
std::string WriteStyledJson(const Json::Value& value) { return Write<Json::StyledWriter>(value); }
