// The scan of workbooks into the results grid, on exact sheets described
// through a stand-in library: match, title and failure rows, hidden cells,
// the column cap, progress, stops, and the stored-cell walk checked against
// the plain row-by-column loops on random sheets.
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>

#include "search/enumeration.h"
#include "search/search_run.h"
#include "search/text_match.h"
#include "search/workbook_scan.h"
#include "tests/search/fake_xl.h"

namespace {

using fakexl::Book;
using fakexl::Sheet;

struct Harness {
  explicit Harness(SearchSettings s) : settings(std::move(s)) {
    book = fakexl::api().createXMLBook();
    source = std::make_unique<ScanBookSource>(fakexl::api(), book);
    scanner = std::make_unique<WorkbookScanner>(fakexl::api(), *source, settings, stop, out);
  }
  // Scans the files (prefix "/d/"), applying the output after each one.
  void scan(std::initializer_list<const char*> names) {
    scanner->setProgressMaximum(static_cast<long long>(names.size()));
    apply();
    for (const char* n : names) {
      scanner->scanWorkbook("/d/", n);
      apply();
    }
  }
  void apply() {
    out.applyTo(grid, [&](int pos, int max, std::string_view status) {
      position = pos;
      maximum = max;
      if (!status.empty()) statuses.emplace_back(status);
    });
    out.clear();
    EXPECT_EQ(grid.rowCount(), scanner->rowCount());
    EXPECT_EQ(grid.columnCount(), scanner->columnCount());
  }
  std::vector<std::string> row(int r) const {
    std::vector<std::string> v;
    for (int c = 0; c < grid.columnCount(); ++c) v.push_back(grid.cellText(r, c));
    while (!v.empty() && v.back().empty()) v.pop_back();
    return v;
  }
  bool rowColoured(int r, Colour colour) const {
    for (int c = 0; c < grid.columnCount(); ++c)
      if (grid.cellColour(r, c) != std::optional<Colour>(colour)) return false;
    return true;
  }
  bool rowUncoloured(int r) const {
    for (int c = 0; c < grid.columnCount(); ++c)
      if (grid.cellColour(r, c).has_value()) return false;
    return true;
  }

  SearchSettings settings;
  BookHandle book;
  std::atomic<int> stop{0};
  ScanOutput out;
  ResultsGrid grid;
  std::unique_ptr<ScanBookSource> source;
  std::unique_ptr<WorkbookScanner> scanner;
  int position = -1, maximum = -1;
  std::vector<std::string> statuses;
};

using Row = std::vector<std::string>;

SearchSettings settingsFor(std::string text, bool titles = false, bool skipHidden = false) {
  SearchSettings s;
  s.searchText = std::move(text);
  s.titles = titles;
  s.skipHidden = skipHidden;
  s.folderText = "/d";
  return s;
}

Sheet sheet(std::string name, std::vector<std::vector<std::string>> rows) {
  Sheet s;
  s.name = std::move(name);
  for (size_t r = 0; r < rows.size(); ++r)
    for (size_t c = 0; c < rows[r].size(); ++c)
      if (!rows[r][c].empty()) s.cells[{static_cast<int>(r), static_cast<int>(c)}] = rows[r][c];
  return s;
}

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { fakexl::reset(); }
};

TEST_F(ScanTest, OneMatchRowPerSheetRowNamingTheLeftmostMatchingCell) {
  fakexl::addBook("/d/a.xlsx", Book{{sheet("First", {{"x", "y"}}),
                                     sheet("Sheet2", {{"name", "", "ABC", "abc"},
                                                      {"none", "here"},
                                                      {"", "", "", "", "", "", "zabcz"}})}});
  Harness h(settingsFor("abc"));
  h.scan({"a.xlsx"});
  ASSERT_EQ(h.grid.rowCount(), 3);
  EXPECT_EQ(h.row(1), (Row{"/a.xlsx", "2 Sheet2", "C1", "name", "", "ABC", "abc"}));
  EXPECT_EQ(h.row(2), (Row{"/a.xlsx", "2 Sheet2", "G3", "", "", "", "", "", "", "zabcz"}));
  EXPECT_TRUE(h.rowUncoloured(1));
  // Widened to the sheet's seven columns, captioned A.. over grid column 3..
  ASSERT_EQ(h.grid.columnCount(), 10);
  EXPECT_EQ(h.grid.cellText(0, 2), "单元格");
  EXPECT_EQ(h.grid.cellText(0, 3), "A");
  EXPECT_EQ(h.grid.cellText(0, 9), "G");
  EXPECT_EQ(h.grid.columnWidth(9), 80);
  EXPECT_EQ(h.statuses, (std::vector<std::string>{"搜索中...1/1"}));
}

