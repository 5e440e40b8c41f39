// Formats of printing: file types by their first bytes, paper names, page
// ranges and PDF page counts.
#include <gtest/gtest.h>

#include <random>

#include "control/jobs/JobRequest.h"
#include "control/printing/PaperSize.h"
#include "control/printing/PdfPages.h"
#include "control/render/ChromiumRenderer.h"

TEST(FileTypes, SniffedFromTheFirstBytes) {
  EXPECT_EQ(SniffMimeType("%PDF-1.7\n..."), "application/pdf");
  EXPECT_EQ(SniffMimeType("\x89PNG\r\n\x1a\n...."), "image/png");
  EXPECT_EQ(SniffMimeType("  <!DOCTYPE html><p>"), "text/html");
  EXPECT_EQ(SniffMimeType("plain words\n"), "text/plain");
  EXPECT_EQ(SniffMimeType(std::string("\x01\x00\x02", 3)), "");
}

TEST(Papers, NamesAndMeasuresResolveToPwgSizes) {
  Paper paper;
  std::string error;
  ASSERT_TRUE(LookupPaper(Json::Value("A4"), &paper, &error));
  EXPECT_EQ(paper.name, "iso_a4_210x297mm");
  EXPECT_DOUBLE_EQ(paper.widthMm, 210);
  EXPECT_DOUBLE_EQ(paper.heightMm, 297);
  ASSERT_TRUE(LookupPaper(Json::Value("na_letter_8.5x11in"), &paper, &error));
  EXPECT_NEAR(paper.widthMm, 215.9, 0.01);
  ASSERT_TRUE(LookupPaper(Json::Value("4x6in"), &paper, &error));
  EXPECT_NEAR(paper.heightMm, 152.4, 0.01);
  Json::Value custom;
  custom["width"] = 62;
  custom["height"] = 29;
  ASSERT_TRUE(LookupPaper(custom, &paper, &error));
  EXPECT_EQ(paper.name.rfind("custom_", 0), 0u) << paper.name;
  EXPECT_DOUBLE_EQ(paper.widthMm, 62);
  // The measures of a standard size give its standard name.
  custom["width"] = 210;
  custom["height"] = 297;
  ASSERT_TRUE(LookupPaper(custom, &paper, &error));
  EXPECT_EQ(paper.name, "iso_a4_210x297mm");
  EXPECT_FALSE(LookupPaper(Json::Value("Z9"), &paper, &error));
  EXPECT_NE(error.find("Z9"), std::string::npos);
  custom["width"] = 1;
  EXPECT_FALSE(LookupPaper(custom, &paper, &error));
}

TEST(PageRanges, AscendingPiecesOnly) {
  for (const char* ok : {"1", "1-3", "1-3,5", " 2 - 4 , 7", "3-3"}) EXPECT_TRUE(ValidPageRanges(ok)) << ok;
  for (const char* bad : {"", "0", "3-1", "1,1", "5,2", "1-", "-2", "a", "1;2", "1-3,2-4"})
    EXPECT_FALSE(ValidPageRanges(bad)) << bad;
}

TEST(PdfPages, CountedFromThePageTree) {
  EXPECT_EQ(CountPdfPages("%PDF-1.4\n1 0 obj << /Type /Pages /Kids [2 0 R 3 0 R 4 0 R] /Count 3 >> endobj"), 3);
  EXPECT_EQ(CountPdfPages("<< /Count 12 /Kids [] /Type /Pages >> << /Type /Pages /Count 4 >>"), 12);
  // Without a page tree count: the page objects.
  EXPECT_EQ(CountPdfPages("<< /Type /Page >> <</Type/Page/Parent 1 0 R>> << /Type /PageLabel >>"), 2);
  EXPECT_EQ(CountPdfPages("not a pdf"), 0);
  // Strings, comments and stream contents are not objects.
  EXPECT_EQ(CountPdfPages("<< /Type /Pages /Title (a >> b \\) << /Count 99) /Count 2 >> % << /Count 50 >>\n"
                          "5 0 obj << /Length 30 >> stream\n<< /Type /Pages /Count 40 >>\nendstream"),
            2);
}

// The page can hand in any bytes as a PDF: the count takes one pass over them
// (ctest ends this test after a minute; a count that goes back over the bytes
// for every name found would need hours).
TEST(PdfPages, HostileBytesAreCountedInOnePass) {
  std::string names;
  while (names.size() < (size_t(4) << 20)) names += "/Type/Pages ";
  EXPECT_EQ(CountPdfPages(names), 0);
  std::string trees;
  while (trees.size() < (size_t(4) << 20)) trees += "<</Type/Pages/Count 7 ";
  EXPECT_EQ(CountPdfPages(trees), 0);  // never closed: no count
  std::string opened(size_t(4) << 20, '<');
  EXPECT_EQ(CountPdfPages(opened + std::string(size_t(4) << 20, '>') + "<</Type/Pages/Count 3>>"), 3);
  std::string unclosed(size_t(4) << 20, '(');
  EXPECT_EQ(CountPdfPages("<</Type/Pages/Count 5>>" + unclosed), 5);
}
