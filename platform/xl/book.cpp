// The in-memory model: cells as compact records into one text arena.
#include "platform/xl/book.h"

#include <algorithm>
#include <new>
#include <string>

namespace xl {

namespace {

inline bool before(const CellRef& a, const CellRef& b) {
  return a.row != b.row ? a.row < b.row : a.col < b.col;
}

inline bool samePos(const CellRef& a, const CellRef& b) {
  return a.row == b.row && a.col == b.col;
}

// A book that once held a huge workbook should not keep that memory while
// it reads the next, small one (the scan reuses one book for every file).
constexpr size_t kKeepCapacity = 16u << 20;

// A reservation made from a size the file declares stays below this
// (256 MB of records); larger sheets grow from there.
constexpr size_t kMaxReservedCells = 16u << 20;

}  // namespace


void Sheet::addCell(uint32_t row, uint32_t col, uint32_t off, uint32_t len) {
  // Excel's grid bounds every position; anything past it cannot be shown.
  if (row >= kMaxRows || col >= kMaxCols) return;
  CellRef c{row, col, off, len};
  if (!cells_.empty()) {
    CellRef& back = cells_.back();
    if (samePos(back, c)) {  // rewritten in place: the last value wins
      back = c;
      return;
    }
    if (before(c, back)) sorted_ = false;
  }
  cells_.push_back(c);
}

void Sheet::writeCell(uint32_t row, uint32_t col, uint32_t off, uint32_t len) {
  if (row >= kMaxRows || col >= kMaxCols) return;
  if (!sorted_) finish();
  const CellRef c{row, col, off, len};
  if (cells_.empty() || before(cells_.back(), c)) {
    cells_.push_back(c);
  } else {
    auto at = std::lower_bound(cells_.begin(), cells_.end(), c, before);
    if (samePos(*at, c))
      *at = c;  // the last value written wins
    else
      cells_.insert(at, c);
  }
  lastRow_ = std::max(lastRow_, static_cast<int>(row + 1));
  lastCol_ = std::max(lastCol_, static_cast<int>(col + 1));
}

void Sheet::addCells(const CellRef* cells, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const CellRef& c = cells[i];
    if (c.row >= kMaxRows || c.col >= kMaxCols) continue;
    if (!cells_.empty()) {
      CellRef& back = cells_.back();
      if (samePos(back, c)) {
        back = c;
        continue;
      }
      if (before(c, back)) sorted_ = false;
    }
    cells_.push_back(c);
  }
}

void Sheet::reserveCells(size_t count) {
  count = std::min<size_t>(count, kMaxReservedCells);
  if (count <= cells_.capacity()) return;
  try {
    cells_.reserve(count);
  } catch (const std::bad_alloc&) {
    // Growing as cells come is still possible.
  }
}

void Sheet::hideRow(uint32_t row) {
  if (row >= kMaxRows) return;
  hiddenRows_.push_back(row);
}

void Sheet::hideCols(uint32_t first, uint32_t last) {
  if (first > last || first >= kMaxCols) return;
  hiddenCols_.emplace_back(first, std::min(last, kMaxCols - 1));
}

namespace {

// Row-major order for cells that arrived out of order: a counting sort by
// row (rows are bounded by the grid), then each row by column. Both steps
// are stable, so among cells of one position the one added last stays last.
void sortCells(std::vector<CellRef>& cells) {
  uint32_t maxRow = 0;
  for (const CellRef& c : cells) maxRow = std::max(maxRow, c.row);
  std::vector<uint32_t> start(static_cast<size_t>(maxRow) + 2, 0);
  for (const CellRef& c : cells) ++start[c.row + 1];
  for (size_t r = 1; r < start.size(); ++r) start[r] += start[r - 1];
  std::vector<CellRef> out(cells.size());
  {
    std::vector<uint32_t> next(start.begin(), start.end() - 1);
    for (const CellRef& c : cells) out[next[c.row]++] = c;
  }
  cells.swap(out);
  std::vector<CellRef>().swap(out);
  for (size_t r = 0; r + 1 < start.size(); ++r) {
    auto first = cells.begin() + start[r], last = cells.begin() + start[r + 1];
    if (!std::is_sorted(first, last, before)) std::stable_sort(first, last, before);
  }
}

}  // namespace