TEST_F(ScanTest, TitleRowsAboveEachMatchingSheetOnly) {
  fakexl::addBook("/d/sub/t.xls",
                  Book{{sheet("S1", {{"名称", "数量"}, {"苹果", "3"}, {"梨", "4"}, {"苹果汁", "5"}}),
                        sheet("S2", {{"h1", "h2"}, {"nothing", "at all"}}),
                        sheet("S3", {{"苹果", "only row"}})}});
  fakexl::addBook("/d/u.xls", Book{{sheet("U", {{"k"}, {"苹果"}})}});
  SearchSettings s = settingsFor("苹果", true);
  s.titleColour = 0x123456;
  Harness h(s);
  h.scan({"sub/t.xls", "u.xls"});
  ASSERT_EQ(h.grid.rowCount(), 8);
  EXPECT_EQ(h.row(1), (Row{"/sub/t.xls", "1 S1", "列标题", "名称", "数量"}));
  EXPECT_EQ(h.row(2), (Row{"/sub/t.xls", "1 S1", "A2", "苹果", "3"}));
  EXPECT_EQ(h.row(3), (Row{"/sub/t.xls", "1 S1", "A4", "苹果汁", "5"}));
  // A one-row sheet's title row carries its own first row, not S1's.
  EXPECT_EQ(h.row(4), (Row{"/sub/t.xls", "3 S3", "列标题", "苹果", "only row"}));
  EXPECT_EQ(h.row(5), (Row{"/sub/t.xls", "3 S3", "A1", "苹果", "only row"}));
  EXPECT_EQ(h.row(6), (Row{"/u.xls", "1 U", "列标题", "k"}));
  EXPECT_EQ(h.row(7), (Row{"/u.xls", "1 U", "A2", "苹果"}));
  for (int r : {1, 4, 6}) EXPECT_TRUE(h.rowColoured(r, 0x123456)) << r;
  for (int r : {2, 3, 5, 7}) EXPECT_TRUE(h.rowUncoloured(r)) << r;
}

TEST_F(ScanTest, WithoutTitlesNoTitleRows) {
  fakexl::addBook("/d/a.xls", Book{{sheet("S", {{"hit"}, {"hit"}})}});
  Harness h(settingsFor("hit", false));
  h.scan({"a.xls"});
  EXPECT_EQ(h.grid.rowCount(), 3);
  EXPECT_EQ(h.row(1), (Row{"/a.xls", "1 S", "A1", "hit"}));
}

TEST_F(ScanTest, HiddenRowsAndColumnsLeftOutAndCellsCloseUp) {
  Sheet s = sheet("H", {{"t0", "t1", "t2", "t3"},
                        {"x", "key", "secret key", "y"},
                        {"key", "a", "b", "c"},
                        {"p", "q", "only hidden key", "r"}});
  s.hiddenCols = {0, 2};
  s.hiddenRows = {2};
  fakexl::addBook("/d/h.xls", Book{{s}});

  Harness skipping(settingsFor("key", true, true));
  skipping.scan({"h.xls"});
  ASSERT_EQ(skipping.grid.rowCount(), 3);
  EXPECT_EQ(skipping.row(1), (Row{"/h.xls", "1 H", "列标题", "t1", "t3"}));
  EXPECT_EQ(skipping.row(2), (Row{"/h.xls", "1 H", "B2", "key", "y"}));
  EXPECT_EQ(skipping.grid.columnCount(), 7);  // widened by all four columns all the same

  Harness showing(settingsFor("key", true, false));
  showing.scan({"h.xls"});
  ASSERT_EQ(showing.grid.rowCount(), 5);
  EXPECT_EQ(showing.row(1), (Row{"/h.xls", "1 H", "列标题", "t0", "t1", "t2", "t3"}));
  EXPECT_EQ(showing.row(2), (Row{"/h.xls", "1 H", "B2", "x", "key", "secret key", "y"}));
  EXPECT_EQ(showing.row(3), (Row{"/h.xls", "1 H", "A3", "key", "a", "b", "c"}));
  EXPECT_EQ(showing.row(4), (Row{"/h.xls", "1 H", "C4", "p", "q", "only hidden key", "r"}));
}

