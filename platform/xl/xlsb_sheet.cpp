// One worksheet (or macro sheet) part of an .xlsb: the row headers with
// their hidden flag, the hidden column ranges and every cell record, each
// cell shown as the .xlsx reader shows the same value.
#include <algorithm>
#include <string>

#include "platform/xl/biff_records.h"
#include "platform/xl/cellformat.h"
#include "platform/xl/xlsb_reader.h"
#include "platform/xl/xlsb_records.h"

namespace xl::xlsb {

namespace {

class SheetReader {
 public:
  SheetReader(const std::string& part, Sheet& sheet, ooxml::SheetContext& ctx)
      : part_(part), sheet_(sheet), ctx_(ctx) {
    text_.reserve(256);
  }

  // False when the book cannot take more (error set).
  bool record(const Record& r, LoadError& error) {
    if (r.type == kRowHdr) {
      rowHeader(r);
      return true;
    }
    if (r.type == kColInfo) {
      columns(r);
      return true;
    }
    const bool full = r.type <= kFmlaError || r.type == kCellRString;
    const bool brief = (r.type >= kShortBlank && r.type <= kShortIsst) || r.type == kShortRString;
    if (!full && !brief) return true;
    return cell(r, full, error);
  }

  // A stored cell takes about 16 bytes of records (an RK cell 14, a real 18).
  void reserve(uint64_t bytes) { sheet_.reserveCells(static_cast<size_t>(bytes / 16)); }

 private:
  void rowHeader(const Record& r) {
    Fields f(r);
    uint32_t row = 0, xf = 0;
    uint16_t height = 0;
    uint8_t flags1 = 0, flags2 = 0;
    // A row past the grid takes its cells with it.
    rowValid_ = false;
    curCol_ = 0;
    if (!f.u32(row) || row >= kMaxRows) return;
    rowValid_ = true;
    row_ = row;
    if (f.u32(xf) && f.u16(height) && f.u8(flags1) && f.u8(flags2) && (flags2 & 0x10))  // fDyZero
      sheet_.hideRow(row);
  }

  void columns(const Record& r) {
    Fields f(r);
    uint32_t first = 0, last = 0, width = 0, xf = 0;
    uint16_t flags = 0;
    if (!f.u32(first) || !f.u32(last) || !f.u32(width) || !f.u32(xf) || !f.u16(flags)) return;
    if (!(flags & 1) || first > last || first >= kMaxCols) return;  // fHidden
    sheet_.hideCols(first, std::min<uint32_t>(last, kMaxCols - 1));
  }

  bool cell(const Record& r, bool full, LoadError& error) {
    Fields f(r);
    // A short record's cell is the one after the previous cell of the row.
    // A row begins at column 0, so a short record opening a row names
    // column 1, as LibreOffice reads it (Excel opens a row with a full one).
    if (full) {
      if (!f.u32(curCol_)) return true;
    } else if (curCol_ < kMaxCols) {
      ++curCol_;
    }
    uint32_t style = 0;
    uint8_t flags = 0;
    if (!f.u24(style) || !f.u8(flags) || !rowValid_ || curCol_ >= kMaxCols) return true;
    col_ = curCol_;
    uint32_t kind = r.type;
    if (r.type == kShortRString) kind = kCellRString;
    else if (!full) kind = r.type - (kShortBlank - kCellBlank);
    switch (kind) {
      case kCellBlank:
        return true;  // formatting only: not part of the data
      case kCellRk: {
        uint32_t rk = 0;
        if (!f.u32(rk)) return true;
        return number(biff::rkValue(rk), style, error);
      }
      case kCellReal:
      case kFmlaNum: {
        double v = 0;
        if (!f.f64(v)) return true;
        return number(v, style, error);
      }
      case kCellError:
      case kFmlaError: {
        uint8_t code = 0;
        if (!f.u8(code)) return true;
        return store(biffErrorText(code), error);
      }
      case kCellBool:
      case kFmlaBool: {
        uint8_t value = 0;
        if (!f.u8(value)) return true;
        return store(booleanText(value != 0), error);
      }
      case kCellSt:
      case kFmlaString:
        text_.clear();
        if (!f.wideString(text_)) return true;
        return store(text_, error);
      case kCellRString:
        text_.clear();
        if (!f.richString(text_)) return true;
        return store(text_, error);
      case kCellIsst: {
        uint32_t index = 0;
        // An index the table does not hold names no text: the cell is left out.
        if (!f.u32(index) || index >= ctx_.sst.items.size()) return true;
        const auto& item = ctx_.sst.items[index];
        return add(item.first, item.second, error);
      }
      default:
        return true;
    }
  }

  bool number(double v, uint32_t style, LoadError& error) {
    return store(formatNumber(v, ctx_.styles.kind(style), ctx_.date1904), error);
  }

  bool store(std::string_view text, LoadError& error) {
    if (text.size() > ooxml::kMaxTextBytes) {
      error = LoadError{LoadCause::TooLargePartText, part_};
      return false;
    }
    uint32_t off = Book::kEmptyText, len = 0;
    if (!text.empty() && !ctx_.book.addCellText(text, off, len)) {
      error = LoadCause::TooLargeCellText;
      return false;
    }
    return add(off, len, error);
  }

  bool add(uint32_t off, uint32_t len, LoadError& error) {
    if (++ctx_.cellCount > ctx_.maxCells) {
      error = LoadCause::TooLargeCells;
      return false;
    }
    sheet_.addCell(row_, col_, off, len);
    return true;
  }

  const std::string& part_;
  Sheet& sheet_;
  ooxml::SheetContext& ctx_;
  std::string text_;
  // Cells before the first row header go to row 0, as spreadsheet
  // applications put them.
  uint32_t row_ = 0, col_ = 0, curCol_ = 0;
  bool rowValid_ = true;
};

}  // namespace

bool readWorksheet(ooxml::Package& pkg, const std::string& part, Sheet& sheet, ooxml::SheetContext& ctx,
                   LoadError& error) {
  SheetReader reader(part, sheet, ctx);
  // A sheet cut short keeps the cells before the cut.
  return readRecords(
      pkg, part, ctx.book, error, [&](uint64_t declared) { reader.reserve(declared); },
      [&](const Record& r) { return reader.record(r, error); });
}

}  // namespace xl::xlsb
