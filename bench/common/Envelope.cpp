#include "common/Envelope.h"

#include <cstring>

#include "platform/Utf8.h"

namespace bench {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void SkipSpace(std::string_view t, size_t& i) {
  while (i < t.size() && IsSpace(t[i])) ++i;
}

// t[i] is the opening quote; on success i is just past the closing quote.
// memchr keeps long strings (a 500000-byte piece) cheap to walk.
bool SkipString(std::string_view t, size_t& i) {
  size_t p = i + 1;
  while (p < t.size()) {
    const void* q = std::memchr(t.data() + p, '"', t.size() - p);
    if (!q) return false;
    size_t at = static_cast<const char*>(q) - t.data();
    // A quote preceded by an odd run of backslashes is escaped.
    size_t slashes = 0;
    for (size_t k = at; k > i + 1 && t[k - 1] == '\\'; --k) ++slashes;
    if (slashes % 2 == 0) {
      i = at + 1;
      return true;
    }
    p = at + 1;
  }
  return false;
}

bool SkipValue(std::string_view t, size_t& i) {
  if (i >= t.size()) return false;
  char c = t[i];
  if (c == '"') return SkipString(t, i);
  if (c == '{' || c == '[') {
    int depth = 0;
    while (i < t.size()) {
      char d = t[i];
      if (d == '"') {
        if (!SkipString(t, i)) return false;
        continue;
      }
      if (d == '{' || d == '[') ++depth;
      if (d == '}' || d == ']') {
        --depth;
        if (depth == 0) {
          ++i;
          return true;
        }
      }
      ++i;
    }
    return false;
  }
  size_t start = i;
  while (i < t.size() && t[i] != ',' && t[i] != '}' && t[i] != ']' && !IsSpace(t[i])) ++i;
  return i > start;
}

std::optional<int64_t> ParseInteger(std::string_view v) {
  if (v.empty()) return std::nullopt;
  bool negative = v[0] == '-';
  size_t i = negative ? 1 : 0;
  if (i == v.size()) return std::nullopt;
  int64_t n = 0;
  for (; i < v.size(); ++i) {
    if (v[i] < '0' || v[i] > '9') return std::nullopt;
    n = n * 10 + (v[i] - '0');
  }
  return negative ? -n : n;
}

bool Hex4(std::string_view raw, size_t at, uint32_t& v) {
  if (at + 4 > raw.size()) return false;
  v = 0;
  for (size_t k = at; k < at + 4; ++k) {
    char c = raw[k];
    v <<= 4;
    if (c >= '0' && c <= '9') v |= uint32_t(c - '0');
    else if (c >= 'a' && c <= 'f') v |= uint32_t(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') v |= uint32_t(c - 'A' + 10);
    else return false;
  }
  return true;
}

}  // namespace

bool ReadEnvelope(std::string_view t, Envelope& out) {
  out = Envelope{};
  size_t i = 0;
  SkipSpace(t, i);
  if (i >= t.size() || t[i] != '{') return false;
  ++i;
  for (;;) {
    SkipSpace(t, i);
    if (i < t.size() && t[i] == '}') return true;
    if (i >= t.size() || t[i] != '"') return false;
    size_t keyStart = i;
    if (!SkipString(t, i)) return false;
    std::string_view key = t.substr(keyStart + 1, i - keyStart - 2);
    SkipSpace(t, i);
    if (i >= t.size() || t[i] != ':') return false;
    ++i;
    SkipSpace(t, i);
    size_t valueStart = i;
    if (!SkipValue(t, i)) return false;
    std::string_view value = t.substr(valueStart, i - valueStart);
    if (key == "data") out.data = value;
    else if (key == "tab") out.tab = value;
    else if (key == "index") out.index = ParseInteger(value);
    else if (key == "event") out.event = StringBody(value);
    else if (key == "method") out.method = StringBody(value);
    SkipSpace(t, i);
    if (i < t.size() && t[i] == ',') {
      ++i;
      continue;
    }
    if (i < t.size() && t[i] == '}') return true;
    return false;
  }
}

std::optional<std::string_view> StringBody(std::string_view v) {
  if (v.size() < 2 || v.front() != '"' || v.back() != '"') return std::nullopt;
  return v.substr(1, v.size() - 2);
}

bool AppendUnescaped(std::string& out, std::string_view raw) {
  size_t i = 0;
  while (i < raw.size()) {
    const void* q = std::memchr(raw.data() + i, '\\', raw.size() - i);
    size_t at = q ? static_cast<size_t>(static_cast<const char*>(q) - raw.data()) : raw.size();
    out.append(raw.data() + i, at - i);
    if (at == raw.size()) return true;
    if (at + 1 >= raw.size()) return false;
    char e = raw[at + 1];
    i = at + 2;
    switch (e) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        uint32_t cp;
        if (!Hex4(raw, i, cp)) return false;
        i += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && i + 6 <= raw.size() && raw[i] == '\\' && raw[i + 1] == 'u') {
          uint32_t lo;
          if (Hex4(raw, i + 2, lo) && lo >= 0xDC00 && lo < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 6;
          }
        }
        AppendUtf8(out, cp);
        break;
      }
      default: return false;
    }
  }
  return true;
}

}  // namespace bench
