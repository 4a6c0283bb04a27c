// The write half of the library: what the C API collects for a book being
// written, turned into an .xlsx file only when the book is saved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/xl/book.h"

namespace xl {

struct WriteFormat {
  int border = 0;  // border style on all four sides (1 = thin)
};

struct WriteCell {
  uint32_t row, col;
  uint32_t off, len;  // text in the book's arena
  int format;         // index into the book's formats, -1 = none
};

struct ColumnSpec {
  uint32_t first, last;
  double width;
  int format;
  bool hidden;
};

struct IgnoredErrors {
  uint32_t rowFirst, colFirst, rowLast, colLast;  // inside Excel's grid
  int kinds;                                       // bit set; 255 = every kind
};

struct WriteSheet {
  std::vector<WriteCell> cells;  // in the order written; the last write to a cell wins
  std::vector<ColumnSpec> columns;
  std::vector<IgnoredErrors> ignored;
};

// Writes every sheet of `book` to `path`. sheets[i] belongs to book.sheets[i]
// (null: save the stored cells as plain texts). The file appears under its
// name only when complete; on failure an existing file is left untouched,
// no temporary file stays behind, and `error` names the cause in Chinese.
bool saveXlsx(const Book& book, const std::vector<const WriteSheet*>& sheets,
              const std::vector<WriteFormat>& formats, const std::string& path, std::string& error);

// "A1", "XFD1048576" (zero-based row and column).
std::string cellName(uint32_t row, uint32_t col);

}  // namespace xl
