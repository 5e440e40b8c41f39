// The system's SHA-256 and the HMAC over it, against published vectors: the
// names of sites' folders and settings and the device ids a site sees rest on them.
#include <gtest/gtest.h>

#include "control/base/Digest.h"

TEST(Digest, Sha256AndHmacGiveThePublishedValues) {
  EXPECT_EQ(HexDigits(Sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HexDigits(Sha256(std::string(100000, 'a'))),
            "6d1cf22d7cc09b085dfc25ee1a1f3ae0265804c607bc2074ad253bcc82fd81ee");
  EXPECT_EQ(HexDigits(HmacSha256(std::string(20, '\x0b'), "Hi There")),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  // A key longer than the hash's block is hashed first.
  EXPECT_EQ(HexDigits(HmacSha256(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First")),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}
