// The exported workbook: its cells, borders, widths, progress and failures.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "platform/xl/book.h"
#include "platform/xl/xlapi.h"
#include "results/export_writer.h"
#include "tests/results/search_grid.h"
#include "tests/scratch_folder.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) { return freshScratchFolder("export_writer", name); }

std::string readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string zipEntry(const fs::path& file, const char* name) {
  int err = 0;
  zip_t* z = zip_open(file.c_str(), ZIP_RDONLY, &err);
  if (z == nullptr) return {};
  std::string out;
  if (zip_file_t* f = zip_fopen(z, name, 0)) {
    char buf[65536];
    zip_int64_t n;
    while ((n = zip_fread(f, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    zip_fclose(f);
  }
  zip_close(z);
  return out;
}

}  // namespace

TEST(Export, ProposedName) {
  EXPECT_EQ(proposedExportName("/data", "abc"), "/dataabc搜索结果.xlsx");
  EXPECT_EQ(proposedExportName("/报表", "合同"), "/报表合同搜索结果.xlsx");
  EXPECT_EQ(proposedExportName("/", "合同"), "/合同搜索结果.xlsx");
  EXPECT_EQ(proposedExportName("", ""), "搜索结果.xlsx");
}

TEST(Export, WorkbookReadsBackWithCellsBordersWidthsAndProgress) {
  const fs::path dir = scratch("export");
  const fs::path file = dir / "结果.xlsx";
  ResultsGrid g;
  fillGrid(g);
  const int rows = g.rowCount(), cols = g.columnCount();
  ASSERT_EQ(rows, 5);
  ASSERT_EQ(cols, 5);

  std::vector<int> positions;
  int maximum = -1;
  ExportProgress progress{[&](int p) { positions.push_back(p); }, [&](int m) { maximum = m; }};
  std::vector<int> widths;
  ASSERT_TRUE(writeResultsWorkbook(staticXlApi(), g, progress, gridColumnTitles(g), kExportSheetName,
                                   widths, false, file.string()));
  EXPECT_EQ(widths, std::vector<int>(cols, 19));
  EXPECT_EQ(maximum, rows);
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.front(), 0);
  EXPECT_EQ(positions.back(), rows);
  EXPECT_EQ(positions.size(), size_t(rows) + 1);

  xl::Book book;
  ASSERT_TRUE(book.load(file.string())) << book.error();
  ASSERT_EQ(book.sheets.size(), 1u);
  const xl::Sheet& sheet = book.sheets[0];
  EXPECT_EQ(sheet.name, "搜索结果");
  auto text = [&](int r, int c) -> std::string {
    const xl::CellRef* cell = sheet.find(r, c);
    return cell ? std::string(book.text(*cell), cell->len) : std::string();
  };
  EXPECT_EQ(text(0, 0), "文件位置");
  EXPECT_EQ(text(0, 1), "表名称");
  EXPECT_EQ(text(0, 2), "单元格");
  EXPECT_EQ(text(0, 3), "A");
  EXPECT_EQ(text(0, 4), "B");
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) EXPECT_EQ(text(r, c), g.cellText(r, c)) << r << "," << c;
  // Number-looking texts stay texts, leading zeros and all.
  EXPECT_EQ(text(2, 4), "0012");

  // Every written cell, empty ones included, carries one bordered style.
  const std::string sheetXml = zipEntry(file, "xl/worksheets/sheet1.xml");
  const std::string stylesXml = zipEntry(file, "xl/styles.xml");
  ASSERT_FALSE(sheetXml.empty());
  std::regex cellRe(R"re(<c r="([A-Z]+[0-9]+)"[^>]*?\bs="([0-9]+)")re");
  std::set<std::string> styled;
  std::set<std::string> styleIds;
  for (auto it = std::sregex_iterator(sheetXml.begin(), sheetXml.end(), cellRe); it != std::sregex_iterator(); ++it) {
    styled.insert((*it)[1]);
    styleIds.insert((*it)[2]);
  }
  EXPECT_EQ(styled.size(), size_t(rows * cols));
  EXPECT_TRUE(styled.count("D4")) << "empty cell D4 must be written with the border";
  ASSERT_EQ(styleIds.size(), 1u);
  EXPECT_NE(*styleIds.begin(), "0");
  for (const char* side : {"left", "right", "top", "bottom"})
    EXPECT_NE(stylesXml.find(std::string("<") + side + " style=\"thin\""), std::string::npos) << side;

  // Columns 0 .. C-1 at width 19, nothing beyond.
  std::regex colRe(R"re(<col min="([0-9]+)" max="([0-9]+)" width="([0-9.]+)")re");
  std::set<int> widthCols;
  for (auto it = std::sregex_iterator(sheetXml.begin(), sheetXml.end(), colRe); it != std::sregex_iterator(); ++it) {
    const double w = std::stod((*it)[3]);
    EXPECT_GE(w, 19.0);
    EXPECT_LT(w, 20.0);
    for (int c = std::stoi((*it)[1]); c <= std::stoi((*it)[2]); ++c) widthCols.insert(c);
  }
  EXPECT_EQ(widthCols, (std::set<int>{1, 2, 3, 4, 5}));

  // Ignored errors from A1 to zero-based row R+1, column C+1: (6, 6) is G7.
  EXPECT_NE(sheetXml.find("<ignoredErrors>"), std::string::npos);
  EXPECT_NE(sheetXml.find("sqref=\"A1:G7\""), std::string::npos) << sheetXml.substr(sheetXml.find("<ignoredErrors"), 300);
}

