#include "search/cached_book.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "search/text_match.h"
#include "search/trigram_summary.h"

namespace {

constexpr uint64_t kFormat = 2;
// Texts at least this long are written once however many cells show them.
constexpr int kShareFrom = 64;
// Shorter texts many cells show (a workbook's shared strings) are mostly
// written once too: the last few texts met are remembered by their address
// in the library's book, in a table small enough to stay in the cache.
constexpr size_t kRecentSlots = 4096;
constexpr unsigned char kLongLength = 0xFF;
// Text offsets are 32-bit, and a reference is its offset + 1.
constexpr uint64_t kMaxStore = std::numeric_limits<uint32_t>::max() - 1;
constexpr uint64_t kCellsPerCancelCheck = 1u << 16;

void putVarint(std::string& out, uint64_t v) {
  if (v < 0x80) {  // most steps and lengths
    out.push_back(static_cast<char>(v));
    return;
  }
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

// Two overlapping words cover any length from their size up to twice it.
template <typename Word>
inline void copyOverlapping(char* to, const char* from, size_t n) {
  Word a, b;
  std::memcpy(&a, from, sizeof(Word));
  std::memcpy(&b, from + n - sizeof(Word), sizeof(Word));
  std::memcpy(to, &a, sizeof(Word));
  std::memcpy(to + n - sizeof(Word), &b, sizeof(Word));
}

// Copies a text without a call for the short ones most cells hold.
inline void copyText(char* to, const char* from, size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    copyOverlapping<uint64_t>(to, from, n);
  } else if (n >= 4) {
    copyOverlapping<uint32_t>(to, from, n);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

uint64_t zigzag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }
int64_t unzigzag(uint64_t v) { return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1); }

// Sets of offsets into the text part: a bit per offset.
inline bool bitAt(const std::vector<uint64_t>& bits, uint64_t i) { return (bits[i >> 6] >> (i & 63)) & 1; }
inline void setBit(std::vector<uint64_t>& bits, uint64_t i) { bits[i >> 6] |= uint64_t{1} << (i & 63); }

struct SharedText {
  uint64_t offset;
  int length;
};

uint64_t entrySize(uint64_t length) { return (length < kLongLength ? 1 : 5) + length + 1; }

// Where a text entry starts and how long its text is; false when the entry
// at `off` does not lie whole inside the store.
bool readEntry(const char* store, size_t size, uint64_t off, uint32_t& length, const char*& text) {
  if (off >= size) return false;
  const auto lead = static_cast<unsigned char>(store[off]);
  uint64_t head = 1;
  uint64_t len = lead;
  if (lead == kLongLength) {
    if (size - off < 5) return false;
    uint32_t l = 0;
    std::memcpy(&l, store + off + 1, 4);
    len = l;
    head = 5;
  }
  if (size - off < head + len + 1 || store[off + head + len] != '\0') return false;
  length = static_cast<uint32_t>(len);
  text = store + off + head;
  return true;
}

class Reader {
 public:
  Reader(const char* p, size_t n) : p_(p), n_(n) {}
  bool varint(uint64_t& v) {
    if (pos_ < n_ && static_cast<unsigned char>(p_[pos_]) < 0x80) {  // most steps and references
      v = static_cast<unsigned char>(p_[pos_++]);
      return true;
    }
    v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (pos_ >= n_) return false;
      const auto b = static_cast<unsigned char>(p_[pos_++]);
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return true;
    }
    return false;
  }
  bool count(uint64_t& v, uint64_t bytesEach) { return varint(v) && v <= (n_ - pos_) / bytesEach; }
  bool bytes(std::string& out, uint64_t length) {
    if (length > n_ - pos_) return false;
    out.assign(p_ + pos_, length);
    pos_ += length;
    return true;
  }

 private:
  const char* p_;
  size_t n_;
  size_t pos_ = 0;
};

bool readAscending(Reader& in, std::vector<uint32_t>& out) {
  uint64_t n = 0;
  if (!in.count(n, 1)) return false;
  out.resize(n);
  uint64_t value = 0;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t step = 0;
    if (!in.varint(step) || step > std::numeric_limits<uint32_t>::max()) return false;  // no wrapping round
    value = i == 0 ? step : value + step;
    if ((i > 0 && step == 0) || value > std::numeric_limits<uint32_t>::max()) return false;
    out[i] = static_cast<uint32_t>(value);
  }
  return true;
}