TEST_F(ScanTest, SixtyColumnsCapTheGridAtFiftyAddedColumns) {
  Sheet wide;
  wide.name = "W";
  for (int c = 0; c < 60; ++c) {
    wide.cells[{0, c}] = "h" + std::to_string(c);
    wide.cells[{1, c}] = "v" + std::to_string(c);
  }
  wide.cells[{1, 55}] = "match";
  fakexl::addBook("/d/w.xlsx", Book{{wide, sheet("Narrow", {{"match"}})}});
  Harness h(settingsFor("MATCH", true));
  h.scan({"w.xlsx"});
  ASSERT_EQ(h.grid.columnCount(), 53);
  EXPECT_EQ(h.grid.cellText(0, 3), "A");
  EXPECT_EQ(h.grid.cellText(0, 28), "Z");
  EXPECT_EQ(h.grid.cellText(0, 29), "AA");
  EXPECT_EQ(h.grid.cellText(0, 52), "AX");
  ASSERT_EQ(h.grid.rowCount(), 5);
  Row title = h.row(1);
  ASSERT_EQ(title.size(), 53u);
  EXPECT_EQ(title[3], "h0");
  EXPECT_EQ(title[52], "h49");
  Row match = h.row(2);
  EXPECT_EQ(match[2], "BD2");  // column 56
  EXPECT_EQ(match[52], "v49");
  // The narrow sheet leaves the added columns in place.
  EXPECT_EQ(h.row(4), (Row{"/w.xlsx", "2 Narrow", "A1", "match"}));
  EXPECT_TRUE(h.rowColoured(3, 0x808080));
}

TEST_F(ScanTest, EmptyDimensionsAndSheetsGiveNothing) {
  Sheet noRows = sheet("R", {{"hit"}});
  noRows.lastRow = 0;
  Sheet noCols = sheet("C", {{"hit"}});
  noCols.lastCol = 0;
  Sheet beyond = sheet("B", {{"hit", "hit"}});
  beyond.lastCol = 1;  // a stored cell past lastCol is not looked at
  beyond.cells[{0, 0}] = "miss";
  fakexl::addBook("/d/e.xls", Book{{noRows, noCols, Sheet{"Empty", {}, {}, {}}, beyond}});
  Harness h(settingsFor("hit", true));
  h.scan({"e.xls"});
  EXPECT_EQ(h.grid.rowCount(), 1);
  EXPECT_EQ(h.grid.columnCount(), 3);
}

TEST_F(ScanTest, FailureRowInTheFailureColour) {
  fakexl::addFailure("/d/bad.xls", "不是工作簿文件");
  fakexl::addBook("/d/good.xls", Book{{sheet("S", {{"v", "hit"}})}});
  SearchSettings s = settingsFor("hit", true);
  s.failureColour = 0xABCDEF;
  Harness h(s);
  h.scan({"good.xls", "bad.xls"});
  ASSERT_EQ(h.grid.rowCount(), 4);
  EXPECT_EQ(h.row(3), (Row{"/bad.xls", "打开失败", "不是工作簿文件"}));
  EXPECT_TRUE(h.rowColoured(3, 0xABCDEF));
  EXPECT_EQ(h.grid.columnCount(), 5);  // coloured across the widened grid
}

