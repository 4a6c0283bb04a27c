// The read-ahead pool against the one-book scan on a generated folder of
// workbooks (good, hidden cells, several sheets, damaged, empty, one large):
// the grid, its colours and the progress must be the same, also when a stop
// comes after some files or after some cells, and the pool must keep to its
// bounds on how much it reads ahead.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <xlsxwriter.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/xl/xlapi.h"
#include "search/enumeration.h"
#include "search/read_ahead.h"
#include "search/search_run.h"
#include "search/workbook_scan.h"
#include "tests/search/search_outcome.h"

namespace {

const char* const kWords[] = {"苹果", "banana", "青苹果汁", "Cherry", "葡萄", "apple", "香蕉", "Ünïcode"};

void writeBook(const std::string& path, int seed, int sheets, int rows, bool hideSome) {
  lxw_workbook* wb = workbook_new(path.c_str());
  ASSERT_NE(wb, nullptr) << path;
  for (int s = 0; s < sheets; ++s) {
    lxw_worksheet* ws = workbook_add_worksheet(wb, nullptr);
    const int cols = 3 + (seed + s) % 5;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        const int v = (seed * 31 + s * 17 + r * 7 + c * 3) % 23;
        if (v == 0) continue;  // gaps between stored cells
        if (v % 4 == 0)
          worksheet_write_number(ws, r, c, v * 1.25 + r, nullptr);
        else if (v == 13)
          worksheet_write_boolean(ws, r, c, r % 2, nullptr);
        else
          worksheet_write_string(ws, r, c, (std::string(kWords[v % 8]) + " " + std::to_string(r)).c_str(), nullptr);
      }
    }
    if (hideSome) {
      lxw_row_col_options hidden = {};
      hidden.hidden = 1;
      worksheet_set_column_opt(ws, 1, 1, 8.43, nullptr, &hidden);
      worksheet_set_row_opt(ws, 2, 15, nullptr, &hidden);
    }
  }
  ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
}

class ReadAheadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::string(QUORVANE_TEST_SCRATCH) + "/read-ahead-" + std::to_string(::getpid());
    std::system(("rm -rf '" + root_ + "'").c_str());
    for (const char* d : {"", "/b", "/b/c", "/a", "/.hidden"}) ::mkdir((root_ + d).c_str(), 0755);
    int seed = 1;
    for (const char* d : {"", "/b", "/b/c", "/a"}) {
      for (int i = 0; i < 6; ++i, ++seed)
        writeBook(root_ + d + "/book" + std::to_string(i) + ".xlsx", seed, 1 + seed % 3, 5 + (seed * 13) % 40,
                  seed % 4 == 0);
      std::ofstream(root_ + d + "/damaged.xls") << "this is not a workbook";
      std::ofstream(root_ + d + "/empty.xlsx");
    }
    writeBook(root_ + "/b/large.xlsx", 99, 2, 3000, true);
    writeBook(root_ + "/.hidden/skipped.xlsx", 5, 1, 10, false);
    std::ofstream(root_ + "/notes.txt") << "苹果";
  }
  static void TearDownTestSuite() { std::system(("rm -rf '" + root_ + "'").c_str()); }

  static SearchSettings settings(const std::string& text, bool titles, bool skipHidden) {
    SearchSettings s;
    s.searchText = text;
    s.titles = titles;
    s.skipHidden = skipHidden;
    s.folderText = root_;
    return s;
  }

  static std::string root_;
};
std::string ReadAheadTest::root_;

Outcome search(const SearchSettings& settings, WorkbookSource& source, std::atomic<int>& stop, StopAt at) {
  return runOutcome(settings, source, stop, at);
}

Outcome sequential(const SearchSettings& settings, StopAt at = {}) {
  std::atomic<int> stop{0};
  const XlApi& api = staticXlApi();
  BookHandle book = api.createXMLBook();
  ScanBookSource source(api, book);
  Outcome o = search(settings, source, stop, at);
  api.bookRelease(book);
  return o;
}

Outcome parallel(const SearchSettings& settings, ReadAheadLimits limits, StopAt at = {}) {
  std::atomic<int> stop{0};
  ReadAheadSource source(staticXlApi(), stop, limits);
  return search(settings, source, stop, at);
}

void expectSame(const Outcome& seq, const Outcome& par, const std::string& what) {
  expectSameOutcome(seq, par, what);
}

TEST_F(ReadAheadTest, GridIsTheSequentialGridForEveryPoolShape) {
  const ReadAheadLimits shapes[] = {
      {1, 512u << 20, 0}, {2, 512u << 20, 0}, {4, 512u << 20, 1}, {3, 1, 0},  // budget of a byte: one book at a time
      {8, 64u << 10, 16},
  };
  for (bool titles : {false, true})
    for (bool skipHidden : {false, true}) {
      const SearchSettings s = settings("苹果", titles, skipHidden);
      const Outcome seq = sequential(s);
      ASSERT_GT(seq.rows, 20);
      // Failure rows (damaged and empty files) are part of what is compared.
      ASSERT_NE(std::find(seq.cells.begin(), seq.cells.end(), "打开失败#" + std::to_string(s.failureColour)),
                seq.cells.end());
      for (const ReadAheadLimits& l : shapes)
        expectSame(seq, parallel(s, l),
                   "titles " + std::to_string(titles) + " skipHidden " + std::to_string(skipHidden) + " loaders " +
                       std::to_string(l.loaders) + " budget " + std::to_string(l.memoryBudget));
    }
}

