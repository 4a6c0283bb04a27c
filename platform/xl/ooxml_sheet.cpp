// One worksheet part: the stored cells with the text a spreadsheet
// application shows for each, hidden rows and hidden columns. This is the
// hot path of a search, so per-cell work stays small: no strings per
// attribute, no lookups beyond an index, buffers reused from cell to cell.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "platform/xl/cellformat.h"
#include "platform/xl/ooxml_internal.h"
#include "platform/xl/ooxml_pieces.h"

namespace xl::ooxml {

namespace {

enum class CellType : uint8_t { Number, Shared, Str, Inline, Bool, Error, Date, Other };

CellType cellTypeOf(std::string_view t) {
  if (t.size() == 1) {
    switch (t[0]) {
      case 's': return CellType::Shared;
      case 'n': return CellType::Number;
      case 'b': return CellType::Bool;
      case 'e': return CellType::Error;
      case 'd': return CellType::Date;
      default: return CellType::Other;
    }
  }
  if (t.empty()) return CellType::Number;
  if (t == "str") return CellType::Str;
  if (t == "inlineStr") return CellType::Inline;
  return CellType::Other;
}

// A width attribute that says 0 ("0", "0.0").
bool isZeroWidth(std::string_view v) {
  double w = 1;
  auto res = std::from_chars(v.data(), v.data() + v.size(), w);
  return res.ec == std::errc() && res.ptr == v.data() + v.size() && w == 0;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// Where the next cell without a reference goes.
struct Position {
  uint32_t curRow = 0, nextRow = 0, nextCol = 0;
  bool rowValid = true;
};

// Text offsets of a piece's own texts carry this bit until the piece's
// texts are appended to the book; the arena's bound keeps it free.
constexpr uint32_t kPieceText = 1u << 31;
static_assert(kMaxArenaBytes < kPieceText);

// The length of a cell whose offset is still a shared-string index (one the
// table holds). Cells wait like this and are resolved in batches: in a big
// table each lookup misses the processor's cache, and a tight loop that
// looks ahead lets those misses overlap instead of stalling one by one.
constexpr uint32_t kSharedIndex = ~0u;

// The length of a cell whose offset is a DayTexts key, in a piece: the
// sheet's parser gives it its text where the piece is applied.
constexpr uint32_t kDayKey = ~0u - 1;

// Texts of whole numbers under a number format other than General (dates,
// mostly) in a big sheet, each made and stored once: a column of a million
// dates holds a few thousand distinct days. Used on the parser's thread
// only.
class DayTexts {
 public:
  static constexpr uint32_t kDays = 1u << 16;
  // False when `value` is not a whole number of days below kDays.
  static bool key(double value, NumberKind kind, uint32_t& key) {
    if (!(value >= 0 && value < kDays) || value != std::floor(value)) return false;
    key = static_cast<uint32_t>(kind) << 16 | static_cast<uint32_t>(value);
    return true;
  }
  // The text of `key` in the book, added the first time; false when the
  // arena is full.
  bool text(uint32_t key, Book& book, bool date1904, uint32_t& off, uint32_t& len) {
    std::vector<uint64_t>& table = tables_[key >> 16];
    if (table.empty()) table.resize(kDays);  // 0: not made yet (a day's text is never empty)
    uint64_t& slot = table[key & (kDays - 1)];
    if (slot == 0) {
      const auto kind = static_cast<NumberKind>(key >> 16);
      const std::string shown = formatNumber(static_cast<double>(key & (kDays - 1)), kind, date1904);
      if (!book.addCellText(shown, off, len)) return false;
      slot = static_cast<uint64_t>(off) << 32 | len;
    }
    off = static_cast<uint32_t>(slot >> 32);
    len = static_cast<uint32_t>(slot);
    return true;
  }

 private:
  std::vector<uint64_t> tables_[256];  // by number kind
};

void resolveShared(CellRef* cells, size_t n, const SharedStrings& sst) {
  constexpr size_t kAhead = 16;
  const std::pair<uint32_t, uint32_t>* items = sst.items.data();
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n && cells[i + kAhead].len == kSharedIndex) __builtin_prefetch(items + cells[i + kAhead].off);
    CellRef& c = cells[i];
    if (c.len != kSharedIndex) continue;
    const auto& item = items[c.off];
    c.off = item.first;
    c.len = item.second;
  }
}

// What a piece of sheetData read alone leaves: its cells (texts in `texts`),
// hidden rows, and where the next cell would go.
struct SheetPiece : PieceResult {
  std::vector<CellRef> cells;
  std::string texts;
  std::vector<uint32_t> hiddenRows;
  Position end;
  bool placed = false;  // a numbered row set `end`; else the piece leaves the position as it was
  PieceShape shape;
  // Empty again, keeping the memory.
  void clear() {
    cells.clear();
    texts.clear();
    hiddenRows.clear();
    shape.clear();
    placed = false;
  }
};

class SheetHandler : public SaxHandler {
 public:
  SheetHandler(const std::string& part, Sheet& sheet, SheetContext& ctx)
      : part_(part), sheet_(sheet), ctx_(ctx) {
    value_.reserve(256);
    inline_.reserve(256);
  }
  // A piece cut after a row end inside sheetData: it starts there, and the
  // position of a cell depends on the rows before it until a numbered row
  // sets it; a cell before that makes the piece one to read in order.
  SheetHandler(const std::string& part, Sheet& sheet, SheetContext& ctx, SheetPiece& piece, bool days)
      : SheetHandler(part, sheet, ctx) {
    piece_ = &piece;
    dayKeys_ = days;
    inSheetData_ = rootSeen_ = true;
    positionKnown_ = false;
  }

