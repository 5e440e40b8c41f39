#include "platform/webbrowser/Cesu8.h"

#include <cstdint>

#include "platform/Utf8.h"

namespace {

// Decodes one sequence at s[i]; surrogate code points are allowed (that is
// what CESU-8 is made of). Returns the code point and advances i; malformed
// input gives U+FFFD and skips the bytes that belonged to it.
unsigned Decode(std::string_view s, size_t* i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  size_t n = s.size();
  unsigned c = byte(*i);
  if (c < 0x80) {
    ++*i;
    return c;
  }
  int len = 0;
  unsigned cp = 0, min = 0;
  if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; min = 0x80; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; min = 0x800; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; min = 0x10000; }
  if (!len) {
    ++*i;
    return 0xFFFD;
  }
  int k = 1;
  for (; k < len && *i + k < n; ++k) {
    unsigned cc = byte(*i + k);
    if ((cc & 0xC0) != 0x80) break;
    cp = (cp << 6) | (cc & 0x3F);
  }
  *i += static_cast<size_t>(k);
  if (k < len || cp < min || cp > 0x10FFFF) return 0xFFFD;
  return cp;
}

bool IsHigh(unsigned u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(unsigned u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

size_t EncodeCesu8(OleStringView text, char* out) {
  size_t n = 0;
  for (OLECHAR u : text) {
    if (u < 0x80) {
      if (out) out[n] = static_cast<char>(u);
      n += 1;
    } else if (u < 0x800) {
      if (out) {
        out[n] = static_cast<char>(0xC0 | (u >> 6));
        out[n + 1] = static_cast<char>(0x80 | (u & 0x3F));
      }
      n += 2;
    } else {
      if (out) {
        out[n] = static_cast<char>(0xE0 | (u >> 12));
        out[n + 1] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out[n + 2] = static_cast<char>(0x80 | (u & 0x3F));
      }
      n += 3;
    }
  }
  return n;
}

size_t DecodeCesu8(std::string_view text, OLECHAR* out) {
  size_t n = 0, i = 0;
  while (i < text.size()) {
    unsigned cp = Decode(text, &i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      if (out) {
        out[n] = static_cast<OLECHAR>(0xD800 + (cp >> 10));
        out[n + 1] = static_cast<OLECHAR>(0xDC00 + (cp & 0x3FF));
      }
      n += 2;
    } else {
      if (out) out[n] = static_cast<OLECHAR>(cp);
      n += 1;
    }
  }
  return n;
}

std::string Utf16ToCesu8(OleStringView text) {
  std::string out(EncodeCesu8(text, nullptr), '\0');
  EncodeCesu8(text, out.data());
  return out;
}

OleString Cesu8ToUtf16(std::string_view text) {
  OleString out(DecodeCesu8(text, nullptr), OLESTR('\0'));
  DecodeCesu8(text, out.data());
  return out;
}

std::string Utf8ToCesu8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t start = i;
    unsigned cp = Decode(text, &i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      AppendUtf8(out, 0xD800 + (cp >> 10));
      AppendUtf8(out, 0xDC00 + (cp & 0x3FF));
    } else if (cp == 0xFFFD && !(i - start == 3 && static_cast<unsigned char>(text[start]) == 0xEF)) {
      AppendUtf8(out, 0xFFFD);  // malformed input
    } else {
      out.append(text.substr(start, i - start));
    }
  }
  return out;
}

std::string Cesu8ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned cp = Decode(text, &i);
    if (IsHigh(cp)) {
      size_t j = i;
      unsigned next = j < text.size() ? Decode(text, &j) : 0;
      if (IsLow(next)) {
        AppendUtf8(out, 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00));
        i = j;
        continue;
      }
      cp = 0xFFFD;
    } else if (IsLow(cp)) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

bool IsCesu8Compatible(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0xF0) return false;
  return true;
}
