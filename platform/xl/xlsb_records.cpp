#include "platform/xl/xlsb_records.h"

#include <algorithm>
#include <cstring>

#include "platform/xl/biff_text.h"

namespace xl::xlsb {

RecordReader::RecordReader(ooxml::PartSource& src, size_t chunkBytes)
    : src_(src), chunk_(std::clamp<size_t>(chunkBytes, 1, 16u << 20)) {
  std::unique_ptr<char[]> whole;
  size_t size = 0;
  if (src_.takeWhole(whole, size)) {
    buf_.adopt(std::move(whole), size + 1, size + 1);
    end_ = size;
    eof_ = true;
  }
  base_ = reinterpret_cast<const uint8_t*>(buf_.data());
}

bool RecordReader::ensure(size_t n, LoadError& error) {
  while (end_ - pos_ < n) {
    if (eof_ || failed_) return false;
    // Keep the unread bytes and append a chunk: the buffer grows a chunk at
    // a time with bytes that came, never by what a record claims.
    const size_t have = end_ - pos_;
    if (pos_ > 0 && have > 0) std::memmove(buf_.data(), buf_.data() + pos_, have);
    pos_ = 0;
    end_ = have;
    const size_t want = chunk_;
    buf_.resize(have + want);
    const int64_t got = src_.read(buf_.data() + have, want, error);
    base_ = reinterpret_cast<const uint8_t*>(buf_.data());
    if (got < 0) {
      failed_ = true;
      return false;
    }
    if (got == 0) eof_ = true;
    end_ = have + static_cast<size_t>(got);
  }
  return true;
}

bool RecordReader::skip(uint64_t n, LoadError& error) {
  while (n > 0) {
    const size_t have = end_ - pos_;
    if (have >= n) {
      pos_ += static_cast<size_t>(n);
      return true;
    }
    n -= have;
    pos_ = end_;
    if (!ensure(1, error)) return false;
  }
  return true;
}

bool RecordReader::compressedInt(uint32_t& value, bool& damaged, LoadError& error) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (!ensure(1, error)) {
      damaged = i > 0;
      return false;
    }
    const uint8_t b = base_[pos_++];
    value |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return true;
  }
  return true;  // a fourth byte ends the number whatever its high bit says
}

RecordReader::Status RecordReader::nextSlow(Record& r, LoadError& error) {
  r = Record();
  uint32_t type = 0, len = 0;
  bool damaged = false;
  if (!compressedInt(type, damaged, error)) {
    if (failed_) return Status::Failed;
    return damaged ? Status::Damaged : Status::End;
  }
  if (!compressedInt(len, damaged, error)) return failed_ ? Status::Failed : Status::Damaged;
  r.type = type;
  r.len = len;
  if (len > kMaxRecordBytes) {
    if (!skip(len, error)) return failed_ ? Status::Failed : Status::Damaged;
    return Status::Ok;
  }
  if (!ensure(len, error)) return failed_ ? Status::Failed : Status::Damaged;
  r.data = base_ + pos_;
  pos_ += len;
  return Status::Ok;
}

bool Fields::wideString(std::string& out, bool nullable) {
  uint32_t count = 0;
  if (!u32(count)) return false;
  if (nullable && count == 0xFFFFFFFFu) return true;
  // A count past the end of the body keeps the characters that are there,
  // as spreadsheet applications do; nothing is sized by the count itself.
  count = static_cast<uint32_t>(std::min<size_t>(count, (n_ - at_) / 2));
  thread_local std::vector<uint16_t> units;
  units.resize(count);
  for (uint32_t i = 0; i < count; ++i)
    units[i] = static_cast<uint16_t>(p_[at_ + 2 * i] | (p_[at_ + 2 * i + 1] << 8));
  at_ += 2 * static_cast<size_t>(count);
  biff::appendUtf16(out, units.data(), units.size());
  if (units.capacity() > (64u << 10)) std::vector<uint16_t>().swap(units);  // one long text is not kept
  return true;
}

bool Fields::richString(std::string& out) {
  const size_t start = at_;
  uint8_t flags = 0;
  if (!u8(flags) || !wideString(out)) {
    at_ = start;
    return false;
  }
  return true;
}

}  // namespace xl::xlsb
