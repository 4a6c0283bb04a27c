// Internal to the BIFF reader: record ids, little-endian reads (callers check
// the lengths first), the cursor over CONTINUE-split data, the parser state.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/xl/biff_text.h"
#include "platform/xl/book.h"
#include "platform/xl/cellformat.h"

namespace xl::biff {

// Record ids.
enum : uint16_t {
  kBof2 = 0x0009, kBof3 = 0x0209, kBof4 = 0x0409, kBof = 0x0809,
  kEof = 0x000A,
  kFilepass = 0x002F,
  kCodepage = 0x0042,
  kFont = 0x0031, kFont34 = 0x0231,
  kCountry = 0x008C,
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
  kColinfo = 0x007D, kColwidth2 = 0x0024,
};

// Substream types of the BOF record.
enum : uint16_t { kBofGlobals = 0x0005, kBofWorkspace = 0x0100 };

// Sheet types of BOUNDSHEET.
enum : uint8_t { kSheetWorksheet = 0, kSheetMacro = 1, kSheetChart = 2, kSheetVbModule = 6 };

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

inline double rkValue(uint32_t rk) {
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
  // chars() as UTF-8 appended to `out`, `units` its scratch. Characters
  // that lie whole in one segment, as nearly all do, skip the units.
  bool text(size_t nChars, bool wide, std::vector<uint16_t>& units, std::string& out) {
    const size_t bytes = nChars * (wide ? 2 : 1);
    if (nChars == 0 || (i_ < s_.size() && s_[i_].n - off_ >= bytes)) {
      if (nChars > 0) appendBiffText(out, s_[i_].p + off_, nChars, wide);
      off_ += bytes;
      return true;
    }
    units.clear();
    const bool complete = chars(nChars, wide, units);
    appendUtf16(out, units.data(), units.size());
    return complete;
  }
  // The head of a BIFF8 string with a two-byte count: its characters and
  // whether they are wide, with the counts of the rich-text runs and the
  // phonetic block that follow them. False when the data ends first.
  bool stringHead(uint16_t& cch, bool& wide, uint16_t& runs, uint32_t& ext) {
    uint8_t flags = 0;
    runs = 0;
    ext = 0;
    if (!u16v(cch) || !u8(flags)) return false;
    wide = flags & 1;
    return (!(flags & 0x08) || u16v(runs)) && (!(flags & 0x04) || u32v(ext));
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
  std::string rawName;  // BIFF2-5: the 8-bit name, decoded once the code page is known
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

  // A cancelled load is tested for once every this many records (+1):
  // a few hundred kilobytes of stream.
  static constexpr unsigned kCancelPollRecords = 0x3FFF;

  bool fail(LoadCause cause) {
    book_.setError(cause);
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
  // FILEPASS: reads on from a decrypted copy of the stream.
  bool decryptAfter(const Record& filepass);
  void readFormat(const Record& r);
  void readXf(const Record& r);
  void readBoundsheet(const Record& r);
  void readSst(const Record& r);
  void readFont(const Record& r);
  void readCountry(const Record& r);
  void decodeSheetNames();
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
  // Where a stream that does not begin with BOF begins after all: the first
  // plausible BOF near its start; n_ when there is none.
  size_t findBof() const;
  bool plausibleBof(size_t pos) const;
  bool parseSheet(size_t start, size_t limit, Sheet& sheet, bool inlineGlobals);
  // One record of a sheet's own, by family; false when the book would pass
  // its cell limit. A STRING record may move `pos` past its CONTINUEs.
  bool sheetRecord(const Record& r, Sheet& sheet, size_t& pos);
  bool numberRecord(const Record& r, Sheet& sheet);   // NUMBER, INTEGER, RK, MULRK
  bool labelRecord(const Record& r, Sheet& sheet);    // LABELSST, LABEL, RSTRING
  bool continuedString(const Record& r, size_t at);   // into text_
  bool boolErrRecord(const Record& r, Sheet& sheet);
  bool formulaRecord(const Record& r, Sheet& sheet);  // its cached result
  bool stringRecord(const Record& r, Sheet& sheet, size_t& pos);
  void layoutRecord(const Record& r, Sheet& sheet);   // hidden rows and columns

  // Cell values.
  bool putText(Sheet& s, uint32_t row, uint32_t col, std::string_view text);
  bool putNumber(Sheet& s, uint32_t row, uint32_t col, double v, NumberKind kind);
  bool putSst(Sheet& s, uint32_t row, uint32_t col, uint32_t isst);
  // An 8-bit text of BIFF2-5 or a BIFF8 unicode string at p[0, n), as UTF-8
  // in text_. `lenBytes` is the width of the length field.
  void byteString(const uint8_t* p, size_t n, int lenBytes);
  void unicodeString(const uint8_t* p, size_t n, int lenBytes);
  static std::string rawByteString(const uint8_t* p, size_t n);
  void cellString(const uint8_t* p, size_t n) {
    if (version_ == 8) unicodeString(p, n, 2);
    else byteString(p, n, 2);
  }
  // A LABEL's text, also when its writer used the other version's string
  // form: an 8-bit string without the flags byte in a BIFF8 stream (whose
  // first character would be taken for the flags), or a BIFF8 string in an
  // older stream. The record's exact length tells the forms apart.
  void labelString(const uint8_t* p, size_t n) {
    const size_t cch = n >= 2 ? u16(p) : 0;
    if (version_ == 8 && cch > 0 && n == 2 + cch) {
      byteString(p, n, 2);
    } else if (version_ < 8 && n >= 3 && p[2] <= 1 && n == 3 + cch * (p[2] ? 2 : 1)) {
      unicodeString(p, n, 2);
    } else {
      cellString(p, n);
    }
  }
  // The number format of a BIFF2 cell record: by its format byte in a BIFF2
  // stream, by its XF index in a later one.
  NumberKind kindOfBiff2Cell(const uint8_t* p) {
    return version_ == 2 ? kindOfFormatOrdinal(p[5] & 0x3F) : kindOfXf(p[4] & 0x3F);
  }

  const uint8_t* d_;
  size_t n_;
  Book& book_;
  std::vector<uint8_t> plain_;  // the decrypted stream, when it was encrypted

  int version_ = 8;
  bool date1904_ = false;
  CodepageDecoder codepage_;
  bool codepageRecord_ = false;  // a CODEPAGE record was read
  bool fontCharsetSeen_ = false;
  // The locale that gives the East Asian built-in formats their meaning:
  // from the fonts first, then the COUNTRY record.
  bool fontLocaleKnown_ = false, countryLocaleKnown_ = false;
  FormatLocale fontLocale_ = FormatLocale::SimplifiedChinese;
  FormatLocale countryLocale_ = FormatLocale::SimplifiedChinese;
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
  // A formula whose text result comes in the STRING record after it.
  struct PendingString {
    bool on = false;
    uint32_t row = 0, col = 0;
  } pending_;

  std::vector<Seg> segs_;
  std::vector<uint16_t> units_;
  std::string text_;
};


}  // namespace xl::biff