// Where the text entries of a byte form stand: its text part, and the
// offset of the next entry not yet referred to (cells refer to new texts in
// the order of the part).
struct TextPart {
  const char* store;
  size_t size;
  uint64_t next = 0;
  const std::vector<uint64_t>* hitBits = nullptr;  // a bit per offset: an entry whose text is a hit
  const std::atomic<int>* cancel = nullptr;         // looked at every kCellsPerCancelCheck cells

  bool hit(uint32_t offset) const { return bitAt(*hitBits, offset); }

  // A bit per offset: where an entry met so far starts. A reference back
  // must name one, never the middle of a text (a crafted form could make
  // such a text hold the search text where no entry does).
  std::vector<uint64_t>* starts = nullptr;

  // The offset of the entry reference `ref` names (0: the next new one),
  // false when it is no whole entry.
  bool resolve(uint64_t ref, uint32_t& offset) {
    if (ref != 0) {
      const uint64_t off = ref - 1;
      if (off >= next || !bitAt(*starts, off)) return false;
      offset = static_cast<uint32_t>(off);
      return true;
    }
    uint32_t length = 0;
    const char* text = nullptr;
    if (!readEntry(store, size, next, length, text)) return false;
    setBit(*starts, next);
    offset = static_cast<uint32_t>(next);
    next += entrySize(length);
    return true;
  }
};

// Reads a sheet's layout, each cell's text reference resolved to its entry.
bool readSheet(Reader& in, CachedSheet& s, TextPart& texts) {
  uint64_t flags = 0, nameLength = 0, lastRow = 0, lastCol = 0, cells = 0;
  if (!in.varint(flags) || flags > 1 || !in.varint(nameLength) || !in.bytes(s.name, nameLength)) return false;
  s.absent = flags == 1;
  if (!in.varint(lastRow) || !in.varint(lastCol)) return false;
  const int64_t r = unzigzag(lastRow), c = unzigzag(lastCol);
  if (r < std::numeric_limits<int>::min() || r > std::numeric_limits<int>::max() ||
      c < std::numeric_limits<int>::min() || c > std::numeric_limits<int>::max())
    return false;
  s.lastRow = static_cast<int>(r);
  s.lastCol = static_cast<int>(c);
  if (!readAscending(in, s.hiddenRows) || !readAscending(in, s.hiddenCols)) return false;
  if (!in.count(cells, 3)) return false;
  s.rows.resize(cells);
  s.cols.resize(cells);
  s.texts.resize(cells);
  // The bulk of every entry: local copies of the cursors, so they stay in
  // registers while the cells are written out.
  Reader cursor = in;
  TextPart part = texts;
  uint32_t* rows = s.rows.data();
  uint16_t* cols = s.cols.data();
  uint32_t* refs = s.texts.data();
  uint64_t row = 0, col = 0;
  for (uint64_t k = 0; k < cells; ++k) {
    // A stop is seen while a sheet of a million rows is decoded, as while it is loaded.
    if (k % kCellsPerCancelCheck == kCellsPerCancelCheck - 1 && part.cancel &&
        part.cancel->load(std::memory_order_relaxed) != 0)
      return false;
    uint64_t rowStep = 0, colStep = 0, ref = 0;
    if (!cursor.varint(rowStep) || !cursor.varint(colStep) || !cursor.varint(ref) || ref > kMaxStore + 1)
      return false;
    // Steps past any row or column would wrap the sums round to smaller
    // ones: cells out of order, which the lookups by row cannot find.
    if (rowStep > std::numeric_limits<int32_t>::max() || colStep > std::numeric_limits<uint16_t>::max())
      return false;
    row += rowStep;
    col = (rowStep == 0 && k > 0) ? col + 1 + colStep : colStep;
    if (row > std::numeric_limits<int32_t>::max() || col > std::numeric_limits<uint16_t>::max()) return false;
    rows[k] = static_cast<uint32_t>(row);
    cols[k] = static_cast<uint16_t>(col);
    if (!part.resolve(ref, refs[k])) return false;
    if (part.hitBits && part.hit(refs[k])) s.hits.push_back(static_cast<int>(k));
  }
  in = cursor;
  texts = part;
  return true;
}

