// The .xlsx/.xlsm reader: the texts of every kind of cell, package
// navigation, shared strings, hostile input, and real-world files.
#include <gtest/gtest.h>
#include <xlsxwriter.h>
#include <zlib.h>

#include <filesystem>
#include <cstring>
#include <fstream>
#include <random>

#include "platform/xl/ooxml_internal.h"
#include "tests/platform/xl/ooxml_fixtures.h"

using fixtures::cell;
using fixtures::describe;
using fixtures::package;
using fixtures::Parts;
using fixtures::sst;
using fixtures::worksheet;
using fixtures::writeZip;
using xl::Book;

namespace {

const char* kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

xl::LoadError loadError(const std::string& path) {
  Book b;
  EXPECT_FALSE(b.load(path)) << path;
  EXPECT_TRUE(b.sheets.empty());
  return b.error();
}

std::string oneSheet(const std::string& name, const std::string& sheetData, const std::string& sharedStrings = "",
                     const std::string& styles = "", const std::string& workbookPr = "") {
  return writeZip(name, package({{"Sheet1", worksheet(sheetData)}}, sharedStrings, styles, workbookPr));
}

// Styles with: 0 General, 1 built-in date (14), 2 custom date, 3 time, 4 "0.00".
const std::string kStyles =
    "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
    "<numFmts count=\"3\"><numFmt numFmtId=\"164\" formatCode=\"yyyy\\-mm\\-dd hh:mm\"/>"
    "<numFmt numFmtId=\"165\" formatCode=\"h:mm:ss\"/><numFmt numFmtId=\"166\" formatCode=\"0.00\"/></numFmts>"
    "<cellStyleXfs count=\"1\"><xf numFmtId=\"14\"/></cellStyleXfs>"
    "<cellXfs count=\"5\"><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/><xf numFmtId=\"164\"/>"
    "<xf numFmtId=\"165\"/><xf numFmtId=\"166\"/></cellXfs>"
    "<dxfs count=\"1\"><dxf><numFmt numFmtId=\"0\" formatCode=\"General\"/></dxf></dxfs></styleSheet>";

}  // namespace

// ---- a workbook written by a spreadsheet writer ------------------------------

TEST(OoxmlWritten, CellTextsSheetsAndHiddenRanges) {
  std::string path = fixtures::scratchPath("written.xlsx");
  lxw_workbook* wb = workbook_new(path.c_str());
  lxw_worksheet* data = workbook_add_worksheet(wb, "数据");
  lxw_worksheet* hidden = workbook_add_worksheet(wb, "隐藏");
  lxw_chartsheet* chartSheet = workbook_add_chartsheet(wb, "图表");
  workbook_add_worksheet(wb, "Empty");
  lxw_format* date = workbook_add_format(wb);
  format_set_num_format(date, "yyyy-mm-dd");
  lxw_format* time = workbook_add_format(wb);
  format_set_num_format(time, "hh:mm:ss");
  lxw_format* fixed = workbook_add_format(wb);
  format_set_num_format(fixed, "0.00");
  lxw_format* bold = workbook_add_format(wb);
  format_set_bold(bold);

  worksheet_write_string(data, 0, 0, "你好 world", nullptr);
  worksheet_write_number(data, 0, 1, 12345, nullptr);
  worksheet_write_number(data, 0, 2, 0.1 + 0.2, nullptr);
  worksheet_write_number(data, 0, 3, 1e20, nullptr);
  worksheet_write_boolean(data, 0, 4, 1, nullptr);
  worksheet_write_formula_num(data, 0, 5, "=1+1", nullptr, 2);
  worksheet_write_formula_str(data, 0, 6, "=A1", nullptr, "你好 world");
  worksheet_write_string(data, 0, 7, "你好 world", nullptr);  // the same shared string again
  lxw_datetime day = {2024, 3, 5, 0, 0, 0};
  lxw_datetime moment = {2024, 3, 5, 13, 45, 30};
  worksheet_write_datetime(data, 1, 0, &day, date);
  worksheet_write_datetime(data, 1, 1, &moment, date);
  worksheet_write_number(data, 1, 2, 0.75, time);
  worksheet_write_number(data, 1, 3, 3.14159, fixed);
  worksheet_write_number(data, 1, 4, -1.5e-7, nullptr);
  worksheet_write_blank(data, 1, 9, bold);  // formatted, no value: not part of the data
  lxw_rich_string_tuple run1 = {bold, (char*)"粗体"}, run2 = {nullptr, (char*)" plain"};
  lxw_rich_string_tuple* runs[] = {&run1, &run2, nullptr};
  worksheet_write_rich_string(data, 2, 0, runs, nullptr);
  worksheet_write_string(data, 3, 0, "in hidden row", nullptr);
  lxw_row_col_options hide = {1, 0, 0};
  worksheet_set_row_opt(data, 3, LXW_DEF_ROW_HEIGHT, nullptr, &hide);
  worksheet_set_column_opt(data, 2, 3, LXW_DEF_COL_WIDTH, nullptr, &hide);

  worksheet_write_string(hidden, 4, 2, "secret", nullptr);
  worksheet_hide(hidden);

  lxw_chart* chart = workbook_add_chart(wb, LXW_CHART_COLUMN);
  chart_add_series(chart, nullptr, "=数据!$B$1:$B$2");
  chartsheet_set_chart(chartSheet, chart);
  ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);

  Book b;
  ASSERT_TRUE(b.load(path)) << b.error();
  ASSERT_EQ(b.sheets.size(), 4u);
  EXPECT_EQ(b.sheets[0].name, "数据");
  EXPECT_EQ(b.sheets[1].name, "隐藏");
  EXPECT_EQ(b.sheets[2].name, "图表");
  EXPECT_EQ(b.sheets[3].name, "Empty");

  EXPECT_EQ(cell(b, 0, 0, 0), "你好 world");
  EXPECT_EQ(cell(b, 0, 0, 1), "12345");
  EXPECT_EQ(cell(b, 0, 0, 2), "0.3");
  EXPECT_EQ(cell(b, 0, 0, 3), "1E+20");
  EXPECT_EQ(cell(b, 0, 0, 4), "TRUE");
  EXPECT_EQ(cell(b, 0, 0, 5), "2");
  EXPECT_EQ(cell(b, 0, 0, 6), "你好 world");
  // A shared string is stored once and referenced by every cell using it.
  EXPECT_EQ(b.sheets[0].find(0, 0)->off, b.sheets[0].find(0, 7)->off);
  EXPECT_EQ(cell(b, 0, 1, 0), "2024-03-05");
  EXPECT_EQ(cell(b, 0, 1, 1), "2024-03-05 13:45:30");
  EXPECT_EQ(cell(b, 0, 1, 2), "18:00:00");
  EXPECT_EQ(cell(b, 0, 1, 3), "3.14159");
  EXPECT_EQ(cell(b, 0, 1, 4), "-1.5E-07");
  EXPECT_EQ(cell(b, 0, 1, 9), "<null>");
  EXPECT_EQ(cell(b, 0, 2, 0), "粗体 plain");
  EXPECT_EQ(cell(b, 0, 3, 0), "in hidden row");

  const xl::Sheet& s = b.sheets[0];
  EXPECT_EQ(s.lastRow(), 4);
  EXPECT_EQ(s.lastCol(), 8);
  EXPECT_TRUE(s.rowHidden(3));
  EXPECT_FALSE(s.rowHidden(2));
  EXPECT_FALSE(s.colHidden(1));
  EXPECT_TRUE(s.colHidden(2));
  EXPECT_TRUE(s.colHidden(3));
  EXPECT_FALSE(s.colHidden(4));

  EXPECT_EQ(cell(b, 1, 4, 2), "secret");
  EXPECT_TRUE(b.sheets[2].isChart);
  EXPECT_TRUE(b.sheets[2].cells().empty());
  EXPECT_FALSE(b.sheets[3].isChart);
  EXPECT_EQ(b.sheets[3].lastRow(), 0);
  EXPECT_EQ(b.sheets[3].lastCol(), 0);
}

