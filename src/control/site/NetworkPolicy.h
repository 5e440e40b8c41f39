// Which network addresses the control may reach for a page: for "download",
// for "url" jobs and for everything a rendered page loads.
//
// The page is untrusted, and a browser would never let it read the user's own
// machine or local network. So only global unicast addresses may be reached
// by default: IPv6 in 2000::/3 and IPv4 outside the blocks that the IANA
// special-purpose registries mark as not globally reachable. Refused, by
// kind: loopback (127/8, ::1), private (10/8, 172.16/12, 192.168/16,
// fc00::/7), link-local (169.254/16, fe80::/10), unspecified (0/8, ::),
// carrier-grade NAT (100.64/10), multicast (224/4, ff00::/8), broadcast
// (255.255.255.255) and special-purpose (documentation, benchmarking
// 198.18/15, protocol assignments 192.0.0/24 and 2001::/23, 240/4, site-local
// fec0::/10, and all other IPv6 outside 2000::/3). An IPv6 address that
// stands for an IPv4 one (mapped ::ffff:a.b.c.d, compatible ::a.b.c.d, NAT64
// 64:ff9b::a.b.c.d, 6to4 2002:AABB:CCDD::) counts as that IPv4 address.
// Two exceptions:
//  - the page's own origin (scheme, host, port: WebOrigin, from "new"),
//    but its name may resolve to anything its owner likes: it reaches a
//    refused address only when the origin is that address written out
//    (http://10.0.0.5/) or, for loopback, names this machine (localhost);
//  - hosts and ranges listed in control.json: {"allowNetworks": ["printer.lan",
//    "*.office.lan", "192.168.10.0/24", "10.1.2.3", "fd00::/8"]} (intranet
//    sites are listed there).
// The decision is made on the address actually connected to, after name
// resolution, for every connection (so every redirect): a name that resolves
// to 127.0.0.1 is refused like 127.0.0.1 itself. Nothing here does I/O.
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/WebOrigin.h"

// An IPv4 or IPv6 address; IPv4 is kept as four bytes.
struct IpAddress {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};
  std::string ToString() const;
};

// "127.0.0.1", "::1", "[::1]"; false for anything else (names included).
bool ParseIpAddress(const std::string& text, IpAddress* address);

// Public: global unicast; every other kind is refused unless excepted.
enum class AddressKind { Public, Loopback, Private, LinkLocal, Unspecified, SharedNat, Multicast, Broadcast,
                         SpecialPurpose };
// The range an address lies in; IPv6 addresses that stand for an IPv4 one
// (mapped, compatible, NAT64, 6to4) count as that IPv4 address.
AddressKind ClassifyAddress(const IpAddress& address);
// "public", "loopback", "private", "link-local", "unspecified",
// "carrier-grade NAT", "multicast", "broadcast", "special-purpose".
const char* AddressKindName(AddressKind kind);

// "localhost", "x.localhost" or a loopback or unspecified address (host as
// WebOrigin::Host gives it): names that mean this machine whatever DNS says.
bool NamesThisMachine(const std::string& host);

class NetworkPolicy {
 public:
  // Refuses every local range and allows no exception.
  NetworkPolicy() = default;
  // The page's origin (parsed once from "new"; none for a page that is not
  // on the web) and control.json's "allowNetworks" entries; entries that
  // cannot be read are skipped and named in *skipped when given.
  NetworkPolicy(const WebOrigin& page, const Json::Value& allowNetworks, std::vector<std::string>* skipped = nullptr);

  // Whether a connection to address may be made for a request to host:port.
  // scheme is "" when the caller does not know it (a tunnel): the page's origin
  // then matches on host and port, which name the same server. False with the
  // reason ("127.0.0.1 is a loopback address") in *why.
  bool Allows(const std::string& scheme, const std::string& host, int port, const IpAddress& address,
              std::string* why) const;

  // The policy as data, to hand to the job process, and back.
  Json::Value ToJson() const;
  static NetworkPolicy FromJson(const Json::Value& value);

  // The page's origin (invalid for a page not on the web): the site the
  // warm renderer keeps a browser context for.
  const WebOrigin& Origin() const { return m_origin; }

 private:
  struct Range {
    IpAddress base;
    int bits = 0;
  };
  // Whether the origin's own name may reach address (of that kind, not Public).
  bool OriginIsAt(const IpAddress& address, AddressKind kind) const;
  static bool SameHost(const std::string& name, const std::string& originHost);
  WebOrigin m_origin;
  std::vector<std::string> m_hosts;     // exact names, or ".suffix" for "*.suffix"
  std::vector<Range> m_ranges;
  std::vector<std::string> m_entries;   // as given, for ToJson
};
