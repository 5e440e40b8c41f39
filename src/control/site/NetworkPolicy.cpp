#include "control/site/NetworkPolicy.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <cctype>
#include <cstring>

namespace {
std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Lower case, no brackets around an IPv6 literal, no trailing dot.
std::string NormalHost(std::string host) {
  host = Lower(std::move(host));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  while (!host.empty() && host.back() == '.') host.pop_back();
  return host;
}

bool InPrefix(const uint8_t* bytes, const uint8_t* prefix, int bits) {
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    uint8_t mask = bits >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - bits));
    if ((bytes[i] & mask) != (prefix[i] & mask)) return false;
  }
  return true;
}

// The IPv4 address an IPv6 address stands for, if any: ::ffff:a.b.c.d
// (mapped), ::a.b.c.d (the old compatible form, not :: and ::1, which are
// IPv6's own), 64:ff9b::a.b.c.d (NAT64: a gateway connects to a.b.c.d) and
// 2002:AABB:CCDD::/48 (6to4: a relay forwards to a.b.c.d).
bool CarriedV4(const IpAddress& a, IpAddress* v4) {
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  static const uint8_t zero[12] = {};
  static const uint8_t nat64[12] = {0, 0x64, 0xFF, 0x9B};
  if (!a.v6) return false;
  const uint8_t* b = a.bytes.data();
  const uint8_t* carried = nullptr;
  if (std::memcmp(b, mapped, 12) == 0 || std::memcmp(b, nat64, 12) == 0 ||
      (std::memcmp(b, zero, 12) == 0 && (b[12] | b[13] | b[14]) != 0))
    carried = b + 12;
  else if (b[0] == 0x20 && b[1] == 0x02)
    carried = b + 2;
  if (!carried) return false;
  v4->v6 = false;
  v4->bytes = {};
  std::memcpy(v4->bytes.data(), carried, 4);
  return true;
}

bool Matches(const IpAddress& address, const IpAddress& base, int bits) {
  IpAddress a = address;
  IpAddress inner;
  if (!base.v6 && CarriedV4(a, &inner)) a = inner;
  if (a.v6 != base.v6) return false;
  return InPrefix(a.bytes.data(), base.bytes.data(), bits);
}

// The same address, an IPv4 one and its mapped IPv6 form counted as one.
bool SameAddress(const IpAddress& a, const IpAddress& b) {
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  auto plain = [](IpAddress x) {
    if (x.v6 && std::memcmp(x.bytes.data(), mapped, 12) == 0) {
      std::memmove(x.bytes.data(), x.bytes.data() + 12, 4);
      std::memset(x.bytes.data() + 4, 0, 12);
      x.v6 = false;
    }
    return x;
  };
  const IpAddress pa = plain(a), pb = plain(b);
  return pa.v6 == pb.v6 && pa.bytes == pb.bytes;
}

}  // namespace

