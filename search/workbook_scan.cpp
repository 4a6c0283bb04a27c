#include "search/workbook_scan.h"

#include "platform/path_text.h"

#include <algorithm>
#include <charconv>
#include <string_view>

BookHandle ScanBookSource::load(const std::string& path, std::string& error) {
  if (!book_) {  // the library could not give us a book at start-up
    error = "无法创建工作簿";
    return nullptr;
  }
  if (api_.bookLoad(book_, path.c_str()) == 1) return book_;
  const char* message = api_.bookErrorMessage(book_);
  error = message ? message : "";
  return nullptr;
}

// The file's path as the grid shows it, worked out when a row first needs
// it: most files of a search write none. A name that is not UTF-8 is shown
// decoded, and the row keeps the bytes for opening the file.
struct WorkbookScanner::RelPath {
  const std::string& path;
  const std::string& folder;
  std::string bytes;
  std::string text;
  bool known = false;

  void write(ScanOutput& out) {
    if (!known) {
      bytes = relativePath(path, folder);
      text = readablePath(bytes);
      known = true;
    }
    out.cell(0, text);
    if (text != bytes) out.rowPath(bytes);
  }
};

struct WorkbookScanner::SheetScan {
  SheetHandle sheet = nullptr;
  RelPath* relPath = nullptr;
  std::string label;
  int lastRow = 0;
  int lastCol = 0;
  int headerCount = 0;
  int storedCount = 0;
  // With hidden cells skipped: visibleBefore[c] = visible columns left of c
  // (lastCol + 1 entries); the grid column of sheet column c is 3 + that.
  std::vector<int> visibleBefore;
  std::vector<char> colHidden;
  std::vector<std::string> headerTexts;
  int titleRow = 0;

  bool hidden(int col) const { return !colHidden.empty() && colHidden[static_cast<size_t>(col)]; }
  int gridColumn(int col) const {
    return 3 + (visibleBefore.empty() ? col : visibleBefore[static_cast<size_t>(col)]);
  }
  // Whether columns [from, to) hold a column the search looks at.
  bool anyVisible(int from, int to) const {
    if (from >= to) return false;
    if (visibleBefore.empty()) return true;
    return visibleBefore[static_cast<size_t>(to)] > visibleBefore[static_cast<size_t>(from)];
  }
};

WorkbookScanner::WorkbookScanner(const XlApi& api, WorkbookSource& source, const SearchSettings& settings,
                                 const std::atomic<int>& stop, ScanOutput& out)
    : api_(api), source_(source), settings_(settings), matcher_(settings.searchText), stop_(stop), out_(out) {}

void WorkbookScanner::setProgressMaximum(long long count) {
  maximum_ = static_cast<int>(std::clamp<long long>(count, 0, kProgressStoredMax));
  position_ = 0;
  out_.progress(position_, maximum_, {});
}

void WorkbookScanner::scanWorkbook(const std::string& folder, const std::string& name) {
  position_ = std::min(position_ + 1, kProgressStoredMax);
  // Once per file, so without building a string: most files of a warm
  // search cost less than that would.
  static constexpr std::string_view kSearching = "搜索中...";
  char status[64];
  char* end = std::copy(kSearching.begin(), kSearching.end(), status);
  end = std::to_chars(end, status + sizeof status, position_).ptr;
  if (end < status + sizeof status) *end++ = '/';  // two ints and the text leave room
  end = std::to_chars(end, status + sizeof status, maximum_).ptr;
  out_.progress(position_, maximum_, std::string_view(status, static_cast<size_t>(end - status)));
  if (onFileBegins) onFileBegins(position_, maximum_);

  const std::string path = folder + name;
  if (stopRequested()) {
    source_.skip(path);
    return;
  }
  std::string error;
  BookHandle book = source_.load(path, error);
  // A load that failed while a stop was asked was most likely cut short by
  // it (the stop cancels loads); either way the file is dropped like one
  // skipped after the stop, not reported.
  if (!book && stopRequested()) return;
  RelPath relPath{path, settings_.folderText, {}, {}, false};
  if (!book) {
    out_.beginRow(-1, settings_.failureColour);
    relPath.write(out_);
    out_.cell(1, kFailureLabel);
    out_.cell(2, error);
    ++rowCount_;
    return;
  }
  reader_ = source_.bookApi() ? source_.bookApi() : &api_;
  lastLong_ = nullptr;
  out_.newBook();
  const int sheets = reader_->bookSheetCount(book);
  for (int i = 0; i < sheets; ++i) {
    if (!scanSheet(book, i, relPath)) return;
  }
}

