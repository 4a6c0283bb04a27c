#include "search/trigram_summary.h"

#include <algorithm>
#include <bit>
#include <iterator>

#include "platform/xl/ascii.h"

namespace {

// A trigram's bit in a bitmap of 2^k bits: the low k of the top kWidest
// bits of a multiplicative hash of its 24 bits. A narrower bitmap is so the
// widest one folded onto itself, word by word.
constexpr unsigned kWidest = 18;
constexpr unsigned kNarrowest = 9;
constexpr unsigned kBitsPerTrigram = 8;  // about 1 in 9 false "perhaps" per trigram

inline uint32_t bitOf(uint32_t code, unsigned bits) {
  return (static_cast<uint32_t>(code * 0x9E3779B1u) >> (32 - kWidest)) & ((uint32_t{1} << bits) - 1);
}

struct FoldTable {
  unsigned char to[256];
  constexpr FoldTable() : to() {
    for (unsigned c = 0; c < 256; ++c) to[c] = xl::foldAscii(static_cast<unsigned char>(c));
  }
};
constexpr FoldTable kFold;

inline uint32_t shiftIn(uint32_t code, unsigned char c) { return ((code << 8) | kFold.to[c]) & 0xFFFFFFu; }

// Set bits of a word, without relying on a processor instruction for it.
inline unsigned bitCount(uint64_t w) {
  w = w - ((w >> 1) & 0x5555555555555555ull);
  w = (w & 0x3333333333333333ull) + ((w >> 2) & 0x3333333333333333ull);
  w = (w + (w >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<unsigned>((w * 0x0101010101010101ull) >> 56);
}

// The widest bitmap, and one bit per word of it that is not zero: finish()
// visits only those, so a small workbook's summary costs what it holds, not
// the bitmap's width.
constexpr size_t kWords = (size_t{1} << kWidest) / 64;

template <typename Visit>
void forEachTouched(uint64_t (&touched)[kWords / 64], Visit visit) {
  for (size_t t = 0; t < kWords / 64; ++t)
    for (uint64_t m = touched[t]; m; m &= m - 1) visit(t * 64 + static_cast<size_t>(std::countr_zero(m)));
}

}  // namespace

struct TrigramSummaryBuilder::Bitmap {
  std::vector<uint64_t> bits = std::vector<uint64_t>(kWords);
  uint64_t touched[kWords / 64] = {};
};

namespace {

TrigramSummaryBuilder::Bitmap& threadBitmap() {
  thread_local TrigramSummaryBuilder::Bitmap bitmap;
  return bitmap;
}

}  // namespace

TrigramSummaryBuilder::TrigramSummaryBuilder() : bitmap_(threadBitmap()) {}

void TrigramSummaryBuilder::add(const char* text, size_t length) {
  if (length < 3) return;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  uint64_t* bits = bitmap_.bits.data();
  uint64_t* touched = bitmap_.touched;
  uint32_t code = shiftIn(xl::foldAscii(s[0]), s[1]);
  for (size_t i = 2; i < length; ++i) {
    code = shiftIn(code, s[i]);
    const uint32_t b = bitOf(code, kWidest);
    bits[b >> 6] |= uint64_t{1} << (b & 63);
    touched[b >> 12] |= uint64_t{1} << ((b >> 6) & 63);
  }
}

std::string TrigramSummaryBuilder::finish() {
  uint64_t* bits = bitmap_.bits.data();
  size_t set = 0;
  forEachTouched(bitmap_.touched, [&](size_t w) { set += bitCount(bits[w]); });
  unsigned width = kNarrowest;
  while (width < kWidest && (size_t{1} << width) < set * kBitsPerTrigram) ++width;
  const size_t words = (size_t{1} << width) / 64;
  std::string out(1 + words * 8, '\0');
  out[0] = static_cast<char>(width);
  auto* narrow = reinterpret_cast<unsigned char*>(out.data() + 1);
  forEachTouched(bitmap_.touched, [&](size_t w) {
    unsigned char* to = narrow + (w % words) * 8;
    for (unsigned byte = 0; byte < 8; ++byte) to[byte] |= static_cast<unsigned char>(bits[w] >> (8 * byte));
    bits[w] = 0;
  });
  std::fill(std::begin(bitmap_.touched), std::end(bitmap_.touched), 0);
  return out;
}

TrigramNeedle::TrigramNeedle(std::string_view searchText) {
  if (searchText.size() < 3) return;
  const auto* s = reinterpret_cast<const unsigned char*>(searchText.data());
  uint32_t code = shiftIn(xl::foldAscii(s[0]), s[1]);
  for (size_t i = 2; i < searchText.size(); ++i) {
    code = shiftIn(code, s[i]);
    codes_.push_back(code);
  }
}

bool TrigramNeedle::mayOccurIn(std::string_view summary) const {
  if (codes_.empty() || summary.empty()) return true;
  const unsigned bits = static_cast<unsigned char>(summary[0]);
  if (bits < kNarrowest || bits > kWidest || summary.size() != 1 + (size_t{1} << bits) / 8) return true;
  for (uint32_t code : codes_) {
    const uint32_t b = bitOf(code, bits);
    if (!(static_cast<unsigned char>(summary[1 + b / 8]) & (1u << (b % 8)))) return false;
  }
  return true;
}