// Names unpacked from archives made on Chinese Windows are GBK: every row of
// such a file (match, title, failure) shows the name decoded, and keeps the
// bytes to open it by; a UTF-8 name keeps none.
TEST_F(ScanTest, NamesThatAreNotUtf8AreShownDecodedWithTheirBytesKept) {
  const std::string gbkFolder = "\xB1\xA8\xB1\xED/";  // 报表
  const std::string gbkName = "\xD2\xBB\xD4\xC2.xlsx";  // 一月
  const std::string badName = "x\xFF.xls";              // no GBK either
  fakexl::addBook("/d/" + gbkFolder + gbkName, Book{{sheet("S", {{"标题"}, {"hit"}})}});
  fakexl::addFailure("/d/" + badName, "不是工作簿文件");
  fakexl::addBook("/d/一月.xlsx", Book{{sheet("S", {{"hit"}})}});
  Harness h(settingsFor("hit", true));
  h.scanner->setProgressMaximum(3);
  h.scanner->scanWorkbook("/d/" + gbkFolder, gbkName);
  h.scanner->scanWorkbook("/d/", badName);
  h.scanner->scanWorkbook("/d/", "一月.xlsx");
  h.apply();
  ASSERT_EQ(h.grid.rowCount(), 6);
  for (int r : {1, 2}) {  // title row, match row
    EXPECT_EQ(h.grid.cellText(r, 0), "/报表/一月.xlsx");
    EXPECT_EQ(h.grid.rowPath(r), "/" + gbkFolder + gbkName);
  }
  EXPECT_EQ(h.row(3), (Row{"/x\xEF\xBF\xBD.xls", "打开失败", "不是工作簿文件"}));
  EXPECT_EQ(h.grid.rowPath(3), "/" + badName);
  EXPECT_EQ(h.grid.cellText(5, 0), "/一月.xlsx");
  EXPECT_EQ(h.grid.rowPath(5), "/一月.xlsx");
}

TEST_F(ScanTest, StopAtTheStartOfAFileStillAdvancesProgress) {
  for (auto p : {"/d/1.xls", "/d/2.xls", "/d/3.xls"}) fakexl::addBook(p, Book{{sheet("S", {{"hit"}})}});
  Harness h(settingsFor("hit"));
  h.scanner->setProgressMaximum(3);
  h.scanner->scanWorkbook("/d/", "1.xls");
  h.stop = 1;
  h.scanner->scanWorkbook("/d/", "2.xls");
  h.scanner->scanWorkbook("/d/", "3.xls");
  h.apply();
  EXPECT_EQ(fakexl::loadCount(), 1);
  EXPECT_EQ(h.grid.rowCount(), 2);  // the row found before the stop stays
  EXPECT_EQ(h.statuses, (std::vector<std::string>{"搜索中...1/3", "搜索中...2/3", "搜索中...3/3"}));
  EXPECT_EQ(h.position, 3);
}

TEST_F(ScanTest, StopInsideASheetLeavesAtTheNextNonMatchingCell) {
  Sheet s = sheet("S", {{"title"}, {"hit"}, {"hit"}, {"miss", "hit"}, {"hit"}, {"miss"}, {"hit"}});
  fakexl::addBook("/d/a.xls", Book{{s, sheet("T", {{"hit"}})}});
  fakexl::addBook("/d/b.xls", Book{{sheet("S", {{"hit"}})}});
  Harness h(settingsFor("hit", true));
  // The stop arrives while a matching cell is tested: the scan goes on to the
  // next cell that does not match and leaves the workbook there, without the
  // sheet's title row and without opening the next file.
  h.scanner->onCellTested = [&](int row, int col, bool) {
    if (row == 2 && col == 0) h.stop = 1;
  };
  h.scan({"a.xls", "b.xls"});
  ASSERT_EQ(h.grid.rowCount(), 3);
  EXPECT_EQ(h.row(1), (Row{"/a.xls", "1 S", "A2", "hit"}));
  EXPECT_EQ(h.row(2), (Row{"/a.xls", "1 S", "A3", "hit"}));
  EXPECT_EQ(fakexl::loadCount(), 1);
  EXPECT_EQ(h.statuses.back(), "搜索中...2/2");
}

