// The cell records of a sheet substream (and, in a BIFF2-4 file, the
// formats and XFs that share its stream).
#include <algorithm>

#include "platform/xl/biff_records.h"

namespace xl::biff {

bool Parser::putText(Sheet& s, uint32_t row, uint32_t col, std::string_view text) {
  if (row >= kMaxRows || col >= kMaxCols) return true;
  if (++cells_ > kMaxCells) {
    tooLarge_ = true;
    return false;
  }
  uint32_t off = Book::kEmptyText, len = 0;
  if (!text.empty() && !book_.addCellText(text, off, len)) {
    tooLarge_ = true;
    return false;
  }
  s.addCell(row, col, off, len);
  return true;
}

bool Parser::putNumber(Sheet& s, uint32_t row, uint32_t col, double v, NumberKind kind) {
  if (row >= kMaxRows || col >= kMaxCols) return true;
  return putText(s, row, col, formatNumber(v, kind, date1904_));
}

bool Parser::putSst(Sheet& s, uint32_t row, uint32_t col, uint32_t isst) {
  if (row >= kMaxRows || col >= kMaxCols) return true;
  if (++cells_ > kMaxCells) {
    tooLarge_ = true;
    return false;
  }
  // An index past the table is a damaged cell, not a damaged book.
  if (isst < sst_.size()) s.addCell(row, col, sst_[isst].first, sst_[isst].second);
  else s.addCell(row, col, Book::kEmptyText, 0);
  return true;
}

bool Parser::parseSheet(size_t start, size_t limit, Sheet& sheet, bool inlineGlobals) {
  Record r;
  if (read(start, r) != Read::Ok || !isBof(r.id)) return true;
  size_t pos = r.next;
  int depth = 0;  // embedded chart substreams
  bool pendingString = false;
  uint32_t pendRow = 0, pendCol = 0;
  const bool biff2 = version_ == 2;

  unsigned records = 0;
  while (pos < limit) {
    if ((++records & kCancelPollRecords) == 0 && book_.cancelled()) return false;
    Read st = read(pos, r);
    // A last sheet without EOF, or whose last record is cut short (a file
    // cut off, a container that lost its last sectors), keeps every cell
    // read before.
    if (st != Read::Ok) break;
    pos = r.next;
    const uint8_t* p = r.data;
    const size_t n = r.len;

    if (isBof(r.id)) {
      ++depth;
      continue;
    }
    if (r.id == kEof) {
      if (depth == 0) break;
      --depth;
      continue;
    }
    if (depth > 0) continue;
    if (inlineGlobals && !globalRecord(r)) return false;

    bool ok = true;
    switch (r.id) {
      case kNumber:
        if (n >= 14) {
          pendingString = false;
          ok = putNumber(sheet, u16(p), u16(p + 2), f64(p + 6), kindOfXf(u16(p + 4)));
        }
        break;
      // BIFF2 cell records are read in any stream: writers put them in
      // later versions' files too, and their ids mean nothing else there.
      case kNumber2:
        if (n >= 15) {
          pendingString = false;
          ok = putNumber(sheet, u16(p), u16(p + 2), f64(p + 7), kindOfBiff2Cell(p));
        }
        break;
      case kInteger2:
        if (n >= 9) {
          pendingString = false;
          ok = putNumber(sheet, u16(p), u16(p + 2), u16(p + 7), kindOfBiff2Cell(p));
        }
        break;
      case kRk:
        if (n >= 10) {
          pendingString = false;
          ok = putNumber(sheet, u16(p), u16(p + 2), rkValue(u32(p + 6)), kindOfXf(u16(p + 4)));
        }
        break;
      case kMulRk:
        if (n >= 6) {
          pendingString = false;
          uint32_t row = u16(p), col = u16(p + 2);
          size_t count = (n - 6) / 6;
          for (size_t k = 0; k < count && ok; ++k) {
            const uint8_t* q = p + 4 + 6 * k;
            ok = putNumber(sheet, row, col + static_cast<uint32_t>(k), rkValue(u32(q + 2)),
                           kindOfXf(u16(q)));
          }
        }
        break;
      case kLabelSst:
        if (version_ == 8 && n >= 10) {
          pendingString = false;
          ok = putSst(sheet, u16(p), u16(p + 2), u32(p + 6));
        }
        break;
      case kLabel:
        if (n >= 8) {
          pendingString = false;
          labelString(p + 6, n - 6);
          ok = putText(sheet, u16(p), u16(p + 2), text_);
        }
        break;
      case kRstring:
        if (n >= 8) {
          pendingString = false;
          cellString(p + 6, n - 6);
          ok = putText(sheet, u16(p), u16(p + 2), text_);
        }
        break;
      case kLabel2:
        if (n >= 8) {
          pendingString = false;
          byteString(p + 7, n - 7, 1);
          ok = putText(sheet, u16(p), u16(p + 2), text_);
        }
        break;
      case kBoolErr:
      case kBoolErr2: {
        size_t at = r.id == kBoolErr2 ? 7 : 6;
        if (n >= at + 2) {
          pendingString = false;
          const char* t = p[at + 1] ? biffErrorText(p[at]) : booleanText(p[at] != 0);
          ok = putText(sheet, u16(p), u16(p + 2), t);
        }
        break;
      }
      case kFormula:
      case kFormula3:
      case kFormula4: {
        size_t at = (r.id == kFormula && biff2) ? 7 : 6;
        if (n < at + 8) break;
        pendingString = false;
        uint32_t row = u16(p), col = u16(p + 2);
        const uint8_t* res = p + at;
        if (u16(res + 6) != 0xFFFF) {
          NumberKind kind = (r.id == kFormula && biff2) ? kindOfFormatOrdinal(p[5] & 0x3F)
                                                        : kindOfXf(u16(p + 4));
          ok = putNumber(sheet, row, col, f64(res), kind);
          break;
        }
        switch (res[0]) {
          case 0:  // the text follows in a STRING record
            pendingString = true;
            pendRow = row;
            pendCol = col;
            break;
          case 1:
            ok = putText(sheet, row, col, booleanText(res[2] != 0));
            break;
          case 2:
            ok = putText(sheet, row, col, biffErrorText(res[2]));
            break;
          case 3:
            ok = putText(sheet, row, col, std::string_view());
            break;
          default:
            break;
        }
        break;
      }
      case kString:
      case kString2:
        if (!pendingString || (r.id == kString2 && !biff2)) break;
        pendingString = false;
        if (r.id == kString2) {
          byteString(p, n, 1);
        } else if (version_ == 8) {
          pos = gather(r);
          SegCursor c(segs_);
          uint16_t cch = 0;
          uint8_t flags = 0;
          units_.clear();
          if (c.u16v(cch) && c.u8(flags)) c.chars(cch, flags & 1, units_);
          text_.clear();
          appendUtf16(text_, units_.data(), units_.size());
        } else {
          byteString(p, n, 2);
        }
        ok = putText(sheet, pendRow, pendCol, text_);
        break;
      case kRow:
        if (n >= 14 && (u16(p + 12) & 0x20)) sheet.hideRow(u16(p));
        break;
      case kColinfo:
        // Excel hides a column of no width whatever its hidden flag says.
        if (n >= 10 && ((u16(p + 8) & 0x01) || u16(p + 4) == 0)) sheet.hideCols(u16(p), u16(p + 2));
        break;
      case kColwidth2:
        if (n >= 4 && u16(p + 2) == 0) sheet.hideCols(p[0], p[1]);
        break;
      default:
        break;
    }
    if (!ok) return fail(LoadCause::TooLargeCellLimit);
  }
  return true;
}

}  // namespace xl::biff
