// What a scan writes, as an ordered list of operations: columns appended to
// the results grid, rows put into it and progress. The scan can so run away
// from the grid (on a worker thread) and the grid applies the operations
// later, in order, with exactly the grid operations a direct scan would make.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "results/results_grid.h"
#include "results/text_pool.h"

class ScanOutput {
 public:
  // The progress bar's stored position and maximum and, when not empty, the
  // new status text.
  using ProgressFn = std::function<void(int position, int maximum, std::string_view status)>;

  // Insert column without a position, captioned; then its width.
  void appendColumn(std::string_view caption, int width);
  // Starts a row: appended when `position` is negative, else inserted before
  // `position`. The row's cells follow with cell(); `colour`, when set,
  // colours the whole row once its cells are written.
  void beginRow(int position, std::optional<Colour> colour);
  void cell(int col, std::string_view text);
  // The path bytes behind the row's column 0 text (ResultsGrid::setRowPath).
  void rowPath(std::string_view bytes);
  // cell() for a text of the book being scanned: a long one the last such
  // cell showed (same pointer and length) is taken without comparing it
  // again, until newBook() says the book's memory may hold other texts.
  void bookCell(int col, std::string_view text);
  void newBook() { lastBookText_ = {}; }
  // Texts this long travel once per batch however many cells show them.
  static constexpr size_t kPooledBytes = TextPool::kMinBytes;
  void progress(int position, int maximum, std::string_view status);

  bool empty() const { return ops_.empty(); }
  size_t rowOps() const { return rowOps_; }
  size_t textBytes() const { return text_.size() + pool_.bytes(); }
  void clear();
  void swap(ScanOutput& other) noexcept;

  // Applies every operation in order; progress goes to `onProgress` (may be empty).
  void applyTo(ResultsGrid& grid, const ProgressFn& onProgress = {}) const;

 private:
  enum class Kind : uint8_t { Column, Row, Progress };
  struct Op {
    Kind kind;
    bool coloured = false;
  bool hasPath = false;  // Row: textOff/textLen hold its path bytes
    int a = 0;  // Column: width; Row: position (< 0 appends); Progress: position
    int b = 0;  // Progress: maximum
    Colour colour = 0;
    uint32_t textOff = 0, textLen = 0;      // Column: caption; Progress: status; Row: path bytes
    uint32_t firstCell = 0, cellCount = 0;  // Row
  };
  struct CellOp {
    int col;
    uint32_t off, len;  // len kPooled: off is the id of a long text in pool_
  };
  static constexpr uint32_t kPooled = UINT32_MAX;
  uint32_t addText(std::string_view text);

  std::vector<Op> ops_;
  std::vector<CellOp> cells_;
  std::string text_;
  // A long text that many rows show travels once per batch.
  TextPool pool_;
  std::string_view lastBookText_;  // in the book being scanned; its id in pool_
  uint32_t lastBookTextId_ = 0;
  size_t rowOps_ = 0;
};
