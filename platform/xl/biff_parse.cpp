// BIFF2-8 records, read from a memory buffer with a cursor. Every length and
// index is checked against the buffer before use; nothing here recurses on
// the input, and every loop advances through the stream. The workbook
// globals and the sheet directory are read here, the cells in biff_sheet.cpp.
#include "platform/xl/biff_parse.h"

#include <algorithm>
#include <vector>

#include "platform/xl/biff_records.h"
#include "platform/xl/decrypt_biff.h"

namespace xl::biff {

void Parser::byteString(const uint8_t* p, size_t n, int lenBytes) {
  text_.clear();
  if (n < static_cast<size_t>(lenBytes)) return;
  size_t cch = lenBytes == 1 ? p[0] : u16(p);
  cch = std::min(cch, n - lenBytes);
  codepage_.append(text_, p + lenBytes, cch);
}

void Parser::unicodeString(const uint8_t* p, size_t n, int lenBytes) {
  text_.clear();
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
  appendBiffText(text_, p + at, std::min(cch, avail), wide);
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
  const FormatLocale locale = fontLocaleKnown_ ? fontLocale_ : countryLocale_;
  ordinalKind_.clear();
  for (const std::string& code : formatList_) ordinalKind_.push_back(classifyNumberFormat(-1, code, locale));
  xfKind_.clear();
  xfKind_.reserve(xfFormat_.size());
  for (uint16_t f : xfFormat_) {
    if (version_ <= 4) {
      xfKind_.push_back(f < ordinalKind_.size() ? ordinalKind_[f] : NumberKind::General);
    } else {
      auto it = formats_.find(f);
      xfKind_.push_back(classifyNumberFormat(f, it == formats_.end() ? std::string_view() : it->second, locale));
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
    e.rawName = rawByteString(p + 6, n - 6);
  } else {
    if (n < 6) return;
    e.pos = u32(p);
    e.type = p[5];
    if (version_ == 8) {
      unicodeString(p + 6, n - 6, 1);
      e.name = text_;
    } else {
      e.rawName = rawByteString(p + 6, n - 6);
    }
  }
  entries_.push_back(std::move(e));
}

// An 8-bit name with a one-byte length, kept undecoded.
std::string Parser::rawByteString(const uint8_t* p, size_t n) {
  if (n < 1) return {};
  size_t cch = std::min<size_t>(p[0], n - 1);
  return std::string(reinterpret_cast<const char*>(p + 1), cch);
}

void Parser::decodeSheetNames() {
  for (SheetEntry& e : entries_) {
    if (e.rawName.empty()) continue;
    e.name.clear();
    codepage_.append(e.name, reinterpret_cast<const uint8_t*>(e.rawName.data()), e.rawName.size());
    std::string().swap(e.rawName);
  }
}

// BIFF5+ FONT: its character set tells the code page of a workbook without
// CODEPAGE (the first font that names one, the workbook's default font in
// the files Excel writes) and the East Asian locale of its built-in formats.
void Parser::readFont(const Record& r) {
  if (version_ < 5 || r.id != kFont || r.len < 13) return;
  const int charset = r.data[12];
  if (charset == 1 || charset == 2 || charset == 255) return;  // default, symbol, OEM: says nothing
  if (!fontCharsetSeen_) {
    fontCharsetSeen_ = true;
    if (version_ == 5 && !codepageRecord_) codepage_.setCodepage(codepageOfCharset(charset));
  }
  if (!fontLocaleKnown_ && formatLocaleOfCharset(charset, fontLocale_)) {
    fontLocaleKnown_ = true;
    kindsDirty_ = true;
  }
}

// COUNTRY: the country of the Excel that wrote the file, then the system's.
void Parser::readCountry(const Record& r) {
  if (r.len < 4 || countryLocaleKnown_) return;
  countryLocaleKnown_ = formatLocaleOfCountry(u16(r.data), countryLocale_) ||
                        formatLocaleOfCountry(u16(r.data + 2), countryLocale_);
  if (countryLocaleKnown_) kindsDirty_ = true;
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
    uint16_t cch = 0, runs = 0;
    uint32_t ext = 0;
    bool wide = false;
    if (!c.stringHead(cch, wide, runs, ext)) break;
    text_.clear();
    const bool complete = c.text(cch, wide, units_, text_);
    uint32_t off = Book::kEmptyText, len = 0;
    if (!text_.empty() && !book_.addCellText(text_, off, len)) {
      tooLarge_ = true;
      return;
    }
    if ((sst_.size() & kCancelPollRecords) == 0 && book_.cancelled()) return;
    sst_.emplace_back(off, len);
    if (!complete || !c.skip(4ull * runs) || !c.skip(ext)) break;
  }
}

bool Parser::decryptAfter(const Record& filepass) {
  if (!plain_.empty() && d_ == plain_.data()) return true;  // a second FILEPASS changes nothing
  // A copy, not the caller's buffer: the stream may be the caller's const data.
  plain_.assign(d_, d_ + n_);
  LoadError error;
  if (!decryptStream(plain_.data(), plain_.size(), filepass.pos, version_ == 8, book_, error)) {
    std::vector<uint8_t>().swap(plain_);
    book_.setError(std::move(error));
    return false;
  }
  d_ = plain_.data();
  return true;
}

// Records of the workbook globals; in a BIFF2-4 file they share the stream
// with the cells.
bool Parser::globalRecord(const Record& r) {
  switch (r.id) {
    case kFilepass:
      return decryptAfter(r);
    case kCodepage:
      if (r.len >= 2) {
        codepage_.setCodepage(u16(r.data));
        codepageRecord_ = true;
      }
      break;
    case kFont:
    case kFont34:
      readFont(r);
      break;
    case kCountry:
      readCountry(r);
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

// A BOF record as writers make it: one of the four ids, a body of 4 to 20
// bytes naming a known kind of substream (BIFF5/8 also a known version), and
// the next record's header inside the stream or the stream's end.
bool Parser::plausibleBof(size_t pos) const {
  Record r;
  if (read(pos, r) != Read::Ok || !isBof(r.id) || r.len < 4 || r.len > 20) return false;
  switch (u16(r.data + 2)) {
    case kBofGlobals:
    case kBofWorkspace:
    case 0x0006:  // Visual Basic module
    case 0x0010:  // worksheet
    case 0x0020:  // chart
    case 0x0040:  // macro sheet
      break;
    default:
      return false;
  }
  if (r.id == kBof && u16(r.data) != 0x0500 && u16(r.data) != 0x0600) return false;
  Record next;
  return read(r.next, next) != Read::Overrun;
}

size_t Parser::findBof() const {
  // Junk or a damaged first record ahead of the BOF is a few bytes, a record
  // at most: a BOF further in is not this stream's beginning.
  constexpr size_t kSearchBytes = 4096;
  for (size_t pos = 1; pos < std::min(n_, kSearchBytes); ++pos)
    if (plausibleBof(pos)) return pos;
  return n_;
}

bool Parser::run(const std::string& singleSheetName) {
  Record bof;
  size_t streamStart = 0;
  if (read(0, bof) != Read::Ok || !isBof(bof.id)) {
    streamStart = findBof();
    if (streamStart == n_) return fail(LoadCause::NotWorkbookNoBof);
    read(streamStart, bof);
  }
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
      dt = bof.len >= 4 ? u16(bof.data + 2) : uint16_t{kBofGlobals};
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
    } else if (!parseSheet(streamStart, n_, s, true)) {
      return false;
    }
    s.finish();
    return true;
  }

  // Workbook globals.
  size_t pos = bof.next;
  size_t globalsEnd = n_;
  bool globalsCut = false;
  for (unsigned records = 0;;) {
    if ((++records & kCancelPollRecords) == 0 && book_.cancelled()) return false;
    Record r;
    const Read st = read(pos, r);
    // A record running past the end of the stream ends the globals there,
    // as a cut one ends a sheet: what was read before it stays.
    if (st != Read::Ok || isBof(r.id)) {  // a BOF: the globals lost their EOF
      globalsEnd = pos;
      globalsCut = st == Read::Overrun;
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
        if (tooLarge_) return fail(LoadCause::TooLargeCellLimit);
        if (book_.cancelled()) return false;
        break;
      default:
        break;
    }
  }
  decodeSheetNames();
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
  // Cut before it named a sheet: nothing of the workbook is left to show,
  // and an empty book would pass for one that holds no cells.
  if (globalsCut && entries_.empty()) return fail(LoadCause::DamagedRecordOverrun);

  book_.sheets.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) {
    const SheetEntry& e = entries_[i];
    // A BIFF5 module sheet is code, not a sheet the user sees; it still has
    // its place among the substreams.
    if (e.type == kSheetVbModule) continue;
    Sheet& s = book_.sheets.emplace_back();
    s.name = e.name;
    // Excel 4 macro sheets hold cells as a worksheet does.
    s.isChart = e.type != kSheetWorksheet && e.type != kSheetMacro;
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

bool parseWorkbookStream(const uint8_t* data, size_t size, const std::string& singleSheetName,
                         Book& book) {
  Parser parser(data, size, book);
  return parser.run(singleSheetName);
}

}  // namespace xl::biff

