// Bytes as a cell-cache entry read back from disk (the cache file is input
// like any workbook: a damaged or crafted one must never crash a search).
// The first byte chooses what the rest is:
//   even: the byte form of a book, as decodeBook takes it;
//   odd:  four bytes of the entry's raw size, one byte of the piece size the
//         blob is read in, then the compressed frame as stored.
// A decoded book is read through every entry point the scan uses, and then
// written again through encodeBook: the copy must decode to the same book,
// and its summary must admit every text of it. The hits of a needle found
// in the texts must mark exactly the cells whose text holds it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "search/cached_book.h"
#include "search/cell_codec.h"
#include "search/text_match.h"
#include "search/trigram_summary.h"

namespace {

constexpr uint32_t kMaxRaw = 16u << 20;
// Books whose row or column count is past this are read but not written
// again: writing asks about every row's and column's hiddenness.
constexpr int kMaxRewrite = 1 << 16;

struct Cell {
  int row, col;
  std::string text;
  bool operator==(const Cell&) const = default;
};
struct Sheet {
  bool present;
  std::string name;
  int lastRow, lastCol;
  std::vector<int> hiddenRows, hiddenCols;
  std::vector<Cell> cells;
  bool operator==(const Sheet&) const = default;
};

// Everything the scan can learn from a book, checking the entry points
// against each other on the way.
std::vector<Sheet> readAll(const XlApi& api, BookHandle book) {
  std::vector<Sheet> out;
  const int sheets = api.bookSheetCount(book);
  for (int i = 0; i < sheets; ++i) {
    Sheet s{};
    SheetHandle h = api.bookGetSheet(book, i);
    const char* name = api.bookGetSheetName(book, i);
    s.name = name ? name : "";
    s.present = h != nullptr;
    if (h) {
      s.lastRow = api.sheetLastRow(h);
      s.lastCol = api.sheetLastCol(h);
      const int count = api.sheetStoredCellCount(h);
      for (int k = 0; k < count; ++k) {
        int row = 0, col = 0, length = 0;
        const char* text = api.sheetStoredCell(h, k, &row, &col, &length);
        if (length < 0 || (length > 0 && !text)) std::abort();
        const char* again = api.sheetReadStr(h, row, col, nullptr);
        if (!again || (length > 0 && std::memcmp(again, text, static_cast<size_t>(length)) != 0) || again[length] != '\0')
          std::abort();
        if (api.sheetFirstCellOfRow(h, row) > k) std::abort();
        s.cells.push_back({row, col, std::string(text ? text : "", static_cast<size_t>(length))});
      }
      api.sheetReadStr(h, -1, 0, nullptr);
      api.sheetReadStr(h, 0, 1 << 20, nullptr);
      api.sheetStoredCell(h, count, nullptr, nullptr, nullptr);
      if (s.lastRow <= kMaxRewrite && s.lastCol <= kMaxRewrite) {
        for (int r = 0; r < s.lastRow; ++r)
          if (api.sheetRowHidden(h, r) == 1) s.hiddenRows.push_back(r);
        for (int c = 0; c < s.lastCol; ++c)
          if (api.sheetColHidden(h, c) == 1) s.hiddenCols.push_back(c);
      }
    }
    out.push_back(std::move(s));
  }
  api.bookGetSheet(book, sheets);
  api.bookGetSheetName(book, -1);
  return out;
}

bool rewritable(const std::vector<Sheet>& sheets) {
  for (const Sheet& s : sheets)
    if (s.lastRow > kMaxRewrite || s.lastCol > kMaxRewrite) return false;
  return true;
}

void check(std::unique_ptr<CachedBook> book) {
  if (!book) return;
  const XlApi& api = cachedBookApi();
  BookHandle handle = toHandle(book.release());
  const std::vector<Sheet> first = readAll(api, handle);
  if (rewritable(first)) {
    std::string bytes;
    TrigramSummaryBuilder builder;
    const uint64_t size = encodeBook(api, handle, [&](const char* p, size_t n) { bytes.append(p, n); }, &builder);
    const std::string summary = builder.finish();
    if (size != bytes.size()) std::abort();
    // The summary the writer thread takes from the written form is the one
    // taken while writing it.
    TrigramSummaryBuilder fromForm;
    if (!summariseForm(bytes.data(), bytes.size(), fromForm) || fromForm.finish() != summary) std::abort();
    char* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
    std::memcpy(copy, bytes.data(), bytes.size());
    auto again = decodeBook(copy, bytes.size());
    if (!again) std::abort();  // what was written must read back
    BookHandle second = toHandle(again.release());
    if (readAll(api, second) != first) std::abort();
    api.bookRelease(second);
    for (const Sheet& s : first)
      for (const Cell& c : s.cells)
        if (!TrigramNeedle(c.text).mayOccurIn(summary)) std::abort();
  }
  api.bookRelease(handle);
}

// The hits a warm search scans by: findTextHits and the book decoded with
// them must mark exactly the cells whose text the needle is in.
void checkHits(const char* form, size_t size, std::string_view needle) {
  const TextMatcher matcher(needle);
  std::vector<uint32_t> hits;
  if (!findTextHits(form, size, matcher, hits)) return;
  char* copy = static_cast<char*>(std::malloc(size + 1));
  if (size) std::memcpy(copy, form, size);
  const std::unique_ptr<CachedBook> book = decodeBook(copy, size, &hits);
  if (!book) return;
  for (const CachedSheet& sheet : book->sheets) {
    size_t next = 0;
    for (size_t k = 0; k < sheet.rows.size(); ++k) {
      int length = 0;
      const char* text = cachedBookApi().sheetStoredCell(
          reinterpret_cast<SheetHandle>(const_cast<CachedSheet*>(&sheet)), static_cast<int>(k), nullptr, nullptr,
          &length);
      const bool hit = text && length > 0 && matcher.contains(text, static_cast<size_t>(length));
      const bool marked = next < sheet.hits.size() && sheet.hits[next] == static_cast<int>(k);
      if (hit != marked) std::abort();
      next += marked;
    }
    if (next != sheet.hits.size()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool framed = data[0] & 1;
  ++data;
  --size;
  if (!framed) {
    char* bytes = static_cast<char*>(std::malloc(size + 1));
    if (size) std::memcpy(bytes, data, size);
    TrigramSummaryBuilder summary;
    summariseForm(bytes, size, summary);
    summary.finish();
    // Needles of letters only (found by their first letter in both cases),
    // and of two bytes of the input itself (found by a byte that is none).
    checkHits(bytes, size, "aB");
    if (size >= 3) checkHits(bytes, size, std::string_view(bytes + 1, 2));
    check(decodeBook(bytes, size));
    return 0;
  }
  if (size < 5) return 0;
  uint32_t raw = 0;
  std::memcpy(&raw, data, 4);
  const size_t piece = 1 + data[4] * 97u;
  data += 5;
  size -= 5;
  if (raw > kMaxRaw) return 0;
  EntryDecompressor decompressor;
  if (!decompressor.begin(raw)) return 0;
  for (size_t at = 0; at < size; at += piece)
    if (!decompressor.feed(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at))) break;
  char* bytes = decompressor.finish();
  if (!bytes) return 0;
  // The entry ends in its file's identity, its length last.
  uint32_t identity = 0;
  if (raw < 4) {
    std::free(bytes);
    return 0;
  }
  std::memcpy(&identity, bytes + raw - 4, 4);
  if (identity > raw - 4) {
    std::free(bytes);
    return 0;
  }
  check(decodeBook(bytes, raw - 4 - identity));
  return 0;
}