TEST_F(ScanTest, StopIsSeenAtEmptyCellsBetweenStoredOnes) {
  Sheet s = sheet("S", {{"hit"}, {"", "", "hit"}, {"hit"}});
  fakexl::addBook("/d/a.xls", Book{{s}});
  Harness h(settingsFor("hit"));
  h.scanner->onCellTested = [&](int row, int, bool) {
    if (row == 0) h.stop = 1;  // a matching cell: the scan goes on to row 1
  };
  h.scan({"a.xls"});
  // Row 1 begins with empty cells, which do not match: the stop is seen there.
  EXPECT_EQ(h.grid.rowCount(), 2);
}

// A long text many rows show is matched and passed on once per book, by
// where it lies: the next book may hold another text at the same address
// (a library that loads each book into the same memory, as this one's
// texts do), and none of the first book's answers may carry over to it,
// also within one batch of output.
namespace {
// fakexl's texts copied into buffers of fixed place, one per length: the
// equal texts of a book lie at one place, as a shared string's do, and the
// next book's texts of that length take the same place.
const char* storedInPlace(SheetHandle s, int index, int* row, int* col, int* length) {
  static std::map<int, std::string> slots;
  const char* text = fakexl::api().sheetStoredCell(s, index, row, col, length);
  std::string& slot = slots[*length];
  slot.reserve(static_cast<size_t>(*length) + 1);
  slot.assign(text, static_cast<size_t>(*length));
  return slot.c_str();
}
}  // namespace

TEST_F(ScanTest, LongTextsOfOneBookAreNotTakenForTheNextBooks) {
  const std::string a = std::string(3000, 'x') + " needle-a";
  const std::string b = std::string(3000, 'x') + " needle-b";
  fakexl::addBook("/d/a.xlsx", Book{{sheet("S", {{a}, {a}, {"short"}})}});
  fakexl::addBook("/d/b.xlsx", Book{{sheet("S", {{b}, {b}, {"short"}})}});
  XlApi api = fakexl::api();
  api.sheetStoredCell = storedInPlace;
  const Row rowA{"/a.xlsx", "1 S", "A1", a}, rowA2{"/a.xlsx", "1 S", "A2", a};
  const Row rowB{"/b.xlsx", "1 S", "A1", b}, rowB2{"/b.xlsx", "1 S", "A2", b};
  struct Case {
    const char* text;
    std::vector<Row> rows;
  };
  for (const Case& c : {Case{"NEEDLE-A", {rowA, rowA2, rowA, rowA2}}, Case{"needle-b", {rowB, rowB2, rowB, rowB2}},
                        Case{"needle", {rowA, rowA2, rowB, rowB2, rowA, rowA2, rowB, rowB2}}}) {
    Harness h(settingsFor(c.text));
    ScanBookSource source(api, h.book);
    std::atomic<int> stop{0};
    ScanOutput out;
    WorkbookScanner scanner(api, source, h.settings, stop, out);
    for (const char* name : {"a.xlsx", "b.xlsx", "a.xlsx", "b.xlsx"}) scanner.scanWorkbook("/d/", name);
    out.applyTo(h.grid);
    std::vector<Row> rows;
    for (int r = 1; r < h.grid.rowCount(); ++r) rows.push_back(h.row(r));
    EXPECT_EQ(rows, c.rows) << c.text;
  }
}

TEST_F(ScanTest, ProgressIsStoredClampedTo32767) {
  Harness h(settingsFor("x"));
  h.stop = 1;  // every file a no-op
  h.scanner->setProgressMaximum(40000);
  for (int i = 0; i < 32769; ++i) h.scanner->scanWorkbook("/d/", "f.xls");
  h.apply();
  EXPECT_EQ(h.maximum, 32767);
  EXPECT_EQ(h.position, 32767);
  EXPECT_EQ(h.statuses[32765], "搜索中...32766/32767");
  EXPECT_EQ(h.statuses.back(), "搜索中...32767/32767");
  EXPECT_EQ(h.statuses[32767], "搜索中...32767/32767");
}

// ---- The stored-cell walk against the plain loops over every cell ----

bool naiveContains(const std::string& text, const std::string& needle) {
  auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
  size_t i = 0;
  while (i + needle.size() <= text.size()) {
    bool all = true;
    for (size_t k = 0; k < needle.size() && all; ++k)
      all = fold(static_cast<unsigned char>(text[i + k])) == fold(static_cast<unsigned char>(needle[k]));
    if (all && !needle.empty()) return true;
    i += utf8CharLength(text.data(), text.size(), i);
  }
  return false;
}

