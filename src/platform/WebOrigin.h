// The origin of a web page: the one key by which the host and the control
// know a site. Site permissions, a site's folders, settings and device ids,
// and the network policy's exception for the page's own origin all use it,
// parsed once from the address "new" hands over: two parsers of the same text
// would disagree on some spelling, and a hostile page looks for that one.
//
// Read by the URL rules browsers use for http and https (WHATWG): '\' ends
// the host like '/', user name and password (up to the last '@') are
// dropped, any run of '/' and '\' may follow "http:", the host is
// percent-decoded and lower-cased, a host that ends in a number is an IPv4
// address in any of its forms (0x7f.1, 2130706433, 0177.0.0.1) and written
// dotted-decimal, an IPv6 literal is written in its shortest form in
// brackets, the scheme's default port is left out. Stricter than those rules
// where a browser never reports the spelling (refused instead):
//  - any scheme but http and https (file:, data:, about:, blob:, ws:);
//  - a control character (NUL, tab, newline, ...) or DEL anywhere, a space or
//    a byte above 0x7F before the path (a browser writes those as %XX; text
//    converted between code pages or cut at a NUL must not change the host);
//  - a host that is empty, holds anything but letters, digits, '-', '_' and
//    '.' once decoded (internationalised names arrive as punycode), has an
//    empty label (".a", "a..b", "a.."), a label over 63 or a name over 253
//    bytes, or an IPv6 zone;
//  - a port that is not digits, is 0 or is above 65535.
// One trailing dot is dropped from a name ("https://shop.example." is
// "https://shop.example": the same server, so the same site).
//
// Pure: no I/O, no locale; the same on both platforms.
#pragma once

#include <string>
#include <string_view>

class WebOrigin {
 public:
  // No origin: IsValid() false, Key() "".
  WebOrigin() = default;

  // The origin of an absolute http or https address; no origin when refused
  // (above). With rest: the path and query after the host, '\' before the
  // query written '/', the fragment left out, space, '"', '<', '>', '`', '{',
  // '}' and bytes above 0x7F written %XX, "/" when there is no path. Key() +
  // *rest is then the address as every later reader must see it.
  static WebOrigin Parse(std::string_view url, std::string* rest = nullptr);

  bool IsValid() const { return !m_key.empty(); }
  // "https://shop.example", "http://127.0.0.1:8080", "http://[::1]:9000"; "" when invalid.
  const std::string& Key() const { return m_key; }
  // "http" or "https".
  const std::string& Scheme() const { return m_scheme; }
  // "shop.example", "127.0.0.1", "::1" (no brackets: as names are compared and resolved).
  const std::string& Host() const { return m_host; }
  // The port connected to: the scheme's default (80, 443) when the address names none.
  int Port() const { return m_port; }

  bool operator==(const WebOrigin& other) const { return m_key == other.m_key; }

 private:
  std::string m_scheme, m_host, m_key;
  int m_port = 0;
};
