#include "search/cell_codec.h"

#include <libdeflate.h>
#include <lz4frame.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPiece = 1u << 20;
constexpr size_t kGatherBytes = 4u << 20;
// Input goes to the codec in steps of at most this, so the output of one
// step fits a scratch buffer of fixed size.
constexpr size_t kStep = 256u << 10;
// After the frame: the CRC-32 of the content, little-endian. The frame's own
// content checksum (XXH32) is not used: it cost more than decompressing.
constexpr size_t kTrailer = 4;

struct FreeCCtx {
  void operator()(LZ4F_cctx* c) const { LZ4F_freeCompressionContext(c); }
};

LZ4F_preferences_t preferences(size_t contentSize) {
  LZ4F_preferences_t p = LZ4F_INIT_PREFERENCES;
  p.frameInfo.blockSizeID = LZ4F_max256KB;
  p.frameInfo.blockMode = LZ4F_blockLinked;
  p.frameInfo.contentChecksumFlag = LZ4F_noContentChecksum;
  p.frameInfo.contentSize = contentSize;
  p.autoFlush = 1;  // nothing kept inside the codec between steps: the scratch bound holds
  return p;
}

// The codec's context and scratch buffer, one per loader thread, reused.
struct ThreadState {
  std::unique_ptr<LZ4F_cctx, FreeCCtx> cctx;
  std::string gathered;
  std::string scratch;
  ThreadState() {
    LZ4F_cctx* c = nullptr;
    if (!LZ4F_isError(LZ4F_createCompressionContext(&c, LZ4F_VERSION))) cctx.reset(c);
    const LZ4F_preferences_t p = preferences(0);
    scratch.resize(std::max<size_t>(LZ4F_HEADER_SIZE_MAX, LZ4F_compressBound(kStep, &p)));
  }
};

ThreadState& threadState() {
  thread_local ThreadState state;
  return state;
}

}  // namespace

EntryCompressor::EntryCompressor(std::vector<std::string>& pieces)
    : pieces_(pieces), gathered_(threadState().gathered), pieceBytes_(kPiece) {
  gathered_.clear();
  ok_ = threadState().cctx != nullptr;
}

void EntryCompressor::begin(size_t contentSize) {
  ThreadState& t = threadState();
  const LZ4F_preferences_t p = preferences(contentSize);
  const size_t n = LZ4F_compressBegin(t.cctx.get(), t.scratch.data(), t.scratch.size(), &p);
  ok_ = !LZ4F_isError(n);
  if (ok_) put(t.scratch.data(), n);
}

void EntryCompressor::add(const char* p, size_t n) {
  if (!ok_) return;
  if (!streaming_ && gathered_.size() + n <= kGatherBytes) {
    gathered_.append(p, n);
    return;
  }
  if (!streaming_) {
    streaming_ = true;
    begin(0);
    compress(gathered_.data(), gathered_.size());
  }
  compress(p, n);
}

bool EntryCompressor::finish() {
  if (!ok_) return false;
  if (!streaming_) {
    known_ = gathered_.size();
    begin(gathered_.size());
    compress(gathered_.data(), gathered_.size());
  }
  if (!ok_) return false;
  ThreadState& t = threadState();
  const size_t n = LZ4F_compressEnd(t.cctx.get(), t.scratch.data(), t.scratch.size(), nullptr);
  ok_ = !LZ4F_isError(n);
  if (ok_) put(t.scratch.data(), n);
  if (ok_) {
    char trailer[kTrailer];
    for (size_t i = 0; i < kTrailer; ++i) trailer[i] = static_cast<char>(crc_ >> (8 * i));
    put(trailer, kTrailer);
  }
  return ok_;
}

void EntryCompressor::oneBlock(size_t expected) {
  const LZ4F_preferences_t p = preferences(expected);
  pieceBytes_ = std::string().max_size();
  reserve_ = LZ4F_HEADER_SIZE_MAX + LZ4F_compressBound(expected, &p);
}

bool EntryCompressor::compressWhole(const char* p, size_t n) {
  if (!ok_ || streaming_ || !gathered_.empty()) return false;
  oneBlock(n);
  streaming_ = true;  // nothing to gather: finish() only ends the frame
  known_ = n;
  begin(n);
  compress(p, n);
  return finish();
}