// The scan written as the row-by-column loops over every cell, reading each
// cell by position, straight into the grid.
void plainScan(const XlApi& x, BookHandle book, const std::string& folder, const std::string& name,
               const SearchSettings& st, ResultsGrid& grid) {
  const std::string path = folder + name;
  const std::string rel = relativePath(path, st.folderText);
  if (x.bookLoad(book, path.c_str()) != 1) {
    grid.insertRow();
    int r = grid.rowCount() - 1;
    grid.setCellText(r, 0, rel);
    grid.setCellText(r, 1, "打开失败");
    grid.setCellText(r, 2, x.bookErrorMessage(book));
    grid.colourCellRange(r, 0, grid.rowCount() - 1, grid.columnCount() - 1, st.failureColour);
    return;
  }
  auto read = [&](SheetHandle sh, int r, int c) {
    const char* t = x.sheetReadStr(sh, r, c, nullptr);
    return std::string(t ? t : "");
  };
  for (int i = 1; i <= x.bookSheetCount(book); ++i) {
    SheetHandle sh = x.bookGetSheet(book, i - 1);
    int lastRow = x.sheetLastRow(sh), lastCol = x.sheetLastCol(sh);
    int headerCount = std::min(lastCol, 50);
    std::string label = std::to_string(i) + " " + x.bookGetSheetName(book, i - 1);
    std::vector<std::string> headers;
    int titleRow = grid.rowCount();
    if (st.titles)
      for (int j = 0; j < headerCount; ++j) headers.push_back(read(sh, 0, j));
    std::vector<bool> hidden(static_cast<size_t>(lastCol), false);
    if (st.skipHidden)
      for (int c = 0; c < lastCol; ++c) hidden[static_cast<size_t>(c)] = x.sheetColHidden(sh, c) == 1;
    for (int r = 0; r < lastRow; ++r) {
      if (st.skipHidden && x.sheetRowHidden(sh, r) == 1) continue;
      for (int c = 0; c < lastCol; ++c) {
        if (hidden[static_cast<size_t>(c)]) continue;
        if (!naiveContains(read(sh, r, c), st.searchText)) continue;
        while (grid.columnCount() - 3 < headerCount) {
          grid.insertColumn(columnLetters(grid.columnCount() - 2));
          grid.setColumnWidth(grid.columnCount() - 1, 80);
        }
        grid.insertRow();
        int g = grid.rowCount() - 1;
        grid.setCellText(g, 0, rel);
        grid.setCellText(g, 1, label);
        grid.setCellText(g, 2, cellReference(r, c));
        int k = 3;
        for (int l = 0; l < lastCol; ++l)
          if (!hidden[static_cast<size_t>(l)]) grid.setCellText(g, k++, read(sh, r, l));
        break;
      }
    }
    if (st.titles && grid.rowCount() != titleRow) {
      grid.insertRow(titleRow);
      grid.setCellText(titleRow, 0, rel);
      grid.setCellText(titleRow, 1, label);
      grid.setCellText(titleRow, 2, "列标题");
      int k = 3;
      for (int j = 0; j < headerCount; ++j)
        if (!hidden[static_cast<size_t>(j)]) grid.setCellText(titleRow, k++, headers[static_cast<size_t>(j)]);
      grid.colourCellRange(titleRow, 0, titleRow, grid.columnCount() - 1, st.titleColour);
    }
  }
}

