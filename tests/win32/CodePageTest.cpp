// Text inside the process on Windows: UTF-8 by default, so nothing is lost;
// the thread's ANSI code page where a test picks one (conversions through the
// SDK, cutting text between characters of a double-byte code page).
#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace {

class CodePage : public ::testing::Test {
 protected:
  void TearDown() override { SetThreadCodePage("UTF-8"); }
};

// Western, Cyrillic, Japanese and a character beyond the BMP: no ANSI code
// page has them all, and the host's text keeps every one.
TEST_F(CodePage, TheHostsTextIsUtf8AndKeepsEveryCharacter) {
  InitThreadCodePage();
  EXPECT_EQ(ThreadCodePage(), "UTF-8");
  const std::string text = "caf\xc3\xa9/\xd0\x9f\xd1\x80\xd0\xb8/\xe6\x97\xa5/\xf0\x9f\x98\x80";
  EXPECT_EQ(Utf8ToAnsi(text), text);
  EXPECT_EQ(AnsiToUtf8(text), text);
  EXPECT_EQ(WideToAnsi(AnsiToWide(text)), text);
  EXPECT_EQ(AnsiToWide(text).size(), 13u);  // the emoji is a surrogate pair
  // Cut between characters: never inside the emoji's four bytes.
  EXPECT_EQ(CharacterBoundary(text, text.size() - 1), text.size() - 4);
  EXPECT_EQ(Utf8ToAnsi(std::string("ab\0cd", 5)), "ab");
}

TEST_F(CodePage, WesternTextTravelsBetweenUtf8AndTheCodePage) {
  ASSERT_TRUE(SetThreadCodePage("WINDOWS-1252"));
  EXPECT_EQ(ThreadCodePage(), "CP1252");
  EXPECT_EQ(Utf8ToAnsi("caf\xc3\xa9 \xe2\x82\xac"), "caf\xe9 \x80");
  EXPECT_EQ(AnsiToUtf8("caf\xe9 \x80"), "caf\xc3\xa9 \xe2\x82\xac");
  // A character the code page lacks becomes its default character.
  EXPECT_EQ(Utf8ToAnsi("\xe6\x97\xa5"), "?");
  // Input is taken up to its first NUL.
  EXPECT_EQ(Utf8ToAnsi(std::string("ab\0cd", 5)), "ab");
}

TEST_F(CodePage, ShiftJisLeadBytesAreNeverCutFromTheirTrailBytes) {
  ASSERT_TRUE(SetThreadCodePage("CP932"));
  EXPECT_EQ(ThreadCodePage(), "CP932");
  // 日本 in Shift_JIS: 93 FA 96 7B; the trail byte 0x7B looks like '{'.
  const std::string text = "a\x93\xfa\x96\x7b";
  EXPECT_EQ(AnsiToUtf8(text), "a\xe6\x97\xa5\xe6\x9c\xac");
  EXPECT_EQ(Utf8ToAnsi("a\xe6\x97\xa5\xe6\x9c\xac"), text);
  EXPECT_EQ(CharacterBoundary(text, 1), 1u);
  EXPECT_EQ(CharacterBoundary(text, 2), 1u);  // inside 日
  EXPECT_EQ(CharacterBoundary(text, 3), 3u);
  EXPECT_EQ(CharacterBoundary(text, 4), 3u);  // inside 本
  EXPECT_EQ(CharacterBoundary(text, 5), 5u);
}

}  // namespace
