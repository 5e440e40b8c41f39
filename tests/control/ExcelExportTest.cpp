// exportAsExcel: the workbook is opened again (zip + deflate) and its sheet
// read back, so numbers, text, bold headers and merged cells are checked in
// the file itself.
#include <zlib.h>

#include <map>

#include "ControlFixture.h"
#include "control/formats/ExcelExport.h"

namespace {
uint32_t Le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

// name -> content of every entry, read through the central directory.
std::map<std::string, std::string> Unzip(const std::string& zip) {
  std::map<std::string, std::string> entries;
  size_t end = zip.rfind(std::string("PK\x05\x06", 4));
  if (end == std::string::npos) return entries;
  size_t at = Le(zip, end + 16, 4);
  size_t count = Le(zip, end + 10, 2);
  for (size_t i = 0; i < count && at + 46 <= zip.size(); ++i) {
    if (Le(zip, at, 4) != 0x02014b50) break;
    uint32_t method = Le(zip, at + 10, 2), packed = Le(zip, at + 20, 4), size = Le(zip, at + 24, 4);
    uint32_t nameLength = Le(zip, at + 28, 2), extra = Le(zip, at + 30, 2), comment = Le(zip, at + 32, 2);
    uint32_t local = Le(zip, at + 42, 4);
    std::string name = zip.substr(at + 46, nameLength);
    size_t data = local + 30 + Le(zip, local + 26, 2) + Le(zip, local + 28, 2);
    std::string content;
    if (method == 0) {
      content = zip.substr(data, size);
    } else if (method == 8) {
      content.resize(size);
      z_stream z{};
      inflateInit2(&z, -MAX_WBITS);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + data));
      z.avail_in = packed;
      z.next_out = reinterpret_cast<Bytef*>(content.data());
      z.avail_out = size;
      inflate(&z, Z_FINISH);
      inflateEnd(&z);
    }
    entries[name] = content;
    at += 46 + nameLength + extra + comment;
  }
  return entries;
}
}  // namespace

TEST(ExcelExport, TablesBecomeSheetsWithNumbersTextHeadersAndMerges) {
  TempFolder folder;
  const std::string html =
      "<div><table><caption>Orders</caption>"
      "<tr><th>Item</th><th>Count</th><th>Code</th></tr>"
      "<tr><td> Screws  M4 </td><td>120</td><td>007</td></tr>"
      "<tr><td colspan='2'>Total &amp; more</td><td>-3.5</td></tr>"
      "</table><p>between</p><table><tr><td>second</td></tr></table></div>";
  std::string error;
  std::vector<std::string> notes;
  ASSERT_TRUE(ExportTablesToXlsx(html, folder / "out.xlsx", &notes, &error)) << error;
  EXPECT_TRUE(notes.empty());
  auto entries = Unzip(ReadFileBytes(folder / "out.xlsx"));
  ASSERT_TRUE(entries.count("xl/worksheets/sheet1.xml")) << entries.size();
  ASSERT_TRUE(entries.count("xl/worksheets/sheet2.xml"));
  const std::string& sheet = entries["xl/worksheets/sheet1.xml"];
  const std::string& strings = entries["xl/sharedStrings.xml"];
  EXPECT_NE(entries["xl/workbook.xml"].find("name=\"Orders\""), std::string::npos);
  EXPECT_NE(entries["xl/workbook.xml"].find("name=\"Table 2\""), std::string::npos);
  // Numbers are numbers; "007" stays text; blanks are folded; entities decoded.
  EXPECT_NE(sheet.find("<c r=\"B2\"><v>120</v></c>"), std::string::npos) << sheet;
  EXPECT_NE(sheet.find("<v>-3.5</v>"), std::string::npos);
  EXPECT_NE(strings.find(">007<"), std::string::npos);
  EXPECT_NE(strings.find(">Screws M4<"), std::string::npos);
  EXPECT_NE(strings.find(">Total &amp; more<"), std::string::npos);
  EXPECT_NE(sheet.find("<mergeCell ref=\"A3:B3\"/>"), std::string::npos);
  // Header cells carry a style (bold); body text cells do not.
  EXPECT_NE(sheet.find("<c r=\"A1\" s=\""), std::string::npos);
  EXPECT_EQ(sheet.find("<c r=\"A2\" s=\""), std::string::npos);
  EXPECT_FALSE(FileExists(folder / ".out.xlsx.part"));
}