namespace {
// Dotted decimal, four parts of 0-255 without leading zeros ("127.1" is no address).
bool ParseIpv4(std::string_view text, uint8_t* out) {
  int parts = 0;
  size_t pos = 0;
  while (parts < 4) {
    size_t end = pos;
    while (end < text.size() && end - pos < 4 && text[end] >= '0' && text[end] <= '9') ++end;
    const size_t digits = end - pos;
    if (digits == 0 || digits > 3 || (digits > 1 && text[pos] == '0')) return false;
    int value = 0;
    for (size_t i = pos; i < end; ++i) value = value * 10 + (text[i] - '0');
    if (value > 255) return false;
    out[parts++] = static_cast<uint8_t>(value);
    if (parts == 4) return end == text.size();
    if (end >= text.size() || text[end] != '.') return false;
    pos = end + 1;
  }
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Groups of 1-4 hex digits, at most one "::", an IPv4 tail in the last 32 bits.
bool ParseIpv6(std::string_view text, uint8_t* out) {
  uint8_t bytes[16] = {};
  size_t at = 0;    // bytes filled
  int gap = -1;     // where "::" stands, in bytes
  size_t pos = 0;
  if (text.substr(0, 2) == "::") {
    gap = 0;
    pos = 2;
  } else if (!text.empty() && text[0] == ':') {
    return false;
  }
  while (pos < text.size()) {
    if (at >= 16) return false;
    size_t end = pos;
    int value = 0;
    while (end < text.size() && end - pos < 5 && HexValue(text[end]) >= 0) value = value * 16 + HexValue(text[end++]);
    if (end < text.size() && text[end] == '.') {  // the IPv4 tail
      if (at > 12 || !ParseIpv4(text.substr(pos), bytes + at)) return false;
      at += 4;
      pos = text.size();
      break;
    }
    if (end == pos || end - pos > 4) return false;
    bytes[at++] = static_cast<uint8_t>(value >> 8);
    bytes[at++] = static_cast<uint8_t>(value & 0xFF);
    if (end == text.size()) {
      pos = end;
      break;
    }
    if (text[end] != ':') return false;
    if (end + 1 < text.size() && text[end + 1] == ':') {
      if (gap >= 0) return false;
      gap = static_cast<int>(at);
      pos = end + 2;
    } else {
      pos = end + 1;
      if (pos == text.size()) return false;  // a trailing single ':'
    }
  }
  if (gap < 0) {
    if (at != 16) return false;
  } else {
    if (at >= 16) return false;  // "::" stands for at least one group
    const size_t tail = at - static_cast<size_t>(gap);
    std::copy_backward(bytes + gap, bytes + at, bytes + 16);
    std::fill(bytes + gap, bytes + 16 - tail, uint8_t(0));
  }
  std::copy(bytes, bytes + 16, out);
  return true;
}
}  // namespace

std::string IpAddress::ToString() const {
  char text[64];
  if (!v6) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
  }
  unsigned words[8];
  for (int i = 0; i < 8; ++i) words[i] = (bytes[2 * i] << 8) | bytes[2 * i + 1];
  // The longest run of two or more zero groups (the first of equals) becomes "::".
  int best = -1, bestLength = 0;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && words[j] == 0) ++j;
    if (j - i > bestLength && j - i >= 2) {
      best = i;
      bestLength = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += bestLength - 1;
      continue;
    }
    // An IPv4-compatible or IPv4-mapped address ends in dotted decimal.
    if (i == 6 && best == 0 && (bestLength == 6 || (bestLength == 5 && words[5] == 0xffff))) {
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[12], bytes[13], bytes[14], bytes[15]);
      return out + (out.back() == ':' ? "" : ":") + text;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::snprintf(text, sizeof text, "%x", words[i]);
    out += text;
  }
  return out;
}