void Sheet::finish() {
  if (!sorted_) {
    sortCells(cells_);
    size_t out = 0;
    for (size_t i = 0; i < cells_.size(); ++i) {
      if (out > 0 && samePos(cells_[out - 1], cells_[i]))
        cells_[out - 1] = cells_[i];
      else
        cells_[out++] = cells_[i];
    }
    cells_.resize(out);
    sorted_ = true;
  }

  uint32_t maxCol = 0;
  for (const CellRef& c : cells_) maxCol = std::max(maxCol, c.col + 1);
  lastRow_ = cells_.empty() ? 0 : static_cast<int>(cells_.back().row + 1);
  lastCol_ = static_cast<int>(maxCol);

  std::sort(hiddenRows_.begin(), hiddenRows_.end());
  hiddenRows_.erase(std::unique(hiddenRows_.begin(), hiddenRows_.end()), hiddenRows_.end());

  std::sort(hiddenCols_.begin(), hiddenCols_.end());
  size_t out = 0;
  for (size_t i = 0; i < hiddenCols_.size(); ++i) {
    auto r = hiddenCols_[i];
    if (out > 0 && r.first <= hiddenCols_[out - 1].second + 1)
      hiddenCols_[out - 1].second = std::max(hiddenCols_[out - 1].second, r.second);
    else
      hiddenCols_[out++] = r;
  }
  hiddenCols_.resize(out);
}

const CellRef* Sheet::find(uint32_t row, uint32_t col) const {
  CellRef key{row, col, 0, 0};
  auto it = std::lower_bound(cells_.begin(), cells_.end(), key, before);
  if (it == cells_.end() || !samePos(*it, key)) return nullptr;
  return &*it;
}

size_t Sheet::firstCellOfRow(uint32_t row) const {
  CellRef key{row, 0, 0, 0};
  return static_cast<size_t>(std::lower_bound(cells_.begin(), cells_.end(), key, before) -
                             cells_.begin());
}

bool Sheet::rowHidden(uint32_t row) const {
  return std::binary_search(hiddenRows_.begin(), hiddenRows_.end(), row);
}

bool Sheet::colHidden(uint32_t col) const {
  // First range starting after col; the one before it may cover col.
  auto it = std::upper_bound(hiddenCols_.begin(), hiddenCols_.end(), col,
                             [](uint32_t c, const std::pair<uint32_t, uint32_t>& r) {
                               return c < r.first;
                             });
  if (it == hiddenCols_.begin()) return false;
  --it;
  return col >= it->first && col <= it->second;
}

uint64_t Sheet::memoryBytes() const {
  return cells_.capacity() * sizeof(CellRef) + hiddenRows_.capacity() * sizeof(uint32_t) +
         hiddenCols_.capacity() * sizeof(hiddenCols_[0]) + name.capacity();
}

uint64_t Book::memoryBytes() const {
  uint64_t bytes = arena_.capacity() + sheets.capacity() * sizeof(Sheet);
  for (const Sheet& s : sheets) bytes += s.memoryBytes();
  return bytes;
}

Book::Book() { arena_.push_back('\0'); }

void Book::clear() {
  sheets.clear();
  diagnostics.clear();
  arena_.clear(arena_.capacity() > kKeepCapacity);
  arena_.push_back('\0');
  error_ = {};
}

bool Book::addTexts(std::string_view texts, uint32_t& base) {
  const uint64_t need = static_cast<uint64_t>(arena_.size()) + texts.size();
  if (need > kMaxArenaBytes) return false;
  base = static_cast<uint32_t>(arena_.size());
  arena_.append(texts.data(), texts.size());
  return true;
}

bool Book::addCellText(std::string_view text, uint32_t& off, uint32_t& len) {
  len = static_cast<uint32_t>(text.size());
  return addText(text, off);
}

bool Book::addText(std::string_view text, uint32_t& off) {
  if (text.empty()) {
    off = kEmptyText;
    return true;
  }
  // A text taken from this arena would move while the arena grows.
  if (text.data() >= arena_.data() && text.data() < arena_.data() + arena_.size()) {
    const std::string copy(text);
    return addText(copy, off);
  }
  const uint64_t need = static_cast<uint64_t>(arena_.size()) + text.size() + 1;
  if (need > kMaxArenaBytes) return false;
  off = static_cast<uint32_t>(arena_.size());
  arena_.append(text.data(), text.size());
  arena_.push_back('\0');
  return true;
}

}  // namespace xl
