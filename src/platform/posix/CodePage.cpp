#include "platform/CodePage.h"

#include <iconv.h>
#include <langinfo.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <memory>

#include "platform/Automation.h"

namespace {

// Set once at start (tests may switch it while no other thread converts).
// The name is never destroyed: a detached reader thread may convert during exit.
std::atomic<bool> g_utf8{true};
std::string& Charset() {
  static std::string* name = new std::string("UTF-8");
  return *name;
}

std::string_view UpToNul(std::string_view s) {
  size_t n = s.find('\0');
  return n == std::string_view::npos ? s : s.substr(0, n);
}
std::u16string_view UpToNul(std::u16string_view s) {
  size_t n = s.find(u'\0');
  return n == std::u16string_view::npos ? s : s.substr(0, n);
}

// Length of a valid UTF-8 sequence starting at s[i], or 0 when invalid.
size_t ValidSequence(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned c = b(i);
  if (c < 0x80) return 1;
  size_t len;
  unsigned lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) len = 2;
  else if (c == 0xE0) { len = 3; lo = 0xA0; }
  else if (c == 0xED) { len = 3; hi = 0x9F; }  // no surrogates
  else if (c >= 0xE1 && c <= 0xEF) len = 3;
  else if (c == 0xF0) { len = 4; lo = 0x90; }
  else if (c >= 0xF1 && c <= 0xF3) len = 4;
  else if (c == 0xF4) { len = 4; hi = 0x8F; }
  else return 0;
  if (i + len > s.size()) return 0;
  unsigned c1 = b(i + 1);
  if (c1 < lo || c1 > hi) return 0;
  for (size_t k = 2; k < len; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  return len;
}

bool IsValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    // Plain ASCII, eight bytes at a time: the common case of long texts.
    if (i + 8 <= s.size()) {
      uint64_t word;
      std::memcpy(&word, s.data() + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    size_t n = ValidSequence(s, i);
    if (!n) return false;
    i += n;
  }
  return true;
}

// UTF-8 to UTF-8 with every invalid sequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view s) {
  if (IsValidUtf8(s)) return std::string(s);
  return Utf16ToUtf8(Utf8ToUtf16(s));
}

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

// Converts with iconv; on a character the target lacks (or malformed input)
// emits `replacement` and skips `step` input bytes.
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view replacement,
                    size_t step) {
  iconv_t raw = iconv_open(to, from);
  if (raw == reinterpret_cast<iconv_t>(-1)) return {};
  IconvHandle cd(raw);
  std::string out;
  out.reserve(in.size() * 2);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char buf[4096];
  while (srcLeft > 0) {
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    size_t r = iconv(raw, &src, &srcLeft, &dst, &dstLeft);
    out.append(buf, sizeof buf - dstLeft);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a truncated sequence at the end)
      out.append(replacement);
      size_t skip = std::min(step, srcLeft);
      // A UTF-16 high surrogate followed by a low one is one character.
      if (step == 2 && srcLeft >= 4) {
        unsigned hiUnit = static_cast<unsigned char>(src[0]) | (static_cast<unsigned char>(src[1]) << 8);
        unsigned loUnit = static_cast<unsigned char>(src[2]) | (static_cast<unsigned char>(src[3]) << 8);
        if (hiUnit >= 0xD800 && hiUnit <= 0xDBFF && loUnit >= 0xDC00 && loUnit <= 0xDFFF) skip = 4;
      }
      src += skip;
      srcLeft -= skip;
      iconv(raw, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* dst = buf;
  size_t dstLeft = sizeof buf;
  iconv(raw, nullptr, nullptr, &dst, &dstLeft);
  out.append(buf, sizeof buf - dstLeft);
  return out;
}

std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  return out;
}