TEST(OoxmlWritten, ConstantMemoryInlineStringsAndLargeSheet) {
  std::string path = fixtures::scratchPath("constant.xlsx");
  lxw_workbook_options opt = {};
  opt.constant_memory = LXW_TRUE;
  opt.tmpdir = const_cast<char*>(QUORVANE_TEST_SCRATCH);
  lxw_workbook* wb = workbook_new_opt(path.c_str(), &opt);
  lxw_worksheet* ws = workbook_add_worksheet(wb, nullptr);
  const int rows = 20000;
  for (int r = 0; r < rows; ++r) {
    std::string t = "行" + std::to_string(r);
    worksheet_write_string(ws, r, 0, t.c_str(), nullptr);
    worksheet_write_number(ws, r, 1, r * 0.5, nullptr);
  }
  ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
  // Small chunks make element and text boundaries fall everywhere.
  for (size_t chunk : {size_t(4096), size_t(1) << 20}) {
    Book b;
    xl::OoxmlLimits limits;
    limits.chunkBytes = chunk;
    ASSERT_TRUE(fixtures::readDirect(path, b, limits)) << b.error();
    ASSERT_EQ(b.sheets.size(), 1u);
    EXPECT_EQ(b.sheets[0].cells().size(), size_t(rows) * 2);
    EXPECT_EQ(b.sheets[0].lastRow(), rows);
    EXPECT_EQ(cell(b, 0, 12345, 0), "行12345");
    EXPECT_EQ(cell(b, 0, 12345, 1), "6172.5");
    EXPECT_EQ(cell(b, 0, rows - 1, 0), "行19999");
  }
}

// ---- cells --------------------------------------------------------------------

TEST(OoxmlCells, ValueTypesAndCachedFormulaResults) {
  std::string path = oneSheet(
      "types.xlsx",
      "<row r=\"1\">"
      "<c r=\"A1\" t=\"str\"><f>A2&amp;\"x\"</f><v>text result</v></c>"
      "<c r=\"B1\" t=\"b\"><f>1=2</f><v>0</v></c>"
      "<c r=\"C1\" t=\"e\"><f>1/0</f><v>#DIV/0!</v></c>"
      "<c r=\"D1\"><f>1+1</f><v>2</v></c>"
      "<c r=\"E1\"><f>NOW()</f></c>"   // never calculated: no value
      "<c r=\"F1\" t=\"e\"><v>#N/A</v></c>"
      "<c r=\"G1\" t=\"str\"><f>\"\"</f><v></v></c>"  // an empty text result is a text
      "<c r=\"H1\" s=\"4\"><v>2.5</v></c>"
      "<c r=\"I1\" s=\"99\"><v>7</v></c>"  // style beyond the table: general
      "<c r=\"J1\"><v>not a number</v></c>"
      "</row>"
      "<row r=\"2\">"
      "<c r=\"A2\" t=\"d\"><v>2021-03-04T00:00:00Z</v></c>"
      "<c r=\"B2\" t=\"d\"><v>2021-03-04T12:30:05.6</v></c>"
      "<c r=\"C2\" t=\"d\" s=\"3\"><v>1899-12-31T06:07:08</v></c>"
      "<c r=\"D2\" t=\"d\"><v>yesterday</v></c>"
      "<c r=\"E2\" s=\"1\"><v>45356</v></c>"
      "<c r=\"F2\" s=\"2\"><v>45356.5</v></c>"
      "<c r=\"G2\" s=\"3\"><v>0.25</v></c>"
      "<c r=\"H2\" t=\"n\"><v> 42 </v></c>"
      "<c r=\"I2\" t=\"b\"><v>1</v></c>"
      "<c r=\"K2\"><v>+1.50E+3</v></c><c r=\"L2\"><v>.5</v></c><c r=\"M2\"><v>NaN</v></c>"
      "<c r=\"J2\" s=\"1\"/>"
      "</row>",
      "", kStyles);
  Book b;
  ASSERT_TRUE(b.load(path)) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "text result");
  EXPECT_EQ(cell(b, 0, 0, 1), "FALSE");
  EXPECT_EQ(cell(b, 0, 0, 2), "#DIV/0!");
  EXPECT_EQ(cell(b, 0, 0, 3), "2");
  EXPECT_EQ(cell(b, 0, 0, 4), "<null>");
  EXPECT_EQ(cell(b, 0, 0, 5), "#N/A");
  EXPECT_EQ(cell(b, 0, 0, 6), "");
  EXPECT_EQ(cell(b, 0, 0, 7), "2.5");
  EXPECT_EQ(cell(b, 0, 0, 8), "7");
  EXPECT_EQ(cell(b, 0, 0, 9), "not a number");
  EXPECT_EQ(cell(b, 0, 1, 0), "2021-03-04");
  EXPECT_EQ(cell(b, 0, 1, 1), "2021-03-04 12:30:06");
  EXPECT_EQ(cell(b, 0, 1, 2), "06:07:08");
  EXPECT_EQ(cell(b, 0, 1, 3), "yesterday");
  EXPECT_EQ(cell(b, 0, 1, 4), "2024-03-05");
  EXPECT_EQ(cell(b, 0, 1, 5), "2024-03-05 12:00:00");
  EXPECT_EQ(cell(b, 0, 1, 6), "06:00:00");
  EXPECT_EQ(cell(b, 0, 1, 7), "42");
  EXPECT_EQ(cell(b, 0, 1, 8), "TRUE");
  EXPECT_EQ(cell(b, 0, 1, 9), "<null>");
  EXPECT_EQ(cell(b, 0, 1, 10), "1500");
  EXPECT_EQ(cell(b, 0, 1, 11), "0.5");
  EXPECT_EQ(cell(b, 0, 1, 12), "NaN");  // not a number one can show: kept as stored
  EXPECT_EQ(b.sheets[0].lastCol(), 13);
}

TEST(OoxmlCells, Date1904System) {
  for (const char* attr : {"date1904=\"1\"", "date1904=\"true\""}) {
    std::string path = oneSheet("d1904.xlsx", "<row r=\"1\"><c r=\"A1\" s=\"1\"><v>42735</v></c></row>", "", kStyles,
                                std::string("<workbookPr ") + attr + "/>");
    Book b;
    ASSERT_TRUE(b.load(path)) << b.error();
    EXPECT_EQ(cell(b, 0, 0, 0), "2021-01-01");
  }
  std::string path = oneSheet("d1900.xlsx", "<row r=\"1\"><c r=\"A1\" s=\"1\"><v>42735</v></c></row>", "", kStyles,
                              "<workbookPr date1904=\"0\"/>");
  Book b;
  ASSERT_TRUE(b.load(path)) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "2016-12-31");
}

