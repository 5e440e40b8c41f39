#include "control/NetworkPolicy.h"

#include <arpa/inet.h>

#include <algorithm>
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

// The IPv4 address an IPv6 address carries (::ffff:a.b.c.d, ::a.b.c.d), if any.
bool EmbeddedV4(const IpAddress& a, IpAddress* v4) {
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  static const uint8_t zero[12] = {};
  bool isMapped = std::memcmp(a.bytes.data(), mapped, 12) == 0;
  // ::a.b.c.d, but not :: and ::1, which are IPv6's own.
  bool isCompat = std::memcmp(a.bytes.data(), zero, 12) == 0 &&
                  (a.bytes[12] | a.bytes[13] | a.bytes[14]) != 0;
  if (!isMapped && !isCompat) return false;
  v4->v6 = false;
  v4->bytes = {};
  std::memcpy(v4->bytes.data(), a.bytes.data() + 12, 4);
  return true;
}

bool Matches(const IpAddress& address, const IpAddress& base, int bits) {
  IpAddress a = address;
  IpAddress inner;
  if (a.v6 && !base.v6 && EmbeddedV4(a, &inner)) a = inner;
  if (a.v6 != base.v6) return false;
  return InPrefix(a.bytes.data(), base.bytes.data(), bits);
}

}  // namespace

std::string IpAddress::ToString() const {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(v6 ? AF_INET6 : AF_INET, bytes.data(), text, sizeof text);
  return text;
}

bool ParseIpAddress(const std::string& text, IpAddress* address) {
  std::string t = text;
  if (t.size() >= 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
  IpAddress a;
  if (inet_pton(AF_INET, t.c_str(), a.bytes.data()) == 1) {
    a.v6 = false;
  } else if (inet_pton(AF_INET6, t.c_str(), a.bytes.data()) == 1) {
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
  if (a.v6 && EmbeddedV4(a, &inner)) a = inner;
  struct Block {
    bool v6;
    std::array<uint8_t, 16> prefix;
    int bits;
    AddressKind kind;
  };
  static const Block blocks[] = {
      {false, {127}, 8, AddressKind::Loopback},
      {false, {0}, 8, AddressKind::Unspecified},  // "this network"; 0.0.0.0 reaches this machine
      {false, {10}, 8, AddressKind::Private},
      {false, {172, 16}, 12, AddressKind::Private},
      {false, {192, 168}, 16, AddressKind::Private},
      {false, {169, 254}, 16, AddressKind::LinkLocal},
      {true, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, AddressKind::Loopback},
      {true, {}, 128, AddressKind::Unspecified},
      {true, {0xFC}, 7, AddressKind::Private},
      {true, {0xFE, 0x80}, 10, AddressKind::LinkLocal},
  };
  for (const Block& b : blocks)
    if (b.v6 == a.v6 && InPrefix(a.bytes.data(), b.prefix.data(), b.bits)) return b.kind;
  return AddressKind::Public;
}

const char* AddressKindName(AddressKind kind) {
  switch (kind) {
    case AddressKind::Loopback: return "loopback";
    case AddressKind::Private: return "private";
    case AddressKind::LinkLocal: return "link-local";
    case AddressKind::Unspecified: return "unspecified";
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
  // A site's own name may resolve to anything its owner likes, 127.0.0.1
  // included (DNS rebinding): this machine is reached through the origin only
  // when the origin names this machine itself.
  const bool thisMachine = kind == AddressKind::Loopback || kind == AddressKind::Unspecified;
  if (m_origin.IsValid() && name == m_origin.Host() && port == m_origin.Port() &&
      (scheme.empty() || Lower(scheme) == m_origin.Scheme()) && (!thisMachine || NamesThisMachine(m_origin.Host())))
    return true;
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
    *why = (name == shown ? shown : name + " (" + shown + ")") + " is a " + AddressKindName(kind) +
           " address; only the page's own origin and the networks in control.json's \"allowNetworks\" may be "
           "reached there";
  }
  return false;
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