bool ParseIpAddress(const std::string& text, IpAddress* address) {
  std::string_view t = text;
  if (t.size() >= 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
  IpAddress a;
  if (ParseIpv4(t, a.bytes.data())) {
    a.v6 = false;
  } else if (ParseIpv6(t, a.bytes.data())) {
    a.v6 = true;
  } else {
    return false;
  }
  *address = a;
  return true;
}

AddressKind ClassifyAddress(const IpAddress& address) {
  IpAddress a = address;
  IpAddress inner;
  if (CarriedV4(a, &inner)) a = inner;
  struct Block {
    std::array<uint8_t, 16> prefix;
    int bits;
    AddressKind kind;
  };
  // The IANA special-purpose registries' blocks that are not globally
  // reachable (a few global anycast services inside 192.0.0.0/24 and
  // 2001::/23 go with their block: no page is served from them). First match
  // wins. IPv4: what no block names is global unicast.
  static const Block v4[] = {
      {{0}, 8, AddressKind::Unspecified},  // "this network"; 0.0.0.0 reaches this machine
      {{10}, 8, AddressKind::Private},
      {{100, 64}, 10, AddressKind::SharedNat},
      {{127}, 8, AddressKind::Loopback},
      {{169, 254}, 16, AddressKind::LinkLocal},
      {{172, 16}, 12, AddressKind::Private},
      {{192, 0, 0}, 24, AddressKind::SpecialPurpose},     // protocol assignments
      {{192, 0, 2}, 24, AddressKind::SpecialPurpose},     // documentation
      {{192, 88, 99}, 24, AddressKind::SpecialPurpose},   // the retired 6to4 relays
      {{192, 168}, 16, AddressKind::Private},
      {{198, 18}, 15, AddressKind::SpecialPurpose},       // benchmarking
      {{198, 51, 100}, 24, AddressKind::SpecialPurpose},  // documentation
      {{203, 0, 113}, 24, AddressKind::SpecialPurpose},   // documentation
      {{224}, 4, AddressKind::Multicast},
      {{255, 255, 255, 255}, 32, AddressKind::Broadcast},
      {{240}, 4, AddressKind::SpecialPurpose},            // reserved
  };
  // IPv6: only global unicast (2000::/3) outside the blocks below is global;
  // everything else (site-local fec0::/10, discard 100::/64, local NAT64
  // 64:ff9b:1::/48, ...) is special-purpose unless named here.
  static const Block v6[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, AddressKind::Loopback},
      {{}, 128, AddressKind::Unspecified},
      {{0xFC}, 7, AddressKind::Private},
      {{0xFE, 0x80}, 10, AddressKind::LinkLocal},
      {{0xFF}, 8, AddressKind::Multicast},
      {{0x20, 0x01, 0x00}, 23, AddressKind::SpecialPurpose},  // protocol assignments, Teredo
      {{0x20, 0x01, 0x0D, 0xB8}, 32, AddressKind::SpecialPurpose},  // documentation
      {{0x3F, 0xFF}, 20, AddressKind::SpecialPurpose},        // documentation
      {{0x20}, 3, AddressKind::Public},
  };
  if (!a.v6) {
    for (const Block& b : v4)
      if (InPrefix(a.bytes.data(), b.prefix.data(), b.bits)) return b.kind;
    return AddressKind::Public;
  }
  for (const Block& b : v6)
    if (InPrefix(a.bytes.data(), b.prefix.data(), b.bits)) return b.kind;
  return AddressKind::SpecialPurpose;
}

const char* AddressKindName(AddressKind kind) {
  switch (kind) {
    case AddressKind::Loopback: return "loopback";
    case AddressKind::Private: return "private";
    case AddressKind::LinkLocal: return "link-local";
    case AddressKind::Unspecified: return "unspecified";
    case AddressKind::SharedNat: return "carrier-grade NAT";
    case AddressKind::Multicast: return "multicast";
    case AddressKind::Broadcast: return "broadcast";
    case AddressKind::SpecialPurpose: return "special-purpose";
    case AddressKind::Public: break;
  }
  return "public";
}

bool NamesThisMachine(const std::string& host) {
  const std::string suffix = ".localhost";
  if (host == "localhost" ||
      (host.size() > suffix.size() && host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0))
    return true;
  IpAddress literal;
  if (!ParseIpAddress(host, &literal)) return false;
  AddressKind kind = ClassifyAddress(literal);
  return kind == AddressKind::Loopback || kind == AddressKind::Unspecified;
}