TEST(OoxmlCells, PositionsWithoutOrWithBadReferences) {
  std::string path = oneSheet(
      "positions.xlsx",
      "<row><c><v>1</v></c><c><v>2</v></c><c r=\"E1\"><v>5</v></c><c><v>6</v></c></row>"  // row 1
      "<row><c><v>r2</v></c></row>"                                                      // row 2
      "<row r=\"7\"><c r=\"??\"><v>a</v></c><c r=\"b7x\"><v>b</v></c></row>"             // garbage: next place
      "<row><c r=\"XFE8\"><v>beyond</v></c><c r=\"A1048577\"><v>beyond</v></c>"         // out of grid: dropped
      "<c r=\"XFD8\"><v>last col</v></c><c><v>after last</v></c></row>"
      "<row r=\"0\"><c><v>lost</v></c></row>"
      "<row r=\"20\"><c r=\"C21\"><v>own ref wins</v></c><c><v>next</v></c></row>"
      "<row r=\"1048576\"><c r=\"A1048576\"><v>bottom</v></c></row>");
  Book b;
  ASSERT_TRUE(b.load(path)) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "1");
  EXPECT_EQ(cell(b, 0, 0, 1), "2");
  EXPECT_EQ(cell(b, 0, 0, 4), "5");
  EXPECT_EQ(cell(b, 0, 0, 5), "6");
  EXPECT_EQ(cell(b, 0, 1, 0), "r2");
  EXPECT_EQ(cell(b, 0, 6, 0), "a");
  EXPECT_EQ(cell(b, 0, 6, 1), "b");
  EXPECT_EQ(cell(b, 0, 7, 16383), "last col");
  EXPECT_EQ(cell(b, 0, 20, 2), "own ref wins");
  EXPECT_EQ(cell(b, 0, 20, 3), "next");
  EXPECT_EQ(cell(b, 0, 1048575, 0), "bottom");
  size_t stored = b.sheets[0].cells().size();
  EXPECT_EQ(stored, 11u);
  for (const xl::CellRef& c : b.sheets[0].cells()) {
    EXPECT_NE(std::string(b.text(c)), "beyond");
    EXPECT_NE(std::string(b.text(c)), "after last");
    EXPECT_NE(std::string(b.text(c)), "lost");
  }
  EXPECT_EQ(b.sheets[0].lastRow(), 1048576);
  EXPECT_EQ(b.sheets[0].lastCol(), 16384);
}

TEST(OoxmlCells, HiddenRowsAndColumnsAndATrustlessDimension) {
  std::string xml = worksheet(
      "<row r=\"2\" hidden=\"1\"><c r=\"A2\"><v>1</v></c></row>"
      "<row r=\"3\" hidden=\"true\"/>"
      "<row r=\"4\" hidden=\"0\"><c r=\"B4\"><v>2</v></c></row>",
      "<dimension ref=\"A1:XFD1048576\"/><cols><col min=\"3\" max=\"5\" hidden=\"1\"/>"
      "<col min=\"9\" max=\"7\" hidden=\"1\"/><col min=\"16000\" max=\"99999\" hidden=\"1\"/>"
      "<col min=\"2\" max=\"2\" hidden=\"false\"/></cols>");
  std::string path = writeZip("hidden.xlsx", package({{"S", xml}}));
  Book b;
  ASSERT_TRUE(b.load(path)) << b.error();
  const xl::Sheet& s = b.sheets[0];
  EXPECT_FALSE(s.rowHidden(0));
  EXPECT_TRUE(s.rowHidden(1));
  EXPECT_TRUE(s.rowHidden(2));
  EXPECT_FALSE(s.rowHidden(3));
  EXPECT_FALSE(s.colHidden(1));
  EXPECT_TRUE(s.colHidden(2));
  EXPECT_TRUE(s.colHidden(4));
  EXPECT_FALSE(s.colHidden(5));
  EXPECT_FALSE(s.colHidden(7));
  EXPECT_TRUE(s.colHidden(15999));
  EXPECT_TRUE(s.colHidden(16383));
  EXPECT_EQ(s.lastRow(), 4);
  EXPECT_EQ(s.lastCol(), 2);
}

TEST(OoxmlCells, InlineStringsWithRunsPhoneticsAndEscapes) {
  std::string path = oneSheet(
      "inline.xlsx",
      "<row r=\"1\">"
      "<c r=\"A1\" t=\"inlineStr\"><is><t>plain</t></is></c>"
      "<c r=\"B1\" t=\"inlineStr\">\n  <is>\n    <r><rPr><b/></rPr><t>rich </t></r>\n    <r><t xml:space=\"preserve\"> runs </t></r>\n"
      "    <rPh sb=\"0\" eb=\"1\"><t>ルビ</t></rPh>\n  </is>\n</c>"
      "<c r=\"C1\" t=\"inlineStr\"><is><t>line1_x000D_\nline2</t></is></c>"
      "<c r=\"D1\" t=\"inlineStr\"><v>1.0</v><is><t>the string</t></is></c>"
      "<c r=\"E1\" t=\"inlineStr\"><is><t><![CDATA[<cdata & text>]]></t></is></c>"
      "<c r=\"F1\" t=\"inlineStr\"><is><t/></is></c>"
      "<c r=\"G1\" t=\"inlineStr\"/>"
      "<c r=\"H1\" t=\"str\"><v>a_x005F_x0041_b_x0041_</v></c>"
      "</row>");
  Book b;
  ASSERT_TRUE(b.load(path)) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "plain");
  EXPECT_EQ(cell(b, 0, 0, 1), "rich  runs ");
  EXPECT_EQ(cell(b, 0, 0, 2), "line1\r\nline2");
  EXPECT_EQ(cell(b, 0, 0, 3), "the string");
  EXPECT_EQ(cell(b, 0, 0, 4), "<cdata & text>");
  EXPECT_EQ(cell(b, 0, 0, 5), "");
  EXPECT_EQ(cell(b, 0, 0, 6), "<null>");
  EXPECT_EQ(cell(b, 0, 0, 7), "a_x0041_bA");
}

TEST(OoxmlCells, AnyNamespacePrefix) {
  std::string ws =
      "<?xml version=\"1.0\"?><x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
      "<x:cols><x:col min=\"2\" max=\"2\" hidden=\"1\"/></x:cols>"
      "<x:sheetData><x:row r=\"1\" hidden=\"1\"><x:c r=\"A1\" t=\"s\"><x:v>0</x:v></x:c>"
      "<x:c r=\"B1\" t=\"inlineStr\"><x:is><x:r><x:t>in</x:t></x:r><x:r><x:t>line</x:t></x:r></x:is></x:c>"
      "</x:row></x:sheetData></x:worksheet>";
  std::string strings =
      "<?xml version=\"1.0\"?><s:sst xmlns:s=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
      "<s:si><s:r><s:t>shared</s:t></s:r><s:rPh><s:t>no</s:t></s:rPh></s:si></s:sst>";
  Parts parts = package({{"前缀", ws}}, strings);
  for (auto& [name, content] : parts) {
    if (name != "xl/workbook.xml") continue;
    content = std::string("<?xml version=\"1.0\"?><w:workbook xmlns:w=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
                          "<w:sheets><w:sheet name=\"前缀\" sheetId=\"1\" xmlns:rel=\"") +
              kRel + "\" rel:id=\"rId10\"/></w:sheets></w:workbook>";
  }
  Book b;
  ASSERT_TRUE(b.load(writeZip("prefix.xlsx", parts))) << b.error();
  ASSERT_EQ(b.sheets.size(), 1u);
  EXPECT_EQ(b.sheets[0].name, "前缀");
  EXPECT_EQ(cell(b, 0, 0, 0), "shared");
  EXPECT_EQ(cell(b, 0, 0, 1), "inline");
  EXPECT_TRUE(b.sheets[0].rowHidden(0));
  EXPECT_TRUE(b.sheets[0].colHidden(1));
}

// ---- shared strings -----------------------------------------------------------

