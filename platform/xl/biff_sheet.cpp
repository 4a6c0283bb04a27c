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
  // Into the one buffer every cell shares: no string made per number.
  text_.clear();
  appendNumber(text_, v, kind, date1904_);
  return putText(s, row, col, text_);
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
  pending_ = {};
  // A cell record takes 14 bytes or more (a MULRK 6 a cell): about one cell
  // per 16 bytes of the substream, so the records are not copied over and
  // over as they grow. The stream bounds what this reserves.
  sheet.reserveCells((limit - pos) / 16);

  unsigned records = 0;
  while (pos < limit) {
    if ((++records & kCancelPollRecords) == 0 && book_.cancelled()) return false;
    // A last sheet without EOF, or whose last record is cut short (a file
    // cut off, a container that lost its last sectors), keeps every cell
    // read before.
    if (read(pos, r) != Read::Ok) break;
    pos = r.next;
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
    if (!sheetRecord(r, sheet, pos)) return fail(LoadCause::TooLargeCellLimit);
  }
  return true;
}

bool Parser::sheetRecord(const Record& r, Sheet& sheet, size_t& pos) {
  switch (r.id) {
    case kNumber:
    case kNumber2:
    case kInteger2:
    case kRk:
    case kMulRk:
      return numberRecord(r, sheet);
    case kLabelSst:
    case kLabel:
    case kRstring:
    case kLabel2:
      return labelRecord(r, sheet);
    case kBoolErr:
    case kBoolErr2:
      return boolErrRecord(r, sheet);
    case kFormula:
    case kFormula3:
    case kFormula4:
      return formulaRecord(r, sheet);
    case kString:
    case kString2:
      return stringRecord(r, sheet, pos);
    case kRow:
    case kColinfo:
    case kColwidth2:
      layoutRecord(r, sheet);
      return true;
    default:
      return true;
  }
}

bool Parser::numberRecord(const Record& r, Sheet& sheet) {
  const uint8_t* p = r.data;
  const size_t n = r.len;
  switch (r.id) {
    case kNumber:
      if (n < 14) return true;
      pending_.on = false;
      return putNumber(sheet, u16(p), u16(p + 2), f64(p + 6), kindOfXf(u16(p + 4)));
    // BIFF2 cell records are read in any stream: writers put them in
    // later versions' files too, and their ids mean nothing else there.
    case kNumber2:
      if (n < 15) return true;
      pending_.on = false;
      return putNumber(sheet, u16(p), u16(p + 2), f64(p + 7), kindOfBiff2Cell(p));
    case kInteger2:
      if (n < 9) return true;
      pending_.on = false;
      return putNumber(sheet, u16(p), u16(p + 2), u16(p + 7), kindOfBiff2Cell(p));
    case kRk:
      if (n < 10) return true;
      pending_.on = false;
      return putNumber(sheet, u16(p), u16(p + 2), rkValue(u32(p + 6)), kindOfXf(u16(p + 4)));
    default: {  // MULRK
      if (n < 6) return true;
      pending_.on = false;
      const uint32_t row = u16(p), col = u16(p + 2);
      const size_t count = (n - 6) / 6;
      for (size_t k = 0; k < count; ++k) {
        const uint8_t* q = p + 4 + 6 * k;
        if (!putNumber(sheet, row, col + static_cast<uint32_t>(k), rkValue(u32(q + 2)), kindOfXf(u16(q))))
          return false;
      }
      return true;
    }
  }
}

bool Parser::labelRecord(const Record& r, Sheet& sheet) {
  const uint8_t* p = r.data;
  const size_t n = r.len;
  switch (r.id) {
    case kLabelSst:
      if (version_ != 8 || n < 10) return true;
      pending_.on = false;
      return putSst(sheet, u16(p), u16(p + 2), u32(p + 6));
    case kLabel:
      if (n < 8) return true;
      if (!continuedString(r, 6)) labelString(p + 6, n - 6);
      break;
    case kRstring:
      if (n < 8) return true;
      if (!continuedString(r, 6)) cellString(p + 6, n - 6);
      break;
    default:  // LABEL2
      if (n < 8) return true;
      byteString(p + 7, n - 7, 1);
      break;
  }
  pending_.on = false;
  return putText(sheet, u16(p), u16(p + 2), text_);
}