CachedBook* bookOf(BookHandle h) { return reinterpret_cast<CachedBook*>(h); }
const CachedSheet* sheetOf(SheetHandle h) { return reinterpret_cast<const CachedSheet*>(h); }

const CachedSheet* sheetAt(BookHandle b, int index) {
  const CachedBook* book = bookOf(b);
  if (!book || index < 0 || static_cast<size_t>(index) >= book->sheets.size()) return nullptr;
  return &book->sheets[static_cast<size_t>(index)];
}

// Every cell's entry was checked whole when the book was decoded.
const char* cellText(const CachedSheet& s, size_t k, int* length) {
  const char* entry = s.owner->store.get() + s.texts[k];
  uint32_t len = static_cast<unsigned char>(entry[0]);
  size_t head = 1;
  if (len == kLongLength) {
    std::memcpy(&len, entry + 1, 4);
    head = 5;
  }
  if (length) *length = static_cast<int>(len);
  return entry + head;
}

XlApi makeCachedBookApi() {
  XlApi api;
  api.createXMLBook = []() -> BookHandle { return nullptr; };
  api.bookLoad = [](BookHandle, const char*) { return 0; };
  api.bookErrorMessage = [](BookHandle) { return "ok"; };
  api.bookSheetCount = [](BookHandle b) { return bookOf(b) ? static_cast<int>(bookOf(b)->sheets.size()) : 0; };
  api.bookGetSheet = [](BookHandle b, int i) -> SheetHandle {
    const CachedSheet* s = sheetAt(b, i);
    if (!s || s->absent) return nullptr;
    return reinterpret_cast<SheetHandle>(const_cast<CachedSheet*>(s));
  };
  api.bookGetSheetName = [](BookHandle b, int i) -> const char* {
    const CachedSheet* s = sheetAt(b, i);
    return s ? s->name.c_str() : nullptr;
  };
  api.sheetLastRow = [](SheetHandle h) { return sheetOf(h) ? sheetOf(h)->lastRow : 0; };
  api.sheetLastCol = [](SheetHandle h) { return sheetOf(h) ? sheetOf(h)->lastCol : 0; };
  api.sheetReadStr = [](SheetHandle h, int row, int col, FormatHandle* format) -> const char* {
    if (format) *format = nullptr;
    const CachedSheet* s = sheetOf(h);
    if (!s || row < 0 || col < 0 || col > std::numeric_limits<uint16_t>::max()) return nullptr;
    const auto begin = std::lower_bound(s->rows.begin(), s->rows.end(), static_cast<uint32_t>(row));
    const auto end = std::upper_bound(begin, s->rows.end(), static_cast<uint32_t>(row));
    const auto first = s->cols.begin() + (begin - s->rows.begin()), last = s->cols.begin() + (end - s->rows.begin());
    const auto at = std::lower_bound(first, last, static_cast<uint16_t>(col));
    if (at == last || *at != col) return nullptr;
    return cellText(*s, static_cast<size_t>(at - s->cols.begin()), nullptr);
  };
  api.sheetRowHidden = [](SheetHandle h, int row) {
    const CachedSheet* s = sheetOf(h);
    return s && row >= 0 && std::binary_search(s->hiddenRows.begin(), s->hiddenRows.end(), static_cast<uint32_t>(row))
               ? 1 : 0;
  };
  api.sheetColHidden = [](SheetHandle h, int col) {
    const CachedSheet* s = sheetOf(h);
    return s && col >= 0 && std::binary_search(s->hiddenCols.begin(), s->hiddenCols.end(), static_cast<uint32_t>(col))
               ? 1 : 0;
  };
  api.bookInsertSheet = [](BookHandle, int, const char*, SheetHandle) -> SheetHandle { return nullptr; };
  api.bookAddFormat = [](BookHandle, FormatHandle) -> FormatHandle { return nullptr; };
  api.formatSetBorder = [](FormatHandle, int) {};
  api.sheetWriteStr = [](SheetHandle, int, int, const char*, FormatHandle) { return 0; };
  api.sheetAddIgnoredError = [](SheetHandle, int, int, int, int, int) { return 0; };
  api.sheetSetCol = [](SheetHandle, int, int, double, FormatHandle, int) { return 0; };
  api.bookSave = [](BookHandle, const char*) { return 0; };
  api.bookRelease = [](BookHandle b) { delete bookOf(b); };
  api.sheetStoredCellCount = [](SheetHandle h) { return sheetOf(h) ? static_cast<int>(sheetOf(h)->rows.size()) : 0; };
  api.sheetStoredCell = [](SheetHandle h, int index, int* row, int* col, int* length) -> const char* {
    const CachedSheet* s = sheetOf(h);
    if (!s || index < 0 || static_cast<size_t>(index) >= s->rows.size()) {
      if (row) *row = -1;
      if (col) *col = -1;
      if (length) *length = 0;
      return nullptr;
    }
    const auto k = static_cast<size_t>(index);
    if (row) *row = static_cast<int>(s->rows[k]);
    if (col) *col = s->cols[k];
    return cellText(*s, k, length);
  };
  api.sheetFirstCellOfRow = [](SheetHandle h, int row) {
    const CachedSheet* s = sheetOf(h);
    if (!s || row < 0) return 0;
    return static_cast<int>(std::lower_bound(s->rows.begin(), s->rows.end(), static_cast<uint32_t>(row)) -
                            s->rows.begin());
  };
  api.sheetStoredCellHits = [](SheetHandle h, const char* text, int length, const int** cells) {
    const CachedSheet* s = sheetOf(h);
    if (!s || !text || length < 0 || s->owner->hitsOf.empty() ||
        s->owner->hitsOf != std::string_view(text, static_cast<size_t>(length)))
      return -1;
    *cells = s->hits.data();
    return static_cast<int>(s->hits.size());
  };
  api.bookMemoryBytes = [](BookHandle b) { return bookOf(b) ? static_cast<long long>(bookOf(b)->memoryBytes()) : 0LL; };
  return api;
}

}  // namespace

