// The network policy decides without I/O: tested directly.
#include <gtest/gtest.h>

#include "control/site/NetworkPolicy.h"

namespace {
IpAddress Ip(const std::string& text) {
  IpAddress a;
  EXPECT_TRUE(ParseIpAddress(text, &a)) << text;
  return a;
}
Json::Value List(std::initializer_list<const char*> items) {
  Json::Value list(Json::arrayValue);
  for (const char* item : items) list.append(item);
  return list;
}
}  // namespace

TEST(NetworkPolicy, OnlyGlobalUnicastAddressesPassByDefault) {
  using K = AddressKind;
  const struct {
    const char* address;
    AddressKind kind;
  } cases[] = {
      {"127.0.0.1", K::Loopback},          {"127.255.1.2", K::Loopback},
      {"::1", K::Loopback},                {"::ffff:127.0.0.1", K::Loopback},
      {"::127.0.0.1", K::Loopback},        {"64:ff9b::7f00:1", K::Loopback},
      {"2002:7f00:1::", K::Loopback},      {"10.9.8.7", K::Private},
      {"172.16.0.1", K::Private},          {"172.31.255.255", K::Private},
      {"192.168.1.1", K::Private},         {"fd12::1", K::Private},
      {"fc00::", K::Private},              {"::ffff:10.0.0.1", K::Private},
      {"64:ff9b::10.9.9.9", K::Private},   {"2002:c0a8:101::1", K::Private},
      {"169.254.169.254", K::LinkLocal},   {"fe80::1", K::LinkLocal},
      {"febf::1", K::LinkLocal},           {"2002:a9fe:a9fe::", K::LinkLocal},
      {"0.0.0.0", K::Unspecified},         {"0.1.2.3", K::Unspecified},
      {"::", K::Unspecified},              {"100.64.0.1", K::SharedNat},
      {"100.127.255.254", K::SharedNat},   {"::ffff:100.100.1.1", K::SharedNat},
      {"224.0.0.251", K::Multicast},       {"239.255.255.250", K::Multicast},
      {"ff02::1", K::Multicast},           {"255.255.255.255", K::Broadcast},
      {"240.0.0.1", K::SpecialPurpose},    {"255.255.255.254", K::SpecialPurpose},
      {"198.18.0.1", K::SpecialPurpose},   {"198.19.255.255", K::SpecialPurpose},
      {"192.0.0.8", K::SpecialPurpose},    {"192.0.2.1", K::SpecialPurpose},
      {"203.0.113.9", K::SpecialPurpose},  {"2001:db8::1", K::SpecialPurpose},
      {"fec0::1", K::SpecialPurpose},      {"2001::1", K::SpecialPurpose},
      {"100::1", K::SpecialPurpose},       {"64:ff9b:1::a00:1", K::SpecialPurpose},
      {"4000::1", K::SpecialPurpose},      {"::ffff:0:a00:1", K::SpecialPurpose},
      {"172.32.0.1", K::Public},           {"172.15.255.255", K::Public},
      {"93.184.216.34", K::Public},        {"2606:4700::1111", K::Public},
      {"::ffff:8.8.8.8", K::Public},       {"64:ff9b::808:808", K::Public},
      {"2002:808:808::1", K::Public},      {"2001:200::1", K::Public},
      {"128.0.0.1", K::Public},            {"169.253.0.1", K::Public},
      {"100.63.255.255", K::Public},       {"100.128.0.1", K::Public},
      {"198.20.0.1", K::Public},           {"223.255.255.255", K::Public},
  };
  NetworkPolicy policy;
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyAddress(Ip(c.address)), c.kind) << c.address;
    std::string why;
    EXPECT_EQ(policy.Allows("http", "example.test", 80, Ip(c.address), &why), c.kind == AddressKind::Public)
        << c.address;
    if (c.kind != AddressKind::Public) {
      EXPECT_NE(why.find(AddressKindName(c.kind)), std::string::npos) << why;
    }
  }
  IpAddress a;
  for (const char* bad : {"localhost", "127.1", "1.2.3.4.5", "", "[::1", "::1]", "fe80::1%eth0", "01.2.3.4",
                          "1.2.3.256", "1::2::3", ":1::", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:1.2.3.4", "12345::",
                          "::1:", "1:2:3:4:5:6:7:8::", "g::"})
    EXPECT_FALSE(ParseIpAddress(bad, &a)) << bad;
  // Shown the usual way: the longest run of zero groups folded, IPv4 tails dotted.
  for (const char* shown : {"0.0.0.0", "255.1.20.3", "::", "::1", "1::", "2001:db8::1:0:0:1", "1:0:2:3:4:5:6:7",
                            "fe80::a:b", "::ffff:10.0.0.1", "::127.0.0.1", "1:2:3:4:5:6:7:8"})
    EXPECT_EQ(Ip(shown).ToString(), shown);
  EXPECT_EQ(Ip("[0:0:0:0:0:0:0:1]").ToString(), "::1");
  EXPECT_EQ(Ip("2001:DB8:0:0:1:0:0:0").ToString(), "2001:db8:0:0:1::");
}

