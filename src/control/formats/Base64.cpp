#include "control/formats/Base64.h"

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                 static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string* out) {
  std::string result;
  result.reserve(text.size() / 4 * 3 + 3);
  uint32_t acc = 0;
  int have = 0;     // sextets in acc
  int padding = 0;  // '=' seen
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    int s = Sextet(c);
    if (s < 0 || padding > 0) return false;  // bad character, or data after padding
    acc = (acc << 6) | static_cast<uint32_t>(s);
    if (++have == 4) {
      result += static_cast<char>((acc >> 16) & 0xFF);
      result += static_cast<char>((acc >> 8) & 0xFF);
      result += static_cast<char>(acc & 0xFF);
      acc = 0;
      have = 0;
    }
  }
  if (have == 1) return false;
  if (padding > 0 && (have == 0 || have + padding != 4)) return false;
  if (have == 2) {
    result += static_cast<char>((acc >> 4) & 0xFF);
  } else if (have == 3) {
    result += static_cast<char>((acc >> 10) & 0xFF);
    result += static_cast<char>((acc >> 2) & 0xFF);
  }
  *out = std::move(result);
  return true;
}
