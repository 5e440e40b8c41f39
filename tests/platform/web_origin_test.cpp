// The one origin parser: every spelling of a site a hostile page could try
// comes out as that site's one key, or is refused.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/WebOrigin.h"

namespace {

using namespace std::string_literals;

TEST(WebOrigin, EverySpellingOfASiteIsOneKeyOrNone) {
  const std::pair<std::string, const char*> cases[] = {
      // Case, default ports, trailing dot, path, query, fragment, userinfo.
      {"https://shop.example/cart?x=1#top", "https://shop.example"},
      {"HTTPS://Shop.EXAMPLE:443/", "https://shop.example"},
      {"https://shop.example.", "https://shop.example"},
      {"https://shop.example.:0443/", "https://shop.example"},
      {"http://shop.example:80/a", "http://shop.example"},
      {"http://shop.example:/a", "http://shop.example"},
      {"http://shop.example:8080", "http://shop.example:8080"},
      {"https://shop.example:80", "https://shop.example:80"},
      {"https://user:pw@shop.example:8443/", "https://shop.example:8443"},
      {"https://a@b@shop.example/", "https://shop.example"},
      {"https://@shop.example/", "https://shop.example"},
      // '\' ends the host as '/' does; slashes after the scheme are skipped.
      {"http://example.com\\@evil.com/", "http://example.com"},
      {"http:\\\\evil.com\\x", "http://evil.com"},
      {"http:evil.com", "http://evil.com"},
      {"http:///evil.com/", "http://evil.com"},
      {"http://evil.com?@good.com", "http://evil.com"},
      {"http://evil.com#@good.com", "http://evil.com"},
      // Percent-encoded names.
      {"http://%65vil.COM/", "http://evil.com"},
      {"http://evil%2Ecom/", "http://evil.com"},
      // IPv4 in every form.
      {"http://127.0.0.1:41234/page.html", "http://127.0.0.1:41234"},
      {"http://0x7f.1/", "http://127.0.0.1"},
      {"http://2130706433/", "http://127.0.0.1"},
      {"http://0177.0.0.01/", "http://127.0.0.1"},
      {"http://127.1./", "http://127.0.0.1"},
      {"http://0x7F000001/", "http://127.0.0.1"},
      {"http://%31%32%37.0.0.1/", "http://127.0.0.1"},
      {"http://0x/", "http://0.0.0.0"},
      // IPv6 in every form.
      {"http://[::1]:9000/p", "http://[::1]:9000"},
      {"http://[0:0:0:0:0:0:0:1]/", "http://[::1]"},
      {"http://[0000::0001]:80/", "http://[::1]"},
      {"http://[::FFFF:127.0.0.1]/", "http://[::ffff:7f00:1]"},
      {"http://[1:0:0:2:0:0:0:3]/", "http://[1:0:0:2::3]"},
      {"http://[1:0:0:0:2:0:0:3]/", "http://[1::2:0:0:3]"},
      {"http://[1:0:2:0:3:0:4:0]/", "http://[1:0:2:0:3:0:4:0]"},
      {"http://[::]/", "http://[::]"},
      // Refused: other schemes, no host, odd hosts, odd ports.
      {"file:///etc/passwd", ""},
      {"chrome-extension://abc/options.html", ""},
      {"ws://shop.example/", ""},
      {"blob:https://shop.example/1", ""},
      {"data:text/html,x", ""},
      {"shop.example", ""},
      {"https://", ""},
      {"https:///", ""},
      {"https://user@/", ""},
      {"https://:443/", ""},
      {"", ""},
      {"https://shop.example../", ""},
      {"https://.shop.example/", ""},
      {"https://shop..example/", ""},
      {"https://shop example/", ""},
      {"https://shop*.example/", ""},
      {"https://shop%2fexample/", ""},
      {"https://shop%00.example/", ""},
      {"https://%zz.example/", ""},
      {"https://"s + std::string(64, 'a') + ".example/", ""},
      {"https://shop.example:99999/", ""},
      {"https://shop.example:65536/", ""},
      {"https://shop.example:0/", ""},
      {"https://shop.example:-1/", ""},
      {"https://shop.example:443:443/", ""},
      {"http://1.2.3.4.5/", ""},
      {"http://256.0.0.1/", ""},
      {"http://4294967296/", ""},
      {"http://127.0.0.09/", ""},
      {"http://shop.09/", ""},
      {"http://[::1/", ""},
      {"http://[::1]x/", ""},
      {"http://[::1%25eth0]/", ""},
      {"http://[1::2::3]/", ""},
      {"http://[1:2:3:4:5:6:7:8:9]/", ""},
      {"http://[::1.2.3]/", ""},
      {"http://[::01.2.3.4]/", ""},
      {"http://%5B::1%5D/", ""},
      // Control characters, spaces and bytes above 0x7F where they could move the host.
      {"https://shop.example\0.evil.example/"s, ""},
      {"https://shop.example/\0"s, ""},
      {"https://ev\til.example/", ""},
      {"https://evil.example\n/", ""},
      {" https://shop.example/", ""},
      {"https://shop.example /", ""},
      {"https://sh\xC3\xB6p.example/", ""},
      {"https://a\x81\\@evil.example/", ""},
  };
  for (const auto& [url, key] : cases) EXPECT_EQ(WebOrigin::Parse(url).Key(), key) << url;
}

TEST(WebOrigin, KeepsItsPartsAndTheRestOfTheAddress) {
  std::string rest;
  WebOrigin o = WebOrigin::Parse("HTTP://u:p@[::1]:8080\\a\\b?c\\d e#f", &rest);
  EXPECT_EQ(o.Scheme(), "http");
  EXPECT_EQ(o.Host(), "::1");
  EXPECT_EQ(o.Port(), 8080);
  EXPECT_EQ(o.Key() + rest, "http://[::1]:8080/a/b?c\\d%20e");
  o = WebOrigin::Parse("https://shop.example?q=\xC3\xA9", &rest);
  EXPECT_EQ(o.Port(), 443);
  EXPECT_EQ(rest, "/?q=%C3%A9");
  EXPECT_EQ(WebOrigin::Parse("https://shop.example", &rest), WebOrigin::Parse("https://SHOP.example./x"));
  EXPECT_EQ(rest, "/");
  EXPECT_FALSE(WebOrigin().IsValid());
}

}  // namespace