NetworkPolicy::NetworkPolicy(const WebOrigin& page, const Json::Value& allowNetworks,
                             std::vector<std::string>* skipped)
    : m_origin(page) {
  if (!allowNetworks.isArray()) return;
  for (const Json::Value& item : allowNetworks) {
    std::string entry = item.isString() ? Lower(item.asString()) : std::string();
    std::string address = entry;
    int bits = -1;
    size_t slash = entry.find('/');
    if (slash != std::string::npos) {
      address = entry.substr(0, slash);
      std::string digits = entry.substr(slash + 1);
      if (!digits.empty() && digits.size() <= 3 && std::all_of(digits.begin(), digits.end(), ::isdigit))
        bits = std::stoi(digits);
      else
        bits = -2;
    }
    IpAddress base;
    if (ParseIpAddress(address, &base)) {
      int max = base.v6 ? 128 : 32;
      if (bits == -1) bits = max;
      if (bits >= 0 && bits <= max) {
        m_ranges.push_back({base, bits});
        m_entries.push_back(entry);
        continue;
      }
    } else if (bits == -1 && !entry.empty() && entry.find_first_of(" :/@[]") == std::string::npos) {
      std::string host = NormalHost(entry);
      if (host.rfind("*.", 0) == 0 && host.size() > 2) host = host.substr(1);  // "*.x.lan" -> ".x.lan"
      if (!host.empty() && host.find('*') == std::string::npos) {
        m_hosts.push_back(host);
        m_entries.push_back(entry);
        continue;
      }
    }
    if (skipped) skipped->push_back(item.isString() ? item.asString() : item.toStyledString());
  }
}

bool NetworkPolicy::Allows(const std::string& scheme, const std::string& host, int port, const IpAddress& address,
                           std::string* why) const {
  AddressKind kind = ClassifyAddress(address);
  if (kind == AddressKind::Public) return true;
  const std::string name = NormalHost(host);
  // A site's own name may resolve to anything its owner likes (DNS rebinding):
  // it reaches a refused address only when the origin is that address itself.
  const bool ownOrigin = m_origin.IsValid() && SameHost(name, m_origin.Host()) && port == m_origin.Port() &&
                         (scheme.empty() || Lower(scheme) == m_origin.Scheme());
  if (ownOrigin && OriginIsAt(address, kind)) return true;
  for (const std::string& allowed : m_hosts) {
    if (allowed.front() == '.' ? name.size() > allowed.size() &&
                                     name.compare(name.size() - allowed.size(), allowed.size(), allowed) == 0
                               : name == allowed)
      return true;
  }
  for (const Range& range : m_ranges)
    if (Matches(address, range.base, range.bits)) return true;
  if (why) {
    std::string shown = address.ToString();
    *why = (name == shown ? shown : name + " (" + shown + ")") + " is a " + AddressKindName(kind) + " address; " +
           (ownOrigin ? "a site's own name reaches such addresses only when control.json's \"allowNetworks\" lists it"
                      : "only the page's own origin and the networks in control.json's \"allowNetworks\" may be "
                        "reached there");
  }
  return false;
}

// Names compare as text; address literals as addresses, whichever way they
// are written (the origin's key writes IPv6 in its shortest form).
bool NetworkPolicy::SameHost(const std::string& name, const std::string& originHost) {
  if (name == originHost) return true;
  IpAddress a, b;
  return ParseIpAddress(name, &a) && ParseIpAddress(originHost, &b) && SameAddress(a, b);
}

bool NetworkPolicy::OriginIsAt(const IpAddress& address, AddressKind kind) const {
  IpAddress literal;
  if (ParseIpAddress(m_origin.Host(), &literal)) return SameAddress(literal, address);
  return kind == AddressKind::Loopback && NamesThisMachine(m_origin.Host());
}

Json::Value NetworkPolicy::ToJson() const {
  Json::Value value(Json::objectValue);
  if (m_origin.IsValid()) value["origin"] = m_origin.Key();
  value["allow"] = Json::Value(Json::arrayValue);
  for (const std::string& entry : m_entries) value["allow"].append(entry);
  return value;
}

NetworkPolicy NetworkPolicy::FromJson(const Json::Value& value) {
  if (!value.isObject()) return NetworkPolicy();
  return NetworkPolicy(WebOrigin::Parse(value["origin"].isString() ? value["origin"].asString() : std::string()),
                       value["allow"]);
}
