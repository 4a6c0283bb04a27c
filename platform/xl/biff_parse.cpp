// BIFF2-8 records, read from a memory buffer with a cursor. Every length and
// index is checked against the buffer before use; nothing here recurses on
// the input, and every loop advances through the stream.
#include "platform/xl/biff_parse.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/xl/biff_text.h"
#include "platform/xl/cellformat.h"

namespace xl::biff {

namespace {

// Record ids.
enum : uint16_t {
  kBof2 = 0x0009, kBof3 = 0x0209, kBof4 = 0x0409, kBof = 0x0809,
  kEof = 0x000A,
  kFilepass = 0x002F,
  kCodepage = 0x0042,
  kDatemode = 0x0022,
  kFormat = 0x041E, kFormat2 = 0x001E,
  kXf = 0x00E0, kXf2 = 0x0043, kXf3 = 0x0243, kXf4 = 0x0443,
  kBoundsheet = 0x0085, kBundlesheet = 0x008F,
  kSst = 0x00FC, kContinue = 0x003C,
  kLabelSst = 0x00FD,
  kLabel = 0x0204, kLabel2 = 0x0004,
  kRstring = 0x00D6,
  kNumber = 0x0203, kNumber2 = 0x0003,
  kInteger2 = 0x0002,
  kRk = 0x027E, kMulRk = 0x00BD,
  kBoolErr = 0x0205, kBoolErr2 = 0x0005,
  kFormula = 0x0006, kFormula3 = 0x0206, kFormula4 = 0x0406,
  kString = 0x0207, kString2 = 0x0007,
  kRow = 0x0208,
  kColinfo = 0x007D,
};

// Substream types of the BOF record.
enum : uint16_t { kBofGlobals = 0x0005, kBofWorkspace = 0x0100 };

// Sheet types of BOUNDSHEET.
enum : uint8_t { kSheetWorksheet = 0, kSheetMacro = 1, kSheetChart = 2, kSheetVbModule = 6 };

constexpr const char* kErrOverrun = "文件已损坏：工作簿流记录越界";
constexpr const char* kErrEncrypted = "文件已加密";
constexpr const char* kErrNoBof = "不是工作簿文件：工作簿流不以 BOF 记录开头";
constexpr const char* kErrTooLarge = "文件过大：单元格超过上限";

inline uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline double f64(const uint8_t* p) {
  uint64_t bits = static_cast<uint64_t>(u32(p)) | (static_cast<uint64_t>(u32(p + 4)) << 32);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

double rkValue(uint32_t rk) {
  double v;
  if (rk & 2) {
    v = static_cast<double>(static_cast<int32_t>(rk) >> 2);
  } else {
    uint64_t bits = static_cast<uint64_t>(rk & 0xFFFFFFFCu) << 32;
    std::memcpy(&v, &bits, sizeof v);
  }
  if (rk & 1) v /= 100;
  return v;
}

inline bool isBof(uint16_t id) { return id == kBof || id == kBof2 || id == kBof3 || id == kBof4; }

struct Record {
  uint16_t id = 0;
  uint16_t len = 0;
  const uint8_t* data = nullptr;
  size_t pos = 0;   // offset of the record header
  size_t next = 0;  // offset just past the record
};

enum class Read { Ok, End, Overrun };

// A record body and the CONTINUE records after it.
struct Seg {
  const uint8_t* p;
  size_t n;
};

// Cursor over segmented record data. Plain fields read straight across a
// segment boundary; character data restarts at a boundary with a new
// option-flags byte that gives the width of the characters that follow.
class SegCursor {
 public:
  explicit SegCursor(const std::vector<Seg>& segs) : s_(segs) {}

  bool u8(uint8_t& v) {
    uint8_t b[1];
    if (!bytes(b, 1)) return false;
    v = b[0];
    return true;
  }
  bool u16v(uint16_t& v) {
    uint8_t b[2];
    if (!bytes(b, 2)) return false;
    v = u16(b);
    return true;
  }
  bool u32v(uint32_t& v) {
    uint8_t b[4];
    if (!bytes(b, 4)) return false;
    v = u32(b);
    return true;
  }
  bool skip(uint64_t n) {
    while (n > 0) {
      if (i_ >= s_.size()) return false;
      size_t avail = s_[i_].n - off_;
      if (avail == 0) {
        ++i_;
        off_ = 0;
        continue;
      }
      size_t take = static_cast<size_t>(std::min<uint64_t>(avail, n));
      off_ += take;
      n -= take;
    }
    return true;
  }
  // True when no data is left at all.
  bool atEnd() {
    while (i_ < s_.size() && off_ >= s_[i_].n) {
      ++i_;
      off_ = 0;
    }
    return i_ >= s_.size();
  }
  // Appends nChars characters to `out`; false when the data ends first
  // (what was read is kept).
  bool chars(size_t nChars, bool wide, std::vector<uint16_t>& out) {
    size_t left = nChars;
    while (left > 0) {
      if (i_ >= s_.size()) return false;
      size_t avail = s_[i_].n - off_;
      if (avail == 0) {
        ++i_;
        off_ = 0;
        if (i_ >= s_.size()) return false;
        if (s_[i_].n == 0) continue;
        wide = (s_[i_].p[0] & 1) != 0;
        off_ = 1;
        continue;
      }
      size_t unit = wide ? 2 : 1;
      size_t take = std::min(left, avail / unit);
      if (take == 0) {  // a lone byte cannot hold a wide character: drop it
        off_ = s_[i_].n;
        continue;
      }
      appendBiffChars(out, s_[i_].p + off_, take, wide);
      off_ += take * unit;
      left -= take;
    }
    return true;
  }

 private:
  bool bytes(uint8_t* out, size_t n) {
    for (size_t k = 0; k < n;) {
      if (i_ >= s_.size()) return false;
      if (off_ >= s_[i_].n) {
        ++i_;
        off_ = 0;
        continue;
      }
      out[k++] = s_[i_].p[off_++];
    }
    return true;
  }

  const std::vector<Seg>& s_;
  size_t i_ = 0;
  size_t off_ = 0;
};

struct SheetEntry {
  std::string name;
  uint32_t pos = 0;
  uint8_t type = kSheetWorksheet;
};

class Parser {
 public:
  Parser(const uint8_t* d, size_t n, Book& book) : d_(d), n_(n), book_(book) {}

  bool run(const std::string& singleSheetName);

 private:
  Read read(size_t pos, Record& r) const {
    if (pos >= n_) return Read::End;
    if (n_ - pos < 4) return Read::Overrun;
    r.id = u16(d_ + pos);
    r.len = u16(d_ + pos + 2);
    if (n_ - pos - 4 < r.len) return Read::Overrun;
    r.data = d_ + pos + 4;
    r.pos = pos;
    r.next = pos + 4 + r.len;
    return Read::Ok;
  }

  bool fail(const char* message) {
    book_.setError(message);
    return false;
  }

  // Gathers the body of `r` and its CONTINUE records into segs_; returns
  // the offset after the last one.
  size_t gather(const Record& r) {
    segs_.clear();
    segs_.push_back({r.data, r.len});
    size_t pos = r.next;
    Record c;
    while (read(pos, c) == Read::Ok && c.id == kContinue) {
      segs_.push_back({c.data, c.len});
      pos = c.next;
    }
    return pos;
  }

  bool globalRecord(const Record& r);  // false only on a fatal error
  void readFormat(const Record& r);
  void readXf(const Record& r);
  void readBoundsheet(const Record& r);
  void readSst(const Record& r);
  void resolveKinds();
  NumberKind kindOfXf(uint32_t xf) {
    if (kindsDirty_) resolveKinds();
    return xf < xfKind_.size() ? xfKind_[xf] : NumberKind::General;
  }
  NumberKind kindOfFormatOrdinal(uint32_t i) {
    if (kindsDirty_) resolveKinds();
    return i < ordinalKind_.size() ? ordinalKind_[i] : NumberKind::General;
  }

  std::vector<size_t> scanSubstreams(size_t from) const;
  bool parseSheet(size_t start, size_t limit, Sheet& sheet, bool inlineGlobals);

  // Cell values.
  bool putText(Sheet& s, uint32_t row, uint32_t col, std::string_view text);
  bool putNumber(Sheet& s, uint32_t row, uint32_t col, double v, NumberKind kind);
  bool putSst(Sheet& s, uint32_t row, uint32_t col, uint32_t isst);
  // An 8-bit text of BIFF2-5 or a BIFF8 unicode string at p[0, n), as UTF-8
  // in text_. `lenBytes` is the width of the length field.
  void byteString(const uint8_t* p, size_t n, int lenBytes);
  void unicodeString(const uint8_t* p, size_t n, int lenBytes);
  void cellString(const uint8_t* p, size_t n) {
    if (version_ == 8) unicodeString(p, n, 2);
    else byteString(p, n, 2);
  }

  const uint8_t* d_;
  size_t n_;
  Book& book_;

  int version_ = 8;
  bool date1904_ = false;
  CodepageDecoder codepage_;
  std::unordered_map<uint32_t, std::string> formats_;  // BIFF5/8: by format id
  std::vector<std::string> formatList_;                // BIFF2-4: by order
  std::vector<uint16_t> xfFormat_;
  std::vector<NumberKind> xfKind_;
  std::vector<NumberKind> ordinalKind_;
  bool kindsDirty_ = true;
  std::vector<std::pair<uint32_t, uint32_t>> sst_;  // arena offset, length
  std::vector<SheetEntry> entries_;
  uint64_t cells_ = 0;
  bool tooLarge_ = false;

  std::vector<Seg> segs_;
  std::vector<uint16_t> units_;
  std::string text_;
};

void Parser::byteString(const uint8_t* p, size_t n, int lenBytes) {
  text_.clear();
  if (n < static_cast<size_t>(lenBytes)) return;
  size_t cch = lenBytes == 1 ? p[0] : u16(p);
  cch = std::min(cch, n - lenBytes);
  codepage_.append(text_, p + lenBytes, cch);
}

void Parser::unicodeString(const uint8_t* p, size_t n, int lenBytes) {
  text_.clear();
  units_.clear();
  if (n < static_cast<size_t>(lenBytes) + 1) return;
  size_t cch = lenBytes == 1 ? p[0] : u16(p);
  uint8_t flags = p[lenBytes];
  bool wide = flags & 1;
  size_t at = lenBytes + 1;
  // Rich-text and phonetic headers may precede the characters in the
  // extended form some writers use for cell strings.
  if (flags & 0x08) at += 2;
  if (flags & 0x04) at += 4;
  if (at > n) return;
  size_t avail = (n - at) / (wide ? 2 : 1);
  appendBiffChars(units_, p + at, std::min(cch, avail), wide);
  appendUtf16(text_, units_.data(), units_.size());
}

bool Parser::putText(Sheet& s, uint32_t row, uint32_t col, std::string_view text) {
  if (row >= kMaxRows || col >= kMaxCols) return true;
  if (++cells_ > kMaxCells) {
    tooLarge_ = true;
    return false;
  }
  uint32_t off = Book::kEmptyText;
  if (!text.empty() && !book_.addText(text, off)) {
    tooLarge_ = true;
    return false;
  }
  s.addCell(row, col, off, static_cast<uint32_t>(text.size()));
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

void Parser::readFormat(const Record& r) {
  const uint8_t* p = r.data;
  size_t n = r.len;
  if (r.id == kFormat2) {  // BIFF2-3: numbered by order
    byteString(p, n, 1);
    formatList_.push_back(text_);
  } else if (version_ == 4) {  // two unused bytes, numbered by order
    if (n >= 2) byteString(p + 2, n - 2, 1);
    else text_.clear();
    formatList_.push_back(text_);
  } else {
    if (n < 2) return;
    uint16_t id = u16(p);
    if (version_ == 8) unicodeString(p + 2, n - 2, 2);
    else byteString(p + 2, n - 2, 1);
    formats_[id] = text_;
  }
  kindsDirty_ = true;
}

void Parser::readXf(const Record& r) {
  const uint8_t* p = r.data;
  uint16_t fmt = 0;
  switch (r.id) {
    case kXf2:
      if (r.len < 3) return;
      fmt = p[2] & 0x3F;
      break;
    case kXf3:
    case kXf4:
      if (r.len < 2) return;
      fmt = p[1];
      break;
    default:
      if (r.len < 4) return;
      fmt = u16(p + 2);
      break;
  }
  // 4050 is Excel's own limit; a stream claiming more XFs is not trusted
  // to allocate more.
  if (xfFormat_.size() >= 65536) return;
  xfFormat_.push_back(fmt);
  kindsDirty_ = true;
}

void Parser::resolveKinds() {
  kindsDirty_ = false;
  ordinalKind_.clear();
  for (const std::string& code : formatList_) ordinalKind_.push_back(classifyNumberFormat(-1, code));
  xfKind_.clear();
  xfKind_.reserve(xfFormat_.size());
  for (uint16_t f : xfFormat_) {
    if (version_ <= 4) {
      xfKind_.push_back(f < ordinalKind_.size() ? ordinalKind_[f] : NumberKind::General);
    } else {
      auto it = formats_.find(f);
      xfKind_.push_back(classifyNumberFormat(f, it == formats_.end() ? std::string_view() : it->second));
    }
  }
}

void Parser::readBoundsheet(const Record& r) {
  const uint8_t* p = r.data;
  size_t n = r.len;
  SheetEntry e;
  if (r.id == kBundlesheet) {  // BIFF4 workbook: position, flags, name
    if (n < 6) return;
    e.pos = u32(p);
    byteString(p + 6, n - 6, 1);
  } else {
    if (n < 6) return;
    e.pos = u32(p);
    e.type = p[5];
    if (version_ == 8) unicodeString(p + 6, n - 6, 1);
    else byteString(p + 6, n - 6, 1);
  }
  e.name = text_;
  entries_.push_back(std::move(e));
}

void Parser::readSst(const Record& r) {
  gather(r);
  SegCursor c(segs_);
  uint32_t total = 0, unique = 0;
  if (!c.u32v(total) || !c.u32v(unique)) return;
  // The counts are not trusted (some writers get them wrong): strings are
  // read while data remains, and the table grows with the data only.
  uint64_t bytes = 0;
  for (const Seg& s : segs_) bytes += s.n;
  sst_.reserve(static_cast<size_t>(std::min<uint64_t>(unique, bytes / 3)));
  while (!c.atEnd()) {
    uint16_t cch = 0;
    uint8_t flags = 0;
    if (!c.u16v(cch) || !c.u8(flags)) break;
    uint16_t runs = 0;
    uint32_t ext = 0;
    if ((flags & 0x08) && !c.u16v(runs)) break;
    if ((flags & 0x04) && !c.u32v(ext)) break;
    units_.clear();
    bool complete = c.chars(cch, flags & 1, units_);
    text_.clear();
    appendUtf16(text_, units_.data(), units_.size());
    uint32_t off = Book::kEmptyText;
    if (!text_.empty() && !book_.addText(text_, off)) {
      tooLarge_ = true;
      return;
    }
    sst_.emplace_back(off, static_cast<uint32_t>(text_.size()));
    if (!complete || !c.skip(4ull * runs) || !c.skip(ext)) break;
  }
}

// Records of the workbook globals; in a BIFF2-4 file they share the stream
// with the cells.
bool Parser::globalRecord(const Record& r) {
  switch (r.id) {
    case kFilepass:
      return fail(kErrEncrypted);
    case kCodepage:
      if (r.len >= 2) codepage_.setCodepage(u16(r.data));
      break;
    case kDatemode:
      if (r.len >= 2) date1904_ = u16(r.data) == 1;
      break;
    case kFormat:
    case kFormat2:
      readFormat(r);
      break;
    case kXf:
    case kXf2:
    case kXf3:
    case kXf4:
      readXf(r);
      break;
    default:
      break;
  }
  return true;
}

// Offsets of the top-level BOF records after `from`, in stream order.
std::vector<size_t> Parser::scanSubstreams(size_t from) const {
  std::vector<size_t> starts;
  size_t pos = from;
  int depth = 0;
  Record r;
  while (read(pos, r) == Read::Ok) {
    if (isBof(r.id)) {
      if (depth == 0) starts.push_back(r.pos);
      ++depth;
    } else if (r.id == kEof && depth > 0) {
      --depth;
    }
    pos = r.next;
  }
  return starts;
}

bool Parser::parseSheet(size_t start, size_t limit, Sheet& sheet, bool inlineGlobals) {
  Record r;
  if (read(start, r) != Read::Ok || !isBof(r.id)) return true;
  size_t pos = r.next;
  int depth = 0;  // embedded chart substreams
  bool pendingString = false;
  uint32_t pendRow = 0, pendCol = 0;
  const bool biff2 = version_ == 2;

  while (pos < limit) {
    Read st = read(pos, r);
    if (st == Read::End) break;  // a last sheet without EOF keeps its cells
    if (st == Read::Overrun) return fail(kErrOverrun);
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
      case kNumber2:
        if (biff2 && n >= 15) {
          pendingString = false;
          ok = putNumber(sheet, u16(p), u16(p + 2), f64(p + 7), kindOfFormatOrdinal(p[5] & 0x3F));
        }
        break;
      case kInteger2:
        if (biff2 && n >= 9) {
          pendingString = false;
          ok = putNumber(sheet, u16(p), u16(p + 2), u16(p + 7), kindOfFormatOrdinal(p[5] & 0x3F));
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
      case kRstring:
        if (n >= 8) {
          pendingString = false;
          cellString(p + 6, n - 6);
          ok = putText(sheet, u16(p), u16(p + 2), text_);
        }
        break;
      case kLabel2:
        if (biff2 && n >= 8) {
          pendingString = false;
          byteString(p + 7, n - 7, 1);
          ok = putText(sheet, u16(p), u16(p + 2), text_);
        }
        break;
      case kBoolErr:
      case kBoolErr2: {
        size_t at = r.id == kBoolErr2 ? 7 : 6;
        if ((r.id == kBoolErr || biff2) && n >= at + 2) {
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
        if (n >= 10 && (u16(p + 8) & 0x01)) sheet.hideCols(u16(p), u16(p + 2));
        break;
      default:
        break;
    }
    if (!ok) return fail(kErrTooLarge);
  }
  return true;
}

bool Parser::run(const std::string& singleSheetName) {
  Record bof;
  if (read(0, bof) != Read::Ok || !isBof(bof.id)) return fail(kErrNoBof);
  uint16_t dt = 0;
  switch (bof.id) {
    case kBof2:
      version_ = 2;
      dt = bof.len >= 4 ? u16(bof.data + 2) : 0x0010;
      break;
    case kBof3:
      version_ = 3;
      dt = bof.len >= 4 ? u16(bof.data + 2) : 0x0010;
      break;
    case kBof4:
      version_ = 4;
      dt = bof.len >= 4 ? u16(bof.data + 2) : 0x0010;
      break;
    default: {
      uint16_t vers = bof.len >= 2 ? u16(bof.data) : 0;
      dt = bof.len >= 4 ? u16(bof.data + 2) : kBofGlobals;
      // BIFF5 and BIFF7 both say 0x0500; anything else written with this BOF
      // id is taken as BIFF8, the form every current writer produces.
      version_ = vers == 0x0500 ? 5 : 8;
      break;
    }
  }
  // BIFF5+ texts are decoded as code page 1252 until a CODEPAGE says more;
  // BIFF8 texts are Unicode anyway.
  codepage_.setCodepage(1252);

  const bool workbook = (version_ >= 5 && dt == kBofGlobals) || (version_ == 4 && dt == kBofWorkspace);
  if (!workbook) {
    // A single worksheet (or chart) with its formats inline.
    Sheet& s = book_.sheets.emplace_back();
    s.name = singleSheetName;
    if (dt == 0x0020) {
      s.isChart = true;
    } else if (!parseSheet(0, n_, s, true)) {
      return false;
    }
    s.finish();
    return true;
  }

  // Workbook globals.
  size_t pos = bof.next;
  size_t globalsEnd = n_;
  for (;;) {
    Record r;
    Read st = read(pos, r);
    if (st == Read::End) break;
    if (st == Read::Overrun) return fail(kErrOverrun);
    if (isBof(r.id)) {  // the globals lost their EOF: the first sheet begins
      globalsEnd = r.pos;
      break;
    }
    pos = r.next;
    if (r.id == kEof) {
      globalsEnd = pos;
      break;
    }
    if (!globalRecord(r)) return false;
    switch (r.id) {
      case kBoundsheet:
      case kBundlesheet:
        readBoundsheet(r);
        break;
      case kSst:
        if (version_ == 8) readSst(r);
        if (tooLarge_) return fail(kErrTooLarge);
        break;
      default:
        break;
    }
  }
  resolveKinds();

  // Each sheet's BOF is where BOUNDSHEET says, unless the offsets are
  // garbage: then the substreams after the globals are taken in order.
  bool offsetsGood = version_ >= 5 && !entries_.empty();
  for (const SheetEntry& e : entries_) {
    Record r;
    if (!offsetsGood) break;
    offsetsGood = e.pos >= globalsEnd && read(e.pos, r) == Read::Ok && r.id == kBof;
  }
  std::vector<size_t> sorted;
  if (offsetsGood) {
    for (const SheetEntry& e : entries_) sorted.push_back(e.pos);
    std::sort(sorted.begin(), sorted.end());
    offsetsGood = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
  }
  std::vector<size_t> scanned;
  if (!offsetsGood) {
    scanned = scanSubstreams(globalsEnd);
    sorted = scanned;
  }
  if (entries_.empty()) {
    // No sheet directory at all: name the substreams the way Excel would.
    for (size_t i = 0; i < scanned.size(); ++i) {
      SheetEntry e;
      e.name = "Sheet" + std::to_string(i + 1);
      entries_.push_back(std::move(e));
    }
  }

  book_.sheets.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) {
    const SheetEntry& e = entries_[i];
    // A BIFF5 module sheet is code, not a sheet the user sees; it still has
    // its place among the substreams.
    if (e.type == kSheetVbModule) continue;
    Sheet& s = book_.sheets.emplace_back();
    s.name = e.name;
    s.isChart = e.type != kSheetWorksheet;
    if (!s.isChart) {
      size_t start = offsetsGood ? e.pos : (i < scanned.size() ? scanned[i] : n_);
      // A sheet ends where the next one begins at the latest, so offsets
      // into each other's records cannot make the work grow beyond the stream.
      auto next = std::upper_bound(sorted.begin(), sorted.end(), start);
      size_t limit = next == sorted.end() ? n_ : *next;
      if (start < n_) {
        // A worksheet substream may also turn out to be a chart.
        Record r;
        if (read(start, r) == Read::Ok && r.len >= 4 && u16(r.data + 2) == 0x0020) {
          s.isChart = true;
        } else if (version_ <= 4) {
          // BIFF4 workbook sheets carry their own formats and XFs.
          formatList_.clear();
          xfFormat_.clear();
          kindsDirty_ = true;
        }
        if (!s.isChart && !parseSheet(start, limit, s, version_ <= 4)) {
          return false;
        }
      }
    }
    s.finish();
  }
  return true;
}

}  // namespace

bool parseWorkbookStream(const uint8_t* data, size_t size, const std::string& singleSheetName,
                         Book& book) {
  Parser parser(data, size, book);
  return parser.run(singleSheetName);
}

}  // namespace xl::biff
