// The scan of one workbook file: progress, the stop test, the load, then
// every sheet's rows tested cell by cell, writing match, title and failure
// rows. It reaches the library only through its C entry points (XlApi) and
// writes into a ScanOutput that the results grid applies in order.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xl/xlapi.h"
#include "results/results_grid.h"
#include "search/scan_output.h"
#include "search/text_match.h"

inline constexpr const char* kWorkbookPattern = "*.xls";
inline constexpr int kProgressStoredMax = 32767;  // the progress bar stores 0 .. 32767
inline constexpr int kMaxHeaderCount = 50;
inline constexpr int kAddedColumnWidth = 80;
// Column 1 of the row of a workbook that could not be opened.
inline constexpr std::string_view kFailureLabel = "打开失败";

// Everything a search takes from the window when it starts.
struct SearchSettings {
  std::string searchText;   // 编辑框2, as typed
  bool titles = false;      // 列名选择框: first row as titles
  bool skipHidden = false;  // 隐藏选择框: ignore hidden rows and columns
  std::string folderText;   // 编辑框1
  Colour titleColour = 0x808080;    // 8421504, the default
  Colour failureColour = 0xC080FF;  // 12615935, the default
};

// Where the scan gets each workbook from, one call per file in walk order.
// The plain source loads into the one reused book; a read-ahead source may
// hand back books it loaded earlier, as long as it keeps the walk's order.
class WorkbookSource {
 public:
  virtual ~WorkbookSource() = default;
  // Every path the scan will ask for, in order, before the first load, so a
  // source may read ahead.
  virtual void plan(const std::vector<std::string>& paths) { (void)paths; }
  // The book holding the workbook at `path`, or null when it cannot be loaded,
  // with the library's error text in `error`. The book stays valid until the
  // next call.
  virtual BookHandle load(const std::string& path, std::string& error) = 0;
  // The walk's next file, which the scan does not open because a stop was asked.
  virtual void skip(const std::string& path) { (void)path; }
  // The entry points that read the book load() returned last, when they are
  // not the library's (a workbook served from the cell cache); else null.
  virtual const XlApi* bookApi() const { return nullptr; }
};

// Loads every workbook into the one book it is given, replacing the last one
// (the read-ahead pool's fallback for a file it did not plan; the tests).
class ScanBookSource : public WorkbookSource {
 public:
  ScanBookSource(const XlApi& api, BookHandle book) : api_(api), book_(book) {}
  BookHandle load(const std::string& path, std::string& error) override;

 private:
  const XlApi& api_;
  BookHandle book_;
};

class WorkbookScanner {
 public:
  // The grid starts cleared: the header row and the three design columns.
  WorkbookScanner(const XlApi& api, WorkbookSource& source, const SearchSettings& settings,
                  const std::atomic<int>& stop, ScanOutput& out);

  // Progress bar: maximum := count, then position := 0, both stored clamped.
  void setProgressMaximum(long long count);
  // `folder` is the directory prefix (ending in "/"), `name` the file's name.
  void scanWorkbook(const std::string& folder, const std::string& name);

  int rowCount() const { return rowCount_; }
  int columnCount() const { return columnCount_; }
  int progressPosition() const { return position_; }
  int progressMaximum() const { return maximum_; }

  // Called after every stored cell tested against the search text; tests use
  // it to request a stop at a chosen cell.
  std::function<void(int row, int col, bool matched)> onCellTested;
  // Called with the new position and the maximum when a file's scan begins,
  // before its load.
  std::function<void(int position, int maximum)> onFileBegins;
  // Called after a match row once `rowsPendingThreshold` rows or
  // `bytesPendingThreshold` bytes of text wait in the output, so a long
  // file's rows need not wait for its end.
  std::function<void()> onRowsPending;
  size_t rowsPendingThreshold = 500;
  size_t bytesPendingThreshold = size_t(4) << 20;

 private:
  struct SheetScan;
  struct RelPath;
  // Returns false when a stop request left the workbook.
  bool scanSheet(BookHandle book, int sheetIndex, RelPath& relPath);
  // Tests the cells of `row` from its first stored cell, `k`, writing the
  // match row of the first that holds the search text; leaves `k` past the
  // row. False when a stop request left the sheet.
  bool scanRow(const SheetScan& s, int row, int& k);
  void writeMatchRow(const SheetScan& s, int row, int firstCellIndex, int matchCol);
  void writeTitleRow(const SheetScan& s);
  bool contains(const char* text, int len);
  bool stopRequested() const { return stop_.load(std::memory_order_relaxed) != 0; }

  const XlApi& api_;
  const XlApi* reader_ = &api_;  // reads the workbook being scanned
  WorkbookSource& source_;
  SearchSettings settings_;
  TextMatcher matcher_;
  const std::atomic<int>& stop_;
  ScanOutput& out_;
  int rowCount_ = 1;
  int columnCount_ = 3;
  int position_ = 0;
  int maximum_ = 0;
  // The last long text tested in the book being scanned, and whether it
  // held the search text.
  const char* lastLong_ = nullptr;
  int lastLongLen_ = 0;
  bool lastLongHit_ = false;
};
