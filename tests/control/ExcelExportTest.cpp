// exportAsExcel: the workbook is opened again (zip + deflate) and its sheet
// read back, so numbers, text, bold headers and merged cells are checked in
// the file itself.
#include <zlib.h>

#include <map>

#include "ControlFixture.h"
#include "control/ExcelExport.h"

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
  ASSERT_TRUE(ExportTablesToXlsx(html, folder / "out.xlsx", &error)) << error;
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
  EXPECT_FALSE(ExportTablesToXlsx("<p>just text</p>", folder / "none.xlsx", &error));
  EXPECT_NE(error.find("no table"), std::string::npos);
  EXPECT_FALSE(FileExists(folder / "none.xlsx"));
}

TEST_F(ControlTest, ExportAsExcelWritesInsideTheFoldersOnly) {
  Variant element = Variant::FromString(u"<table><tr><td>1</td></tr></table>");
  BOOL ok = FALSE;
  control->exportAsExcel(&element, Text("sheets/a.xlsx").Get(), VARIANT_FALSE, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadFileBytes(FilesFolder() + "/sheets/a.xlsx").substr(0, 2), "PK");
  control->exportAsExcel(&element, Text(Outside() + "/a.xlsx").Get(), VARIANT_FALSE, &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(FileExists(Outside() + "/a.xlsx"));
  // The element the page laid out arrives as the boolean false when that failed.
  Variant failed = Variant::FromBool(false);
  control->exportAsExcel(&failed, Text("sheets/b.xlsx").Get(), VARIANT_FALSE, &ok);
  EXPECT_FALSE(ok);
  ASSERT_TRUE(WaitMessages(2));
}