bool WorkbookScanner::scanSheet(BookHandle book, int sheetIndex, RelPath& relPath) {
  SheetScan s;
  s.relPath = &relPath;
  s.titleRow = rowCount_;
  s.sheet = reader_->bookGetSheet(book, sheetIndex);
  if (!s.sheet) return true;
  const char* name = reader_->bookGetSheetName(book, sheetIndex);
  s.label = sheetLabel(sheetIndex + 1, name ? name : "");
  s.lastRow = std::max(0, reader_->sheetLastRow(s.sheet));
  s.lastCol = std::max(0, reader_->sheetLastCol(s.sheet));
  s.headerCount = std::min(s.lastCol, kMaxHeaderCount);
  if (s.lastRow == 0 || s.lastCol == 0) return true;  // nothing to search
  s.storedCount = reader_->sheetStoredCellCount(s.sheet);

  if (settings_.skipHidden) {
    s.colHidden.assign(static_cast<size_t>(s.lastCol), 0);
    s.visibleBefore.assign(static_cast<size_t>(s.lastCol) + 1, 0);
    for (int c = 0; c < s.lastCol; ++c) {
      s.colHidden[static_cast<size_t>(c)] = reader_->sheetColHidden(s.sheet, c) == 1;
      s.visibleBefore[static_cast<size_t>(c) + 1] =
          s.visibleBefore[static_cast<size_t>(c)] + (s.colHidden[static_cast<size_t>(c)] ? 0 : 1);
    }
  }
  if (settings_.titles) {
    // This sheet's own first row, also for a one-row sheet.
    s.headerTexts.assign(static_cast<size_t>(s.headerCount), std::string());
    int row = 0, col = 0, length = 0;
    for (int k = reader_->sheetFirstCellOfRow(s.sheet, 0); k < s.storedCount; ++k) {
      const char* text = reader_->sheetStoredCell(s.sheet, k, &row, &col, &length);
      if (row != 0 || col >= s.headerCount) break;
      if (col >= 0 && text) s.headerTexts[static_cast<size_t>(col)].assign(text, static_cast<size_t>(length));
    }
  }

  // A book that knows which of its cells hold the search text: only their
  // rows can be shown, so the scan goes from one to the next and sees a stop
  // request between them. A test that watches every cell gets every cell.
  const int* hits = nullptr;
  const int hitCount = !onCellTested && reader_->sheetStoredCellHits
                           ? reader_->sheetStoredCellHits(s.sheet, settings_.searchText.data(),
                                                           static_cast<int>(settings_.searchText.size()), &hits)
                           : -1;
  if (hitCount >= 0) {
    for (int h = 0; h < hitCount && hits[h] < s.storedCount;) {
      if (stopRequested()) return false;
      int row = 0, col = 0, length = 0;
      reader_->sheetStoredCell(s.sheet, hits[h], &row, &col, &length);
      if (row >= s.lastRow) break;
      int k = reader_->sheetFirstCellOfRow(s.sheet, row);
      if (!scanRow(s, row, k)) return false;
      while (h < hitCount && hits[h] < k) ++h;
    }
    if (settings_.titles && rowCount_ != s.titleRow) writeTitleRow(s);
    return true;
  }

  // Stored cells come row-major. Empty cells never match, but where the
  // plain row-by-column loop would meet one the stop request is tested too.
  int prevRow = -1;  // last row that held stored cells and was looked at
  int k = reader_->sheetFirstCellOfRow(s.sheet, 0);
  while (k < s.storedCount) {
    int row = 0, col = 0, length = 0;
    reader_->sheetStoredCell(s.sheet, k, &row, &col, &length);
    if (row >= s.lastRow) break;
    if (row < 0) {
      ++k;
      continue;
    }
    // Rows without stored cells between the last row looked at and this one.
    if (s.anyVisible(0, s.lastCol)) {
      for (int r = prevRow + 1; r < row; ++r) {
        if (!settings_.skipHidden || reader_->sheetRowHidden(s.sheet, r) != 1) {
          if (stopRequested()) return false;
          break;
        }
      }
    }
    prevRow = row;
    if (!scanRow(s, row, k)) return false;
  }
  if (settings_.titles && rowCount_ != s.titleRow) writeTitleRow(s);
  return true;
}

