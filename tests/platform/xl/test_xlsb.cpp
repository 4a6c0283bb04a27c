// The .xlsb reader: workbooks written record by record by make_xlsb.py
// (every cell kind, hidden rows, columns and sheets, dates, damage of every
// kind), read whole and streamed in small pieces, and the real .xlsb files
// of the corpus with the texts LibreOffice shows for them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/xl/book.h"
#include "platform/xl/ooxml_reader.h"
#include "tests/platform/xl/ooxml_fixtures.h"
#include "tests/platform/xl/xl_test_util.h"

namespace fs = std::filesystem;
using fixtures::cell;

namespace {

class Xlsb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = xltest::scratchDir("xlsb").string();
    std::string cmd = "/usr/bin/python3 '" + std::string(QUORVANE_SOURCE_DIR) + "/tests/platform/xl/make_xlsb.py' '" + dir_ + "'";
    ok_ = std::system(cmd.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void SetUp() override { ASSERT_TRUE(ok_) << "make_xlsb.py failed"; }
  static std::string path(const char* name) { return dir_ + "/" + name; }
  static inline std::string dir_;
  static inline bool ok_ = false;
};

// Every stored cell of a book as "sheet!row,col=text" lines, to compare books.
std::string cellsOf(const xl::Book& b) {
  std::string out;
  for (const xl::Sheet& s : b.sheets) {
    out += s.name + " " + std::to_string(s.lastRow()) + "x" + std::to_string(s.lastCol()) + "\n";
    for (const xl::CellRef& c : s.cells())
      out += std::to_string(c.row) + "," + std::to_string(c.col) + "=" + std::string(b.text(c), c.len) + "\n";
  }
  return out;
}

}  // namespace

