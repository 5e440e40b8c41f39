#include "platform/WebOrigin.h"

#include <cstdint>
#include <vector>

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char ToLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string_view> Split(std::string_view text, char by) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t end = text.find(by, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// One part of an IPv4 address: "0x1F" hexadecimal, "017" octal, else
// decimal; "0x" alone is 0. Values above 2^32 are kept as 2^32, which every
// caller refuses. False when the part is not a number.
bool Ipv4Number(std::string_view part, uint64_t* value) {
  if (part.empty()) return false;
  int radix = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    part.remove_prefix(2);
    radix = 16;
  } else if (part.size() >= 2 && part[0] == '0') {
    part.remove_prefix(1);
    radix = 8;
  }
  uint64_t v = 0;
  for (char c : part) {
    int digit = HexValue(c);
    if (digit < 0 || digit >= radix) return false;
    v = v * radix + static_cast<uint64_t>(digit);
    if (v > (uint64_t{1} << 32)) v = uint64_t{1} << 32;
  }
  *value = v;
  return true;
}

// Whether a host's last label (one trailing dot aside) is a number, which
// makes the whole host an IPv4 address or nothing.
bool EndsInANumber(std::string_view host) {
  std::vector<std::string_view> parts = Split(host, '.');
  if (parts.back().empty()) {
    if (parts.size() == 1) return false;
    parts.pop_back();
  }
  std::string_view last = parts.back();
  bool digits = !last.empty();
  for (char c : last) digits = digits && IsDigit(c);
  uint64_t ignored;
  return digits || Ipv4Number(last, &ignored);
}

// "127.0.0.1", "0x7f.1", "2130706433", "127.0.0.1." -> "127.0.0.1".
bool ParseIpv4(std::string_view host, std::string* out) {
  std::vector<std::string_view> parts = Split(host, '.');
  if (parts.back().empty() && parts.size() > 1) parts.pop_back();
  if (parts.size() > 4) return false;
  std::vector<uint64_t> numbers;
  for (std::string_view part : parts) {
    uint64_t n;
    if (!Ipv4Number(part, &n)) return false;
    numbers.push_back(n);
  }
  for (size_t i = 0; i + 1 < numbers.size(); ++i)
    if (numbers[i] > 255) return false;
  // The last part fills the bytes the others left: "127.1" is 127.0.0.1.
  if (numbers.back() >= (uint64_t{1} << (8 * (5 - numbers.size())))) return false;
  uint64_t address = numbers.back();
  for (size_t i = 0; i + 1 < numbers.size(); ++i) address += numbers[i] << (8 * (3 - i));
  *out = std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
         std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
  return true;
}

// The inside of "[...]": eight 16-bit pieces, "::" once, an IPv4 address in
// the last 32 bits. Written back in the shortest form ("::ffff:7f00:1").
bool ParseIpv6(std::string_view text, std::string* out) {
  uint16_t pieces[8] = {};
  int piece = 0, compress = -1;
  size_t i = 0;
  auto at = [&](size_t k) { return k < text.size() ? text[k] : '\0'; };
  if (at(0) == ':') {
    if (at(1) != ':') return false;
    i = 2;
    compress = ++piece;
  }
  while (i < text.size()) {
    if (piece == 8) return false;
    if (text[i] == ':') {
      if (compress != -1) return false;
      ++i;
      compress = ++piece;
      continue;
    }
    unsigned value = 0;
    int length = 0;
    while (length < 4 && HexValue(at(i)) >= 0) {
      value = value * 16 + static_cast<unsigned>(HexValue(at(i)));
      ++i;
      ++length;
    }
    if (at(i) == '.') {
      // An IPv4 address in decimal, four parts, no leading zeros.
      if (length == 0 || piece > 6) return false;
      i -= static_cast<size_t>(length);
      int seen = 0;
      while (i < text.size()) {
        if (seen > 0) {
          if (text[i] != '.' || seen >= 4) return false;
          ++i;
        }
        if (!IsDigit(at(i))) return false;
        int part = -1;
        while (IsDigit(at(i))) {
          int digit = at(i) - '0';
          if (part == 0) return false;
          part = part < 0 ? digit : part * 10 + digit;
          if (part > 255) return false;
          ++i;
        }
        pieces[piece] = static_cast<uint16_t>(pieces[piece] * 0x100 + part);
        if (++seen == 2 || seen == 4) ++piece;
      }
      if (seen != 4) return false;
      break;
    }
    if (at(i) == ':') {
      if (++i == text.size()) return false;
    } else if (i < text.size()) {
      return false;
    }
    pieces[piece++] = static_cast<uint16_t>(value);
  }
  if (compress != -1) {
    int swaps = piece - compress;
    for (int p = 7; p != 0 && swaps > 0; --p, --swaps) {
      uint16_t t = pieces[p];
      pieces[p] = pieces[compress + swaps - 1];
      pieces[compress + swaps - 1] = t;
    }
  } else if (piece != 8) {
    return false;
  }
  // The first longest run of two or more zero pieces becomes "::".
  int best = -1, bestLength = 1;
  for (int p = 0; p < 8;) {
    int q = p;
    while (q < 8 && pieces[q] == 0) ++q;
    if (q - p > bestLength) {
      best = p;
      bestLength = q - p;
    }
    p = q == p ? p + 1 : q;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (int p = 0; p < 8; ++p) {
    if (p == best) {
      s += p == 0 ? "::" : ":";
      p += bestLength - 1;
      continue;
    }
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      int digit = (pieces[p] >> shift) & 15;
      if (digit || started || shift == 0) {
        s += kHex[digit];
        started = true;
      }
    }
    if (p != 7) s += ':';
  }
  *out = s;
  return true;
}