TEST(OoxmlSharedStrings, RunsPhoneticsEmptyItemsEscapesAndBadIndices) {
  std::string strings = sst(
      "<si><t>first</t></si>"
      "<si><r><t>Ri</t></r><r><rPr><i/></rPr><t>ch</t></r><rPh sb=\"0\" eb=\"1\"><t>ふりがな</t></rPh>"
      "<phoneticPr fontId=\"1\"/></si>"
      "<si/>"
      "<si><t></t></si>"
      "<si><t>ABC_x000D_\nDEF</t></si>"
      "<si><t>_x005F_x0041_ _x0041__x0042_ _x4e2d_ _xD83D__xDE00_ _xD800_ _x12_</t></si>"
      "<si><t xml:space=\"preserve\">  spaced  </t></si>"
      "<si><t>  not preserved but kept  </t></si>"
      "<si><t>a&#13;b&amp;c&lt;</t></si>"
      "<si>\n  <t>pretty</t>\n</si>");
  std::string path = oneSheet("sst.xlsx",
                              "<row r=\"1\">"
                              "<c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
                              "<c r=\"C1\" t=\"s\"><v>2</v></c><c r=\"D1\" t=\"s\"><v>3</v></c>"
                              "<c r=\"E1\" t=\"s\"><v>4</v></c><c r=\"F1\" t=\"s\"><v>5</v></c>"
                              "<c r=\"G1\" t=\"s\"><v>6</v></c><c r=\"H1\" t=\"s\"><v>7</v></c>"
                              "<c r=\"I1\" t=\"s\"><v>8</v></c><c r=\"J1\" t=\"s\"><v> 9 </v></c>"
                              "</row><row r=\"2\">"
                              "<c r=\"A2\" t=\"s\"><v>10</v></c><c r=\"B2\" t=\"s\"><v>-1</v></c>"
                              "<c r=\"C2\" t=\"s\"><v>99999999999999999999999</v></c><c r=\"D2\" t=\"s\"><v>x</v></c>"
                              "<c r=\"E2\" t=\"s\"/><c r=\"F2\" t=\"s\"><v>0</v></c>"
                              "</row>",
                              strings);
  Book b;
  ASSERT_TRUE(b.load(path)) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "first");
  EXPECT_EQ(cell(b, 0, 0, 1), "Rich");
  EXPECT_EQ(cell(b, 0, 0, 2), "");
  EXPECT_EQ(cell(b, 0, 0, 3), "");
  EXPECT_EQ(cell(b, 0, 0, 4), "ABC\r\nDEF");
  EXPECT_EQ(cell(b, 0, 0, 5), "_x0041_ AB 中 \xF0\x9F\x98\x80 \xEF\xBF\xBD _x12_");
  EXPECT_EQ(cell(b, 0, 0, 6), "  spaced  ");
  EXPECT_EQ(cell(b, 0, 0, 7), "  not preserved but kept  ");
  EXPECT_EQ(cell(b, 0, 0, 8), "a\rb&c<");
  EXPECT_EQ(cell(b, 0, 0, 9), "pretty");
  // Indices the table does not hold: those cells are left out, nothing else.
  EXPECT_EQ(cell(b, 0, 1, 0), "<null>");
  EXPECT_EQ(cell(b, 0, 1, 1), "<null>");
  EXPECT_EQ(cell(b, 0, 1, 2), "<null>");
  EXPECT_EQ(cell(b, 0, 1, 3), "<null>");
  EXPECT_EQ(cell(b, 0, 1, 4), "<null>");
  EXPECT_EQ(cell(b, 0, 1, 5), "first");
}