void CachedBook::Free::operator()(char* p) const { std::free(p); }

uint64_t CachedBook::memoryBytes() const {
  uint64_t total = storeSize + sheets.capacity() * sizeof(CachedSheet);
  for (const CachedSheet& s : sheets)
    total += s.name.capacity() + (s.hiddenRows.capacity() + s.hiddenCols.capacity() + s.rows.capacity() +
                                  s.texts.capacity() + s.hits.capacity()) * sizeof(uint32_t) +
             s.cols.capacity() * sizeof(uint16_t);
  return total;
}

const XlApi& cachedBookApi() {
  static const XlApi api = makeCachedBookApi();
  return api;
}

BookHandle toHandle(CachedBook* book) { return reinterpret_cast<BookHandle>(book); }

uint64_t encodeBook(const XlApi& api, BookHandle book, const std::function<void(const char*, size_t)>& out,
                    TrigramSummaryBuilder* summary) {
  // Buffers of the loader thread, kept from one workbook to the next: most
  // workbooks are small, and setting these up would cost more than they do.
  struct Recent {
    const char* text = nullptr;
    SharedText where{};
    uint32_t book = 0;  // the slot holds a text of this book only when it is the current one
  };
  struct Buffers {
    std::string layout;
    std::string texts;  // the next piece of the text part
    std::vector<Recent> recent = std::vector<Recent>(kRecentSlots);
    uint32_t book = 0;
  };
  thread_local Buffers buffers;
  constexpr size_t kPiece = 256u << 10;
  std::string& layout = buffers.layout;
  layout.clear();
  // The text piece is written through a pointer: sized once per thread.
  if (buffers.texts.size() != kPiece) buffers.texts.resize(kPiece);
  char* const piece = buffers.texts.data();
  size_t used = 0;
  if (++buffers.book == 0) {  // wrapped: no slot may look current
    for (Recent& r : buffers.recent) r = Recent{};
    buffers.book = 1;
  }
  const uint32_t thisBook = buffers.book;
  std::vector<Recent>& recent = buffers.recent;
  uint64_t textBytes = 0;
  std::unordered_map<const char*, SharedText> shared;  // long texts already written
  putVarint(layout, kFormat);
  const int sheets = api.bookSheetCount(book);
  putVarint(layout, static_cast<uint64_t>(std::max(0, sheets)));
  for (int i = 0; i < sheets; ++i) {
    SheetHandle sheet = api.bookGetSheet(book, i);
    const char* name = api.bookGetSheetName(book, i);
    const std::string_view nameText = name ? name : "";
    putVarint(layout, sheet ? 0 : 1);
    putVarint(layout, nameText.size());
    layout.append(nameText);
    const int lastRow = sheet ? api.sheetLastRow(sheet) : 0;
    const int lastCol = sheet ? api.sheetLastCol(sheet) : 0;
    putVarint(layout, zigzag(lastRow));
    putVarint(layout, zigzag(lastCol));
    for (int pass = 0; pass < 2; ++pass) {
      const int limit = pass == 0 ? lastRow : lastCol;
      std::vector<uint32_t> hidden;
      for (int k = 0; k < limit; ++k)
        if ((pass == 0 ? api.sheetRowHidden(sheet, k) : api.sheetColHidden(sheet, k)) == 1)
          hidden.push_back(static_cast<uint32_t>(k));
      putVarint(layout, hidden.size());
      for (size_t k = 0; k < hidden.size(); ++k) putVarint(layout, k == 0 ? hidden[0] : hidden[k] - hidden[k - 1]);
    }
    const int cells = sheet ? std::max(0, api.sheetStoredCellCount(sheet)) : 0;
    putVarint(layout, static_cast<uint64_t>(cells));
    layout.reserve(layout.size() + static_cast<size_t>(cells) * 4);  // most cells take three or four bytes
    int prevRow = 0, prevCol = -1;
    for (int k = 0; k < cells; ++k) {
      int row = 0, col = 0, length = 0;
      const char* text = api.sheetStoredCell(sheet, k, &row, &col, &length);
      const bool sameRow = k > 0 && row == prevRow;
      // The cached copy finds rows by the cells' order: keep only what is in it.
      if (row < prevRow || (sameRow && col <= prevCol) || col < 0 || col > std::numeric_limits<uint16_t>::max() ||
          length < 0 || (!text && length > 0))
        return 0;
      putVarint(layout, static_cast<uint64_t>(row - prevRow));
      putVarint(layout, static_cast<uint64_t>(sameRow ? col - prevCol - 1 : col));
      prevRow = row;
      prevCol = col;
      if (length >= kShareFrom) {
        auto [at, added] = shared.try_emplace(text, SharedText{textBytes, length});
        if (!added && at->second.length == length) {
          putVarint(layout, at->second.offset + 1);
          continue;
        }
      } else if (length > 0) {
        Recent& slot = recent[(reinterpret_cast<uintptr_t>(text) >> 3) % kRecentSlots];
        if (slot.book == thisBook && slot.text == text && slot.where.length == length) {
          putVarint(layout, slot.where.offset + 1);
          continue;
        }
        slot = {text, {textBytes, length}, thisBook};
      }
      putVarint(layout, 0);
      const auto len = static_cast<uint32_t>(length);
      const uint64_t entry = entrySize(len);
      textBytes += entry;
      if (textBytes > kMaxStore) return 0;
      if (used + entry > kPiece) {
        if (used) out(piece, used);
        used = 0;
      }
      if (len < kLongLength) {
        piece[used++] = static_cast<char>(len);
      } else {
        piece[used++] = static_cast<char>(kLongLength);
        std::memcpy(piece + used, &len, 4);
        used += 4;
      }
      if (entry > kPiece) {  // a text larger than a piece goes out as it is
        out(piece, used);
        out(text, len);
        used = 0;
      } else {
        copyText(piece + used, text, len);
        used += len;
      }
      piece[used++] = '\0';
      if (len && summary) summary->add(text, len);
    }
  }
  if (used) out(piece, used);
  const uint64_t trailer = textBytes;
  layout.append(reinterpret_cast<const char*>(&trailer), sizeof trailer);
  out(layout.data(), layout.size());
  const uint64_t size = textBytes + layout.size();
  if (layout.capacity() > (4u << 20)) std::string().swap(layout);  // a big book's layout is not kept
  return size;
}