TEST_F(ScanTest, StoredCellWalkGivesThePlainLoopsGridOnRandomBooks) {
  const char* tokens[] = {"abc", "ABC", "xAbCx", "ab c", "中文", "文中", "中", "\xB8\xAD", "a\xB8\xAD",
                          " ",   "a b", "1",     "苹果", "x",    "",     "",   "",   "",         ""};
  const char* needles[] = {"abc", "中", "b", " ", "\xB8\xAD", "文中", "1"};
  std::mt19937 rng(20261209);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 60; ++round) {
    fakexl::reset();
    std::vector<std::string> names;
    const int books = 1 + pick(3);
    for (int b = 0; b < books; ++b) {
      std::string name = "b" + std::to_string(b) + ".xls";
      names.push_back(name);
      if (pick(6) == 0) {
        fakexl::addFailure("/d/" + name, "损坏");
        continue;
      }
      Book book;
      const int sheets = pick(4);
      for (int s = 0; s < sheets; ++s) {
        Sheet sh;
        sh.name = "S" + std::to_string(s);
        const int rows = pick(8), cols = pick(5) == 0 ? 40 + pick(30) : 1 + pick(8);
        for (int r = 0; r < rows; ++r)
          for (int c = 0; c < cols; ++c) {
            const char* t = tokens[pick(static_cast<int>(std::size(tokens)))];
            if (*t && pick(3) != 0) sh.cells[{r, c}] = t;
          }
        for (int r = 0; r < rows; ++r)
          if (pick(5) == 0) sh.hiddenRows.insert(r);
        for (int c = 0; c < cols; ++c)
          if (pick(5) == 0) sh.hiddenCols.insert(c);
        if (pick(4) == 0) sh.lastCol = cols + pick(4);  // formatted empties beyond the data
        if (pick(4) == 0) sh.lastRow = rows + pick(4);
        book.sheets.push_back(std::move(sh));
      }
      fakexl::addBook("/d/" + name, std::move(book));
    }
    SearchSettings st = settingsFor(needles[pick(static_cast<int>(std::size(needles)))], pick(2), pick(2));

    ResultsGrid expected;
    expected.clearForSearch();
    BookHandle plainBook = fakexl::api().createXMLBook();
    for (const auto& n : names) plainScan(fakexl::api(), plainBook, "/d/", n, st, expected);

    Harness h(st);
    h.grid.clearForSearch();
    h.scanner->setProgressMaximum(static_cast<long long>(names.size()));
    for (const auto& n : names) {
      h.scanner->scanWorkbook("/d/", n);
      if (pick(2)) h.apply();  // applied in batches of any size, same result
    }
    h.apply();

    ASSERT_EQ(h.grid.rowCount(), expected.rowCount()) << "round " << round;
    ASSERT_EQ(h.grid.columnCount(), expected.columnCount()) << "round " << round;
    for (int r = 0; r < expected.rowCount(); ++r)
      for (int c = 0; c < expected.columnCount(); ++c) {
        ASSERT_EQ(h.grid.cellText(r, c), expected.cellText(r, c)) << "round " << round << " cell " << r << "," << c;
        ASSERT_EQ(h.grid.cellColour(r, c), expected.cellColour(r, c)) << "round " << round << " " << r << "," << c;
      }
    for (int c = 0; c < expected.columnCount(); ++c) ASSERT_EQ(h.grid.columnWidth(c), expected.columnWidth(c));
  }
}

}  // namespace

void expectSameGrid(const ResultsGrid& got, const ResultsGrid& expected, const std::string& what) {
  ASSERT_EQ(got.rowCount(), expected.rowCount()) << what;
  ASSERT_EQ(got.columnCount(), expected.columnCount()) << what;
  for (int r = 0; r < expected.rowCount(); ++r)
    for (int c = 0; c < expected.columnCount(); ++c) {
      ASSERT_EQ(got.cellText(r, c), expected.cellText(r, c)) << what << " cell " << r << "," << c;
      ASSERT_EQ(got.cellColour(r, c), expected.cellColour(r, c)) << what << " cell " << r << "," << c;
    }
}