// Texts longer than Excel's 32,767 characters are kept whole, as
// LibreOffice shows them: a shared string (one run and several), an inline
// string and a cached formula text, through the tokenizer, through expat and
// in pieces. The words past the old cut are the ones a search looks for.
TEST(OoxmlSharedStrings, TextsPastExcelsLimitAreKeptWhole) {
  std::string body;
  for (int i = 0; i < 12'000; ++i) body += "长句";  // 24,000 characters, 72,000 bytes
  body += std::string(8'766, 'x') + "\xF0\x9F\x98\x80";  // a surrogate pair where Excel cuts
  const std::string shared = body + " 共享的尾巴";
  const std::string runs = body + " 分段的尾巴";
  const std::string inlined = body + " 内联的尾巴";
  const std::string formula = body + " 公式的尾巴";
  const std::string path = oneSheet(
      "long.xlsx",
      "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
      "<c r=\"C1\" t=\"inlineStr\"><is><t>" + inlined + "</t></is></c>"
      "<c r=\"D1\" t=\"str\"><f>A1</f><v>" + formula + "</v></c></row>"
      // Rows enough that a sheet read in pieces is cut between them.
      + [] {
          std::string rows;
          for (int r = 2; r < 400; ++r) rows += "<row r=\"" + std::to_string(r) + "\"><c><v>" + std::to_string(r) + "</v></c></row>";
          return rows;
        }(),
      sst("<si><t>" + shared + "</t></si><si><r><t>" + body.substr(0, 49'998) + "</t></r><r><t>" + body.substr(49'998) +
          " 分段的尾巴</t></r></si>"));
  xl::OoxmlLimits expat;
  expat.fastXml = false;
  xl::OoxmlLimits pieces;
  pieces.parallelBytes = 0;
  pieces.pieceBytes = 4096;
  pieces.pieceHelpers = 1;
  for (const xl::OoxmlLimits& limits : {xl::OoxmlLimits{}, expat, pieces}) {
    Book b;
    ASSERT_TRUE(fixtures::readDirect(path, b, limits)) << b.errorText();
    for (xl::Sheet& s : b.sheets) s.finish();
    EXPECT_EQ(cell(b, 0, 0, 0), shared);
    EXPECT_EQ(cell(b, 0, 0, 1), runs);
    EXPECT_EQ(cell(b, 0, 0, 2), inlined);
    EXPECT_EQ(cell(b, 0, 0, 3), formula);
    EXPECT_EQ(cell(b, 0, 398, 0), "399");
  }
}

TEST(OoxmlSharedStrings, LyingCountsAndMissingTable) {
  // A count of four billion must not be believed.
  std::string strings =
      "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"4294967295\" "
      "uniqueCount=\"4294967295\"><si><t>only</t></si></sst>";
  Book b;
  ASSERT_TRUE(b.load(oneSheet("sstcount.xlsx", "<row><c t=\"s\"><v>0</v></c></row>", strings))) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "only");

  Book none;
  ASSERT_TRUE(none.load(oneSheet("nosst.xlsx", "<row><c t=\"s\"><v>0</v></c><c><v>1</v></c></row>"))) << none.error();
  EXPECT_EQ(cell(none, 0, 0, 0), "<null>");
  EXPECT_EQ(cell(none, 0, 0, 1), "1");
}

// ---- the package --------------------------------------------------------------

TEST(OoxmlPackage, PartsFoundThroughRelationshipsNotNames) {
  std::string strictRel = "http://purl.oclc.org/ooxml/officeDocument/relationships";
  std::string main = "http://purl.oclc.org/ooxml/spreadsheetml/main";
  Parts parts = {
      {"[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>"},
      {"_rels/.rels", "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                      "<Relationship Id=\"a\" Type=\"" + strictRel + "/officeDocument\" Target=\"/book/main.xml\"/>"
                      "</Relationships>"},
      {"book/main.xml", "<workbook xmlns=\"" + main + "\" xmlns:r=\"" + strictRel + "\"><sheets>"
                        "<sheet name=\"second part first\" sheetId=\"1\" r:id=\"s2\"/>"
                        "<sheet name=\"abs\" sheetId=\"2\" r:id=\"s1\" state=\"hidden\"/>"
                        "<sheet name=\"up\" sheetId=\"3\" r:id=\"s3\"/>"
                        "<sheet name=\"dialog\" sheetId=\"4\" r:id=\"s4\"/>"
                        "<sheet name=\"no rel\" sheetId=\"5\" r:id=\"nope\"/>"
                        "<sheet name=\"Space Name\" sheetId=\"6\" r:id=\"s6\"/>"
                        "<sheet name=\"macro\" sheetId=\"7\" r:id=\"s7\"/>"
                        "<sheet name=\"picture\" sheetId=\"8\" r:id=\"s8\"/>"
                        "</sheets></workbook>"},
      {"book/_rels/main.xml.rels",
       "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
       "<Relationship Id=\"s1\" Type=\"" + strictRel + "/worksheet\" Target=\"/book/Sheets/One.xml\"/>"
       "<Relationship Id=\"s2\" Type=\"" + strictRel + "/worksheet\" Target=\"sheets/two.xml\"/>"
       "<Relationship Id=\"s3\" Type=\"" + strictRel + "/worksheet\" Target=\"./x/../../outside.xml\"/>"
       "<Relationship Id=\"s4\" Type=\"" + strictRel + "/dialogsheet\" Target=\"d.xml\"/>"
       "<Relationship Id=\"s6\" Type=\"" + strictRel + "/worksheet\" Target=\"sheets/my%20sheet.xml\"/>"
       "<Relationship Id=\"s7\" Type=\"http://schemas.microsoft.com/office/2006/relationships/xlMacrosheet\" Target=\"m.xml\"/>"
       "<Relationship Id=\"s8\" Type=\"" + strictRel + "/image\" Target=\"pic.png\"/>"
       "<Relationship Id=\"ss\" Type=\"" + strictRel + "/sharedStrings\" Target=\"strings.xml\"/>"
       "<Relationship Id=\"ext\" Type=\"" + strictRel + "/worksheet\" Target=\"http://x/y.xml\" TargetMode=\"External\"/>"
       "</Relationships>"},
      {"book/strings.xml", "<sst xmlns=\"" + main + "\"><si><t>from the table</t></si></sst>"},
      {"book/sheets/one.xml", "<worksheet xmlns=\"" + main + "\"><sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData></worksheet>"},
      {"book/sheets/two.xml", "<worksheet xmlns=\"" + main + "\"><sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row></sheetData></worksheet>"},
      {"outside.xml", "<worksheet xmlns=\"" + main + "\"><sheetData><row r=\"3\"><c r=\"C3\"><v>3</v></c></row></sheetData></worksheet>"},
      {"book/d.xml", "<dialogsheet xmlns=\"" + main + "\"/>"},
      {"book/m.xml", "<xm:macrosheet xmlns:xm=\"x\"><xm:sheetData><xm:row><xm:c><xm:v>7</xm:v></xm:c></xm:row></xm:sheetData></xm:macrosheet>"},
      {"book/pic.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)},
      {"book/sheets/my sheet.xml", "<worksheet xmlns=\"" + main + "\"><sheetData><row><c><v>6</v></c></row></sheetData></worksheet>"},
  };
  Book b;
  ASSERT_TRUE(b.load(writeZip("strict.xlsx", parts))) << b.error();
  ASSERT_EQ(b.sheets.size(), 8u);
  EXPECT_EQ(b.sheets[0].name, "second part first");
  EXPECT_EQ(cell(b, 0, 0, 0), "from the table");
  EXPECT_EQ(cell(b, 1, 0, 0), "1");  // case of the part name differs
  EXPECT_EQ(cell(b, 2, 2, 2), "3");
  EXPECT_TRUE(b.sheets[3].isChart);
  EXPECT_TRUE(b.sheets[4].cells().empty());
  EXPECT_EQ(cell(b, 5, 0, 0), "6");
  EXPECT_EQ(cell(b, 6, 0, 0), "7");
  EXPECT_EQ(b.sheets[7].name, "picture");
  EXPECT_TRUE(b.sheets[7].cells().empty());
}

TEST(OoxmlPackage, WorkbookFoundWithoutPackageRelationships) {
  Parts parts = package({{"S", worksheet("<row><c><v>1</v></c></row>")}});
  std::erase_if(parts, [](const auto& p) { return p.first == "_rels/.rels"; });
  Book b;
  ASSERT_TRUE(b.load(writeZip("norels.xlsx", parts))) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "1");
}

TEST(OoxmlPackage, MissingPartsAndNonWorkbooks) {
  Parts parts = package({{"S", worksheet("")}});
  std::erase_if(parts, [](const auto& p) { return p.first == "xl/workbook.xml"; });
  EXPECT_EQ(loadError(writeZip("nowb.xlsx", parts)), (xl::LoadError{xl::LoadCause::PartMissing, "xl/workbook.xml"}));

  EXPECT_EQ(loadError(writeZip("plain.zip.xlsx", {{"readme.txt", "hello"}, {"data/a.csv", "1,2"}})),
            xl::LoadCause::NotWorkbookPlainZip);

  // Thousands of sheets whose parts are missing: all kept, none with cells.
  std::vector<fixtures::SheetSpec> many;
  for (int i = 0; i < 3000; ++i) many.push_back({"s" + std::to_string(i), i == 2999 ? worksheet("<row><c><v>9</v></c></row>") : ""});
  Book b;
  ASSERT_TRUE(b.load(writeZip("many.xlsx", package(many)))) << b.error();
  ASSERT_EQ(b.sheets.size(), 3000u);
  EXPECT_TRUE(b.sheets[1234].cells().empty());
  EXPECT_EQ(b.sheets[1234].name, "s1234");
  EXPECT_EQ(cell(b, 2999, 0, 0), "9");
}

TEST(OoxmlPackage, DamagedContainersAndParts) {
  std::string good = oneSheet("good.xlsx", "<row><c><v>1</v></c></row>");
  std::string bytes;
  {
    std::ifstream in(good, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::string truncated = fixtures::scratchPath("truncated.xlsx");
  std::ofstream(truncated, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
  EXPECT_EQ(loadError(truncated), xl::LoadCause::DamagedZip);

  std::string badXml = oneSheet("badxml.xlsx", "<row><c><v>1</v></row>");
  EXPECT_EQ(loadError(badXml), (xl::LoadError{xl::LoadCause::PartNotXml, "xl/worksheets/sheet1.xml"}));

  Parts emptyPart = package({{"S", "x"}});
  for (auto& p : emptyPart)
    if (p.first == "xl/worksheets/sheet1.xml") p.second.clear();
  EXPECT_EQ(loadError(writeZip("emptypart.xlsx", emptyPart)), (xl::LoadError{xl::LoadCause::PartNotXml, "xl/worksheets/sheet1.xml"}));

  // Bytes no XML text may hold, through both parsers.
  for (bool fast : {true, false}) {
    xl::OoxmlLimits limits;
    limits.fastXml = fast;
    for (std::string bad : {std::string("a\xFF\xFE" "b"), std::string("\xE4\xB8"), std::string("a\0b", 3),
                            std::string("\xED\xA0\x80")}) {
      Book b;
      EXPECT_FALSE(fixtures::readDirect(oneSheet("bytes.xlsx", "<row><c t=\"inlineStr\"><is><t>" + bad + "</t></is></c></row>"), b, limits));
      EXPECT_EQ(b.error(), (xl::LoadError{xl::LoadCause::PartNotXml, "xl/worksheets/sheet1.xml"})) << fast;
    }
  }

  // Blanks after the document's end are fine (text there is a fuzz finding,
  // tests/hostile/test_fuzz_findings.cpp).
  Book trailingBlanks;
  EXPECT_TRUE(trailingBlanks.load(oneSheet("blanks.xlsx", "<row><c t=\"s\"><v>0</v></c></row>",
                                           sst("<si><t>a</t></si>") + " \n\t "))) << trailingBlanks.error();
  EXPECT_EQ(cell(trailingBlanks, 0, 0, 0), "a");

  Parts badStyles = package({{"S", worksheet("")}}, "", "<styleSheet><cellXfs>");
  EXPECT_EQ(loadError(writeZip("badstyles.xlsx", badStyles)), (xl::LoadError{xl::LoadCause::PartNotXml, "xl/styles.xml"}));
}

TEST(OoxmlPackage, Utf16Part) {
  std::string xml = worksheet("<row><c t=\"inlineStr\"><is><t>宽字符</t></is></c></row>");
  xml.replace(xml.find("UTF-8"), 5, "UTF-16");
  std::string utf16 = "\xFF\xFE";  // little-endian with BOM
  std::u16string wide;
  for (size_t i = 0; i < xml.size();) {  // the fixture text is UTF-8 of the BMP only
    unsigned char c = static_cast<unsigned char>(xml[i]);
    char16_t u;
    if (c < 0x80) u = c, i += 1;
    else if (c < 0xE0) u = static_cast<char16_t>(((c & 0x1F) << 6) | (xml[i + 1] & 0x3F)), i += 2;
    else u = static_cast<char16_t>(((c & 0x0F) << 12) | ((xml[i + 1] & 0x3F) << 6) | (xml[i + 2] & 0x3F)), i += 3;
    wide.push_back(u);
  }
  for (char16_t u : wide) utf16 += static_cast<char>(u & 0xFF), utf16 += static_cast<char>(u >> 8);
  Book b;
  ASSERT_TRUE(b.load(writeZip("utf16.xlsx", package({{"S", utf16}})))) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "宽字符");
}

// ---- hostile input ------------------------------------------------------------

// More kinds of declaration in test_ooxml_xml_edges.cpp.
TEST(OoxmlHostile, DoctypeEntitiesAreNeverExpanded) {
  std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
      "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
      "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">]>"
      "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><si><t>&lol4;</t></si></sst>";
  Book b;
  ASSERT_TRUE(b.load(oneSheet("laughs.xlsx", "<row><c t=\"s\"><v>0</v></c></row>", laughs))) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "");

  std::string ws = worksheet("<row><c><v>1</v></c></row>");
  ws.insert(ws.find("?>") + 2, "<!DOCTYPE worksheet SYSTEM \"file:///etc/passwd\">");
  ASSERT_TRUE(b.load(writeZip("doctype.xlsx", package({{"S", ws}})))) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "1");

  // Without a DTD an entity reference names nothing.
  EXPECT_EQ(loadError(oneSheet("undefined.xlsx", "<row><c t=\"inlineStr\"><is><t>&xxe;</t></is></c></row>")),
            (xl::LoadError{xl::LoadCause::PartNotXml, "xl/worksheets/sheet1.xml"}));
}