bool WorkbookScanner::scanRow(const SheetScan& s, int row, int& k) {
  const int rowStart = k;
  if (settings_.skipHidden && reader_->sheetRowHidden(s.sheet, row) == 1) {
    k = std::max(reader_->sheetFirstCellOfRow(s.sheet, row + 1), k + 1);
    return true;
  }
  int nextCol = 0;  // first column not yet passed
  for (; k < s.storedCount; ++k) {
    int r = 0, c = 0, len = 0;
    const char* text = reader_->sheetStoredCell(s.sheet, k, &r, &c, &len);
    if (r != row) break;
    if (c < nextCol || c >= s.lastCol) continue;
    if (s.anyVisible(nextCol, c) && stopRequested()) return false;  // empty cells before it
    nextCol = c + 1;
    if (s.hidden(c)) continue;
    bool hit = text && len > 0 && contains(text, len);
    if (onCellTested) onCellTested(row, c, hit);
    if (hit) {
      writeMatchRow(s, row, rowStart, c);
      k = std::max(reader_->sheetFirstCellOfRow(s.sheet, row + 1), rowStart + 1);
      return true;
    }
    if (stopRequested()) return false;
  }
  return !(s.anyVisible(nextCol, s.lastCol) && stopRequested());  // empty cells after the last
}

// A long text behind many cells (one shared string of megabytes that every
// row shows) is searched once per book, not once per cell: within a loaded
// book the same pointer and length are the same text.
bool WorkbookScanner::contains(const char* text, int len) {
  if (static_cast<size_t>(len) < ScanOutput::kPooledBytes) return matcher_.contains(text, static_cast<size_t>(len));
  if (text != lastLong_ || len != lastLongLen_) {
    lastLong_ = text;
    lastLongLen_ = len;
    lastLongHit_ = matcher_.contains(text, static_cast<size_t>(len));
  }
  return lastLongHit_;
}

void WorkbookScanner::writeMatchRow(const SheetScan& s, int row, int firstCellIndex, int matchCol) {
  while (columnCount_ - 3 < s.headerCount) {
    out_.appendColumn(columnLetters(columnCount_ - 2), kAddedColumnWidth);
    ++columnCount_;
  }
  out_.beginRow(-1, std::nullopt);
  ++rowCount_;
  s.relPath->write(out_);
  out_.cell(1, s.label);
  out_.cell(2, cellReference(row, matchCol));
  for (int k = firstCellIndex; k < s.storedCount; ++k) {
    int r = 0, c = 0, len = 0;
    const char* text = reader_->sheetStoredCell(s.sheet, k, &r, &c, &len);
    if (r != row) break;
    if (c < 0 || c >= s.lastCol || s.hidden(c)) continue;
    int gridCol = s.gridColumn(c);
    if (gridCol >= columnCount_) break;  // beyond the grid: dropped
    if (text && len > 0) out_.bookCell(gridCol, std::string_view(text, static_cast<size_t>(len)));
  }
  if (onRowsPending && (out_.rowOps() >= rowsPendingThreshold || out_.textBytes() >= bytesPendingThreshold))
    onRowsPending();
}

void WorkbookScanner::writeTitleRow(const SheetScan& s) {
  out_.beginRow(s.titleRow, settings_.titleColour);
  ++rowCount_;
  s.relPath->write(out_);
  out_.cell(1, s.label);
  out_.cell(2, "列标题");
  for (int j = 0; j < s.headerCount; ++j) {
    if (s.hidden(j)) continue;
    int gridCol = s.gridColumn(j);
    if (gridCol >= columnCount_) break;
    out_.cell(gridCol, s.headerTexts[static_cast<size_t>(j)]);
  }
}