// A host name once percent-decoded: labels of letters, digits, '-' and '_',
// lower-cased, one trailing dot dropped.
bool ParseName(std::string_view encoded, std::string* out) {
  std::string host;
  for (size_t i = 0; i < encoded.size(); ++i) {
    char c = encoded[i];
    if (c == '%' && i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 && HexValue(encoded[i + 2]) >= 0) {
      c = static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2]));
      i += 2;
    }
    host += ToLower(c);
  }
  if (host.empty()) return false;
  if (EndsInANumber(host)) return ParseIpv4(host, out);
  if (host.back() == '.') host.pop_back();
  if (host.empty() || host.size() > 253) return false;
  for (std::string_view label : Split(host, '.')) {
    if (label.empty() || label.size() > 63) return false;
    for (char c : label)
      if (!IsAlpha(c) && !IsDigit(c) && c != '-' && c != '_') return false;
  }
  *out = host;
  return true;
}

// The rest of the address as later readers must see it (WebOrigin.h).
std::string Rest(std::string_view rest) {
  rest = rest.substr(0, rest.find('#'));
  std::string out;
  bool inQuery = false;
  for (char c : rest) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '?') inQuery = true;
    if (c == '\\' && !inQuery) {
      out += '/';
    } else if (u > 0x7F || c == ' ' || c == '"' || c == '<' || c == '>' || c == '`' || c == '{' || c == '}') {
      static const char kHex[] = "0123456789ABCDEF";
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  if (out.empty() || out[0] == '?') out.insert(0, "/");
  return out;
}

}  // namespace

WebOrigin WebOrigin::Parse(std::string_view url, std::string* rest) {
  for (char c : url) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return WebOrigin();
  }
  const size_t colon = url.find(':');
  if (colon == std::string_view::npos) return WebOrigin();
  std::string scheme;
  for (char c : url.substr(0, colon)) scheme += ToLower(c);
  if (scheme != "http" && scheme != "https") return WebOrigin();

  size_t start = colon + 1;
  while (start < url.size() && (url[start] == '/' || url[start] == '\\')) ++start;
  size_t end = url.find_first_of("/\\?#", start);
  if (end == std::string_view::npos) end = url.size();
  std::string_view authority = url.substr(start, end - start);
  for (char c : authority) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u == ' ' || u > 0x7F) return WebOrigin();
  }
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

  // The port starts at the first ':' outside an IPv6 literal's brackets.
  size_t portColon = std::string_view::npos;
  bool inBrackets = false;
  for (size_t i = 0; i < authority.size() && portColon == std::string_view::npos; ++i) {
    if (authority[i] == '[') inBrackets = true;
    if (authority[i] == ']') inBrackets = false;
    if (authority[i] == ':' && !inBrackets) portColon = i;
  }
  std::string_view hostText = authority.substr(0, portColon);
  const int defaultPort = scheme == "http" ? 80 : 443;
  int port = defaultPort;
  if (portColon != std::string_view::npos) {
    std::string_view digits = authority.substr(portColon + 1);
    if (!digits.empty()) {
      long n = 0;
      for (char c : digits) {
        if (!IsDigit(c)) return WebOrigin();
        n = n * 10 + (c - '0');
        if (n > 65535) return WebOrigin();
      }
      if (n == 0) return WebOrigin();
      port = static_cast<int>(n);
    }
  }

  std::string host;
  if (!hostText.empty() && hostText.front() == '[') {
    if (hostText.size() < 2 || hostText.back() != ']' || !ParseIpv6(hostText.substr(1, hostText.size() - 2), &host))
      return WebOrigin();
  } else if (!ParseName(hostText, &host)) {
    return WebOrigin();
  }

  WebOrigin o;
  o.m_scheme = scheme;
  o.m_host = host;
  o.m_port = port;
  const bool v6 = host.find(':') != std::string::npos;
  o.m_key = scheme + "://" + (v6 ? "[" + host + "]" : host) + (port == defaultPort ? "" : ":" + std::to_string(port));
  if (rest) *rest = Rest(url.substr(end));
  return o;
}