// The real library over the real-world workbooks: its stored cells must give
// what reading every cell by position gives.
TEST(CorpusScan, StoredCellWalkGivesThePlainLoopsGrid) {
  const XlApi& x = staticXlApi();
  const std::string folder = QUORVANE_CORPUS_DIR;
  std::vector<std::string> names;
  visitWorkbooks(folder, "*.xls", [&](const std::string& prefix, const std::string& name) {
    if (prefix != folder + "/") return;
    // Books whose sheets are too large to read cell by cell stay out.
    BookHandle probe = x.createXMLBook();
    bool small = true;
    if (x.bookLoad(probe, (prefix + name).c_str()) == 1)
      for (int i = 0; i < x.bookSheetCount(probe); ++i) {
        SheetHandle sh = x.bookGetSheet(probe, i);
        small = small && static_cast<long long>(x.sheetLastRow(sh)) * x.sheetLastCol(sh) <= 200000;
      }
    x.bookRelease(probe);
    if (small) names.push_back(name);
  });
  if (names.empty()) GTEST_SKIP() << "no corpus at " << folder;
  for (const char* text : {"e", "1", "中"})
    for (int options = 0; options < 4; ++options) {
      SearchSettings st;
      st.searchText = text;
      st.titles = options & 1;
      st.skipHidden = options & 2;
      st.folderText = folder;
      ResultsGrid expected;
      BookHandle book = x.createXMLBook();
      for (const auto& n : names) plainScan(x, book, folder + "/", n, st, expected);
      std::atomic<int> stop{0};
      ScanOutput out;
      ScanBookSource source(x, book);
      WorkbookScanner scanner(x, source, st, stop, out);
      ResultsGrid got;
      for (const auto& n : names) scanner.scanWorkbook(folder + "/", n);
      out.applyTo(got);
      x.bookRelease(book);
      expectSameGrid(got, expected, std::string("text '") + text + "' options " + std::to_string(options));
    }
}

// ---- The whole search over a folder: count, walk, source, scan ----

struct RecordingSource : WorkbookSource {
  explicit RecordingSource(WorkbookSource& wrapped) : inner(wrapped) {}
  void plan(const std::vector<std::string>& paths) override { planned = paths; }
  BookHandle load(const std::string& path, std::string& error) override {
    loaded.push_back(path);
    return inner.load(path, error);
  }
  void skip(const std::string& path) override { skipped.push_back(path); }
  WorkbookSource& inner;
  std::vector<std::string> planned, loaded, skipped;
};

TEST(RunSearch, CountsWalksAndScansEveryFileInWalkOrder) {
  fakexl::reset();
  const std::string root = std::string(QUORVANE_TEST_SCRATCH) + "/run-search-" + std::to_string(::getpid());
  std::system(("rm -rf '" + root + "' && mkdir -p '" + root + "/sub' '" + root + "/.old'").c_str());
  for (auto n : {"b.xls", "a.xlsx", "sub/c.xls", ".old/d.xls"}) {
    std::ofstream(root + "/" + n) << "";
    fakexl::addBook(root + "/" + n, Book{{sheet("S", {{std::string("hit ") + n}})}});
  }
  BookHandle book = fakexl::api().createXMLBook();
  ScanBookSource plain(fakexl::api(), book);
  RecordingSource source(plain);
  SearchSettings st = settingsFor("HIT");
  st.folderText = root;
  std::atomic<int> stop{0};
  ResultsGrid grid;
  int maximum = -1;
  std::vector<std::string> statuses;
  int deliveries = 0;
  bool stopped = runSearch(st, fakexl::api(), source, stop, [&](ScanOutput& pending, bool last) {
    ++deliveries;
    pending.applyTo(grid, [&](int, int max, std::string_view s) {
      maximum = max;
      if (!s.empty()) statuses.emplace_back(s);
    });
    pending.clear();
    if (deliveries == 2) stop = 1;  // after the first file
    (void)last;
  });
  EXPECT_TRUE(stopped);
  const std::vector<std::string> order{root + "/a.xlsx", root + "/b.xls", root + "/sub/c.xls"};
  EXPECT_EQ(source.planned, order);
  EXPECT_EQ(source.loaded, std::vector<std::string>{order[0]});
  EXPECT_EQ(source.skipped, (std::vector<std::string>{order[1], order[2]}));
  EXPECT_EQ(maximum, 4);  // the file under .old is counted, never visited
  EXPECT_EQ(statuses, (std::vector<std::string>{"搜索中...1/4", "搜索中...2/4", "搜索中...3/4"}));
  ASSERT_EQ(grid.rowCount(), 2);
  EXPECT_EQ(grid.cellText(1, 0), "/a.xlsx");
  EXPECT_EQ(grid.cellText(1, 3), "hit a.xlsx");
  std::system(("rm -rf '" + root + "'").c_str());
}
