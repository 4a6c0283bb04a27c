// Inflating one zip entry into the bytes of its part: small parts in one
// call (libdeflate), large ones streamed (ISA-L, or libzip's zlib for what
// ISA-L cannot take), every byte counted against the limits, since the
// sizes the zip declares are not trusted.
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zip.h>

#include <algorithm>
#include <memory>

#include "platform/xl/ooxml_internal.h"
#include "platform/xl/ooxml_xml.h"

namespace xl::ooxml {

namespace {

struct DecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One per loader thread, reused for every part it reads.
libdeflate_decompressor* threadDecompressor() {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> d(libdeflate_alloc_decompressor());
  return d.get();
}

}  // namespace

bool inflateWhole(zip_t* zip, uint64_t index, const zip_stat_t& st, const OoxmlLimits& limits,
                  std::unique_ptr<char[]>& out, bool& crcMismatch) {
  crcMismatch = false;
  constexpr zip_uint64_t kNeed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC |
                                 ZIP_STAT_ENCRYPTION_METHOD;
  if ((st.valid & kNeed) != kNeed || st.comp_method != ZIP_CM_DEFLATE || st.encryption_method != ZIP_EM_NONE)
    return false;
  // The tokenizer works in a whole part without refilling, where it would
  // check the token limit: a part within that limit cannot break it.
  if (st.size == 0 || st.size > kWholeInflateBytes || st.size > limits.maxPartBytes ||
      st.size > limits.maxTokenBytes)
    return false;
  if (st.comp_size == 0 || st.comp_size > st.size + 1024 ||
      (st.size > limits.ratioCheckBytes && st.size / st.comp_size > limits.maxRatio))
    return false;
  libdeflate_decompressor* d = threadDecompressor();
  if (!d) return false;
  zip_file_t* raw = zip_fopen_index(zip, index, ZIP_FL_COMPRESSED);
  if (!raw) return false;
  const size_t inSize = static_cast<size_t>(st.comp_size), outSize = static_cast<size_t>(st.size);
  std::unique_ptr<char[]> in(new char[inSize]);
  const zip_int64_t got = zip_fread(raw, in.get(), st.comp_size);
  zip_fclose(raw);
  if (got != static_cast<zip_int64_t>(st.comp_size)) return false;
  out.reset(new char[outSize + 1]);  // one spare byte for the tokenizer's NUL
  size_t actual = 0;
  if (libdeflate_deflate_decompress(d, in.get(), inSize, out.get(), outSize, &actual) != LIBDEFLATE_SUCCESS ||
      actual != outSize) {
    out.reset();
    return false;
  }
  crcMismatch = libdeflate_crc32(0, out.get(), outSize) != st.crc;
  return true;
}

bool canInflateRaw(const zip_stat_t& st) {
  constexpr zip_uint64_t kNeed = ZIP_STAT_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC | ZIP_STAT_ENCRYPTION_METHOD;
  return (st.valid & kNeed) == kNeed && st.comp_method == ZIP_CM_DEFLATE && st.encryption_method == ZIP_EM_NONE;
}

// The raw deflated bytes of an entry and ISA-L's inflating state.
struct PartSource::RawInflate {
  static constexpr size_t kIn = 256u << 10;
  zip_file_t* raw = nullptr;
  std::unique_ptr<inflate_state> state = std::make_unique<inflate_state>();
  std::unique_ptr<uint8_t[]> in = std::make_unique_for_overwrite<uint8_t[]>(kIn);
  uint64_t size = 0, out = 0;
  uint32_t crc = 0;
  bool inEnd = false, done = false;
  ~RawInflate() {
    if (raw) zip_fclose(raw);
  }
};

PartSource::PartSource(zip_file_t* file, const std::string& part, const OoxmlLimits& limits, uint64_t compressedBytes)
    : file_(file), part_(part), limits_(limits), compressed_(compressedBytes ? compressedBytes : 1) {}

PartSource::~PartSource() {
  ahead_.reset();  // first: its thread reads the entry until it is joined
  if (file_) zip_fclose(file_);
}

void PartSource::inflateRaw(zip_file_t* raw, uint64_t size, uint32_t crc) {
  raw_ = std::make_unique<RawInflate>();
  raw_->raw = raw;
  raw_->size = size;
  raw_->crc = crc;
  isal_inflate_init(raw_->state.get());
  raw_->state->crc_flag = ISAL_GZIP_NO_HDR;  // the zip's CRC-32 is gzip's
}

int64_t PartSource::readRaw(char* buf, size_t n, LoadError& error) {
  RawInflate& r = *raw_;
  if (r.done || n == 0) return 0;
  inflate_state& s = *r.state;
  s.next_out = reinterpret_cast<uint8_t*>(buf);
  s.avail_out = static_cast<uint32_t>(std::min<size_t>(n, 1u << 30));
  const uint32_t want = s.avail_out;
  while (s.avail_out > 0) {
    if (s.avail_in == 0 && !r.inEnd) {
      const zip_int64_t got = zip_fread(r.raw, r.in.get(), RawInflate::kIn);
      if (got < 0) {
        error = entryError(zip_error_code_zip(zip_file_get_error(r.raw)), part_);
        return -1;
      }
      r.inEnd = got == 0;
      s.next_in = r.in.get();
      s.avail_in = static_cast<uint32_t>(got);
    }
    const uint32_t before = s.avail_out, inBefore = s.avail_in;
    if (isal_inflate(&s) != ISAL_DECOMP_OK) {
      error = entryError(ZIP_ER_ZLIB, part_);
      return -1;
    }
    r.out += before - s.avail_out;
    if (s.block_state == ISAL_BLOCK_FINISH) {
      if (r.out != r.size) {
        error = entryError(ZIP_ER_INCONS, part_);
        return -1;
      }
      if (s.crc != r.crc) crcMismatch();
      r.done = true;
      break;
    }
    // Input used up and nothing more came out: the entry is cut short.
    if (r.inEnd && s.avail_in == 0 && before == s.avail_out && inBefore == 0) {
      error = entryError(ZIP_ER_EOF, part_);
      return -1;
    }
  }
  return static_cast<int64_t>(want - s.avail_out);
}

void PartSource::crcMismatch() {
  if (notes_) notes_->crcMismatch(part_);
}

int64_t PartSource::readEntry(char* buf, size_t n, LoadError& error) {
  if (raw_) return readRaw(buf, n, error);
  if (entryDone_) return 0;
  zip_int64_t got = zip_fread(file_, buf, static_cast<zip_uint64_t>(n));
  if (got < 0) {
    const int code = zip_error_code_zip(zip_file_get_error(file_));
    // libzip checks the CRC-32 only after the last byte came out: an entry
    // of exactly its declared size is whole, whatever its checksum says.
    if (code == ZIP_ER_CRC && entryOut_ == declared_) {
      entryDone_ = true;
      crcMismatch();
      return 0;
    }
    error = entryError(code, part_);
    return -1;
  }
  entryOut_ += static_cast<uint64_t>(got);
  return got;
}

int64_t PartSource::read(char* buf, size_t n, LoadError& error) {
  // Reads come a chunk (a few hundred kilobytes) at a time: the cheapest
  // place to notice a cancel, whatever the parser does with the bytes.
  if (cancel_ && cancel_->cancelled()) {
    error = LoadCause::Cancelled;
    return -1;
  }
  if (inMemory_) {
    // After takeWhole the bytes are gone (whole_ is null) and the part is
    // at its end: a parser that hands over to expat still asks once more.
    if (!whole_ || wholePos_ >= wholeSize_) return 0;
    const size_t got = std::min(n, wholeSize_ - wholePos_);
    std::memcpy(buf, whole_.get() + wholePos_, got);
    wholePos_ += got;
    return static_cast<int64_t>(got);
  }
  const int64_t got = ahead_ ? readAhead(buf, n, error) : readEntry(buf, n, error);
  if (got < 0) return -1;
  total_ += static_cast<uint64_t>(got);
  if (total_ > limits_.maxPartBytes ||
      (total_ > limits_.ratioCheckBytes && total_ / compressed_ > limits_.maxRatio)) {
    error = LoadError{LoadCause::TooLargePart, part_};
    return -1;
  }
  return got;
}

}  // namespace xl::ooxml
