// In-memory workbook as the readers leave it: every sheet's stored cells as
// compact (row, col, text) records pointing into one text arena per book.
// Shared strings are stored once in the arena and referenced by many cells.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/xl/load_error.h"
#include "platform/xl/text_arena.h"

namespace xl {

// Limits that keep hostile files from exhausting memory.
inline constexpr uint64_t kMaxArenaBytes = 2'000'000'000ull;   // all cell texts of one book
inline constexpr uint64_t kMaxPartBytes = 4'000'000'000ull;    // one inflated OOXML part
inline constexpr uint32_t kMaxRows = 1'048'576;                // Excel's grid
inline constexpr uint32_t kMaxCols = 16'384;
inline constexpr uint64_t kMaxCells = 200'000'000ull;          // stored cells of one book

struct CellRef {
  uint32_t row;
  uint32_t col;
  uint32_t off;  // offset of the NUL-terminated text in the book's arena
  uint32_t len;  // its length in bytes
};

class Book;

class Sheet {
 public:
  std::string name;
  bool isChart = false;  // chart and dialog sheets: a sheet without cells

  // Readers add cells in any order; finish() sorts them row-major, keeps the
  // last value written to a position, and computes lastRow/lastCol.
  void addCell(uint32_t row, uint32_t col, uint32_t off, uint32_t len);
  // addCell for each of `n` records, in order.
  void addCells(const CellRef* cells, size_t n);
  // Room for about `count` cells ahead, so a big sheet does not grow its
  // records by copying them over and over; a failed reservation is ignored.
  void reserveCells(size_t count);
  void hideRow(uint32_t row);
  void hideCols(uint32_t first, uint32_t last);  // inclusive, zero-based
  void finish();
  // Adds a cell to a finished sheet and keeps it finished, so reads see the
  // cell at once and never have to sort (the writer's path). In row-major
  // order a write is O(1); out of order, the later cells move up by one.
  void writeCell(uint32_t row, uint32_t col, uint32_t off, uint32_t len);

  int lastRow() const { return lastRow_; }
  int lastCol() const { return lastCol_; }
  const std::vector<CellRef>& cells() const { return cells_; }
  const CellRef* find(uint32_t row, uint32_t col) const;  // null when not stored
  size_t firstCellOfRow(uint32_t row) const;              // index, cells().size() when none
  bool rowHidden(uint32_t row) const;
  bool colHidden(uint32_t col) const;
  // Heap bytes held by this sheet's records.
  uint64_t memoryBytes() const;

 private:
  std::vector<CellRef> cells_;
  std::vector<uint32_t> hiddenRows_;                       // sorted, unique after finish()
  std::vector<std::pair<uint32_t, uint32_t>> hiddenCols_;  // merged ranges after finish()
  int lastRow_ = 0;
  int lastCol_ = 0;
  bool sorted_ = true;
};

class Book {
 public:
  Book();
  // Loads a workbook, deciding the format from the file's content. On failure
  // the book is empty and error() holds the cause.
  bool load(const std::string& path);
  const LoadError& error() const { return error_; }
  std::string errorText() const { return loadErrorText(error_); }
  void clear();

  // Cancelling a load from another thread: while *flag is non-zero a load in
  // progress gives up at its next check and load() returns false with
  // loadCancelled() set. Readers call cancelled() in their loops (every
  // megabyte of input or few thousand cells), so a load ends within
  // milliseconds. The flag is read with relaxed atomic loads; null: never.
  void setCancelFlag(const int* flag) { cancel_ = flag; }
  bool cancelled() const { return cancel_ && __atomic_load_n(cancel_, __ATOMIC_RELAXED) != 0; }
  // The last load ended because the cancel flag was set: not a failure of
  // the file, so callers drop it rather than report it.
  bool loadCancelled() const { return loadCancelled_; }

  // Text arena. Returns the offset of a NUL-terminated copy of `text`; fails
  // (returns false) when the arena would pass kMaxArenaBytes.
  bool addText(std::string_view text, uint32_t& off);
  // The same for a cell text a reader found, whole, with its length in
  // `len`: Excel cuts a text at 32,767 characters when it opens a file,
  // but files hold longer ones (other writers make them) and LibreOffice
  // shows them whole. Only a workbook we write is cut (writer.cpp).
  bool addCellText(std::string_view text, uint32_t& off, uint32_t& len);
  // Appends texts already NUL-terminated back to back; `base` is where the
  // first lands. False when the arena would pass kMaxArenaBytes.
  bool addTexts(std::string_view texts, uint32_t& base);
  // Loads running in this process right now (any book, any thread): a
  // reader that could use several cores for one file leaves the cores the
  // other loads use.
  static unsigned loadsInProgress();
  const char* text(uint32_t off) const { return arena_.data() + off; }
  const char* text(const CellRef& c) const { return arena_.data() + c.off; }
  // Offset of the empty text, always present.
  static constexpr uint32_t kEmptyText = 0;

  std::vector<Sheet> sheets;
  // What the last good load read past instead of failing on (a part whose
  // checksum did not match, entities left unexpanded), one short text each:
  // for `--dump`, never shown as a failure.
  std::vector<std::string> diagnostics;
  // Heap bytes held by the arena and every sheet's records, so a caller that
  // keeps several books loaded can bound what they take together.
  uint64_t memoryBytes() const;
  void setError(LoadCause cause, std::string detail = {}) { error_ = {cause, std::move(detail)}; }
  void setError(LoadError error) { error_ = std::move(error); }

 private:
  TextArena arena_;
  LoadError error_;
  const int* cancel_ = nullptr;
  bool loadCancelled_ = false;
};

// Format readers, one per file format. Each fills `book` (already cleared)
// from an open, regular file and returns false with book.setError(...) on
// failure. `fd` stays owned by the caller.
bool readOoxml(int fd, Book& book);
bool readBiff(int fd, const std::string& path, Book& book);
// Any zip workbook: the file itself, or the package inside an encrypted one.
bool readZipPackage(int fd, Book& book);

}  // namespace xl
