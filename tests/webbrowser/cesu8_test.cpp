// The text conversions at the script engine's boundary.
#include <gtest/gtest.h>

#include "platform/webbrowser/Cesu8.h"

namespace {

TEST(Cesu8Test, BmpTextIsPlainUtf8AndRoundTrips) {
  const std::u16string text = u"A\u00e9\u4e2d\uffff";
  std::string cesu = Utf16ToCesu8(text);
  EXPECT_EQ(cesu, "A\xC3\xA9\xE4\xB8\xAD\xEF\xBF\xBF");
  EXPECT_EQ(Cesu8ToUtf16(cesu), text);
  EXPECT_EQ(Cesu8ToUtf8(cesu), cesu);
}

TEST(Cesu8Test, NonBmpCharactersAreSurrogateSequences) {
  const std::u16string face = u"\U0001F600";
  std::string cesu = Utf16ToCesu8(face);
  EXPECT_EQ(cesu, "\xED\xA0\xBD\xED\xB8\x80");
  EXPECT_EQ(Cesu8ToUtf16(cesu), face);
  EXPECT_EQ(Cesu8ToUtf8(cesu), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToCesu8("x\xF0\x9F\x98\x80y"), "x\xED\xA0\xBD\xED\xB8\x80y");
  // Plain 4-byte UTF-8 found inside the engine decodes to the same pair.
  EXPECT_EQ(Cesu8ToUtf16("\xF0\x9F\x98\x80"), face);
  EXPECT_FALSE(IsCesu8Compatible("\xF0\x9F\x98\x80"));
  EXPECT_TRUE(IsCesu8Compatible("\xED\xA0\xBD\xED\xB8\x80"));
}

TEST(Cesu8Test, UnpairedSurrogatesSurviveToUtf16ButNotToUtf8) {
  const std::u16string lone(u"\xD800x", 2);
  std::string cesu = Utf16ToCesu8(lone);
  EXPECT_EQ(Cesu8ToUtf16(cesu), lone);
  EXPECT_EQ(Cesu8ToUtf8(cesu), "\xEF\xBF\xBDx");
  // A low surrogate before a high one is no pair.
  EXPECT_EQ(Cesu8ToUtf8(Utf16ToCesu8(std::u16string(u"\xDC00\xD800", 2))), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Cesu8Test, MalformedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(Cesu8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(Cesu8ToUtf16("a\xC3"), u"a\uFFFD");             // cut short
  EXPECT_EQ(Cesu8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");     // never valid lead
  EXPECT_EQ(Cesu8ToUtf16("\xE0\x80\xAF"), u"\uFFFD");       // overlong
  EXPECT_EQ(Utf8ToCesu8("a\xFF"), "a\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToCesu8("\xEF\xBF\xBD"), "\xEF\xBF\xBD");   // a real U+FFFD stays itself
}

TEST(Cesu8Test, BufferFormsCountWithoutWriting) {
  const std::u16string text = u"\U0001F600\u00e9";
  size_t bytes = EncodeCesu8(text, nullptr);
  EXPECT_EQ(bytes, 8u);
  std::string out(bytes, '\0');
  EXPECT_EQ(EncodeCesu8(text, out.data()), bytes);
  EXPECT_EQ(DecodeCesu8(out, nullptr), 3u);
}

}  // namespace