  // Between two rows of sheetData: where a piece read alone starts.
  bool betweenRows() const { return inSheetData_ && !inCols_ && rootSeen_ && !inCell_ && !failed(); }
  Position position() const { return {curRow_, nextRow_, nextCol_, rowValid_}; }
  bool placed() const { return positionKnown_; }
  void resumeAt(const Position& p) {
    curRow_ = p.curRow;
    nextRow_ = p.nextRow;
    nextCol_ = p.nextCol;
    rowValid_ = p.rowValid;
  }

  void start(const char* name, const char** atts) override {
    if (inCell_) {
      startInCell(name);
      return;
    }
    if (inSheetData_) {
      if (name[0] == 'c' && name[1] == 0) startCell(atts);
      else if (eq(name, "row")) startRow(atts);
      return;
    }
    if (eq(name, "sheetData")) {
      inSheetData_ = true;
    } else if (eq(name, "cols")) {
      inCols_ = true;
    } else if (inCols_ && eq(name, "col")) {
      hiddenCols(atts);
    } else if (!rootSeen_) {
      rootSeen_ = true;
      if (eq(name, "chartsheet") || eq(name, "dialogsheet")) sheet_.isChart = true;
    }
  }

  void end(const char* name) override {
    if (inCell_) {
      if (name[1] == 0) {
        if (name[0] == 'v') {
          inValue_ = false;
        } else if (name[0] == 'c') {
          inCell_ = false;
          finishCell(value_);
        } else if (name[0] == 't') {
          if (inText_) decodeEscapes(inline_, runStart_);
          inText_ = false;
        }
      } else if (eq(name, "rPh")) {
        if (phonetic_ > 0) --phonetic_;
      } else if (eq(name, "is")) {
        inIs_ = false;
      }
      return;
    }
    if (!inSheetData_ && !inCols_) return;
    if (name[0] == 'r' && name[1] == 'o') return;  // </row>
    if (piece_ && inSheetData_) {
      fail(LoadCause::PieceNeedsOrder);  // the end of sheetData is read in order
      return;
    }
    if (eq(name, "sheetData")) inSheetData_ = false;
    else if (eq(name, "cols")) inCols_ = false;
  }

  // A stored cell takes at least about 20 bytes of sheet XML. A sheet big
  // enough to be read in pieces (whether or not cores are free to) stores
  // each day's text once.
  void partSize(uint64_t bytes) override {
    sheet_.reserveCells(static_cast<size_t>(bytes / 20));
    if (bytes >= daysFrom_) {
      days_ = std::make_unique<DayTexts>();
      dayKeys_ = true;
    }
  }
  DayTexts* days() { return days_.get(); }

