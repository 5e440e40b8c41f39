#include "control/formats/TextEncoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace {

class Converter {
 public:
  Converter(const std::string& to, const std::string& from) : m_cd(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(m_cd);
  }
  bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

  // Converts input; on a sequence that cannot be converted, appends
  // replacement and skips skipOnError(input) bytes.
  template <class Skip>
  void Run(std::string_view input, const std::string& replacement, Skip skipOnError, std::string* out) {
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char buffer[8192];
    while (inLeft > 0) {
      char* outPtr = buffer;
      size_t outLeft = sizeof buffer;
      size_t r = iconv(m_cd, &in, &inLeft, &outPtr, &outLeft);
      out->append(buffer, static_cast<size_t>(outPtr - buffer));
      if (r != static_cast<size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (cut short at the end): replace and go on.
      out->append(replacement);
      size_t skip = std::min(inLeft, skipOnError(std::string_view(in, inLeft)));
      in += skip;
      inLeft -= skip;
    }
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(m_cd, nullptr, nullptr, &outPtr, &outLeft);  // flush shift state
    out->append(buffer, static_cast<size_t>(outPtr - buffer));
  }

 private:
  iconv_t m_cd;
};

size_t Utf8CharLength(std::string_view s) {
  unsigned char c = static_cast<unsigned char>(s[0]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
  return std::max<size_t>(1, std::min(n, s.size()));
}
}  // namespace

bool DecodeToUtf8(std::string_view bytes, const std::string& charset, std::string* out, std::string* error) {
  std::string from = IsUtf8Name(charset) ? "UTF-8" : charset;
  if (from == "UTF-8" && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  Converter converter("UTF-8", from);
  if (!converter.ok()) {
    if (error) *error = "unknown encoding '" + charset + "'";
    return false;
  }
  std::string result;
  converter.Run(bytes, "\xEF\xBF\xBD", [](std::string_view) { return size_t(1); }, &result);
  *out = std::move(result);
  return true;
}

bool EncodeFromUtf8(std::string_view text, const std::string& charset, std::string* out, std::string* error) {
  std::string to = IsUtf8Name(charset) ? "UTF-8" : charset;
  Converter converter(to, "UTF-8");
  if (!converter.ok()) {
    if (error) *error = "unknown encoding '" + charset + "'";
    return false;
  }
  // The replacement in the target charset ('?' is in every charset iconv offers).
  std::string question;
  {
    Converter q(to, "UTF-8");
    q.Run("?", "", [](std::string_view) { return size_t(1); }, &question);
  }
  std::string result;
  converter.Run(text, question, Utf8CharLength, &result);
  *out = std::move(result);
  return true;
}