TEST_F(ReadAheadTest, StopAfterSomeFilesOrCellsKeepsTheSequentialPrefix) {
  const SearchSettings s = settings("apple", true, false);
  const Outcome full = sequential(s);
  // The count takes the dot-folder's workbook too; the visit passes it over.
  const auto [fileCount, counted] = full.progress.back();
  ASSERT_GT(fileCount, 30);
  ASSERT_EQ(counted, fileCount + 1);
  for (int files : {1, 2, 7, fileCount - 1}) {
    const Outcome seq = sequential(s, {files, -1});
    ASSERT_TRUE(seq.stopped);
    EXPECT_LE(seq.rows, full.rows);
    // The progress still runs to the end: the remaining files are passed over.
    EXPECT_EQ(seq.progress.back(), std::make_pair(fileCount, counted));
    for (unsigned loaders : {1u, 2u, 5u})
      expectSame(seq, parallel(s, {loaders, 512u << 20, 0}, {files, -1}),
                 "stop after " + std::to_string(files) + " files, loaders " + std::to_string(loaders));
  }
  for (long cells : {1L, 40L, 333L, 5000L, 9000L}) {
    const Outcome seq = sequential(s, {-1, cells});
    ASSERT_TRUE(seq.stopped);
    for (unsigned loaders : {1u, 2u, 5u})
      expectSame(seq, parallel(s, {loaders, 512u << 20, 0}, {-1, cells}),
                 "stop after " + std::to_string(cells) + " cells, loaders " + std::to_string(loaders));
  }
}

TEST_F(ReadAheadTest, ReadsAheadWithinItsCountAndMemoryBounds) {
  const SearchSettings s = settings("葡萄", false, false);
  const Outcome seq = sequential(s);
  {
    std::atomic<int> stop{0};
    ReadAheadSource source(staticXlApi(), stop, {4, 512u << 20, 3});
    expectSame(seq, search(s, source, stop, {}), "count cap");
    EXPECT_LE(source.peakAhead(), 3u);
    EXPECT_GE(source.peakAhead(), 2u);  // four loaders and small files: it did read ahead
  }
  {
    // A budget no book fits: never a second book while one is held.
    std::atomic<int> stop{0};
    ReadAheadSource source(staticXlApi(), stop, {4, 1, 8});
    expectSame(seq, search(s, source, stop, {}), "tiny budget");
    EXPECT_EQ(source.peakAhead(), 1u);
  }
  {
    // The large book alone takes more than the budget beside the small ones.
    std::atomic<int> stop{0};
    const uint64_t budget = 256u << 10;
    ReadAheadSource source(staticXlApi(), stop, {4, budget, 16});
    expectSame(seq, search(s, source, stop, {}), "small budget");
    std::atomic<int> stop2{0};
    ReadAheadSource large(staticXlApi(), stop2, {1, 512u << 20, 1});
    large.plan({root_ + "/b/large.xlsx"});
    std::string error;
    ASSERT_NE(large.load(root_ + "/b/large.xlsx", error), nullptr) << error;
    const uint64_t largeBytes = large.peakBytes();
    ASSERT_GT(largeBytes, budget);
    // Beside the large book only what still fitted its estimate was held.
    EXPECT_LE(source.peakBytes(), largeBytes + budget);
  }
}

TEST_F(ReadAheadTest, UnplannedAndOutOfOrderRequestsStillLoad) {
  std::atomic<int> stop{0};
  ReadAheadSource source(staticXlApi(), stop, {2, 512u << 20, 0});
  const std::string a = root_ + "/book0.xlsx", b = root_ + "/book1.xlsx", bad = root_ + "/damaged.xls";
  std::string error;
  EXPECT_NE(source.load(a, error), nullptr) << "without a plan";
  source.plan({a, bad, b});
  EXPECT_NE(source.load(b, error), nullptr) << "not the next planned file";
  error.clear();
  EXPECT_EQ(source.load(root_ + "/missing.xlsx", error), nullptr);
  EXPECT_FALSE(error.empty());
  // The plan is still followed from where it was.
  EXPECT_NE(source.load(a, error), nullptr);
  error.clear();
  EXPECT_EQ(source.load(bad, error), nullptr);
  EXPECT_FALSE(error.empty());
  BookHandle book = source.load(b, error);
  ASSERT_NE(book, nullptr);
  EXPECT_GT(staticXlApi().bookSheetCount(book), 0);
}

}  // namespace