std::unique_ptr<CachedBook> decodeBook(char* bytes, size_t size, const std::vector<uint32_t>* hits,
                                       const std::atomic<int>* cancel) {
  auto book = std::make_unique<CachedBook>();
  book->store.reset(bytes);
  uint64_t storeSize = 0;
  if (size < sizeof storeSize) return nullptr;
  std::memcpy(&storeSize, bytes + size - sizeof storeSize, sizeof storeSize);
  if (storeSize > size - sizeof storeSize) return nullptr;
  Reader in(bytes + storeSize, size - sizeof storeSize - storeSize);
  uint64_t format = 0, sheets = 0;
  if (!in.varint(format) || format != kFormat || !in.count(sheets, 7)) return nullptr;
  book->sheets.resize(sheets);
  TextPart texts{bytes, storeSize};
  texts.cancel = cancel;
  std::vector<uint64_t> starts(storeSize / 64 + 1);
  texts.starts = &starts;
  std::vector<uint64_t> hitBits;
  if (hits) {
    hitBits.assign(storeSize / 64 + 1, 0);
    for (uint32_t off : *hits) {
      if (off >= storeSize) return nullptr;
      setBit(hitBits, off);
    }
    texts.hitBits = &hitBits;
  }
  for (uint64_t i = 0; i < sheets; ++i) {
    book->sheets[i].owner = book.get();
    if (!readSheet(in, book->sheets[i], texts)) return nullptr;
  }
  if (texts.next != storeSize) return nullptr;
  // Only the text part stays: the layout's bytes are given back.
  if (storeSize > 0 && storeSize < size) {
    if (char* shrunk = static_cast<char*>(std::realloc(bytes, storeSize))) {
      book->store.release();
      book->store.reset(shrunk);
    }
  }
  book->storeSize = storeSize;
  return book;
}

