// A big sheet read in pieces on several threads must give the very book the
// one-thread read gives: same cells, texts, hidden rows, last row and
// column, and the same error for a broken part. Pieces are made tiny here,
// so every sheet is cut at many places; moving the piece size moves the cuts
// over every kind of boundary (between rows, inside a row, inside a cell,
// a comment or CDATA that holds "</row>", after rows without numbers).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/platform/xl/ooxml_fixtures.h"

namespace {

namespace fs = std::filesystem;

// Everything a search reads from a book, as one comparable text.
std::string dump(bool ok, const xl::Book& book) {
  if (!ok) return "failed: " + book.errorText();
  std::string out;
  for (const xl::Sheet& s : book.sheets) {
    out += "[" + s.name + "] " + std::to_string(s.lastRow()) + "x" + std::to_string(s.lastCol()) + "\n";
    for (const xl::CellRef& c : s.cells())
      out += std::to_string(c.row) + "," + std::to_string(c.col) + "=" + book.text(c) + "\n";
    for (int r = 0; r < s.lastRow(); ++r)
      if (s.rowHidden(static_cast<uint32_t>(r))) out += "hidden row " + std::to_string(r) + "\n";
    for (int c = 0; c < s.lastCol(); ++c)
      if (s.colHidden(static_cast<uint32_t>(c))) out += "hidden col " + std::to_string(c) + "\n";
  }
  return out;
}

std::string readWith(const std::string& path, const xl::OoxmlLimits& limits) {
  xl::Book book;
  const bool ok = fixtures::readDirect(path, book, limits);
  if (ok)
    for (xl::Sheet& s : book.sheets) s.finish();
  return dump(ok, book);
}

xl::OoxmlLimits pieces(size_t bytes, unsigned helpers) {
  xl::OoxmlLimits limits;
  limits.parallelBytes = 0;
  limits.pieceBytes = bytes;
  limits.pieceHelpers = helpers;
  return limits;
}

xl::OoxmlLimits oneThread() {
  xl::OoxmlLimits limits;
  limits.parallelBytes = ~0ull;
  return limits;
}

// Compares the one-thread book with pieces of every size from 64 bytes up
// to the whole part in `step`s, with one and three helpers.
void expectSameInPieces(const std::string& path, size_t partBytes, size_t step = 1) {
  const std::string want = readWith(path, oneThread());
  for (size_t bytes = 64; bytes <= partBytes + step; bytes += step)
    for (unsigned helpers : {1u, 3u})
      ASSERT_EQ(readWith(path, pieces(bytes, helpers)), want) << "pieces of " << bytes << " bytes, " << helpers
                                                              << " helpers, " << path;
}

std::string rows(int from, int to, const std::string& extra = "") {
  std::string out;
  for (int r = from; r <= to; ++r)
    out += "<row r=\"" + std::to_string(r) + "\"" + extra + "><c r=\"A" + std::to_string(r) + "\" t=\"s\"><v>" +
           std::to_string(r % 3) + "</v></c><c r=\"B" + std::to_string(r) + "\"><v>" + std::to_string(r * 1.5) +
           "</v></c><c r=\"C" + std::to_string(r) + "\" t=\"inlineStr\"><is><t>行" + std::to_string(r) +
           "</t></is></c></row>";
  return out;
}

const std::string kStrings = fixtures::sst("<si><t>甲</t></si><si><t>乙</t></si><si><t>丙 &amp; 丁</t></si>");

void expectSame(const std::string& name, const std::string& sheetData, const std::string& sst = kStrings,
                size_t step = 1) {
  const std::string xml = fixtures::worksheet(sheetData);
  const std::string path = fixtures::writeZip(name, fixtures::package({{"S", xml}}, sst));
  expectSameInPieces(path, std::max(xml.size(), sst.size()), step);
}

TEST(OoxmlPieces, PlainRowsCutAnywhere) { expectSame("plain.xlsx", rows(1, 40), kStrings, 3); }

TEST(OoxmlPieces, RowsAndCellsWithoutNumbersTakeTheirPlaceFromBefore) {
  // Cells without r follow the cell before; rows without r the row before,
  // so a piece that starts with them depends on earlier pieces.
  std::string data;
  for (int r = 0; r < 12; ++r) data += "<row><c><v>" + std::to_string(r) + "</v></c><c t=\"s\"><v>1</v></c></row>";
  data += rows(30, 34);
  for (int r = 0; r < 6; ++r) data += "<row><c><v>" + std::to_string(100 + r) + "</v></c></row>";
  data += "<row r=\"50\"><c r=\"C50\"><v>1</v></c><c><v>2</v></c></row><row r=\"0\"><c><v>9</v></c></row>";
  data += "<row><c><v>lost</v></c></row><row r=\"60\"><c><v>3</v></c></row>";
  expectSame("no-numbers.xlsx", data);
}

TEST(OoxmlPieces, RowsOutOfOrderHiddenRowsAndRewrittenCells) {
  std::string data = rows(20, 25) + rows(3, 6, " hidden=\"1\"") + rows(22, 22) + rows(1, 2, " hidden=\"true\"");
  data += "<row r=\"7\"><c r=\"A7\"><v>1</v></c><c r=\"A7\"><v>2</v></c><c r=\"A7\" t=\"s\"><v>99</v></c></row>";
  expectSame("order.xlsx", data);
}

TEST(OoxmlPieces, RowEndsInsideCommentsCdataAndValuesAreNotCuts) {
  std::string data = rows(1, 3);
  data += "<!-- </row> --><row r=\"4\"><c r=\"A4\" t=\"inlineStr\"><is><t><![CDATA[a</row>b]]></t></is></c></row>";
  data += "<row r=\"5\"><c r=\"A5\" t=\"str\" cm=\"</row>\"><v>x</v></c></row><?pi </row>?>";
  data += rows(6, 8);
  expectSame("tricky.xlsx", data);
}

TEST(OoxmlPieces, PrefixedElementsEntitiesEscapesAndOtherShapes) {
  std::string data =
      "<x:row r=\"1\" xmlns:x=\"urn:x\"><x:c r=\"A1\" t=\"str\"><x:v>a&amp;b</x:v></x:c></x:row>"
      "<row r=\"2\"><c r=\"A2\" t=\"str\"><f>SUM(1,2)</f><v>_x0041_ &lt; 3</v></c>"
      "<c r=\"B2\" t=\"inlineStr\"><is><r><t>富</t></r><r><t>文本</t></r><rPh><t>ふ</t></rPh></is></c>"
      "<c r=\"C2\" t=\"b\"><v>1</v></c><c r=\"D2\" t=\"e\"><v>#N/A</v></c><c r=\"E2\" s=\"1\"><v>45000.5</v></c>"
      "<c r=\"F2\" t=\"d\"><v>2024-03-01T10:00:00</v></c><c r=\"G2\"/>"
      "<c r=\"H2\">\n  <v>7</v>\n</c></row>";
  data += rows(3, 9);
  // Whole days under a date format, repeated across pieces (a big sheet
  // stores each day's text once), beside a negative and a fractional one.
  for (int r = 10; r < 30; ++r)
    data += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\" s=\"1\"><v>" +
            std::to_string(45000 + r % 4) + "</v></c><c r=\"B" + std::to_string(r) + "\" s=\"1\"><v>" +
            (r % 2 ? "-3" : "0.25") + "</v></c></row>";
  const std::string styles =
      "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><cellXfs count=\"2\">"
      "<xf numFmtId=\"0\"/><xf numFmtId=\"14\"/></cellXfs></styleSheet>";
  const std::string xml = fixtures::worksheet(data);
  const std::string path = fixtures::writeZip("shapes.xlsx", fixtures::package({{"S", xml}}, kStrings, styles));
  expectSameInPieces(path, xml.size());
}

TEST(OoxmlPieces, BrokenPartsFailWithTheSameError) {
  for (const std::string& bad : {rows(1, 5) + "<row r=\"6\"><c r=\"A6\"><v>\xFF</v></c></row>" + rows(7, 9),
                                 rows(1, 5) + "</sheetData></sheetData>" + rows(7, 9),
                                 rows(1, 5) + "<row r=\"6\"><c r=\"A6\"><v>&bogus;</v></c></row>" + rows(7, 9),
                                 rows(1, 5) + "</row>" + rows(7, 9), rows(1, 5) + "<row r=\"6\"><c>" + rows(7, 9)})
    expectSame("bad.xlsx", bad, kStrings, 5);
}

// The shared strings are cut at item ends the same way: every cut over the
// table, with items of every shape around it, and a table that breaks.
TEST(OoxmlPieces, SharedStringsCutAnywhere) {
  std::string items;
  for (int i = 0; i < 6; ++i) items += "<si><t>项" + std::to_string(i) + "</t></si>";
  items +=
      "<si/><si><t/></si><si><r><t>富</t></r><r><t xml:space=\"preserve\"> 文本</t></r><rPh><t>ふ</t></rPh></si>"
      "<si><t>a &amp; b_x000D_&#x4E2D;</t></si><!-- </si> --><si><t><![CDATA[x</si>y]]></t></si>"
      "<x:si xmlns:x=\"urn:x\"><x:t>前缀</x:t></x:si><?pi </si>?><si><t a=\"si>\">值</t></si>"
      "<si>\n  <t>空白</t>\n</si><extLst><ext/></extLst>";
  for (int i = 0; i < 6; ++i) items += "<si><t>尾" + std::to_string(i) + "</t></si>";
  std::string data;
  for (int i = 0; i < 24; ++i)
    data += "<row r=\"" + std::to_string(i + 1) + "\"><c r=\"A" + std::to_string(i + 1) + "\" t=\"s\"><v>" +
            std::to_string(i) + "</v></c></row>";
  for (const std::string& table : {items, items + "<si><t>\xC3</t></si>", items + "<si><t>开</si>" + items})
    expectSame("strings.xlsx", data, fixtures::sst(table), 1);
}

TEST(OoxmlPieces, CorpusReadsAlikeInPieces) {
  std::error_code ec;
  int seen = 0;
  for (const auto& e : fs::directory_iterator(QUORVANE_CORPUS_DIR, ec)) {
    const std::string ext = e.path().extension().string();
    if (ext != ".xlsx" && ext != ".xlsm") continue;
    ++seen;
    const std::string path = e.path().string();
    const std::string want = readWith(path, oneThread());
    for (size_t bytes : {64u, 1000u, 9000u})
      EXPECT_EQ(readWith(path, pieces(bytes, 2)), want) << path << " in pieces of " << bytes;
  }
  if (seen == 0) GTEST_SKIP() << "no corpus at " << QUORVANE_CORPUS_DIR;
}

}  // namespace