// A BIFF8 cell text longer than one record holds (8,224 bytes) goes on in
// CONTINUE records, each starting with its own flags byte, as in the SST;
// read whole from the string at `at` of the record on. False when no
// CONTINUE follows (the record alone holds the text). The CONTINUEs stay
// where they are: the sheet's loop passes over them.
bool Parser::continuedString(const Record& r, size_t at) {
  Record next;
  if (version_ != 8 || read(r.next, next) != Read::Ok || next.id != kContinue) return false;
  gather(r);
  SegCursor c(segs_);
  uint16_t cch = 0, runs = 0;
  uint32_t ext = 0;
  bool wide = false;
  text_.clear();
  if (c.skip(at) && c.stringHead(cch, wide, runs, ext)) c.text(cch, wide, units_, text_);
  return true;
}

bool Parser::boolErrRecord(const Record& r, Sheet& sheet) {
  const uint8_t* p = r.data;
  const size_t at = r.id == kBoolErr2 ? 7 : 6;
  if (r.len < at + 2) return true;
  pending_.on = false;
  const char* t = p[at + 1] ? biffErrorText(p[at]) : booleanText(p[at] != 0);
  return putText(sheet, u16(p), u16(p + 2), t);
}

bool Parser::formulaRecord(const Record& r, Sheet& sheet) {
  const uint8_t* p = r.data;
  const bool biff2 = r.id == kFormula && version_ == 2;
  const size_t at = biff2 ? 7 : 6;
  if (r.len < at + 8) return true;
  pending_.on = false;
  const uint32_t row = u16(p), col = u16(p + 2);
  const uint8_t* res = p + at;
  if (u16(res + 6) != 0xFFFF) {
    const NumberKind kind = biff2 ? kindOfFormatOrdinal(p[5] & 0x3F) : kindOfXf(u16(p + 4));
    return putNumber(sheet, row, col, f64(res), kind);
  }
  switch (res[0]) {
    case 0:  // the text follows in a STRING record
      pending_ = {true, row, col};
      return true;
    case 1:
      return putText(sheet, row, col, booleanText(res[2] != 0));
    case 2:
      return putText(sheet, row, col, biffErrorText(res[2]));
    case 3:
      return putText(sheet, row, col, std::string_view());
    default:
      return true;
  }
}

bool Parser::stringRecord(const Record& r, Sheet& sheet, size_t& pos) {
  if (!pending_.on || (r.id == kString2 && version_ != 2)) return true;
  pending_.on = false;
  if (r.id == kString2) {
    byteString(r.data, r.len, 1);
  } else if (version_ == 8) {
    // A long text goes on in CONTINUE records, read here and skipped after.
    pos = gather(r);
    SegCursor c(segs_);
    uint16_t cch = 0;
    uint8_t flags = 0;
    text_.clear();
    if (c.u16v(cch) && c.u8(flags)) c.text(cch, flags & 1, units_, text_);
  } else {
    byteString(r.data, r.len, 2);
  }
  return putText(sheet, pending_.row, pending_.col, text_);
}

void Parser::layoutRecord(const Record& r, Sheet& sheet) {
  const uint8_t* p = r.data;
  const size_t n = r.len;
  switch (r.id) {
    case kRow:
      if (n >= 14 && (u16(p + 12) & 0x20)) sheet.hideRow(u16(p));
      break;
    case kColinfo:
      // Excel hides a column of no width whatever its hidden flag says.
      if (n >= 10 && ((u16(p + 8) & 0x01) || u16(p + 4) == 0)) sheet.hideCols(u16(p), u16(p + 2));
      break;
    default:  // COLWIDTH2
      if (n >= 4 && u16(p + 2) == 0) sheet.hideCols(p[0], p[1]);
      break;
  }
}

}  // namespace xl::biff