  bool wantsCells() const override { return inSheetData_ && !inCell_; }

  // A whole <c> element read in one walk: the same steps as its events.
  void cell(const CellTag& tag) override {
    beginCell(tag.r, tag.s, tag.t);
    hasValue_ = tag.hasValue;
    hasInline_ = tag.hasInline;
    if (tag.hasInline) {
      inline_.assign(tag.inlineText);
      decodeEscapes(inline_);
    }
    finishCell(tag.value);
  }

  void text(const char* s, int len) override {
    std::string* target = inValue_ ? &value_ : (inText_ && phonetic_ == 0 ? &inline_ : nullptr);
    if (!target) return;
    if (target->size() + static_cast<size_t>(len) > kMaxTextBytes) {
      fail({LoadCause::TooLargePartText, part_});
      return;
    }
    target->append(s, static_cast<size_t>(len));
  }

 private:
  void startRow(const char** atts) {
    if ((++rows_ & kCancelPollCells) == 0 && ctx_.book.cancelled()) {
      fail(LoadCause::Cancelled);
      return;
    }
    bool hidden = false;
    uint32_t row = nextRow_;
    bool haveRow = false;
    for (int i = 0; atts[i]; i += 2) {
      const char* key = atts[i];
      if (key[0] == 'r' && key[1] == 0) {
        uint64_t r = 0;
        if (parseUint(atts[i + 1], r)) {
          haveRow = true;
          rowValid_ = r >= 1 && r <= kMaxRows;
          row = static_cast<uint32_t>(r - 1);
        }
      } else if (eq(key, "hidden")) {
        hidden = isTrue(atts[i + 1]);
      }
    }
    // A row without a number is the one after the previous row.
    if (!haveRow && !positionKnown_) {
      fail(LoadCause::PieceNeedsOrder);
      return;
    }
    positionKnown_ = true;
    if (!haveRow) rowValid_ = nextRow_ < kMaxRows;
    if (!rowValid_) {
      nextRow_ = kMaxRows;
      return;
    }
    curRow_ = row;
    nextRow_ = row + 1;
    nextCol_ = 0;
    if (!hidden) return;
    if (piece_) piece_->hiddenRows.push_back(row);
    else sheet_.hideRow(row);
  }

  void startCell(const char** atts) {
    std::string_view r, style, type;
    for (int i = 0; atts[i]; i += 2) {
      const char* key = atts[i];
      if (key[1] != 0) continue;  // r, t and s are the only one-letter names we need
      if (key[0] == 'r') r = atts[i + 1];
      else if (key[0] == 't') type = atts[i + 1];
      else if (key[0] == 's') style = atts[i + 1];
    }
    beginCell(r, style, type);
    inCell_ = true;
  }

  // The attributes of <c>; data() null: absent.
  void beginCell(std::string_view r, std::string_view style, std::string_view type) {
    if (!positionKnown_) {
      fail(LoadCause::PieceNeedsOrder);
      return;
    }
    hasValue_ = hasInline_ = inValue_ = inText_ = inIs_ = false;
    phonetic_ = 0;
    value_.clear();
    inline_.clear();
    type_ = type.data() ? cellTypeOf(type) : CellType::Number;
    style_ = 0;
    for (size_t i = 0; i < style.size() && style[i] >= '0' && style[i] <= '9' && style_ < 100'000'000; ++i)
      style_ = style_ * 10 + static_cast<uint32_t>(style[i] - '0');
    bool placed = false;
    if (r.data()) {
      uint32_t row, col;
      if (parseCellRef(r, row, col)) {
        cellRow_ = row;
        cellCol_ = col;
        placed = true;
      } else if (outsideGrid(r)) {
        skip_ = true;
        placed = true;
      }
    }
    if (!placed) {
      // A cell without a usable reference takes the next position.
      if (!rowValid_ || nextCol_ >= kMaxCols) {
        skip_ = true;
      } else {
        cellRow_ = curRow_;
        cellCol_ = nextCol_;
      }
    }
    if (!skip_) {
      curRow_ = cellRow_;
      nextCol_ = cellCol_ + 1;
      nextRow_ = std::max(nextRow_, cellRow_ + 1);
      rowValid_ = true;
    }
  }