void EntryCompressor::compress(const char* p, size_t n) {
  ThreadState& t = threadState();
  crc_ = libdeflate_crc32(crc_, p, n);
  for (size_t at = 0; ok_ && at < n;) {
    const size_t step = std::min(kStep, n - at);
    const size_t out = LZ4F_compressUpdate(t.cctx.get(), t.scratch.data(), t.scratch.size(), p + at, step, nullptr);
    ok_ = !LZ4F_isError(out);
    if (ok_) put(t.scratch.data(), out);
    at += step;
  }
}

void EntryCompressor::put(const char* p, size_t n) {
  while (n > 0) {
    if (pieces_.empty() || pieces_.back().size() == pieceBytes_) {
      pieces_.emplace_back();
      // The first piece of an entry of known size is about its size; later ones are whole.
      if (pieces_.size() == 1 && reserve_)
        pieces_.back().reserve(reserve_);
      else
        pieces_.back().reserve(pieces_.size() == 1 && known_ ? std::min(kPiece, known_ / 2 + 64) : kPiece);
    }
    std::string& piece = pieces_.back();
    const size_t take = std::min(n, pieceBytes_ - piece.size());
    piece.append(p, take);
    p += take;
    n -= take;
  }
}

struct EntryDecompressor::Context {
  LZ4F_dctx* dctx = nullptr;
  char* out = nullptr;
  size_t size = 0, pos = 0;
  size_t hint = 1;  // what the codec still expects: 0 once the frame is complete
  unsigned char trailer[kTrailer] = {};
  size_t trailerBytes = 0;
  bool ok = false;
  ~Context() {
    std::free(out);
    LZ4F_freeDecompressionContext(dctx);
  }
};

EntryDecompressor::EntryDecompressor() : c_(std::make_unique<Context>()) {
  if (LZ4F_isError(LZ4F_createDecompressionContext(&c_->dctx, LZ4F_VERSION))) c_->dctx = nullptr;
}

EntryDecompressor::~EntryDecompressor() = default;

bool EntryDecompressor::begin(size_t rawSize) {
  std::free(c_->out);
  c_->out = nullptr;
  c_->ok = false;
  if (!c_->dctx || rawSize == 0) return false;
  LZ4F_resetDecompressionContext(c_->dctx);
  c_->out = static_cast<char*>(std::malloc(rawSize));
  c_->size = rawSize;
  c_->pos = 0;
  c_->hint = 1;
  c_->trailerBytes = 0;
  c_->ok = c_->out != nullptr;
  return c_->ok;
}

bool EntryDecompressor::feed(const char* p, size_t n) {
  LZ4F_decompressOptions_t options{};
  options.stableDst = 1;  // the output is one buffer: earlier blocks stay where they are
  while (c_->ok && n > 0) {
    if (c_->hint == 0) {  // the frame is complete: its trailer, and nothing after it
      if (n > kTrailer - c_->trailerBytes) return c_->ok = false;
      std::memcpy(c_->trailer + c_->trailerBytes, p, n);
      c_->trailerBytes += n;
      return true;
    }
    size_t written = c_->size - c_->pos, consumed = n;
    c_->hint = LZ4F_decompress(c_->dctx, c_->out + c_->pos, &written, p, &consumed, &options);
    if (LZ4F_isError(c_->hint) || (written == 0 && consumed == 0)) return c_->ok = false;
    c_->pos += written;
    p += consumed;
    n -= consumed;
  }
  return c_->ok;
}

char* EntryDecompressor::finish() {
  uint32_t crc = 0;
  for (size_t i = 0; i < kTrailer; ++i) crc |= static_cast<uint32_t>(c_->trailer[i]) << (8 * i);
  if (!c_->ok || c_->hint != 0 || c_->pos != c_->size || c_->trailerBytes != kTrailer ||
      libdeflate_crc32(0, c_->out, c_->size) != crc) {
    std::free(c_->out);
    c_->out = nullptr;
    c_->ok = false;
    return nullptr;
  }
  char* out = c_->out;
  c_->out = nullptr;
  c_->ok = false;
  return out;
}