TEST_F(Xlsb, EveryCellKindSheetsAndHiddenRanges) {
  xl::Book b;
  ASSERT_TRUE(b.load(path("mixed.xlsb"))) << b.error();
  ASSERT_EQ(b.sheets.size(), 6u);
  // Hidden and very hidden sheets, the macro sheet and the chart sheet all
  // count, in workbook order.
  const char* names[] = {"数据", "隐藏", "VeryHidden", "宏表", "图表", "Empty"};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(b.sheets[i].name, names[i]);

  // Shared strings: rich runs and phonetic runs are not part of the text.
  EXPECT_EQ(cell(b, 0, 0, 0), "编号");
  EXPECT_EQ(cell(b, 0, 0, 2), "粗体 plain");
  EXPECT_EQ(cell(b, 0, 0, 3), "東京");
  EXPECT_EQ(cell(b, 0, 0, 4), "𠀀 beyond the BMP");
  // Numbers in RK (integer, times 100, float) and real records: General form.
  EXPECT_EQ(cell(b, 0, 1, 0), "12345");
  EXPECT_EQ(cell(b, 0, 1, 1), "1.23");
  EXPECT_EQ(cell(b, 0, 1, 2), "0.5");
  EXPECT_EQ(cell(b, 0, 1, 3), "-7");
  EXPECT_EQ(cell(b, 0, 1, 4), "0.3");
  EXPECT_EQ(cell(b, 0, 1, 5), "1E+20");
  EXPECT_EQ(cell(b, 0, 1, 6), "-1.5E-07");
  EXPECT_EQ(cell(b, 0, 1, 7), "3.14159");  // "0.00" is not a date: General
  EXPECT_EQ(cell(b, 0, 1, 8), "-0.05");
  const char* errors[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A"};
  for (uint32_t c = 0; c < 7; ++c) EXPECT_EQ(cell(b, 0, 2, c), errors[c]);
  EXPECT_EQ(cell(b, 0, 2, 7), "TRUE");
  EXPECT_EQ(cell(b, 0, 2, 8), "FALSE");
  // Inline texts, plain and rich; an empty one is an empty cell that exists.
  EXPECT_EQ(cell(b, 0, 3, 0), "行内 text");
  EXPECT_EQ(cell(b, 0, 3, 1), "富文本 rich");
  EXPECT_EQ(cell(b, 0, 3, 2), "");
  // Stored results of formulas of every type.
  EXPECT_EQ(cell(b, 0, 4, 0), "公式 text");
  EXPECT_EQ(cell(b, 0, 4, 1), "42.5");
  EXPECT_EQ(cell(b, 0, 4, 2), "TRUE");
  EXPECT_EQ(cell(b, 0, 4, 3), "FALSE");
  EXPECT_EQ(cell(b, 0, 4, 4), "#DIV/0!");
  EXPECT_EQ(cell(b, 0, 4, 5), "");
  EXPECT_EQ(cell(b, 0, 4, 6), "2023-03-15");  // a numeric result in a date format
  // Dates and times by the cell format; a formatted blank is no cell.
  EXPECT_EQ(cell(b, 0, 5, 0), "2023-03-15");
  EXPECT_EQ(cell(b, 0, 5, 1), "2023-03-15 13:45:00");
  EXPECT_EQ(cell(b, 0, 5, 2), "18:00:00");
  EXPECT_EQ(cell(b, 0, 5, 3), "255:10:10");
  EXPECT_EQ(cell(b, 0, 5, 4), "1900-02-29");
  EXPECT_EQ(cell(b, 0, 5, 5), "1900-01-00");
  EXPECT_EQ(cell(b, 0, 5, 9), "<null>");
  // Short records follow the previous cell of their row; a short blank
  // takes its column without a value.
  EXPECT_EQ(cell(b, 0, 6, 1), "长");
  EXPECT_EQ(cell(b, 0, 6, 2), "<null>");
  EXPECT_EQ(cell(b, 0, 6, 3), "7");
  EXPECT_EQ(cell(b, 0, 6, 4), "2023-03-16");
  EXPECT_EQ(cell(b, 0, 6, 5), "短");
  EXPECT_EQ(cell(b, 0, 6, 6), "名称");
  EXPECT_EQ(cell(b, 0, 6, 7), "TRUE");
  EXPECT_EQ(cell(b, 0, 6, 8), "#N/A");
  // A row opened by a short record starts at column 1, as LibreOffice reads it.
  EXPECT_EQ(cell(b, 0, 7, 0), "<null>");
  EXPECT_EQ(cell(b, 0, 7, 1), "8");
  EXPECT_EQ(cell(b, 0, 7, 2), "9");
  EXPECT_EQ(cell(b, 0, 9, 10), "末尾");
  // A shared string is held once however many cells use it.
  EXPECT_EQ(b.sheets[0].find(0, 1)->off, b.sheets[0].find(6, 6)->off);

  const xl::Sheet& s = b.sheets[0];
  EXPECT_EQ(s.lastRow(), 10);
  EXPECT_EQ(s.lastCol(), 11);
  EXPECT_TRUE(s.rowHidden(3));
  EXPECT_FALSE(s.rowHidden(2));
  EXPECT_FALSE(s.rowHidden(4));
  EXPECT_FALSE(s.colHidden(1));
  EXPECT_TRUE(s.colHidden(2));
  EXPECT_TRUE(s.colHidden(3));
  EXPECT_FALSE(s.colHidden(4));
  EXPECT_FALSE(s.colHidden(5));  // a column record that does not hide

  EXPECT_EQ(cell(b, 1, 4, 2), "secret");
  EXPECT_EQ(cell(b, 2, 0, 0), "1");
  EXPECT_EQ(cell(b, 3, 0, 0), "宏表单元格");
  EXPECT_EQ(cell(b, 3, 0, 1), "9");
  EXPECT_TRUE(b.sheets[4].isChart);
  EXPECT_TRUE(b.sheets[4].cells().empty());
  EXPECT_FALSE(b.sheets[5].isChart);
  EXPECT_TRUE(b.sheets[5].cells().empty());
}

TEST_F(Xlsb, Date1904System) {
  xl::Book b;
  ASSERT_TRUE(b.load(path("date1904.xlsb"))) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "2027-03-16");  // serial 45000 counted from 1904
  EXPECT_EQ(cell(b, 0, 0, 1), "1904-01-01 12:00:00");
}