TEST(OoxmlHostile, DeepNestingLongTokensAndTooManyCells) {
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<a>";
  for (int i = 0; i < 200000; ++i) deep += "</a>";
  EXPECT_EQ(loadError(oneSheet("deep.xlsx", "<row><c><v>1</v></c></row>" + deep)),
            (xl::LoadError{xl::LoadCause::PartTooDeep, "xl/worksheets/sheet1.xml"}));

  std::string longAttr = "<row><c r=\"A1\" x=\"" + std::string(3u << 20, 'q') + "\"><v>1</v></c></row>";
  Book b;
  xl::OoxmlLimits limits;
  limits.maxTokenBytes = 1u << 20;
  EXPECT_FALSE(fixtures::readDirect(oneSheet("longtoken.xlsx", longAttr), b, limits));
  EXPECT_EQ(b.error(), (xl::LoadError{xl::LoadCause::PartTagTooLong, "xl/worksheets/sheet1.xml"}));

  std::string rows;
  for (int i = 0; i < 50; ++i) rows += "<row><c><v>1</v></c><c><v>2</v></c></row>";
  limits = {};
  limits.maxCells = 99;
  EXPECT_FALSE(fixtures::readDirect(oneSheet("cells.xlsx", rows), b, limits));
  EXPECT_EQ(b.error(), xl::LoadCause::TooLargeCells);
  limits.maxCells = 100;
  EXPECT_TRUE(fixtures::readDirect(oneSheet("cells.xlsx", rows), b, limits)) << b.error();
}

TEST(OoxmlHostile, DecompressionBombStopsAtThePartLimit) {
  // ~40 MB of rows that deflate to a small file; the limit is lowered so the
  // test stays fast, the counting is the same as with the real limit.
  std::string rows;
  std::string row = "<row><c t=\"inlineStr\"><is><t>" + std::string(200, ' ') + "</t></is></c></row>";
  rows.reserve(row.size() * 200000);
  for (int i = 0; i < 200000; ++i) rows += row;
  std::string path = oneSheet("bomb.xlsx", rows);
  EXPECT_LT(std::filesystem::file_size(path), 2u << 20);
  Book b;
  xl::OoxmlLimits limits;
  limits.maxPartBytes = 8u << 20;
  EXPECT_FALSE(fixtures::readDirect(path, b, limits));
  EXPECT_EQ(b.error(), (xl::LoadError{xl::LoadCause::TooLargePart, "xl/worksheets/sheet1.xml"}));
  EXPECT_TRUE(b.sheets.empty());
  limits.maxPartBytes = 64u << 20;
  EXPECT_TRUE(fixtures::readDirect(path, b, limits)) << b.error();
  EXPECT_EQ(b.sheets[0].cells().size(), 200000u);

  // Far below the size limit, a ratio no sheet has gives the bomb away.
  limits.ratioCheckBytes = 4u << 20;
  EXPECT_FALSE(fixtures::readDirect(path, b, limits));
  EXPECT_EQ(b.error(), (xl::LoadError{xl::LoadCause::TooLargePart, "xl/worksheets/sheet1.xml"}));
  limits.maxRatio = 100000;
  EXPECT_TRUE(fixtures::readDirect(path, b, limits)) << b.error();
}

// ---- the small text rules -----------------------------------------------------

TEST(OoxmlText, CellReferences) {
  uint32_t r = 9, c = 9;
  EXPECT_TRUE(xl::ooxml::parseCellRef("A1", r, c));
  EXPECT_EQ(r, 0u);
  EXPECT_EQ(c, 0u);
  EXPECT_TRUE(xl::ooxml::parseCellRef("AB12", r, c));
  EXPECT_EQ(r, 11u);
  EXPECT_EQ(c, 27u);
  EXPECT_TRUE(xl::ooxml::parseCellRef("XFD1048576", r, c));
  EXPECT_EQ(r, 1048575u);
  EXPECT_EQ(c, 16383u);
  EXPECT_TRUE(xl::ooxml::parseCellRef("zz3", r, c));
  EXPECT_EQ(c, 701u);
  for (const char* bad : {"", "A", "1", "A0", "XFE1", "A1048577", "AAAA1", "A1B", "$A$1", "A-1", "A99999999999"})
    EXPECT_FALSE(xl::ooxml::parseCellRef(bad, r, c)) << bad;
}

TEST(OoxmlText, IsoDates) {
  std::string out;
  auto shown = [&](const char* iso, xl::NumberKind kind = xl::NumberKind::General) {
    return xl::ooxml::isoDateText(iso, kind, out) ? out : std::string("<bad>");
  };
  EXPECT_EQ(shown("2024-02-29"), "2024-02-29");
  EXPECT_EQ(shown("2024-02-29T00:00:00"), "2024-02-29");
  EXPECT_EQ(shown("2024-02-29T23:59:59.6"), "2024-03-01");
  EXPECT_EQ(shown("1999-12-31T23:59:59.4+08:00"), "1999-12-31 23:59:59");
  EXPECT_EQ(shown("2024-02-29T08:05"), "2024-02-29 08:05:00");
  EXPECT_EQ(shown("2024-02-29T08:05:09", xl::NumberKind::Time), "08:05:09");
  EXPECT_EQ(shown("T13:14:15"), "13:14:15");
  EXPECT_EQ(shown("13:14:15"), "13:14:15");
  for (const char* bad : {"", "2024", "2024-13-01", "2024-02-30x", "20240229", "2024-02-29T25:00", "24-02-29"})
    EXPECT_EQ(shown(bad), "<bad>") << bad;
}