TEST(ExcelExport, NoTableNoFile) {
  TempFolder folder;
  std::string error;
  std::vector<std::string> notes;
  EXPECT_FALSE(ExportTablesToXlsx("<p>just text</p>", folder / "none.xlsx", &notes, &error));
  EXPECT_NE(error.find("no table"), std::string::npos);
  EXPECT_FALSE(FileExists(folder / "none.xlsx"));
}

// Everything that cannot go into the workbook whole is named, never dropped
// silently: huge spans, long texts, captions Excel refuses as sheet names.
TEST(ExcelExport, WhatIsCutIsNamedAndTheWorkStaysBounded) {
  TempFolder folder;
  std::string spans = "<table><caption>SALES</caption>";
  for (int i = 0; i < 40; ++i) spans += "<tr><td rowspan=1000 colspan=1000>x</td><td>y</td></tr>";
  spans += "</table>";
  const std::string html = "<table><caption>Sales</caption><tr><td>" + std::string(40000, 'z') + "</td></tr></table>" +
                           spans + "<table><caption>'Quoted'</caption><tr><td>q</td></tr></table>";
  std::string error;
  std::vector<std::string> notes;
  ExcelLimits limits;
  limits.maxCells = 50011;  // the long text, five merged cells and a few plain ones
  ASSERT_TRUE(ExportTablesToXlsx(html, folder / "cut.xlsx", &notes, &error, limits)) << error;
  std::string all;
  for (const auto& n : notes) all += n + "\n";
  EXPECT_NE(all.find("1 cell texts cut to Excel's 32,767 characters"), std::string::npos) << all;
  EXPECT_NE(all.find("spanned cells shrunk to 10000 places"), std::string::npos) << all;
  EXPECT_NE(all.find("cells left out beyond 50011 places"), std::string::npos) << all;
  EXPECT_NE(all.find("'SALES' became 'Table 2'"), std::string::npos) << all;
  EXPECT_NE(all.find("'\'Quoted\'' became 'Table 3'"), std::string::npos) << all;
  auto entries = Unzip(ReadFileBytes(folder / "cut.xlsx"));
  const std::string& book = entries["xl/workbook.xml"];
  EXPECT_NE(book.find("name=\"Sales\""), std::string::npos);
  EXPECT_NE(book.find("name=\"Table 2\""), std::string::npos);
  EXPECT_NE(book.find("name=\"Table 3\""), std::string::npos);
  // The long text is there, cut to Excel's length.
  EXPECT_NE(entries["xl/sharedStrings.xml"].find(std::string(32767, 'z') + "<"), std::string::npos);
  // Five merged cells of 10,000 places fit, the sixth does not.
  const std::string& sheet = entries["xl/worksheets/sheet2.xml"];
  size_t merges = 0;
  for (size_t at = sheet.find("<mergeCell "); at != std::string::npos; at = sheet.find("<mergeCell ", at + 1)) ++merges;
  EXPECT_EQ(merges, 5u);
}

TEST_F(ControlTest, ExportAsExcelWritesInsideTheFoldersOnlyAndReportsWhatWasCut) {
  Variant element = Variant::FromString(u"<table><tr><td>1</td></tr></table>");
  BOOL ok = FALSE;
  control->exportAsExcel(&element, Text("sheets/a.xlsx").Get(), VARIANT_FALSE, &ok);
  EXPECT_TRUE(ok);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "success");
  EXPECT_EQ(sink->DoneObject()["type"], "exportAsExcel");
  EXPECT_EQ(sink->DoneObject()["truncated"], false);
  EXPECT_EQ(ReadFileBytes(FilesFolder() + "/sheets/a.xlsx").substr(0, 2), "PK");

  sink->events.clear();
  Variant longText = Variant::FromString(u"<table><tr><td>" + std::u16string(33000, u'w') + u"</td></tr></table>");
  control->exportAsExcel(&longText, Text("sheets/long.xlsx").Get(), VARIANT_FALSE, &ok);
  EXPECT_TRUE(ok);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "success");
  EXPECT_EQ(sink->DoneObject()["truncated"], true);
  EXPECT_EQ(LastMessageCode(), "exportTruncated");

  sink->events.clear();
  control->exportAsExcel(&element, Text(Outside() + "/a.xlsx").Get(), VARIANT_FALSE, &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(FileExists(Outside() + "/a.xlsx"));
  // The element the page laid out arrives as the boolean false when that failed.
  Variant failed = Variant::FromBool(false);
  control->exportAsExcel(&failed, Text("sheets/b.xlsx").Get(), VARIANT_FALSE, &ok);
  EXPECT_FALSE(ok);
  ASSERT_TRUE(WaitMessages(2));
}
