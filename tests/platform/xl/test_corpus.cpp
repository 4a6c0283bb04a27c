// Real-world workbooks: each one loads, or fails with a Chinese text, quickly
// and without crashing; a few are checked against what Excel shows.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/xl/xlapi.h"
#include "tests/platform/xl/xl_test_util.h"

namespace fs = std::filesystem;

namespace {

const XlApi& api() { return staticXlApi(); }

std::vector<std::string> corpusFiles() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(QUORVANE_CORPUS_DIR, ec))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  if (names.empty()) names.push_back("");  // one case that reports the skip
  return names;
}

std::string paramName(const ::testing::TestParamInfo<std::string>& info) {
  std::string n;
  for (char c : info.param) n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return n.empty() ? "none" : n + "_" + std::to_string(info.index);
}

class Corpus : public ::testing::TestWithParam<std::string> {};

struct Loaded {
  BookHandle book = api().createXMLBook();
  ~Loaded() { api().bookRelease(book); }
};

const char* cell(BookHandle b, int sheet, int row, int col) {
  const char* t = api().sheetReadStr(api().bookGetSheet(b, sheet), row, col, nullptr);
  return t ? t : "<null>";
}

}  // namespace

TEST_P(Corpus, LoadsOrFailsWithAChineseText) {
  if (GetParam().empty()) GTEST_SKIP() << "no corpus at " << QUORVANE_CORPUS_DIR;
  const fs::path file = fs::path(QUORVANE_CORPUS_DIR) / GetParam();
  Loaded l;
  const auto start = std::chrono::steady_clock::now();
  const int ok = api().bookLoad(l.book, file.c_str());
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string error = api().bookErrorMessage(l.book);
  if (ok == 1) {
    EXPECT_EQ(error, "ok");
    // Every stored cell is inside the extent and in row-major order.
    for (int s = 0; s < api().bookSheetCount(l.book); ++s) {
      SheetHandle sh = api().bookGetSheet(l.book, s);
      ASSERT_NE(sh, nullptr);
      ASSERT_NE(api().bookGetSheetName(l.book, s), nullptr);
      int prevRow = -1, prevCol = -1;
      for (int k = 0; k < api().sheetStoredCellCount(sh); ++k) {
        int r, c, len;
        ASSERT_NE(api().sheetStoredCell(sh, k, &r, &c, &len), nullptr);
        ASSERT_TRUE(r > prevRow || (r == prevRow && c > prevCol)) << "sheet " << s << " cell " << k;
        ASSERT_LT(r, api().sheetLastRow(sh));
        ASSERT_LT(c, api().sheetLastCol(sh));
        prevRow = r, prevCol = c;
      }
    }
  } else {
    EXPECT_EQ(ok, 0);
    EXPECT_TRUE(xltest::hasCjk(error)) << GetParam() << ": " << error;
    EXPECT_EQ(api().bookSheetCount(l.book), 0);
  }
  // A guard against a hang, far above the time any of these files needs.
  EXPECT_LT(secs, 20.0) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Real, Corpus, ::testing::ValuesIn(corpusFiles()), paramName);

TEST(CorpusTexts, MatchWhatExcelShows) {
  if (!fs::exists(fs::path(QUORVANE_CORPUS_DIR) / "date.xlsx")) GTEST_SKIP() << "no corpus";
  const fs::path dir(QUORVANE_CORPUS_DIR);
  for (const char* name :
       {"date.xlsx", "date.xls", "date.xlsb", "date_1904.xlsx", "date_1904.xls", "date_1904.xlsb"}) {
    Loaded l;
    ASSERT_EQ(api().bookLoad(l.book, (dir / name).c_str()), 1) << name << api().bookErrorMessage(l.book);
    EXPECT_STREQ(cell(l.book, 0, 0, 0), "2021-01-01") << name;
    EXPECT_STREQ(cell(l.book, 0, 1, 0), "2021-01-02") << name;
    EXPECT_STREQ(cell(l.book, 0, 2, 0), "255:10:10") << name;  // an [h]:mm:ss duration
    EXPECT_STREQ(cell(l.book, 0, 0, 1), "15") << name;
  }
  {
    Loaded l;
    ASSERT_EQ(api().bookLoad(l.book, (dir / "errors.xlsx").c_str()), 1);
    const char* want[] = {"#DIV/0!", "#NAME?", "#VALUE!", "#NULL!", "#REF!", "#NUM!", "#N/A"};
    for (int r = 0; r < 7; ++r) EXPECT_STREQ(cell(l.book, 0, r, 0), want[r]);
  }
  for (const char* name : {"any_sheets.xlsx", "any_sheets.xls", "any_sheets.xlsb"}) {
    Loaded l;
    ASSERT_EQ(api().bookLoad(l.book, (dir / name).c_str()), 1) << name;
    // Hidden, very hidden and chart sheets all count, in workbook order.
    ASSERT_EQ(api().bookSheetCount(l.book), 4) << name;
    EXPECT_STREQ(api().bookGetSheetName(l.book, 0), "Visible");
    EXPECT_STREQ(api().bookGetSheetName(l.book, 1), "Hidden");
    EXPECT_STREQ(api().bookGetSheetName(l.book, 2), "VeryHidden");
    EXPECT_STREQ(api().bookGetSheetName(l.book, 3), "Chart");
    EXPECT_STREQ(cell(l.book, 0, 2, 1), "6") << name;
  }
  for (const char* name : {"pass_protected.xlsx", "pass_protected.xlsb"}) {
    Loaded l;
    EXPECT_EQ(api().bookLoad(l.book, (dir / name).c_str()), 0);
    EXPECT_STREQ(api().bookErrorMessage(l.book), "文件已加密（需要密码）") << name;
  }
}