// ---- real-world files ---------------------------------------------------------

TEST(OoxmlCorpus, TextsAsASpreadsheetShowsThem) {
  const std::string dir = QUORVANE_CORPUS_DIR;
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no corpus";
  auto loaded = [&](const char* name) {
    Book b;
    EXPECT_TRUE(b.load(dir + "/" + name)) << name << ": " << b.error();
    return b;
  };
  {
    Book b = loaded("has_x000D_.xlsx");
    EXPECT_EQ(cell(b, 0, 0, 0), "ABC\r\nDEF");
  }
  {
    Book b = loaded("has_x000D_inline.xlsx");
    EXPECT_EQ(cell(b, 0, 0, 0), "ABC\r\nDEF");
  }
  {
    Book b = loaded("rph.xlsx");
    EXPECT_EQ(cell(b, 0, 0, 0), "課きく　毛こ");
  }
  {
    Book b = loaded("empty_shared_string.xlsx");
    EXPECT_EQ(cell(b, 0, 0, 0), "abc");
    EXPECT_EQ(cell(b, 0, 1, 0), "");
    EXPECT_EQ(b.sheets[0].lastRow(), 2);
  }
  {
    Book b = loaded("inlineStr_cdata.xlsx");
    EXPECT_EQ(cell(b, 0, 0, 0), "Hello CDATA");
    EXPECT_EQ(cell(b, 0, 1, 0), "12345");
    EXPECT_EQ(cell(b, 0, 1, 1), "NormalText");
  }
  {
    Book b = loaded("date_1904.xlsx");
    EXPECT_EQ(cell(b, 0, 0, 0), "2021-01-01");
    EXPECT_EQ(cell(b, 0, 1, 0), "2021-01-02");
    EXPECT_EQ(cell(b, 0, 0, 1), "15");
  }
  {
    Book b = loaded("nonstandard-xml-ns-prefix.xlsx");
    EXPECT_EQ(cell(b, 0, 0, 0), "a");
    EXPECT_EQ(cell(b, 0, 0, 1), "b");
    EXPECT_EQ(cell(b, 0, 2, 1), "4");
  }
  {
    Book b = loaded("strict_iso_paths.xlsx");
    ASSERT_EQ(b.sheets.size(), 1u);
    EXPECT_EQ(b.sheets[0].name, "ml_out");
    EXPECT_EQ(cell(b, 0, 0, 0), "Item");
    EXPECT_EQ(cell(b, 0, 0, 2), "Number Off Bends");
  }
  {
    Book b = loaded("richtext-after-plain.xlsx");
    EXPECT_EQ(cell(b, 0, 0, 1), "abcd");
    EXPECT_EQ(cell(b, 0, 1, 0), "tvalrval1rval2");  // a plain <t> followed by runs
    EXPECT_EQ(cell(b, 0, 1, 1), "rval1rval2");
  }
  {
    Book b = loaded("richtext-namespaced.xlsx");  // x: prefixes and a byte-order mark
    EXPECT_EQ(cell(b, 0, 0, 0), "inline string\nLine 2\nLine 3");
    EXPECT_EQ(cell(b, 0, 0, 7), "shared string\nLine 2\nLine 3");
    EXPECT_EQ(b.sheets[0].lastCol(), 8);  // formatted blanks up to M do not count
  }
  {
    Book b = loaded("errors.xlsx");
    EXPECT_EQ(cell(b, 0, 0, 0), "#DIV/0!");
    EXPECT_EQ(cell(b, 0, 6, 0), "#N/A");
    EXPECT_TRUE(b.sheets[0].rowHidden(19));
    EXPECT_EQ(b.sheets[0].lastRow(), 7);
  }
  {
    Book b = loaded("whitespace_trim.xlsx");
    EXPECT_EQ(cell(b, 1, 0, 0), "  trimmed value");
    EXPECT_EQ(cell(b, 1, 0, 1), "  preserved value  ");
    EXPECT_EQ(cell(b, 1, 0, 2), " \t\n");
  }
  EXPECT_EQ(loadError(dir + "/pass_protected.xlsx"), xl::LoadCause::EncryptedNeedsPassword);
}

TEST(OoxmlCorpus, EveryWorkbookLoadsOrFailsInChinese) {
  const std::string dir = QUORVANE_CORPUS_DIR;
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no corpus";
  int loaded = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string ext = entry.path().extension().string();
    if (ext != ".xlsx" && ext != ".xlsm") continue;
    Book b;
    if (b.load(entry.path().string())) {
      ++loaded;
      continue;
    }
    const std::string e = b.errorText();
    ASSERT_FALSE(e.empty()) << entry.path();
    EXPECT_TRUE(static_cast<unsigned char>(e[0]) >= 0x80) << entry.path() << ": " << e;
  }
  EXPECT_GT(loaded, 50);
}

// ---- our tokenizer against expat ------------------------------------------------

namespace {

// Everything a search can see of a book, as one text.
// `s` with one to three random edits: a byte replaced by one of `pieces`, a
// few bytes erased, one of `pieces` inserted, or (when `cut`) the rest cut off.
std::string mutated(std::string s, std::mt19937& rng, std::string_view pieces, bool cut) {
  const int edits = 1 + static_cast<int>(rng() % 3);
  for (int e = 0; e < edits; ++e) {
    const size_t at = rng() % s.size();
    switch (rng() % (cut ? 4 : 3)) {
      case 0: s[at] = pieces[rng() % pieces.size()]; break;
      case 1: s.erase(at, 1 + rng() % 8); break;
      case 2: s.insert(at, 1, pieces[rng() % pieces.size()]); break;
      default: s.resize(at); break;
    }
    if (s.empty()) s = "<";
  }
  return s;
}

std::string readWith(const std::string& path, bool fast, bool* okOut = nullptr) {
  Book b;
  xl::OoxmlLimits limits;
  limits.fastXml = fast;
  bool ok = fixtures::readDirect(path, b, limits);
  if (okOut) *okOut = ok;
  return describe(b, ok);
}

}  // namespace

TEST(OoxmlTokenizer, SameBooksAsExpatOnTheCorpus) {
  const std::string dir = QUORVANE_CORPUS_DIR;
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no corpus";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string ext = entry.path().extension().string();
    if (ext != ".xlsx" && ext != ".xlsm") continue;
    bool okExpat = false;
    std::string viaExpat = readWith(entry.path().string(), false, &okExpat);
    if (!okExpat) continue;  // damaged files may read further with either
    EXPECT_EQ(readWith(entry.path().string(), true), viaExpat) << entry.path();
  }
}