  // A well-formed reference that lies beyond Excel's grid names no cell.
  static bool outsideGrid(std::string_view v) {
    size_t i = 0;
    while (i < v.size() && ((v[i] >= 'A' && v[i] <= 'Z') || (v[i] >= 'a' && v[i] <= 'z'))) ++i;
    if (i == 0 || i == v.size() || v[i] < '0' || v[i] > '9') return false;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9') ++i;
    return i == v.size();
  }

  void startInCell(const char* name) {
    if (inIs_) {
      if (name[0] == 't' && name[1] == 0) {
        if (phonetic_ == 0) {
          inText_ = true;
          runStart_ = inline_.size();
        }
      } else if (eq(name, "rPh")) {
        ++phonetic_;
      }
    } else if (name[0] == 'v' && name[1] == 0) {
      inValue_ = true;
      hasValue_ = true;
      value_.clear();
    } else if (eq(name, "is")) {
      inIs_ = true;
      hasInline_ = true;
    }
  }

  // `value` is the text of <v> (value_ on the event path, a view of the
  // tokenizer's buffer on the single-pass path).
  void finishCell(std::string_view value) {
    if (skip_) {
      skip_ = false;
      return;
    }
    switch (type_) {
      case CellType::Shared: {
        uint64_t index = 0;
        // An index the table does not hold names no text: the cell is left out.
        if (!hasValue_ || !parseUint(value, index) || index >= ctx_.sst.items.size()) return;
        add(static_cast<uint32_t>(index), kSharedIndex);
        return;
      }
      case CellType::Inline:
        if (hasInline_) store(inline_);
        else if (hasValue_) storeEscaped(value);
        return;
      case CellType::Str:
      case CellType::Other:
        if (hasValue_) storeEscaped(value);
        return;
      case CellType::Error:
        if (hasValue_) store(trimmed(value));
        return;
      case CellType::Bool: {
        if (!hasValue_) return;
        std::string_view v = trimmed(value);
        if (v == "1" || v == "true") storeBool(true);
        else if (v == "0" || v == "false") storeBool(false);
        else store(v);
        return;
      }
      case CellType::Date: {
        if (!hasValue_) return;
        std::string shown;
        if (isoDateText(value, ctx_.styles.kind(style_), shown)) store(shown);
        else store(trimmed(value));
        return;
      }
      case CellType::Number: {
        if (!hasValue_) return;
        std::string_view v = trimmed(value);
        if (v.empty()) return;
        double d = 0;
        // xsd:double allows a leading '+', which from_chars does not.
        std::string_view digits = v.size() > 1 && v[0] == '+' ? v.substr(1) : v;
        NumberKind kind = ctx_.styles.kind(style_);
        // Most numbers are stored as General shows them: keep the text.
        if (kind == NumberKind::General && isGeneralForm(digits)) {
          store(digits);
          return;
        }
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), d);
        if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(d)) {
          store(v);  // not a number after all: show what is stored
          return;
        }
        if (kind == NumberKind::General) {
          store(formatGeneral(d));
          return;
        }
        uint32_t key = 0;
        if (dayKeys_ && DayTexts::key(d, kind, key)) {
          storeDay(key);
          return;
        }
        store(formatNumber(d, kind, ctx_.date1904));
        return;
      }
    }
  }

  void storeEscaped(std::string_view value) {
    if (value.find("_x") == std::string_view::npos) {
      store(value);
      return;
    }
    if (value.data() != value_.data()) value_.assign(value);
    decodeEscapes(value_);
    store(value_);
  }

  // Where `text` goes: the book's arena, or the piece's own texts.
  bool place(std::string_view text, uint32_t& off) {
    if (text.empty()) {
      off = Book::kEmptyText;
      return true;
    }
    if (piece_) {
      off = kPieceText | static_cast<uint32_t>(piece_->texts.size());
      piece_->texts.append(text);
      piece_->texts.push_back('\0');
      return true;
    }
    if (!ctx_.book.addText(text, off)) {
      fail(LoadCause::TooLargeCellText);
      return false;
    }
    return true;
  }

  void store(std::string_view text) {
    uint32_t off = Book::kEmptyText;
    if (place(text, off)) add(off, static_cast<uint32_t>(text.size()));
  }

  void storeDay(uint32_t key) {
    if (piece_) {
      add(key, kDayKey);
      return;
    }
    uint32_t off = 0, len = 0;
    if (!days_->text(key, ctx_.book, ctx_.date1904, off, len)) {
      fail(LoadCause::TooLargeCellText);
      return;
    }
    add(off, len);
  }

  // TRUE and FALSE are stored once and shared by every boolean cell.
  void storeBool(bool value) {
    const std::string_view text = booleanText(value);
    uint32_t& off = boolText_[value ? 1 : 0];
    if (off == kNoText) {
      uint32_t placed = 0;
      if (!place(text, placed)) return;
      off = placed;
    }
    add(off, static_cast<uint32_t>(text.size()));
  }

  void add(uint32_t off, uint32_t len) {
    if (piece_) {
      // The cell bound is checked where the piece is applied.
      piece_->cells.push_back({cellRow_, cellCol_, off, len});
      return;
    }
    if (++ctx_.cellCount > maxCells_) {
      fail(LoadCause::TooLargeCells);
      return;
    }
    // A whole part is tokenized without further reads: test for a cancel
    // every few thousand cells too.
    if ((ctx_.cellCount & kCancelPollCells) == 0 && ctx_.book.cancelled()) {
      fail(LoadCause::Cancelled);
      return;
    }
    pending_.push_back({cellRow_, cellCol_, off, len});
    if (pending_.size() == kPendingCells) flush();
  }

 public:
  // Hands the cells that wait to the sheet, in order: before a piece's cells
  // go in after them, and at the end.
  void flush() {
    resolveShared(pending_.data(), pending_.size(), ctx_.sst);
    sheet_.addCells(pending_.data(), pending_.size());
    pending_.clear();
  }
  // A piece's cells once it is read.
  void resolvePiece() { resolveShared(piece_->cells.data(), piece_->cells.size(), ctx_.sst); }

 private:
  static constexpr size_t kPendingCells = 1024;

  void hiddenCols(const char** atts) {
    uint64_t lo = 0, hi = 0;
    bool hidden = false, noWidth = false, haveLo = false, haveHi = false;
    for (int i = 0; atts[i]; i += 2) {
      const char* key = atts[i];
      if (eq(key, "min")) haveLo = parseUint(atts[i + 1], lo);
      else if (eq(key, "max")) haveHi = parseUint(atts[i + 1], hi);
      else if (eq(key, "hidden")) hidden = isTrue(atts[i + 1]);
      else if (eq(key, "width")) noWidth = isZeroWidth(atts[i + 1]);
    }
    // Excel hides a column of no width whatever its hidden flag says.
    if (!(hidden || noWidth) || !haveLo) return;
    if (!haveHi) hi = lo;
    if (lo < 1) lo = 1;
    if (hi > kMaxCols) hi = kMaxCols;
    if (lo > hi) return;
    sheet_.hideCols(static_cast<uint32_t>(lo - 1), static_cast<uint32_t>(hi - 1));
  }

 public:
  uint64_t maxCells_ = kMaxCells;
  uint64_t daysFrom_ = ~0ull;

 private:
  const std::string& part_;
  Sheet& sheet_;
  SheetContext& ctx_;
  std::vector<CellRef> pending_;  // stored cells not yet handed to the sheet
  std::unique_ptr<DayTexts> days_;
  bool dayKeys_ = false;  // whole days go through days_ (a piece: left as keys)
  std::string value_;   // text of <v>
  std::string inline_;  // text of <is>
  size_t runStart_ = 0;
  uint32_t curRow_ = 0, nextRow_ = 0, nextCol_ = 0;
  uint32_t rows_ = 0;
  uint32_t cellRow_ = 0, cellCol_ = 0, style_ = 0;
  int phonetic_ = 0;
  CellType type_ = CellType::Number;
  bool rowValid_ = true;
  bool inSheetData_ = false, inCols_ = false, rootSeen_ = false;
  bool inCell_ = false, inValue_ = false, inText_ = false, inIs_ = false;
  bool hasValue_ = false, hasInline_ = false, skip_ = false;
  SheetPiece* piece_ = nullptr;
  bool positionKnown_ = true;
  static constexpr uint32_t kNoText = ~0u;
  uint32_t boolText_[2] = {kNoText, kNoText};
};

