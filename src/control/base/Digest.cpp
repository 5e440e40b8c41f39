#include "control/base/Digest.h"

std::string HmacSha256(std::string_view key, std::string_view message) {
  constexpr size_t kBlock = 64;
  std::string block = key.size() > kBlock ? Sha256(key) : std::string(key);
  block.resize(kBlock, '\0');
  std::string inner(kBlock, '\0'), outer(kBlock, '\0');
  for (size_t i = 0; i < kBlock; ++i) {
    inner[i] = static_cast<char>(block[i] ^ 0x36);
    outer[i] = static_cast<char>(block[i] ^ 0x5c);
  }
  inner.append(message);
  return Sha256(outer + Sha256(inner));
}

std::string HexDigits(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) out += {kHex[c >> 4], kHex[c & 15]};
  return out;
}