TEST(NetworkPolicy, OnlyThePagesOwnOriginIsExcepted) {
  NetworkPolicy policy(WebOrigin::Parse("http://127.0.0.1:8080/app/page.html?x#y"), Json::Value());
  const IpAddress loopback = Ip("127.0.0.1");
  EXPECT_TRUE(policy.Allows("http", "127.0.0.1", 8080, loopback, nullptr));
  EXPECT_TRUE(policy.Allows("", "127.0.0.1", 8080, loopback, nullptr));  // a tunnel: host and port
  EXPECT_FALSE(policy.Allows("https", "127.0.0.1", 8080, loopback, nullptr));
  EXPECT_FALSE(policy.Allows("http", "127.0.0.1", 8081, loopback, nullptr));
  EXPECT_FALSE(policy.Allows("http", "localhost", 8080, loopback, nullptr));

  // A site can make its own name resolve to this machine or its network:
  // that is not its server, unless control.json says so.
  NetworkPolicy named(WebOrigin::Parse("HTTPS://Intranet.Example.:443/"), Json::Value());
  EXPECT_TRUE(named.Allows("https", "intranet.example", 443, Ip("93.184.216.34"), nullptr));
  std::string why;
  for (const char* here : {"127.0.0.1", "::ffff:127.0.0.2", "::1", "0.0.0.0", "10.0.0.5", "192.168.1.1", "fd00::5",
                           "169.254.169.254", "100.64.0.1", "64:ff9b::a00:5"})
    EXPECT_FALSE(named.Allows("https", "intranet.example", 443, Ip(here), &why)) << here;
  EXPECT_NE(why.find("own name"), std::string::npos) << why;
  for (const char* listed : {"intranet.example", "10.0.0.0/8"}) {
    NetworkPolicy intranet(WebOrigin::Parse("https://intranet.example/"), List({listed}));
    EXPECT_TRUE(intranet.Allows("https", "intranet.example", 443, Ip("10.0.0.5"), nullptr)) << listed;
  }
  // An origin written as an address reaches that address; a name for this
  // machine reaches loopback and nothing else local.
  NetworkPolicy literal(WebOrigin::Parse("http://10.0.0.5:8080/"), Json::Value());
  EXPECT_TRUE(literal.Allows("http", "10.0.0.5", 8080, Ip("10.0.0.5"), nullptr));
  EXPECT_FALSE(literal.Allows("http", "10.0.0.5", 8080, Ip("10.0.0.6"), nullptr));
  NetworkPolicy mapped(WebOrigin::Parse("http://[::ffff:10.0.0.5]/"), Json::Value());
  EXPECT_TRUE(mapped.Allows("", "::ffff:10.0.0.5", 80, Ip("10.0.0.5"), nullptr));
  NetworkPolicy local(WebOrigin::Parse("http://localhost:8080/"), Json::Value());
  EXPECT_TRUE(local.Allows("", "localhost", 8080, Ip("::1"), nullptr));
  EXPECT_FALSE(local.Allows("", "localhost", 8080, Ip("192.168.1.1"), nullptr));
  // The origin is the one every other part keys the site by: here intranet.example, not evil.example.
  NetworkPolicy spelled(WebOrigin::Parse("https://intranet.example\\@evil.example/"), Json::Value());
  EXPECT_EQ(spelled.ToJson()["origin"], "https://intranet.example");
  NetworkPolicy literalSpelled(WebOrigin::Parse("http://0x0a.0.0.5\\@evil.example/"), Json::Value());
  EXPECT_TRUE(literalSpelled.Allows("http", "10.0.0.5", 80, Ip("10.0.0.5"), nullptr));
  EXPECT_FALSE(literalSpelled.Allows("http", "evil.example", 80, Ip("10.0.0.5"), nullptr));
  // Pages that are not on the web have no origin to except.
  for (const char* page : {"file:///home/a/page.html", "about:blank", "", "chrome-extension://abc/"}) {
    NetworkPolicy none(WebOrigin::Parse(page), Json::Value());
    EXPECT_FALSE(none.Allows("", "127.0.0.1", 80, loopback, nullptr)) << page;
    EXPECT_FALSE(none.ToJson().isMember("origin")) << page;
  }
  // The policy survives its trip to the job process.
  NetworkPolicy back = NetworkPolicy::FromJson(policy.ToJson());
  EXPECT_TRUE(back.Allows("http", "127.0.0.1", 8080, loopback, nullptr));
  EXPECT_FALSE(back.Allows("http", "127.0.0.1", 8081, loopback, nullptr));
}