// Pieces of one sheet's sheetData, read alone on helper threads and applied
// in order where the sheet's own handler reaches them.
class SheetPieces : public PieceWork {
 public:
  SheetPieces(const std::string& part, Sheet& sheet, SheetContext& ctx, SheetHandler& main, const OoxmlLimits& limits)
      : part_(part), sheet_(sheet), ctx_(ctx), main_(main), limits_(limits) {}

  bool parse(char* data, size_t size, std::unique_ptr<PieceResult>& result) override {
    if (!result) result = std::make_unique<SheetPiece>();
    auto& piece = static_cast<SheetPiece&>(*result);
    piece.clear();
    piece.cells.reserve(size / 24);  // a stored cell takes about that much XML
    SheetHandler handler(part_, sheet_, ctx_, piece, main_.days() != nullptr);
    FastXml xml(handler, part_, limits_);
    LoadError error;
    if (!xml.runPiece(data, size, error) || handler.failed() || !handler.betweenRows()) return false;
    handler.resolvePiece();
    piece.placed = handler.placed();
    piece.end = handler.position();
    piece.shape.record(xml);
    return true;
  }

  // The piece stands in for its bytes only when reading them here would
  // have done exactly what it did: the handler between rows, the elements
  // it closes open here, no bound passed (reading the bytes reports that).
  bool apply(PieceResult& result, FastXml& parser) override {
    auto& piece = static_cast<SheetPiece&>(result);
    if (!main_.betweenRows() || !piece.shape.fits(parser)) return false;
    if (ctx_.cellCount + piece.cells.size() > ctx_.maxCells) return false;
    main_.flush();
    // Days first: a day that no longer fits leaves the piece's texts out
    // of the arena, for the parser to read the piece itself.
    DayTexts* days = main_.days();
    for (CellRef& c : piece.cells)
      if (c.len == kDayKey && (!days || !days->text(c.off, ctx_.book, ctx_.date1904, c.off, c.len))) return false;
    uint32_t base = 0;
    if (!piece.texts.empty() && !ctx_.book.addTexts(piece.texts, base)) return false;
    for (CellRef& c : piece.cells)
      if (c.off & kPieceText) c.off = base + (c.off & ~kPieceText);
    sheet_.addCells(piece.cells.data(), piece.cells.size());
    for (uint32_t row : piece.hiddenRows) sheet_.hideRow(row);
    ctx_.cellCount += piece.cells.size();
    if (piece.placed) main_.resumeAt(piece.end);
    piece.shape.applyTo(parser);
    return true;
  }

 private:
  const std::string& part_;
  Sheet& sheet_;
  SheetContext& ctx_;
  SheetHandler& main_;
  const OoxmlLimits& limits_;
};

}  // namespace

bool readWorksheet(Package& pkg, const std::string& part, Sheet& sheet, SheetContext& ctx,
                   LoadError& error) {
  SheetHandler handler(part, sheet, ctx);
  handler.maxCells_ = ctx.maxCells;
  handler.daysFrom_ = pkg.limits().parallelBytes;
  SheetPieces work(part, sheet, ctx, handler, pkg.limits());
  if (!parseInPieces(pkg, part, handler, work, ctx.book, "row>", error)) return false;
  handler.flush();
  return true;
}

}  // namespace xl::ooxml
