// The record layer of the Excel binary workbook (.xlsb, [MS-XLSB]): every
// part is a run of BIFF12 records, each a type and a length (1-4 bytes of
// 7 bits each, the high bit saying another byte follows), then the body. RecordReader walks the records of one inflated part; Fields
// reads a body with every length checked against what the record holds.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/xl/ooxml_xml.h"

namespace xl::xlsb {

// Record types this reader uses ([MS-XLSB] 2.3.2).
enum : uint32_t {
  kRowHdr = 0,
  kCellBlank = 1,
  kCellRk = 2,
  kCellError = 3,
  kCellBool = 4,
  kCellReal = 5,
  kCellSt = 6,
  kCellIsst = 7,
  kFmlaString = 8,
  kFmlaNum = 9,
  kFmlaBool = 10,
  kFmlaError = 11,
  // The short forms leave out the column: the cell follows the previous one.
  kShortBlank = 12,
  kShortRk = 13,
  kShortError = 14,
  kShortBool = 15,
  kShortReal = 16,
  kShortSt = 17,
  kShortIsst = 18,
  kSstItem = 19,
  kFont = 43,
  kFmt = 44,
  kXf = 47,
  kColInfo = 60,
  kShortRString = 61,
  kCellRString = 62,
  kWbProp = 153,
  kBundleSh = 156,
  kBeginSst = 159,
  kBeginCellXfs = 617,
  kEndCellXfs = 618,
};

// Bodies above this are skipped unread: no record Excel writes comes near
// it (Excel writes a cell text of 32,767 characters at most), and it bounds what one
// record can make us hold.
inline constexpr uint32_t kMaxRecordBytes = 32u << 20;

struct Record {
  uint32_t type = 0;
  uint32_t len = 0;
  const uint8_t* data = nullptr;  // the whole body; null when it was skipped
};

class RecordReader {
 public:
  enum class Status {
    Ok,       // a record
    End,      // the part ended between records
    Damaged,  // the part ended inside a record, or a header is malformed
    Failed,   // the part could not be inflated (error set)
  };

  // `chunkBytes`: inflated bytes pulled at a time when the part streams.
  RecordReader(ooxml::PartSource& src, size_t chunkBytes);
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // The next record; its body stays valid until the next call.
  Status next(Record& r, LoadError& error) {
    // Most records lie whole in the buffer: read them without the checks
    // of the slow path (a header is at most 8 bytes).
    if (end_ - pos_ >= 8) {
      const uint8_t* p = base_ + pos_;
      size_t at = 0;
      uint32_t type = 0, len = 0;
      for (int i = 0; i < 4; ++i) {
        type |= static_cast<uint32_t>(p[at] & 0x7F) << (7 * i);
        if (!(p[at++] & 0x80)) break;
      }
      for (int i = 0; i < 4; ++i) {
        len |= static_cast<uint32_t>(p[at] & 0x7F) << (7 * i);
        if (!(p[at++] & 0x80)) break;
      }
      if (len <= end_ - pos_ - at && len <= kMaxRecordBytes) {
        r.type = type;
        r.len = len;
        r.data = p + at;
        pos_ += at + len;
        return Status::Ok;
      }
    }
    return nextSlow(r, error);
  }

 private:
  Status nextSlow(Record& r, LoadError& error);
  // Makes `n` bytes from pos_ available; false at the end of the part.
  bool ensure(size_t n, LoadError& error);
  bool skip(uint64_t n, LoadError& error);
  // A type or length; false at the end of the part (`damaged` when inside it).
  bool compressedInt(uint32_t& value, bool& damaged, LoadError& error);

  ooxml::PartSource& src_;
  size_t chunk_;
  ooxml::RawBuffer buf_;  // the whole part when the package inflated it whole
  const uint8_t* base_ = nullptr;
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  bool failed_ = false;
};

// Little-endian fields of one record body, read front to back. A read past
// the body fails and leaves the output as it was.
class Fields {
 public:
  Fields(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  explicit Fields(const Record& r) : p_(r.data), n_(r.data ? r.len : 0) {}

  // Inline: a few of these run for every cell.
  bool skip(size_t n) {
    if (n > n_ - at_) return false;
    at_ += n;
    return true;
  }
  bool u8(uint8_t& v) {
    if (n_ - at_ < 1) return false;
    v = p_[at_++];
    return true;
  }
  bool u16(uint16_t& v) {
    if (n_ - at_ < 2) return false;
    v = static_cast<uint16_t>(p_[at_] | (p_[at_ + 1] << 8));
    at_ += 2;
    return true;
  }
  bool u24(uint32_t& v) {
    if (n_ - at_ < 3) return false;
    v = static_cast<uint32_t>(p_[at_]) | (static_cast<uint32_t>(p_[at_ + 1]) << 8) |
        (static_cast<uint32_t>(p_[at_ + 2]) << 16);
    at_ += 3;
    return true;
  }
  bool u32(uint32_t& v) {
    if (n_ - at_ < 4) return false;
    v = static_cast<uint32_t>(p_[at_]) | (static_cast<uint32_t>(p_[at_ + 1]) << 8) |
        (static_cast<uint32_t>(p_[at_ + 2]) << 16) | (static_cast<uint32_t>(p_[at_ + 3]) << 24);
    at_ += 4;
    return true;
  }
  bool f64(double& v) {
    if (n_ - at_ < 8) return false;
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | p_[at_ + static_cast<size_t>(i)];
    std::memcpy(&v, &bits, sizeof v);
    at_ += 8;
    return true;
  }
  // XLWideString: a 32-bit count of UTF-16 units, then the units, appended
  // as UTF-8; a count past the body takes the units the body holds.
  // `nullable` takes the count 0xFFFFFFFF as a null (empty) text.
  bool wideString(std::string& out, bool nullable = false);
  // RichStr: flags, then the text; the formatting and phonetic runs that
  // may follow are not part of the text and stay unread.
  bool richString(std::string& out);
  size_t left() const { return n_ - at_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t at_ = 0;
};

// Records between two looks at the book's cancel flag: a few thousand cells.
inline constexpr uint32_t kRecordsPerCancelCheck = 4096;

// Runs `onRecord` (false: stop, failing) over every record of a part, after
// `onSize` has been told the size the zip declares for it (0 when none). A
// part that ends inside a record, or whose record headers go wrong, keeps
// what was read before the damage; only a part that cannot be inflated, a
// cancelled load, or a stop by `onRecord` fails.
template <class OnSize, class OnRecord>
bool readRecords(ooxml::Package& pkg, const std::string& part, const Book& book, LoadError& error,
                 OnSize&& onSize, OnRecord&& onRecord) {
  return pkg.read(
      part,
      [&](ooxml::PartSource& src, uint64_t declared) {
        onSize(declared);
        RecordReader reader(src, pkg.limits().chunkBytes);
        Record r;
        for (uint32_t n = 1;; ++n) {
          if (n % kRecordsPerCancelCheck == 0 && book.cancelled()) {
            error = LoadCause::Cancelled;
            return false;
          }
          switch (reader.next(r, error)) {
            case RecordReader::Status::Ok:
              if (!onRecord(r)) return false;
              continue;
            case RecordReader::Status::End:
            case RecordReader::Status::Damaged:
              return true;
            case RecordReader::Status::Failed:
              return false;
          }
        }
      },
      error);
}

template <class OnRecord>
bool readRecords(ooxml::Package& pkg, const std::string& part, const Book& book, LoadError& error,
                 OnRecord&& onRecord) {
  return readRecords(pkg, part, book, error, [](uint64_t) {}, onRecord);
}

}  // namespace xl::xlsb
