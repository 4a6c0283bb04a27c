#include "search/scan_output.h"

uint32_t ScanOutput::addText(std::string_view text) {
  auto off = static_cast<uint32_t>(text_.size());
  text_.append(text);
  return off;
}

void ScanOutput::appendColumn(std::string_view caption, int width) {
  Op op{Kind::Column};
  op.a = width;
  op.textOff = addText(caption);
  op.textLen = static_cast<uint32_t>(caption.size());
  ops_.push_back(op);
}

void ScanOutput::beginRow(int position, std::optional<Colour> colour) {
  Op op{Kind::Row};
  op.a = position;
  op.coloured = colour.has_value();
  op.colour = colour.value_or(0);
  op.firstCell = static_cast<uint32_t>(cells_.size());
  ops_.push_back(op);
  ++rowOps_;
}

void ScanOutput::cell(int col, std::string_view text) {
  if (text.empty()) return;  // a new row's cells are empty already
  if (text.size() >= kPooledBytes)
    cells_.push_back({col, pool_.intern(text), kPooled});
  else
    cells_.push_back({col, addText(text), static_cast<uint32_t>(text.size())});
  ++ops_.back().cellCount;
}

void ScanOutput::rowPath(std::string_view bytes) {
  Op& op = ops_.back();
  op.hasPath = true;
  op.textOff = addText(bytes);
  op.textLen = static_cast<uint32_t>(bytes.size());
}

void ScanOutput::bookCell(int col, std::string_view text) {
  if (text.size() < kPooledBytes || text.data() != lastBookText_.data() || text.size() != lastBookText_.size()) {
    cell(col, text);
    if (text.size() >= kPooledBytes) {
      lastBookText_ = text;
      lastBookTextId_ = cells_.back().off;
    }
    return;
  }
  cells_.push_back({col, lastBookTextId_, kPooled});
  ++ops_.back().cellCount;
}

void ScanOutput::progress(int position, int maximum, std::string_view status) {
  Op op{Kind::Progress};
  op.a = position;
  op.b = maximum;
  op.textOff = addText(status);
  op.textLen = static_cast<uint32_t>(status.size());
  ops_.push_back(op);
}

void ScanOutput::clear() {
  ops_.clear();
  cells_.clear();
  text_.clear();
  pool_.clear();
  lastBookText_ = {};
  rowOps_ = 0;
}

void ScanOutput::swap(ScanOutput& other) noexcept {
  ops_.swap(other.ops_);
  cells_.swap(other.cells_);
  text_.swap(other.text_);
  pool_.swap(other.pool_);
  std::swap(lastBookText_, other.lastBookText_);
  std::swap(lastBookTextId_, other.lastBookTextId_);
  std::swap(rowOps_, other.rowOps_);
}

void ScanOutput::applyTo(ResultsGrid& grid, const ProgressFn& onProgress) const {
  for (const Op& op : ops_) {
    std::string_view text(text_.data() + op.textOff, op.textLen);
    switch (op.kind) {
      case Kind::Column:
        grid.insertColumn(text);
        grid.setColumnWidth(grid.columnCount() - 1, op.a);
        break;
      case Kind::Row: {
        int row;
        if (op.a < 0) {
          grid.insertRow();
          row = grid.rowCount() - 1;
        } else {
          grid.insertRow(op.a);
          row = op.a;
        }
        for (uint32_t i = op.firstCell; i < op.firstCell + op.cellCount; ++i) {
          const CellOp& c = cells_[i];
          grid.setCellText(row, c.col,
                           c.len == kPooled ? pool_.text(c.off) : std::string_view(text_.data() + c.off, c.len));
        }
        if (op.hasPath) grid.setRowPath(row, text);
        if (op.coloured) {
          // An appended row is coloured to the grid's last row, which is itself.
          int lastRow = op.a < 0 ? grid.rowCount() - 1 : row;
          grid.colourCellRange(row, 0, lastRow, grid.columnCount() - 1, op.colour);
        }
        break;
      }
      case Kind::Progress:
        if (onProgress) onProgress(op.a, op.b, text);
        break;
    }
  }
}