// The same book read with its parts streamed a few bytes at a time: every
// record header, text and value then straddles the pieces.
// Texts past Excel's 32,767 characters are kept whole, as LibreOffice
// shows them (its formula cell it recalculates from the formula).
TEST_F(Xlsb, TextsPastExcelsLimitAreKeptWhole) {
  xl::Book b;
  ASSERT_TRUE(b.load(path("long_texts.xlsb"))) << b.error();
  std::string body;
  for (int i = 0; i < 17'000; ++i) body += "长句";
  body += "\xF0\xA0\x80\x80";  // U+20000
  EXPECT_EQ(cell(b, 0, 0, 0), body + " 共享的尾巴");
  EXPECT_EQ(cell(b, 0, 0, 1), body + " 内联的尾巴");
  EXPECT_EQ(cell(b, 0, 0, 2), body + " 公式的尾巴");
}

TEST_F(Xlsb, StreamedInSmallPiecesReadsTheSame) {
  xl::Book whole, streamed;
  ASSERT_TRUE(fixtures::readDirect(path("mixed.xlsb"), whole)) << whole.error();
  xl::OoxmlLimits limits;
  limits.maxTokenBytes = 16;  // no part is inflated whole
  for (size_t chunk : {1u, 3u, 7u, 64u}) {
    limits.chunkBytes = chunk;
    ASSERT_TRUE(fixtures::readDirect(path("mixed.xlsb"), streamed, limits)) << streamed.error();
    EXPECT_EQ(cellsOf(streamed), cellsOf(whole)) << chunk;
    EXPECT_TRUE(streamed.sheets[0].rowHidden(3));
    EXPECT_TRUE(streamed.sheets[0].colHidden(2));
  }
}

TEST_F(Xlsb, PartsCutShortKeepWhatWasRead) {
  {
    xl::Book b;  // cut inside the last cell's record
    ASSERT_TRUE(b.load(path("truncated_sheet.xlsb"))) << b.error();
    EXPECT_EQ(cell(b, 0, 7, 2), "9");
    EXPECT_EQ(cell(b, 0, 9, 10), "<null>");
    EXPECT_EQ(b.sheets[0].lastRow(), 8);
    EXPECT_EQ(b.sheets.size(), 6u);
    EXPECT_EQ(cell(b, 3, 0, 0), "宏表单元格");  // later sheets are read
  }
  {
    xl::Book b;  // shared strings cut inside the third item
    ASSERT_TRUE(b.load(path("truncated_sst.xlsb"))) << b.error();
    EXPECT_EQ(cell(b, 0, 0, 1), "名称");
    EXPECT_EQ(cell(b, 0, 0, 2), "<null>");
    EXPECT_EQ(cell(b, 0, 0, 4), "<null>");
    EXPECT_EQ(cell(b, 0, 1, 0), "12345");
  }
  {
    xl::Book b;  // workbook part cut inside the second sheet's entry
    ASSERT_TRUE(b.load(path("truncated_workbook.xlsb"))) << b.error();
    ASSERT_EQ(b.sheets.size(), 1u);
    EXPECT_EQ(cell(b, 0, 0, 0), "编号");
  }
  {
    xl::Book b;  // a length that runs past the end of the part
    ASSERT_TRUE(b.load(path("length_past_end.xlsb"))) << b.error();
    EXPECT_EQ(cell(b, 0, 0, 0), "before");
    EXPECT_EQ(cell(b, 0, 0, 1), "<null>");
  }
}

TEST_F(Xlsb, OddRecordHeadersAndHugeRecords) {
  {
    // A type of three bytes is a type no record has: the record is passed
    // over like any unknown one and the cell after it is read.
    xl::Book b;
    ASSERT_TRUE(b.load(path("bad_record_type.xlsb"))) << b.error();
    EXPECT_EQ(cell(b, 0, 0, 0), "before");
    EXPECT_EQ(cell(b, 0, 0, 1), "after");
  }
  {
    // 40 MB in one record: skipped unread (the part streams), then the cell.
    xl::Book b;
    ASSERT_TRUE(b.load(path("huge_record.xlsb"))) << b.error();
    EXPECT_EQ(cell(b, 0, 0, 0), "before");
    EXPECT_EQ(cell(b, 0, 0, 1), "after");
  }
}

TEST_F(Xlsb, LengthsAndIndexesOutsideTheirRecords) {
  xl::Book b;
  ASSERT_TRUE(b.load(path("bad_indexes.xlsb"))) << b.error();
  // A cell before any row header is in row 0; the overlong text after it
  // keeps the characters its record holds, and the last value wins.
  EXPECT_EQ(cell(b, 0, 0, 0), "xy");
  EXPECT_EQ(cell(b, 0, 0, 1), "kept");
  EXPECT_EQ(cell(b, 0, 0, 2), "<null>");  // shared string past the table
  EXPECT_EQ(cell(b, 0, 0, 3), "ab");      // the item whose count runs past its record
  EXPECT_EQ(cell(b, 0, 0, 4), "two");     // later items keep their index
  EXPECT_EQ(cell(b, 0, 0, 5), "45000");   // cell format past the table: General
  EXPECT_EQ(cell(b, 0, 0, 6), "<null>");  // a real record too short for its value
  EXPECT_EQ(cell(b, 0, 2, 0), "row 2");   // the row past the grid took its cell along
  EXPECT_EQ(b.sheets[0].lastRow(), 3);
  EXPECT_EQ(b.sheets[0].lastCol(), 6);  // nothing at column 16384
  const xl::Sheet& s = b.sheets[0];
  EXPECT_FALSE(s.colHidden(3));  // first > last hides nothing
  EXPECT_FALSE(s.colHidden(7));
  EXPECT_FALSE(s.colHidden(16379));
  EXPECT_TRUE(s.colHidden(16380));  // clamped to the grid
  EXPECT_TRUE(s.colHidden(16383));
}

TEST_F(Xlsb, PartThatCannotBeInflatedFailsCleanly) {
  xl::Book b;
  EXPECT_FALSE(b.load(path("inflate_damage.xlsb")));
  EXPECT_TRUE(b.sheets.empty());
  EXPECT_EQ(b.error().detail, "xl/worksheets/sheet1.bin") << b.error();
}

TEST_F(Xlsb, BookLimits) {
  xl::Book b;
  xl::OoxmlLimits limits;
  limits.maxCells = 20;
  EXPECT_FALSE(fixtures::readDirect(path("mixed.xlsb"), b, limits));
  EXPECT_EQ(b.error(), xl::LoadCause::TooLargeCells);
  limits = {};
  limits.maxSheets = 3;
  EXPECT_FALSE(fixtures::readDirect(path("mixed.xlsb"), b, limits));
  EXPECT_EQ(b.error(), xl::LoadCause::TooLargeSheets);
}

// A load told to stop gives up inside the sheet's records, not after them.
TEST_F(Xlsb, CancelledInsideASheet) {
  const std::string base = dir_ + "/many";
  const std::string cmd = "/usr/bin/python3 '" + std::string(QUORVANE_SOURCE_DIR) + "/tests/platform/xl/make_xlsb.py' --big 3000 4 '" +
                          base + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  xl::Book b;
  int flag = 0;
  b.setCancelFlag(&flag);
  ASSERT_TRUE(fixtures::readDirect(base + ".xlsb", b)) << b.error();
  EXPECT_EQ(b.sheets[0].cells().size(), 12000u);
  // The workbook, styles and shared strings hold fewer records than one
  // check's worth, so only the sheet's loop can see the flag.
  flag = 1;
  EXPECT_FALSE(fixtures::readDirect(base + ".xlsb", b));
  EXPECT_EQ(b.error(), xl::LoadCause::Cancelled);
}

// The real .xlsb files of the corpus, with the texts LibreOffice Calc shows
// (checked by tests/platform/xl/calc_check.py).
TEST(XlsbCorpus, RealFilesReadAsCalcShowsThem) {
  const fs::path dir(QUORVANE_CORPUS_DIR);
  if (!fs::exists(dir / "issues.xlsb")) GTEST_SKIP() << "no corpus";
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() != ".xlsb") continue;
    xl::Book b;
    const bool ok = b.load(e.path().string());
    if (e.path().filename() == "pass_protected.xlsb") {
      EXPECT_FALSE(ok);
      continue;
    }
    EXPECT_TRUE(ok) << e.path() << ": " << b.error();
  }
  xl::Book b;
  ASSERT_TRUE(b.load((dir / "issues.xlsb").string())) << b.error();
  ASSERT_EQ(b.sheets.size(), 6u);
  EXPECT_EQ(b.sheets[5].name, "spc_chrs");
  const char* special[] = {"&", "<", ">", "aaa ' aaa", "\"", "☺", "֍", "àâéêèçöïî«»"};
  for (uint32_t r = 0; r < 8; ++r) EXPECT_EQ(cell(b, 5, r, 0), special[r]);
  EXPECT_EQ(cell(b, 0, 1, 0), "1.5");
  EXPECT_EQ(cell(b, 0, 3, 0), "FALSE");  // a formula's stored boolean
  EXPECT_EQ(cell(b, 0, 5, 0), "2016-10-20");
  ASSERT_TRUE(b.load((dir / "issue_182.xlsb").string())) << b.error();
  EXPECT_EQ(cell(b, 0, 0, 0), "3");
  EXPECT_EQ(cell(b, 0, 1, 0), "Ab");
  EXPECT_EQ(cell(b, 0, 2, 0), "FALSE");
  ASSERT_TRUE(b.load((dir / "issue_186.xlsb").string())) << b.error();
  EXPECT_EQ(cell(b, 0, 4, 0), "12345.67");
  ASSERT_TRUE(b.load((dir / "issue_419.xlsb").string())) << b.error();  // SharedStrings.bin, capital S
  EXPECT_EQ(cell(b, 0, 0, 0), "Hello");
  ASSERT_TRUE(b.load((dir / "issue127.xlsb").string())) << b.error();
  EXPECT_EQ(b.sheets.size(), 8u);
}