bool findTextHits(const char* form, size_t size, const TextMatcher& matcher, std::vector<uint32_t>& hits) {
  hits.clear();
  uint64_t textBytes = 0;
  if (size < sizeof textBytes) return false;
  std::memcpy(&textBytes, form + size - sizeof textBytes, sizeof textBytes);
  if (textBytes > size - sizeof textBytes || textBytes > kMaxStore) return false;
  if (!matcher.startsAtAnyOccurrence()) {
    for (uint64_t off = 0; off < textBytes;) {
      uint32_t length = 0;
      const char* text = nullptr;
      if (!readEntry(form, textBytes, off, length, text)) return false;
      if (length > 0 && matcher.contains(text, length)) hits.push_back(static_cast<uint32_t>(off));
      off += entrySize(length);
    }
    return true;
  }
  // The whole text part searched at once, most of it by memchr; the entries
  // are walked only as far as the occurrences, and the one each occurrence
  // starts in is tested whole. No occurrence: no text holds the needle.
  uint64_t entry = 0;
  for (size_t at = matcher.find(form, textBytes, 0); at < textBytes; at = matcher.find(form, textBytes, at)) {
    uint32_t length = 0;
    const char* text = nullptr;
    for (;;) {
      if (!readEntry(form, textBytes, entry, length, text)) return false;
      if (at < entry + entrySize(length)) break;
      entry += entrySize(length);
    }
    if (length > 0 && matcher.contains(text, length)) hits.push_back(static_cast<uint32_t>(entry));
    entry += entrySize(length);
    at = entry;
  }
  return true;
}

bool summariseForm(const char* form, size_t size, TrigramSummaryBuilder& summary) {
  uint64_t textBytes = 0;
  if (size < sizeof textBytes) return false;
  std::memcpy(&textBytes, form + size - sizeof textBytes, sizeof textBytes);
  if (textBytes > size - sizeof textBytes) return false;
  for (uint64_t off = 0; off < textBytes;) {
    uint32_t length = 0;
    const char* text = nullptr;
    if (!readEntry(form, textBytes, off, length, text)) return false;
    summary.add(text, length);
    off += entrySize(length);
  }
  return true;
}
