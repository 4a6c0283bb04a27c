// Helpers shared by the fuzz targets: the input as a file the readers can
// open by path (an anonymous memory file, so no disk traffic per run), and
// the checks every loaded book must pass.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/xl/book.h"
#include "platform/xl/write_all.h"
#include "tests/platform/xl/zip_parts.h"

namespace fuzz {

class MemFile {
 public:
  MemFile(const uint8_t* data, size_t size) {
    fd_ = ::memfd_create("fuzz-input", MFD_CLOEXEC);
    if (fd_ < 0) std::abort();
    if (!xl::writeAll(fd_, data, size)) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { ::close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// A zip is loaded as it is; any other input is taken as parts that `pack`
// puts into a workbook (stored, not deflated), so mutations reach the part
// readers instead of dying in the inflater.
inline void loadZipOrParts(const uint8_t* data, size_t size, std::string (*pack)(const uint8_t*, size_t),
                           void (*load)(const uint8_t*, size_t)) {
  if (size >= 4 && data[0] == 'P' && data[1] == 'K') return load(data, size);
  const std::string packed = pack(data, size);
  if (!packed.empty()) load(reinterpret_cast<const uint8_t*>(packed.data()), packed.size());
}

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline bool hasNonAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return true;
  return false;
}

// What the scan relies on: every stored cell inside the grid, sorted
// row-major without duplicates, its text NUL-terminated at its length; a
// failed load leaves an empty book with a Chinese reason.
inline void checkBook(const xl::Book& book, bool ok) {
  if (!ok) {
    if (!book.sheets.empty()) fail("failed load left sheets");
    if (!hasNonAscii(book.errorText())) fail("failure text is not Chinese");
    return;
  }
  if (!book.error().empty()) fail("loaded book's error is not ok");
  for (const xl::Sheet& sheet : book.sheets) {
    const auto& cells = sheet.cells();
    long long lastRow = -1, lastCol = -1;
    for (size_t i = 0; i < cells.size(); ++i) {
      const xl::CellRef& c = cells[i];
      if (c.row >= xl::kMaxRows || c.col >= xl::kMaxCols) fail("cell outside the grid");
      if (i > 0) {
        const xl::CellRef& p = cells[i - 1];
        if (p.row > c.row || (p.row == c.row && p.col >= c.col)) fail("cells not sorted/unique");
      }
      const char* text = book.text(c);
      if (text[c.len] != '\0') fail("cell text not terminated at its length");
      if (static_cast<long long>(c.row) > lastRow) lastRow = c.row;
      if (static_cast<long long>(c.col) > lastCol) lastCol = c.col;
      if (sheet.find(c.row, c.col) != &c) fail("find() misses a stored cell");
    }
    if (!cells.empty() && (sheet.lastRow() < lastRow + 1 || sheet.lastCol() < lastCol + 1))
      fail("lastRow/lastCol below a stored cell");
    for (size_t i = 0; i < cells.size(); i = sheet.firstCellOfRow(cells[i].row + 1)) {
      if (sheet.firstCellOfRow(cells[i].row) != i) fail("firstCellOfRow wrong");
      if (i >= cells.size()) break;
    }
  }
}

}  // namespace fuzz