std::string ToUtf16Le(std::u16string_view s) {
  std::string out(s.size() * 2, '\0');
  for (size_t i = 0; i < s.size(); ++i) {
    out[2 * i] = static_cast<char>(s[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(s[i] >> 8);
  }
  return out;
}

// The end of the last whole character in text, in the thread's (non-UTF-8)
// code page. Characters are read from the start, since in double-byte code
// pages (GBK, GB18030, Shift_JIS, Big5) a trail byte can look like a lead
// byte or like ASCII: only a walk from a known boundary tells them apart.
// iconv does the walk: it stops with EINVAL at a character that the text's
// end cuts short, which is the boundary; a byte that starts no character
// (EILSEQ) counts as one character of its own, as the conversions treat it.
size_t CodePageBoundary(std::string_view text) {
  iconv_t cd = iconv_open("UTF-16LE", Charset().c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return text.size();
  IconvHandle handle(cd);
  char* src = const_cast<char*>(text.data());
  size_t srcLeft = text.size();
  char buf[16384];
  while (srcLeft > 0) {
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EINVAL) return text.size() - srcLeft;
    ++src;  // EILSEQ
    --srcLeft;
  }
  return text.size();
}

bool IsUtf8Name(const std::string& cs) {
  return cs == "UTF-8" || cs == "utf-8" || cs == "UTF8" || cs == "utf8";
}

}  // namespace

void InitThreadCodePage() {
  std::setlocale(LC_CTYPE, "");
  const char* cs = nl_langinfo(CODESET);
  std::string name = cs ? cs : "";
  // The plain C/POSIX locale reports ASCII; treat it as UTF-8 so that text passes unharmed.
  if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII" || IsUtf8Name(name)) {
    SetThreadCodePage("UTF-8");
  } else if (!SetThreadCodePage(name)) {
    SetThreadCodePage("UTF-8");
  }
}

bool SetThreadCodePage(const std::string& charset) {
  if (IsUtf8Name(charset)) {
    g_utf8 = true;
    Charset() = "UTF-8";
    return true;
  }
  iconv_t cd = iconv_open(charset.c_str(), "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  g_utf8 = false;
  Charset() = charset;
  return true;
}

std::string ThreadCodePage() { return Charset(); }

bool WideToAnsiIsUtf8() { return g_utf8; }

std::u16string AnsiToWide(std::string_view text) {
  text = UpToNul(text);
  if (g_utf8) return Utf8ToUtf16(text);
  return FromUtf16Le(Convert("UTF-16LE", Charset().c_str(), text, std::string("\xFD\xFF", 2), 1));
}

std::string WideToAnsi(std::u16string_view text) {
  text = UpToNul(text);
  if (g_utf8) return Utf16ToUtf8(text);
  return Convert(Charset().c_str(), "UTF-16LE", ToUtf16Le(text), "?", 2);
}

std::string Utf8ToAnsi(std::string_view text) {
  text = UpToNul(text);
  if (g_utf8) return SanitizeUtf8(text);
  return WideToAnsi(Utf8ToUtf16(text));
}

void Utf8ToAnsiInto(std::string_view text, std::string* out) {
  text = UpToNul(text);
  if (g_utf8 && IsValidUtf8(text))
    out->assign(text);
  else
    *out = Utf8ToAnsi(text);
}

std::string AnsiToUtf8(std::string&& text) {
  if (g_utf8 && text.find('\0') == std::string::npos && IsValidUtf8(text)) return std::move(text);
  return AnsiToUtf8(std::string_view(text));
}

std::string AnsiToUtf8(std::string_view text) {
  text = UpToNul(text);
  if (g_utf8) return SanitizeUtf8(text);
  return Utf16ToUtf8(AnsiToWide(text));
}

size_t CharacterBoundary(std::string_view text, size_t limit) {
  if (limit >= text.size()) return text.size();
  if (!g_utf8) return CodePageBoundary(text.substr(0, limit));
  size_t end = limit;
  // Step back over continuation bytes to the start of the character that straddles the limit.
  size_t start = end;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 && end - start < 3) --start;
  if (start == end) return end;  // the limit falls between characters
  size_t len = ValidSequence(text, start);
  if (len && start + len > end) return start;
  return end;
}
