#include "platform/OleText.h"

#include "platform/Utf8.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

size_t UnitsBeforeNul(OleStringView s) {
  size_t i = 0;
#ifdef __SSE2__
  const __m128i kZero = _mm_setzero_si128();
  for (; i + 8 <= s.size(); i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(v, kZero)) != 0) break;
  }
#endif
  while (i < s.size() && s[i] != 0) ++i;
  return i;
}

size_t ConvertUtf16ToUtf8(OleStringView s, char* out, size_t room, size_t* written) {
  size_t i = 0, o = 0;
  for (;;) {
#ifdef __SSE2__
    // Plain ASCII, sixteen units at a time: narrowed together once no unit
    // has a bit above 0x7F.
    const __m128i kHigh = _mm_set1_epi16(static_cast<short>(0xFF80)), kZero = _mm_setzero_si128();
    while (i + 16 <= s.size() && o + 16 <= room) {
      __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
      __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i + 8));
      __m128i high = _mm_and_si128(_mm_or_si128(lo, hi), kHigh);
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, kZero)) != 0xFFFF) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_packus_epi16(lo, hi));
      i += 16;
      o += 16;
    }
#endif
    // Plain ASCII: one byte per unit, in blocks while it lasts.
    constexpr size_t kBlock = 16;
    while (i + kBlock <= s.size() && o + kBlock <= room) {
      OLECHAR any = 0;
      for (size_t k = 0; k < kBlock; ++k) any |= s[i + k];
      if (any >= 0x80) break;
      for (size_t k = 0; k < kBlock; ++k) out[o + k] = static_cast<char>(s[i + k]);
      i += kBlock;
      o += kBlock;
    }
    if (i >= s.size()) break;
    unsigned cp = s[i];
    size_t units = 1;
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      units = 2;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // unpaired surrogate
    }
    size_t bytes = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (o + bytes > room) break;
    if (cp < 0x80) {
      out[o] = static_cast<char>(cp);
    } else if (cp < 0x800) {
      out[o] = static_cast<char>(0xC0 | (cp >> 6));
      out[o + 1] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out[o] = static_cast<char>(0xE0 | (cp >> 12));
      out[o + 1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[o + 2] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out[o] = static_cast<char>(0xF0 | (cp >> 18));
      out[o + 1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out[o + 2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[o + 3] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    o += bytes;
    i += units;
  }
  *written = o;
  return i;
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
