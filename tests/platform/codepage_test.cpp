#include <gtest/gtest.h>

#include "platform/Automation.h"
#include "platform/CodePage.h"
#include "platform/JsonText.h"

namespace {

struct SingleByteCodePage {
  SingleByteCodePage() { EXPECT_TRUE(SetThreadCodePage("WINDOWS-1252")); }
  ~SingleByteCodePage() { SetThreadCodePage("UTF-8"); }
};

TEST(CodePage, Utf8ModeReplacesInvalidSequencesAndStopsAtNul) {
  SetThreadCodePage("UTF-8");
  EXPECT_EQ(Utf8ToAnsi("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(Utf8ToAnsi(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(Utf8ToAnsi("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Utf8ToAnsi("\xC3"), "\xEF\xBF\xBD") << "truncated sequence";
  EXPECT_EQ(Utf8ToAnsi("\xED\xA0\x80"), "\xEF\xBF\xBD") << "an encoded surrogate is not UTF-8";
  EXPECT_EQ(AnsiToUtf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(AnsiToWide("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(WideToAnsi(u"x\xD800y"), "x\xEF\xBF\xBDy") << "unpaired surrogate";
}

TEST(CodePage, SingleByteCharsetUsesQuestionMarkForWhatItLacks) {
  SingleByteCodePage cp1252;
  EXPECT_EQ(Utf8ToAnsi("caf\xC3\xA9 \xE2\x82\xAC \xE6\x97\xA5"), "caf\xE9 \x80 ?");
  EXPECT_EQ(Utf8ToAnsi("\xF0\x9F\x98\x80!"), "?!") << "one '?' for a character outside the BMP";
  EXPECT_EQ(AnsiToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(AnsiToWide("\xE9"), u"\u00E9");
  EXPECT_EQ(WideToAnsi(u"\u00E9\u65E5"), "\xE9?");
}

TEST(CodePage, CharacterBoundaryNeverSplitsACharacter) {
  SetThreadCodePage("UTF-8");
  std::string s = "ab\xE2\x82\xAC" "cd";  // a, b, euro sign (3 bytes), c, d
  EXPECT_EQ(CharacterBoundary(s, 2), 2u);
  EXPECT_EQ(CharacterBoundary(s, 3), 2u);
  EXPECT_EQ(CharacterBoundary(s, 4), 2u);
  EXPECT_EQ(CharacterBoundary(s, 5), 5u);
  EXPECT_EQ(CharacterBoundary(s, 100), s.size());
  std::string emoji = "\xF0\x9F\x98\x80\xF0\x9F\x98\x80";
  for (size_t limit = 1; limit < 8; ++limit) EXPECT_EQ(CharacterBoundary(emoji, limit) % 4, 0u) << limit;
}

TEST(CodePage, CharacterBoundaryInDoubleByteCodePages) {
  // GBK: U+4E2D is D6 D0, and a trail byte may be ASCII ('@' 0x40 after 0x81).
  ASSERT_TRUE(SetThreadCodePage("GBK"));
  std::string gbk = "a\xD6\xD0\x81\x40" "b";  // a, 中, 丂, b
  const size_t gbkCuts[] = {0, 1, 1, 3, 3, 5, 6};
  for (size_t limit = 0; limit <= 6; ++limit) EXPECT_EQ(CharacterBoundary(gbk, limit), gbkCuts[limit]) << limit;
  // GB18030 adds four-byte characters: 81 30 81 30 is U+0080.
  ASSERT_TRUE(SetThreadCodePage("GB18030"));
  std::string four = "\x81\x30\x81\x30\x81\x30\x81\x30";
  for (size_t limit = 1; limit < 8; ++limit) EXPECT_EQ(CharacterBoundary(four, limit) % 4, 0u) << limit;
  // A single-byte code page cuts anywhere.
  ASSERT_TRUE(SetThreadCodePage("WINDOWS-1252"));
  EXPECT_EQ(CharacterBoundary("\xE9\xE9\xE9", 2), 2u);
  SetThreadCodePage("UTF-8");
}

TEST(JsonText, CompactFormKeepsNonAsciiAsCharacters) {
  SetThreadCodePage("UTF-8");
  Json::Value v;
  v["b"] = "caf\xC3\xA9 \xF0\x9F\x98\x80";
  v["a"] = Json::Value(Json::arrayValue);
  v["c"] = "q\"\\\x01/";
  EXPECT_EQ(WriteCompactJson(v), "{\"a\":[],\"b\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\",\"c\":\"q\\\"\\\\\\u0001/\"}\n");
}

TEST(JsonText, StyledFormMatchesTheStyledWriterLayout) {
  SetThreadCodePage("UTF-8");
  Json::Value v;
  v["event"] = "st";
  v["params"][0]["n"] = 1;
  v["params"][0]["s"] = "\xC3\xA9";
  EXPECT_EQ(WriteStyledJson(v),
            "{\n   \"event\" : \"st\",\n   \"params\" : [\n      {\n         \"n\" : 1,\n"
            "         \"s\" : \"\xC3\xA9\"\n      }\n   ]\n}\n");
}

TEST(JsonText, BytesOfASingleByteCodePageSurviveSerialisation) {
  SingleByteCodePage cp1252;
  Json::Value v;
  v["t"] = "caf\xE9";  // é in the thread's code page
  EXPECT_EQ(WriteCompactJson(v), "{\"t\":\"caf\xE9\"}\n");
  EXPECT_EQ(AnsiToUtf8(WriteCompactJson(v)), "{\"t\":\"caf\xC3\xA9\"}\n");
}

TEST(Utf16, RoundTripsAndReplacesBrokenInput) {
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("h\xC3\xA9llo \xF0\x9F\x98\x80")), "h\xC3\xA9llo \xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), u"\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD") << "overlong forms are not decoded";
}

}  // namespace

namespace {

TEST(CodePage, ConversionAStretchAtATimeMatchesTheWholeConversion) {
  // Runs of ASCII long enough for the blockwise path, every kind of unit
  // after them (units at and above 0x8000 included), surrogate pairs that a
  // stretch's end would part, lone surrogates; converted into rooms of every
  // size, the stretches must join into Utf16ToUtf8 of the whole.
  uint32_t seed = 777;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  const OleString units[] = {u"abcdefghijklmnopqrstuvwxyz0123456789", u"\x7F", u"\x80", u"\xE9", u"\x7FF", u"\x800",
                             u"\x4E2D", u"\xFF80", u"\xD83D\xDE00", u"\xD800", u"\xDFFF", u"z"};
  for (int round = 0; round < 300; ++round) {
    OleString text;
    int n = static_cast<int>(next() % 30);
    for (int i = 0; i < n; ++i) text += units[next() % std::size(units)];
    std::string joined;
    size_t used = 0;
    while (used < text.size()) {
      char room[64];
      size_t size = 4 + next() % 60, written = 0;
      size_t took = ConvertUtf16ToUtf8(OleStringView(text).substr(used), room, size, &written);
      ASSERT_GT(took, 0u);
      ASSERT_LE(written, size);
      joined.append(room, written);
      used += took;
    }
    EXPECT_EQ(joined, Utf16ToUtf8(text)) << round;
  }
}

TEST(JsonText, DirectFormMatchesTheCompactWriter) {
  SetThreadCodePage("UTF-8");
  // Every byte value, quotes, backslashes, control characters, NUL and
  // non-ASCII text (valid and not) in random mixes: once made UTF-8 for the
  // wire, both paths must give the same bytes.
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  const std::string pieces[] = {"\"", "\\", "\x01", "\x1f", "\x7f", std::string(1, '\0'), "/", "\n\t\r\b\f",
                                "\xC3\xA9", "\xF0\x9F\x98\x80", "\xFF", "\xE2\x82", "plain"};
  for (int round = 0; round < 500; ++round) {
    std::string s;
    int n = static_cast<int>(next() % 40);  // long enough for the blockwise scans
    for (int i = 0; i < n; ++i) s += pieces[next() % std::size(pieces)];
    Json::Value v;
    v["t"] = s;
    v["n"] = static_cast<int>(next() % 1000) - 500;
    v["b"] = (next() & 1) != 0;
    v["z"] = Json::Value();
    std::string direct;
    AppendCompactJson(direct, v["t"]);
    std::string viaWriter = WriteCompactJson(v["t"]);
    viaWriter.pop_back();
    EXPECT_EQ(AnsiToUtf8(direct), AnsiToUtf8(viaWriter)) << round;
    for (const char* key : {"n", "b", "z"}) {
      std::string d;
      AppendCompactJson(d, v[key]);
      std::string w = WriteCompactJson(v[key]);
      w.pop_back();
      EXPECT_EQ(d, w);
    }
  }
}

}  // namespace
