#include "platform/OleText.h"

#include "platform/Utf8.h"

OleString Utf8ToUtf16(std::string_view s) {
  OleString out;
  out.reserve(s.size());
  size_t i = 0, n = s.size();
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  while (i < n) {
    unsigned c = byte(i);
    if (c < 0x80) {
      out.push_back(static_cast<OLECHAR>(c));
      ++i;
      continue;
    }
    int len = 0;
    unsigned cp = 0, min = 0;
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; min = 0x80; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; min = 0x800; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; min = 0x10000; }
    int k = 1;
    if (len) {
      for (; k < len && i + k < n; ++k) {
        unsigned cc = byte(i + k);
        if ((cc & 0xC0) != 0x80) break;
        cp = (cp << 6) | (cc & 0x3F);
      }
    }
    if (!len || k < len || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      i += len ? static_cast<size_t>(k) : 1;  // skip the lead byte and its valid continuations
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<OLECHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<OLECHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<OLECHAR>(cp));
    }
    i += len;
  }
  return out;
}

std::string Utf16ToUtf8(OleStringView s) {
  std::string out(s.size(), '\0');
  size_t i = 0;
  // Plain ASCII needs no encoding: narrow it in blocks while it lasts.
  constexpr size_t kBlock = 16;
  while (i + kBlock <= s.size()) {
    OLECHAR any = 0;
    for (size_t k = 0; k < kBlock; ++k) any |= s[i + k];
    if (any >= 0x80) break;
    for (size_t k = 0; k < kBlock; ++k) out[i + k] = static_cast<char>(s[i + k]);
    i += kBlock;
  }
  while (i < s.size() && s[i] < 0x80) {
    out[i] = static_cast<char>(s[i]);
    ++i;
  }
  out.resize(i);
  if (i == s.size()) return out;
  out.reserve(s.size() + (s.size() - i) * 2);
  for (; i < s.size(); ++i) {
    unsigned cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // unpaired surrogate
    }
    AppendUtf8(out, cp);
  }
  return out;
}