TEST(NetworkPolicy, AllowNetworksListsHostsAndRanges) {
  std::vector<std::string> skipped;
  NetworkPolicy policy(WebOrigin(), List({"printer.lan", "*.office.lan", "192.168.10.0/24", "10.1.2.3", "fd00::/8", "10.0.0.0/33",
                                 "bad host", "*", "1.2.3.4/x"}),
                       &skipped);
  EXPECT_EQ(skipped, (std::vector<std::string>{"10.0.0.0/33", "bad host", "*", "1.2.3.4/x"}));
  EXPECT_TRUE(policy.Allows("http", "PRINTER.lan", 631, Ip("10.5.5.5"), nullptr));
  EXPECT_TRUE(policy.Allows("http", "a.office.lan", 80, Ip("10.5.5.5"), nullptr));
  EXPECT_FALSE(policy.Allows("http", "office.lan", 80, Ip("10.5.5.5"), nullptr));
  EXPECT_FALSE(policy.Allows("http", "xoffice.lan", 80, Ip("10.5.5.5"), nullptr));
  EXPECT_TRUE(policy.Allows("http", "any.test", 80, Ip("192.168.10.77"), nullptr));
  EXPECT_TRUE(policy.Allows("http", "any.test", 80, Ip("::ffff:192.168.10.77"), nullptr));
  EXPECT_FALSE(policy.Allows("http", "any.test", 80, Ip("192.168.11.1"), nullptr));
  EXPECT_TRUE(policy.Allows("http", "any.test", 80, Ip("10.1.2.3"), nullptr));
  EXPECT_FALSE(policy.Allows("http", "any.test", 80, Ip("10.1.2.4"), nullptr));
  EXPECT_TRUE(policy.Allows("http", "any.test", 80, Ip("fd99::1"), nullptr));
  EXPECT_FALSE(policy.Allows("http", "any.test", 80, Ip("127.0.0.1"), nullptr));
  NetworkPolicy back = NetworkPolicy::FromJson(policy.ToJson());
  EXPECT_TRUE(back.Allows("http", "b.office.lan", 80, Ip("10.5.5.5"), nullptr));
  EXPECT_TRUE(back.Allows("http", "x", 80, Ip("192.168.10.1"), nullptr));
}
