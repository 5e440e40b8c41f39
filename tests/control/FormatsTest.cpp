// Small formats the control reads and writes: base64, character sets, MIME
// types and versions (papers and pages: PrintFormatsTest.cpp).
#include <gtest/gtest.h>

#include <random>

#include "control/formats/Base64.h"
#include "control/formats/SystemInfo.h"
#include "control/formats/TextEncoding.h"

TEST(Base64, KnownVectorsBothWays) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {std::string("\xFF\xFE\x00\x01", 4), "//4AAQ=="}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(Base64Encode(bytes), text);
    std::string decoded;
    ASSERT_TRUE(Base64Decode(text, &decoded)) << text;
    EXPECT_EQ(decoded, bytes);
  }
}

TEST(Base64, RandomBytesRoundTrip) {
  std::mt19937 random(7);
  for (size_t length = 0; length < 300; length += 7) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    std::string decoded;
    ASSERT_TRUE(Base64Decode(Base64Encode(bytes), &decoded));
    EXPECT_EQ(decoded, bytes);
  }
}

TEST(Base64, WhitespaceAndMissingPaddingAreAcceptedGarbageIsNot) {
  std::string out = "untouched";
  EXPECT_TRUE(Base64Decode("Zm9v\r\nYmE", &out));
  EXPECT_EQ(out, "fooba");
  for (const char* bad : {"Z", "Zm9v!", "Zg=a", "Zg==Zg==", "=Zg", "Zm9vY", "Zg==="}) {
    out = "untouched";
    EXPECT_FALSE(Base64Decode(bad, &out)) << bad;
    EXPECT_EQ(out, "untouched");
  }
}

TEST(TextEncoding, ConvertsBothWaysAndReplacesWhatDoesNotFit) {
  std::string text, error;
  ASSERT_TRUE(DecodeToUtf8("caf\xE9", "ISO-8859-1", &text, &error));
  EXPECT_EQ(text, "caf\xC3\xA9");
  ASSERT_TRUE(EncodeFromUtf8("caf\xC3\xA9 \xE2\x82\xAC!", "ISO-8859-1", &text, &error));
  EXPECT_EQ(text, "caf\xE9 ?!");  // the euro sign is not in Latin-1
  ASSERT_TRUE(EncodeFromUtf8("ab", "UTF-16LE", &text, &error));
  EXPECT_EQ(text, std::string("a\0b\0", 4));
  // UTF-8 input is repaired, its byte order mark dropped.
  ASSERT_TRUE(DecodeToUtf8("\xEF\xBB\xBFok\xFF", "", &text, &error));
  EXPECT_EQ(text, "ok\xEF\xBF\xBD");
  EXPECT_FALSE(DecodeToUtf8("x", "NO-SUCH-CHARSET", &text, &error));
  EXPECT_NE(error.find("NO-SUCH-CHARSET"), std::string::npos);
}

TEST(TextEncoding, HtmlDeclaresItsCharset) {
  EXPECT_EQ(SniffHtmlCharset("<html><head><meta charset=\"windows-1252\"></head>"), "windows-1252");
  EXPECT_EQ(SniffHtmlCharset("<META http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-2\">"),
            "ISO-8859-2");
  EXPECT_EQ(SniffHtmlCharset("\xFF\xFE<\0h\0"), "UTF-16LE");
  EXPECT_EQ(SniffHtmlCharset("<p>no declaration</p>"), "UTF-8");
}

TEST(FileTypes, ByExtensionOrMimeType) {
  for (const char* yes : {"pdf", ".PDF", "label.pdf", "application/pdf", "text/plain; charset=utf-8", "x.jpeg",
                          "image/png", "page.html", "scan.tif"})
    EXPECT_TRUE(IsPrintableType(yes)) << yes;
  for (const char* no : {"", "docx", "archive.zip", "application/zip", "image/svg+xml", "no-extension", "a.pdf.exe"})
    EXPECT_FALSE(IsPrintableType(no)) << no;
  EXPECT_EQ(MimeTypeFor("Report.TXT"), "text/plain");
}

TEST(Versions, ComparedPartByPart) {
  int order = 0;
  ASSERT_TRUE(CompareVersions("1.10.0", "1.9", &order));
  EXPECT_EQ(order, 1);
  ASSERT_TRUE(CompareVersions("2.0", "2", &order));
  EXPECT_EQ(order, 0);
  ASSERT_TRUE(CompareVersions("0.1.0", "0.1.1", &order));
  EXPECT_EQ(order, -1);
  for (const char* bad : {"", "1..2", "v1", "1.2-beta", ".1"}) EXPECT_FALSE(CompareVersions(bad, "1", &order)) << bad;
}