TEST(Export, HeaderOnlyGridAndGivenWidths) {
  const fs::path dir = scratch("export_header");
  ResultsGrid g;  // before any search: the header row alone
  std::vector<int> widths{30};
  ASSERT_TRUE(writeResultsWorkbook(staticXlApi(), g, {}, gridColumnTitles(g), kExportSheetName, widths, true,
                                   (dir / "h.xlsx").string()));
  EXPECT_EQ(widths, std::vector<int>{30});  // kept as given, nothing appended
  xl::Book book;
  ASSERT_TRUE(book.load((dir / "h.xlsx").string()));
  EXPECT_EQ(book.sheets[0].lastRow(), 1);
  EXPECT_EQ(book.sheets[0].lastCol(), 3);
  const std::string sheetXml = zipEntry(dir / "h.xlsx", "xl/worksheets/sheet1.xml");
  EXPECT_NE(sheetXml.find("<col min=\"1\" max=\"1\" width=\"30"), std::string::npos);
  EXPECT_EQ(sheetXml.find("<col min=\"2\""), std::string::npos);
}

// The grid holds texts of any length; the file holds what a cell of Excel
// can: 32,767 UTF-16 units, cut between characters, never inside a
// surrogate pair (a character outside the Basic Multilingual Plane).
TEST(Export, LongTextsAreCutToWhatACellHolds) {
  const fs::path dir = scratch("export_long");
  ResultsGrid g;
  g.insertRow();
  g.insertRow();
  g.insertRow();
  const std::string ascii = std::string(40'000, 'a') + " tail";
  std::string pairs, odd = "x";
  // U+1F600, two units each: the 16,384th pair would take units 32,767 and
  // 32,768, so it goes whole; one unit before them, it fits exactly.
  for (int i = 0; i < 20'000; ++i) pairs += "\xF0\x9F\x98\x80";
  odd += pairs;
  g.setCellText(1, 0, ascii);
  g.setCellText(2, 0, pairs);
  g.setCellText(3, 0, odd);
  std::vector<int> widths;
  ASSERT_TRUE(writeResultsWorkbook(staticXlApi(), g, {}, gridColumnTitles(g), kExportSheetName, widths, false,
                                   (dir / "long.xlsx").string()));
  xl::Book book;
  ASSERT_TRUE(book.load((dir / "long.xlsx").string())) << book.error();
  const xl::Sheet& s = book.sheets[0];
  auto text = [&](uint32_t row) {
    const xl::CellRef* c = s.find(row, 0);
    return c ? std::string(book.text(*c), c->len) : std::string("<none>");
  };
  EXPECT_EQ(text(1), ascii.substr(0, 32'767));
  EXPECT_EQ(text(2), pairs.substr(0, 16'383 * 4));
  EXPECT_EQ(text(3), odd.substr(0, 1 + 16'383 * 4));
}

TEST(Export, FailedSaveLeavesTheOldFileUntouched) {
  const fs::path dir = scratch("export_fail");
  ResultsGrid g;
  fillGrid(g);
  for (int i = 0; i < 2000; ++i) {  // enough text that the file outgrows the limit below
    g.insertRow();
    g.setCellText(g.rowCount() - 1, 3, "填充文本 " + std::to_string(i * 7919));
  }
  const fs::path file = dir / "old.xlsx";
  std::ofstream(file, std::ios::binary) << "old content";

  // Writes past 4 KiB fail (EFBIG) for root as for anyone; the signal that
  // would end the process is ignored so the write just fails.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &small);
  std::vector<int> widths;
  const bool saved = writeResultsWorkbook(staticXlApi(), g, {}, gridColumnTitles(g), kExportSheetName, widths,
                                          false, file.string());
  setrlimit(RLIMIT_FSIZE, &old);
  sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_FALSE(saved);
  EXPECT_EQ(readAll(file), "old content");
  // No half-written neighbour stays behind.
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir)) (void)e, ++entries;
  EXPECT_EQ(entries, 1);

  // A folder that does not exist is a failure too, not a success.
  std::vector<int> w2;
  EXPECT_FALSE(writeResultsWorkbook(staticXlApi(), g, {}, gridColumnTitles(g), kExportSheetName, w2, false,
                                    (dir / "无此目录" / "x.xlsx").string()));
}

TEST(Export, NullBookIsAFailureNotACrash) {
  XlApi api = staticXlApi();
  api.createXMLBook = [] { return BookHandle(nullptr); };
  ResultsGrid g;
  std::vector<int> widths;
  EXPECT_FALSE(writeResultsWorkbook(api, g, {}, gridColumnTitles(g), kExportSheetName, widths, false,
                                    (scratch("nullbook") / "x.xlsx").string()));
}
