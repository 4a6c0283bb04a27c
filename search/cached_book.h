// A workbook as the scan reads it, kept apart from the library so a later
// search can read it from the cell cache instead of the file: the sheets in
// order with their names, last row and column, hidden rows and columns (below
// the last row and column: the only ones the scan asks about) and every
// stored cell with its text. encodeBook reads a loaded book through the
// library's entry points into a compact byte form; decodeBook turns that form
// back into a CachedBook, which answers the same entry points
// (cachedBookApi()) with exactly what the library answered.
//
// The byte form, written in one pass over the cells: every text as
// [length][bytes][NUL] in cell order, then varints (LEB128) for the layout of
// every sheet with its cells as (row step, column step, text reference), then
// the 8-byte length of the text part. The text part is the decoded book's
// text store as it stands, so decoding copies no text. A long text many cells
// share (one shared string behind thousands of cells) is written once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xl/xlapi.h"

class TextMatcher;
class TrigramSummaryBuilder;

struct CachedBook;

struct CachedSheet {
  const CachedBook* owner = nullptr;
  std::string name;
  bool absent = false;  // the library gave no sheet handle for this index
  int lastRow = 0;
  int lastCol = 0;
  std::vector<uint32_t> hiddenRows;  // sorted
  std::vector<uint32_t> hiddenCols;  // sorted
  std::vector<uint32_t> rows;        // per stored cell, row-major as the library keeps them
  std::vector<uint16_t> cols;
  std::vector<uint32_t> texts;       // per stored cell: offset of its text entry in the store
  // With the book's hits known: the stored cells whose text holds them, ascending.
  std::vector<int> hits;
};

struct CachedBook {
  // The text store: the text part of the decoded bytes, kept as they came.
  struct Free {
    void operator()(char* p) const;
  };
  std::unique_ptr<char, Free> store;
  size_t storeSize = 0;
  std::vector<CachedSheet> sheets;
  // The search text every sheet's hits were found for; none known when empty.
  std::string hitsOf;

  uint64_t memoryBytes() const;
};

// Entry points that read a CachedBook passed as the book handle (its sheets
// as the sheet handles). Reading only: loads, writes and saves fail;
// bookRelease deletes the book.
const XlApi& cachedBookApi();
BookHandle toHandle(CachedBook* book);

// Reads the loaded `book` through `api` and gives its byte form to `out` in
// pieces, in order, and every text to `summary` (when not null). Returns the
// form's size, or 0 when the book cannot be kept (a cell order or position
// the cached copy would not reproduce, texts past the form's bounds): what
// `out` was given is then to be thrown away.
uint64_t encodeBook(const XlApi& api, BookHandle book, const std::function<void(const char*, size_t)>& out,
                    TrigramSummaryBuilder* summary);

// Gives every text of a whole byte form (as encodeBook wrote it) to
// `summary`, as encodeBook would have; false when `form` is not one.
bool summariseForm(const char* form, size_t size, TrigramSummaryBuilder& summary);

// The book of a byte form held in `bytes` (malloc'ed, `size` bytes; taken
// over whatever the outcome). Null when the bytes are not a well-formed byte
// form: every count, offset and text is checked against the bytes' bounds.
// With `hits` (findTextHits of the same form), each sheet's hits are the
// cells showing one of those texts. Once `cancel` is set the decoding of a
// large book stops early, also with null.
std::unique_ptr<CachedBook> decodeBook(char* bytes, size_t size, const std::vector<uint32_t>* hits = nullptr,
                                       const std::atomic<int>* cancel = nullptr);

// The text entries of a whole byte form that `matcher` finds its text in,
// each tested once however many cells show it: their offsets, ascending, in
// `hits`. False when `form` is not one.
bool findTextHits(const char* form, size_t size, const TextMatcher& matcher, std::vector<uint32_t>& hits);