TEST(OoxmlTokenizer, XmlSyntaxEdgesAndMutatedSheets) {
  const std::string strings = sst("<si><t>s&amp;0</t></si><si><r><t>r</t></r><r><t>1</t></r></si>");
  const std::string data =
      "<!-- a comment with <c> inside --><?pi data?>"
      "<row r='1' hidden = \"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"inlineStr\"><is><t>"
      "a&lt;b&gt;c&quot;d&apos;e&#65;&#x4E2D;&#x1F600;\r\nf\rg<![CDATA[ <raw> & ]]>h</t></is></c>"
      "<c r=\"C1\" t=\"str\"><v>tab\there</v></c><c r=\"D1\" t=\"s\"><v>1</v></c></row>"
      "<row r=\"3\"><c r=\"A3\" s=\"1\"><v>45356.25</v></c><c r=\"B3\" t=\"b\"><v>1</v></c>"
      "<c r=\"C3\" t=\"e\"><v>#REF!</v></c><c r=\"D3\"><v>-0.000123</v></c></row>";
  const std::string sheet = worksheet(data, "<cols><col min='2' max='3' hidden='true'/></cols>");
  {
    std::string path = writeZip("syntax.xlsx", package({{"名 &amp; 称", sheet}}, strings, kStyles));
    bool ok = false;
    std::string viaExpat = readWith(path, false, &ok);
    ASSERT_TRUE(ok) << viaExpat;
    EXPECT_EQ(readWith(path, true), viaExpat);
    Book b;
    ASSERT_TRUE(fixtures::readDirect(path, b)) << b.error();
    EXPECT_EQ(b.sheets[0].name, "名 & 称");
    EXPECT_EQ(cell(b, 0, 0, 0), "s&0");
    EXPECT_EQ(cell(b, 0, 0, 1), "a<b>c\"d'eA中\xF0\x9F\x98\x80\nf\ng <raw> & h");
    EXPECT_EQ(cell(b, 0, 0, 3), "r1");
    EXPECT_EQ(cell(b, 0, 2, 0), "2024-03-05 06:00:00");  // a date format showing its time part
    EXPECT_TRUE(b.sheets[0].rowHidden(0));
    EXPECT_TRUE(b.sheets[0].colHidden(2));
  }
  // The same rows again and again, shifted by comments of every length, so
  // that small reads end inside every kind of token.
  {
    std::string rows;
    for (int i = 0; i < 400; ++i) {
      std::string row = data.substr(data.find("<row r='1'"));
      size_t r1 = row.find("r='1'"), r3 = row.find("r=\"3\"");
      row.replace(r3, 5, "r=\"" + std::to_string(2 * i + 2) + "\"");
      row.replace(r1, 5, "r='" + std::to_string(2 * i + 1) + "'");
      for (const char* ref : {"A1", "B1", "C1", "D1"}) {
        size_t at = row.find(std::string("\"") + ref + "\"");
        row.replace(at + 2, std::strlen(ref) - 1, std::to_string(2 * i + 1));
      }
      for (const char* ref : {"A3", "B3", "C3", "D3"}) {
        size_t at = row.find(std::string("\"") + ref + "\"");
        row.replace(at + 2, std::strlen(ref) - 1, std::to_string(2 * i + 2));
      }
      rows += "<!--" + std::string(i % 61, '-' + 1) + "-->" + row;
    }
    std::string path = writeZip("boundaries.xlsx", package({{"B", worksheet(rows)}}, strings, kStyles));
    bool ok = false;
    std::string viaExpat = readWith(path, false, &ok);
    ASSERT_TRUE(ok) << viaExpat;
    Book b;
    xl::OoxmlLimits small;
    small.chunkBytes = 4096;
    ASSERT_TRUE(fixtures::readDirect(path, b, small)) << b.error();
    EXPECT_EQ(describe(b, true), viaExpat);
    EXPECT_EQ(b.sheets[0].cells().size(), 400u * 8);
    EXPECT_EQ(cell(b, 0, 798, 1), cell(b, 0, 0, 1));
  }
  // Damage the sheet at random: never a crash, and whatever expat accepts
  // must read the same through our tokenizer.
  std::mt19937 rng(20240305);
  const char pieces[] = "<>&;\"'/= x\r\n#!?[]-";
  int agreed = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string s = mutated(sheet, rng, std::string_view(pieces, sizeof pieces - 1), true);
    std::string path = writeZip("mutated.xlsx", package({{"M", s}}, strings, kStyles));
    bool okExpat = false, okFast = false;
    std::string viaExpat = readWith(path, false, &okExpat);
    std::string viaFast = readWith(path, true, &okFast);
    if (okExpat) {
      ++agreed;
      EXPECT_EQ(viaFast, viaExpat) << s;
    }
    if (!okFast) {
      EXPECT_EQ(viaFast.rfind("error: 文件", 0), 0u) << viaFast;
    }
    std::filesystem::remove(path);
  }
  EXPECT_GT(agreed, 10);
}

// Shared strings take a single-pass path of their own when an item is one
// plain <t>: damaged tables must read as expat reads them, whichever path
// each item ends up on.
TEST(OoxmlTokenizer, MutatedSharedStrings) {
  const std::string items =
      "<si><t>plain</t></si><si><t xml:space=\"preserve\"> 蓝鲸 </t></si><si>\n <t>pretty</t>\n</si>"
      "<si><t>_x0041_B</t></si><si><t/></si><si><t>a&amp;b</t></si><si><r><t>ri</t></r><r><t>ch</t></r></si>"
      "<si><t>中文ABC123456789</t><rPh sb=\"0\" eb=\"1\"><t>ふ</t></rPh></si>";
  std::string sheetData = "<row r=\"1\">";
  for (int i = 0; i < 8; ++i) sheetData += "<c r=\"" + std::string(1, static_cast<char>('A' + i)) + "1\" t=\"s\"><v>" +
                                           std::to_string(i) + "</v></c>";
  sheetData += "</row>";
  const std::string sheet = worksheet(sheetData);
  {
    std::string path = writeZip("sst-fast.xlsx", package({{"S", sheet}}, sst(items)));
    bool ok = false;
    std::string viaExpat = readWith(path, false, &ok);
    ASSERT_TRUE(ok) << viaExpat;
    EXPECT_EQ(readWith(path, true), viaExpat);
  }
  std::mt19937 rng(20251209);
  const char pieces[] = "<>&;\"'/= xt\r\n\0\x80\xE4\xB8\xFF";
  int agreed = 0;
  for (int i = 0; i < 300; ++i) {
    // No cuts: a table cut short fails on both paths and compares nothing.
    const std::string s = mutated(items, rng, std::string_view(pieces, sizeof pieces - 1), false);
    std::string path = writeZip("sst-mutated.xlsx", package({{"S", sheet}}, sst(s)));
    bool okExpat = false;
    std::string viaExpat = readWith(path, false, &okExpat);
    std::string viaFast = readWith(path, true);
    if (okExpat) {
      ++agreed;
      EXPECT_EQ(viaFast, viaExpat) << s;
    }
    std::filesystem::remove(path);
  }
  EXPECT_GT(agreed, 10);
}

// What the general path refuses, the single-pass paths for cells and shared
// strings must refuse too, not read past.
TEST(OoxmlTokenizer, SinglePassPathsRefuseWhatTheGeneralPathRefuses) {
  using namespace std::string_literals;
  const std::string cellsOk = "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>";
  const std::string itemOk = "<si><t>ok</t></si>";
  const struct {
    const char* what;
    std::string sheetData, items;
  } cases[] = {
      {"attribute name not UTF-8", "<row r=\"1\"><c r=\"A1\" \xFF=\"1\"><v>1</v></c></row>", itemOk},
      {"NUL in a value", "<row r=\"1\"><c r=\"A1\"><v>1\0 2</v></c></row>"s, itemOk},
      {"value not UTF-8", "<row r=\"1\"><c r=\"A1\" t=\"str\"><v>\xE4\xB8</v></c></row>", itemOk},
      {"item attribute name not UTF-8", cellsOk, "<si><t \xC3=\"x\">a</t></si>"},
      {"item text not UTF-8", cellsOk, "<si><t>a\xED\xA0\x80</t></si>"},
      {"NUL in an item", cellsOk, "<si><t>a\0b</t></si>"s},
  };
  for (const auto& c : cases) {
    std::string path = writeZip("refuse.xlsx", package({{"S", worksheet(c.sheetData)}}, sst(c.items)));
    bool okExpat = true, okFast = true;
    readWith(path, false, &okExpat);
    readWith(path, true, &okFast);
    EXPECT_FALSE(okExpat) << c.what;
    EXPECT_FALSE(okFast) << c.what;
    std::filesystem::remove(path);
  }
}
