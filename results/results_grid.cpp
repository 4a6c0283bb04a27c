#include "results/results_grid.h"

#include "platform/xl/utf8.h"
#include "results/text_pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace {

// One row's texts live in a single buffer: for each stored cell a varint
// header, twice the text's length, followed by its bytes. A long text is kept
// once in the grid's pool instead, and the header is twice its id plus one,
// with no bytes after it. Cells past the last stored one are empty, so an
// appended column costs nothing per row and an empty cell costs one byte.
// Background colours get their own array only in rows that have any.
struct Row {
  uint8_t* data = nullptr;
  uint64_t* colours = nullptr;  // bit 32 set = colour present, low 32 bits the colour
  uint32_t size = 0;
  uint32_t cap = 0;
  uint16_t cells = 0;
  uint16_t colourCount = 0;
  int32_t height = ResultsGrid::kDesignRowHeight;
  // 1 + index of the path bytes behind column 0's text (Impl::paths); 0: none.
  uint32_t pathId = 0;

  // The row owns its two buffers: it moves (the vector grows and inserts by
  // moving) but never copies, so no buffer is freed twice.
  Row() = default;
  Row(const Row&) = delete;
  Row& operator=(const Row&) = delete;
  Row(Row&& other) noexcept { take(other); }
  Row& operator=(Row&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~Row() { release(); }

  void release() {
    std::free(data);
    std::free(colours);
    data = nullptr;
    colours = nullptr;
    size = cap = 0;
    cells = colourCount = 0;
    pathId = 0;
  }

 private:
  void take(Row& other) {
    data = std::exchange(other.data, nullptr);
    colours = std::exchange(other.colours, nullptr);
    size = std::exchange(other.size, 0);
    cap = std::exchange(other.cap, 0);
    cells = std::exchange(other.cells, 0);
    colourCount = std::exchange(other.colourCount, 0);
    height = other.height;
    pathId = std::exchange(other.pathId, 0);
  }
};

// Growing the vector must move rows, not copy them.
static_assert(std::is_nothrow_move_constructible_v<Row> && !std::is_copy_constructible_v<Row>);

constexpr uint64_t kColourSet = uint64_t(1) << 32;
constexpr int kMaxColumns = 0xFFFF;

uint32_t readVarint(const uint8_t*& p) {
  uint32_t v = 0;
  int shift = 0;
  for (;;) {
    uint8_t b = *p++;
    v |= uint32_t(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
    shift += 7;
  }
}

int varintSize(uint32_t v) {
  int n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

uint8_t* writeVarint(uint8_t* p, uint32_t v) {
  while (v >= 0x80) {
    *p++ = uint8_t(v | 0x80);
    v >>= 7;
  }
  *p++ = uint8_t(v);
  return p;
}

void reserve(Row& r, uint32_t needed) {
  if (needed <= r.cap) return;
  uint32_t cap = std::max<uint32_t>({needed, r.cap * 2, 128});
  void* p = std::realloc(r.data, cap);
  if (!p) throw std::bad_alloc();
  r.data = static_cast<uint8_t*>(p);
  r.cap = cap;
}

void shrink(Row& r) {
  if (r.cap == r.size) return;
  if (r.size == 0) {
    std::free(r.data);
    r.data = nullptr;
    r.cap = 0;
    return;
  }
  if (void* p = std::realloc(r.data, r.size)) {
    r.data = static_cast<uint8_t*>(p);
    r.cap = r.size;
  }
}

const uint8_t* skipCell(const uint8_t* p) {
  uint32_t header = readVarint(p);
  return (header & 1) ? p : p + (header >> 1);
}

// Byte offset of cell `col` (col <= cells) in the row's buffer.
uint32_t cellOffset(const Row& r, int col) {
  const uint8_t* p = r.data;
  for (int i = 0; i < col; ++i) p = skipCell(p);
  return uint32_t(p - r.data);
}

// Where the last read ended, so reading a row left to right does not rescan it.
struct ReadCursor {
  const Row* row = nullptr;
  const uint8_t* data = nullptr;
  int nextCol = -1;
  uint32_t nextOffset = 0;
};

std::string_view cellView(const Row& r, int col, const TextPool& pool, ReadCursor& cur) {
  if (col >= r.cells) return {};
  uint32_t off;
  if (cur.row == &r && cur.data == r.data && cur.nextCol >= 0 && cur.nextCol <= col) {
    const uint8_t* p = r.data + cur.nextOffset;
    for (int i = cur.nextCol; i < col; ++i) p = skipCell(p);
    off = uint32_t(p - r.data);
  } else {
    off = cellOffset(r, col);
  }
  const uint8_t* p = r.data + off;
  uint32_t header = readVarint(p);
  if (header & 1) {
    cur = ReadCursor{&r, r.data, col + 1, uint32_t(p - r.data)};
    return pool.text(header >> 1);
  }
  uint32_t len = header >> 1;
  cur = ReadCursor{&r, r.data, col + 1, uint32_t(p - r.data) + len};
  return {reinterpret_cast<const char*>(p), len};
}

void setCell(Row& r, int col, std::string_view text, TextPool& pool) {
  if (col >= r.cells && text.empty()) return;
  // What the cell's header and bytes become.
  uint32_t len = uint32_t(text.size()), header = len << 1;
  if (len >= TextPool::kMinBytes) [[unlikely]] {
    header = (pool.intern(text) << 1) | 1;
    len = 0;
  }
  uint32_t newTotal = varintSize(header) + len;
  if (col >= r.cells) {
    uint32_t gap = uint32_t(col - r.cells);  // empty cells before it, one byte each
    reserve(r, r.size + gap + newTotal);
    uint8_t* p = r.data + r.size;
    std::memset(p, 0, gap);
    p = writeVarint(p + gap, header);
    if (len) std::memcpy(p, text.data(), len);
    r.size += gap + newTotal;
    r.cells = uint16_t(col + 1);
    return;
  }
  uint32_t off = cellOffset(r, col);
  uint32_t oldTotal = uint32_t(skipCell(r.data + off) - (r.data + off));
  uint32_t tail = r.size - off - oldTotal;
  if (newTotal > oldTotal) reserve(r, r.size + newTotal - oldTotal);
  std::memmove(r.data + off + newTotal, r.data + off + oldTotal, tail);
  uint8_t* p = writeVarint(r.data + off, header);
  if (len) std::memcpy(p, text.data(), len);
  r.size = r.size - oldTotal + newTotal;
}

// An empty cell before `col` (stored cells shift right); used by insert column.
void insertEmptyCell(Row& r, int col) {
  if (col < r.cells) {
    uint32_t off = cellOffset(r, col);
    reserve(r, r.size + 1);
    std::memmove(r.data + off + 1, r.data + off, r.size - off);
    r.data[off] = 0;
    r.size += 1;
    r.cells += 1;
  }
  if (col < r.colourCount) {
    void* p = std::realloc(r.colours, sizeof(uint64_t) * (r.colourCount + 1));
    if (!p) throw std::bad_alloc();
    r.colours = static_cast<uint64_t*>(p);
    std::memmove(r.colours + col + 1, r.colours + col, sizeof(uint64_t) * (r.colourCount - col));
    r.colours[col] = 0;
    r.colourCount += 1;
  }
}

void setColours(Row& r, int firstCol, int lastCol, Colour colour) {
  if (lastCol >= r.colourCount) {
    void* p = std::realloc(r.colours, sizeof(uint64_t) * (lastCol + 1));
    if (!p) throw std::bad_alloc();
    r.colours = static_cast<uint64_t*>(p);
    std::fill(r.colours + r.colourCount, r.colours + lastCol + 1, uint64_t(0));
    r.colourCount = uint16_t(lastCol + 1);
  }
  for (int c = firstCol; c <= lastCol; ++c) r.colours[c] = kColourSet | colour;
}

}  // namespace

struct ResultsGrid::Impl {
  std::vector<Row> rows;
  std::vector<int> widths;
  int fixedRows = 1;
  int fixedCols = 0;
  int curRow = -1, curCol = -1;
  std::optional<Range> sel;
  bool disabled = false;
  GridObserver* observer = nullptr;
  std::function<int(std::string_view)> measure;
  mutable ReadCursor cursor;
  // Long texts of the cells. A text no cell shows any more stays until the
  // grid is reset (the next search), so it never holds more than it once did.
  TextPool pool;
  // Path bytes of rows whose column 0 shows them decoded (Row::pathId); kept
  // until the grid is reset, like the pool.
  std::vector<std::string> paths;

  int batchDepth = 0;
  int pendFirst = 0, pendLast = -1;  // appended rows not yet announced

  int rowCount() const { return int(rows.size()); }
  int colCount() const { return int(widths.size()); }

  bool pending(int first, int last) const {
    return pendLast >= pendFirst && first >= pendFirst && last <= pendLast;
  }
  void flush() {
    if (pendLast >= pendFirst) {
      int f = pendFirst, l = pendLast;
      pendFirst = 0;
      pendLast = -1;
      if (observer) observer->rowsInserted(f, l);
    }
  }
  void announceAppended(int first, int last) {
    if (batchDepth > 0) {
      if (pendLast < pendFirst) pendFirst = first;
      pendLast = last;
      return;
    }
    if (observer) observer->rowsInserted(first, last);
  }

  void shrinkLastRow() {
    if (!rows.empty()) shrink(rows.back());
  }

  void appendEmptyRows(int n, int height) {
    shrinkLastRow();
    size_t old = rows.size();
    rows.resize(old + size_t(n));
    for (size_t i = old; i < rows.size(); ++i) rows[i].height = height;
  }

  void removeRowsFrom(int count) {
    rows.resize(size_t(count));
  }

  void clipStateToGrid() {
    if (curRow >= rowCount() || curCol >= colCount()) curRow = curCol = -1;
    if (sel) {
      sel->lastRow = std::min(sel->lastRow, rowCount() - 1);
      sel->lastCol = std::min(sel->lastCol, colCount() - 1);
      if (sel->firstRow > sel->lastRow || sel->firstCol > sel->lastCol) sel.reset();
    }
  }

  int textWidth(std::string_view text) const {
    return measure ? measure(text) : ResultsGrid::defaultTextWidth(text);
  }
};

ResultsGrid::ResultsGrid() : impl_(new Impl) {
  impl_->rows.resize(1);
  impl_->widths.assign(kDesignColumnCount, kDefaultColumnWidth);
  resetToDesignLayout(true);
}

ResultsGrid::~ResultsGrid() { delete impl_; }

void ResultsGrid::setObserver(GridObserver* observer) {
  impl_->flush();
  impl_->observer = observer;
}

int ResultsGrid::rowCount() const { return impl_->rowCount(); }
int ResultsGrid::columnCount() const { return impl_->colCount(); }

void ResultsGrid::setRowCount(int count) {
  Impl& d = *impl_;
  d.cursor = {};  // texts may move
  // Row 0 is the header row and always present.
  count = std::max(count, d.fixedRows);
  int old = d.rowCount();
  if (count == old) return;
  if (count > old) {
    d.appendEmptyRows(count - old, kDesignRowHeight);
    d.announceAppended(old, count - 1);
    return;
  }
  d.flush();
  d.removeRowsFrom(count);
  d.clipStateToGrid();
  if (d.observer) d.observer->rowsRemoved(count, old - 1);
}

void ResultsGrid::resetToDesignLayout(bool restoreDesignColumns) {
  Impl& d = *impl_;
  d.cursor = {};  // texts may move
  d.flush();
  // 1-2: remember the counts, then drop every cell and state.
  int rowsBefore = d.rowCount(), colsBefore = d.colCount();
  d.removeRowsFrom(0);
  d.rows.shrink_to_fit();
  d.pool.clear();
  d.paths.clear();
  d.widths.clear();
  d.curRow = d.curCol = -1;
  d.sel.reset();
  d.fixedRows = d.fixedCols = 0;
  // 3-4: design properties, then the old counts again with new, empty cells.
  d.fixedRows = 1;
  d.fixedCols = 0;
  d.rows.resize(size_t(std::max(rowsBefore, d.fixedRows)));
  d.widths.assign(size_t(colsBefore), kDefaultColumnWidth);
  // 5: the three design columns with their widths and captions.
  if (restoreDesignColumns) {
    d.widths.assign(kDesignColumnCount, 0);
    for (int c = 0; c < kDesignColumnCount; ++c) {
      d.widths[c] = kDesignColumnWidths[c];
      setCell(d.rows[0], c, kDesignCaptions[c], d.pool);
    }
  }
  if (d.observer) d.observer->gridReset();
}

bool ResultsGrid::insertRow(std::optional<int> position) {
  Impl& d = *impl_;
  d.cursor = {};  // texts may move
  int height = d.rows.empty() ? kDesignRowHeight : d.rows[0].height;
  int n = d.rowCount();
  if (!position || *position < d.fixedRows || *position >= n) {
    d.appendEmptyRows(1, height);
    d.announceAppended(n, n);
    return true;
  }
  d.flush();
  int p = *position;
  d.shrinkLastRow();
  Row r;
  r.height = height;
  d.rows.insert(d.rows.begin() + p, std::move(r));
  if (d.curRow >= p) ++d.curRow;
  if (d.sel) {
    if (d.sel->firstRow >= p) ++d.sel->firstRow;
    if (d.sel->lastRow >= p) ++d.sel->lastRow;
  }
  if (d.observer) d.observer->rowsInserted(p, p);
  return true;
}

std::string_view ResultsGrid::shownPart(std::string_view text) { return xl::cutToUtf16Units(text, kShownUnits); }

bool ResultsGrid::setCellText(int row, int col, std::string_view text) {
  Impl& d = *impl_;
  d.cursor = {};  // texts may move
  if (row < 0 || col < 0 || row >= d.rowCount() || col >= d.colCount()) return false;
  bool quiet = d.pending(row, row);
  if (!quiet) d.flush();
  Row& r = d.rows[size_t(row)];
  setCell(r, col, text, d.pool);
  if (col == 0) r.pathId = 0;  // the text is the path now (an edit, a paste)
  if (!quiet && d.observer) d.observer->cellsChanged(row, col, row, col);
  return true;
}

void ResultsGrid::clearCellTexts(int firstRow, int firstCol, int lastRow, int lastCol) {
  fillCellTexts(firstRow, firstCol, lastRow, lastCol, {});
}

void ResultsGrid::fillCellTexts(int firstRow, int firstCol, int lastRow, int lastCol, std::string_view text) {
  Impl& d = *impl_;
  d.cursor = {};  // texts may move
  firstRow = std::max(firstRow, d.fixedRows);
  firstCol = std::max(firstCol, 0);
  lastRow = std::min(lastRow, d.rowCount() - 1);
  lastCol = std::min(lastCol, d.colCount() - 1);
  if (firstRow > lastRow || firstCol > lastCol) return;
  d.flush();
  for (int r = firstRow; r <= lastRow; ++r) {
    Row& row = d.rows[size_t(r)];
    if (firstCol == 0) row.pathId = 0;
    if (text.empty()) {
      for (int c = std::min(lastCol, int(row.cells) - 1); c >= firstCol; --c) setCell(row, c, {}, d.pool);
    } else {
      for (int c = firstCol; c <= lastCol; ++c) setCell(row, c, text, d.pool);
    }
  }
  if (d.observer) d.observer->cellsChanged(firstRow, firstCol, lastRow, lastCol);
}

bool ResultsGrid::colourCellRange(int firstRow, int firstCol, std::optional<int> lastRow,
                                  std::optional<int> lastCol, Colour colour) {
  Impl& d = *impl_;
  // Only the far corner is clipped; a near corner outside the grid means nothing happens.
  int lr = std::min(lastRow.value_or(firstRow), d.rowCount() - 1);
  int lc = std::min(lastCol.value_or(firstCol), d.colCount() - 1);
  if (firstRow < 0 || firstCol < 0 || lr < 0 || lc < 0 || lr < firstRow || lc < firstCol) return false;
  bool quiet = d.pending(firstRow, lr);
  if (!quiet) d.flush();
  for (int r = firstRow; r <= lr; ++r) setColours(d.rows[size_t(r)], firstCol, lc, colour);
  if (!quiet && d.observer) d.observer->cellsChanged(firstRow, firstCol, lr, lc);
  return true;
}

bool ResultsGrid::insertColumn(std::string_view caption, std::optional<int> position) {
  Impl& d = *impl_;
  d.cursor = {};  // texts may move
  int n = d.colCount();
  if (n >= kMaxColumns) return false;
  d.flush();
  int p = (position && *position >= d.fixedCols && *position <= n - 1) ? *position : n;
  if (p < n) {
    for (Row& r : d.rows) insertEmptyCell(r, p);
    if (d.curCol >= p) ++d.curCol;
    if (d.sel) {
      if (d.sel->firstCol >= p) ++d.sel->firstCol;
      if (d.sel->lastCol >= p) ++d.sel->lastCol;
    }
  }
  d.widths.insert(d.widths.begin() + p, d.textWidth(caption));
  if (!d.rows.empty()) setCell(d.rows[0], p, caption, d.pool);
  if (d.observer) d.observer->columnsInserted(p, p);
  return true;
}

bool ResultsGrid::setColumnWidth(int col, int width) {
  Impl& d = *impl_;
  if (col < 0 || col >= d.colCount()) return false;
  d.widths[size_t(col)] = width;
  if (d.observer) {
    d.flush();
    d.observer->columnWidthChanged(col, width);
  }
  return true;
}

int ResultsGrid::columnWidth(int col) const {
  const Impl& d = *impl_;
  return (col >= 0 && col < d.colCount()) ? d.widths[size_t(col)] : 0;
}

bool ResultsGrid::setRowHeight(int row, int height) {
  Impl& d = *impl_;
  if (row < 0 || row >= d.rowCount()) return false;
  d.rows[size_t(row)].height = height;
  if (d.observer) {
    d.flush();
    d.observer->rowHeightChanged(row, height);
  }
  return true;
}

int ResultsGrid::rowHeight(int row) const {
  const Impl& d = *impl_;
  return (row >= 0 && row < d.rowCount()) ? d.rows[size_t(row)].height : 0;
}

std::string ResultsGrid::cellText(int row, int col) const { return std::string(cellTextView(row, col)); }

std::string_view ResultsGrid::cellTextView(int row, int col) const {
  const Impl& d = *impl_;
  if (row < 0 || col < 0 || row >= d.rowCount() || col >= d.colCount()) return {};
  return cellView(d.rows[size_t(row)], col, d.pool, d.cursor);
}

void ResultsGrid::setRowPath(int row, std::string_view bytes) {
  Impl& d = *impl_;
  if (row < d.fixedRows || row >= d.rowCount()) return;
  Row& r = d.rows[size_t(row)];
  if (bytes == cellTextView(row, 0)) {
    r.pathId = 0;
    return;
  }
  d.paths.emplace_back(bytes);
  r.pathId = uint32_t(d.paths.size());
}

std::string ResultsGrid::rowPath(int row) const {
  const Impl& d = *impl_;
  if (row >= 0 && row < d.rowCount()) {
    if (const uint32_t id = d.rows[size_t(row)].pathId) return d.paths[id - 1];
  }
  return cellText(row, 0);
}

std::optional<Colour> ResultsGrid::cellColour(int row, int col) const {
  const Impl& d = *impl_;
  if (row < 0 || col < 0 || row >= d.rowCount() || col >= d.colCount()) return std::nullopt;
  const Row& r = d.rows[size_t(row)];
  if (col >= r.colourCount || !(r.colours[col] & kColourSet)) return std::nullopt;
  return Colour(r.colours[col] & 0xFFFFFFFFu);
}

int ResultsGrid::currentRow() const { return impl_->curRow; }
int ResultsGrid::currentColumn() const { return impl_->curCol; }

void ResultsGrid::setCurrentCell(int row, int col) {
  Impl& d = *impl_;
  bool inside = row >= d.fixedRows && row < d.rowCount() && col >= 0 && col < d.colCount();
  int r = inside ? row : -1, c = inside ? col : -1;
  if (r == d.curRow && c == d.curCol) return;
  d.flush();
  d.curRow = r;
  d.curCol = c;
  if (d.observer) d.observer->currentCellMoved();
}

void ResultsGrid::selectRange(int firstRow, int firstCol, std::optional<int> lastRow,
                              std::optional<int> lastCol) {
  Impl& d = *impl_;
  d.flush();
  int fr = firstRow, fc = firstCol;
  int lr = lastRow.value_or(firstRow), lc = lastCol.value_or(firstCol);
  if (lr < fr) std::swap(lr, fr);
  if (lc < fc) std::swap(lc, fc);
  lr = std::min(lr, d.rowCount() - 1);
  lc = std::min(lc, d.colCount() - 1);
  // The header row is never selected: rows before the first non-header row rise to it.
  fr = std::max(fr, d.fixedRows);
  lr = std::max(lr, d.fixedRows);
  fc = std::max(fc, 0);
  if (lr >= d.rowCount() || fr > lr || fc > lc)
    d.sel.reset();
  else
    d.sel = Range{fr, fc, lr, lc};
  if (d.observer) d.observer->selectionChanged();
}

std::optional<ResultsGrid::Range> ResultsGrid::selection() const { return impl_->sel; }

void ResultsGrid::clearSelection() {
  Impl& d = *impl_;
  if (!d.sel) return;
  d.flush();
  d.sel.reset();
  if (d.observer) d.observer->selectionChanged();
}

bool ResultsGrid::disabled() const { return impl_->disabled; }

void ResultsGrid::setDisabled(bool disabled) {
  Impl& d = *impl_;
  if (d.disabled == disabled) return;
  d.disabled = disabled;
  if (d.observer) {
    d.flush();
    d.observer->disabledChanged(disabled);
  }
}

void ResultsGrid::clearForSearch() {
  setRowCount(1);
  setDisabled(true);
  resetToDesignLayout(true);
}

void ResultsGrid::colourWholeRow(int row, Colour colour) {
  colourCellRange(row, 0, row, columnCount() - 1, colour);
}

void ResultsGrid::selectWholeRow(int row) { selectRange(row, 0, row, columnCount() - 1); }

void ResultsGrid::beginBatch() { ++impl_->batchDepth; }

void ResultsGrid::endBatch() {
  Impl& d = *impl_;
  if (d.batchDepth > 0 && --d.batchDepth == 0) {
    d.shrinkLastRow();
    d.flush();
  }
}

void ResultsGrid::setTextWidthMeasure(std::function<int(std::string_view)> measure) {
  impl_->measure = std::move(measure);
}

int ResultsGrid::defaultTextWidth(std::string_view text) {
  int width = 8;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    int len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    width += c < 0x80 ? 7 : 14;
    i += size_t(len);
  }
  return width;
}
