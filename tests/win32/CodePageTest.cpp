// The thread's ANSI code page on Windows: conversions through the SDK and
// cutting text between characters of a double-byte code page.
#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace {

class CodePage : public ::testing::Test {
 protected:
  void TearDown() override { SetThreadCodePage("WINDOWS-1252"); }
};

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
