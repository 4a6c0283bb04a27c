#include "search/trigram_summary.h"

#include "search/text_match.h"

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
    for (unsigned c = 0; c < 256; ++c) to[c] = foldAscii(static_cast<unsigned char>(c));
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

std::vector<uint64_t>& threadBitmap() {
  thread_local std::vector<uint64_t> bits;
  return bits;
}

}  // namespace

TrigramSummaryBuilder::TrigramSummaryBuilder() : bits_(threadBitmap()) {
  if (bits_.empty()) bits_.assign((size_t{1} << kWidest) / 64, 0);
}

void TrigramSummaryBuilder::add(const char* text, size_t length) {
  if (length < 3) return;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  uint64_t* bits = bits_.data();
  uint32_t code = shiftIn(foldAscii(s[0]), s[1]);
  for (size_t i = 2; i < length; ++i) {
    code = shiftIn(code, s[i]);
    const uint32_t b = bitOf(code, kWidest);
    bits[b >> 6] |= uint64_t{1} << (b & 63);
  }
}

std::string TrigramSummaryBuilder::finish() {
  size_t set = 0;
  for (uint64_t w : bits_) set += bitCount(w);
  unsigned bits = kNarrowest;
  while (bits < kWidest && (size_t{1} << bits) < set * kBitsPerTrigram) ++bits;
  const size_t words = (size_t{1} << bits) / 64;
  for (size_t w = words; w < bits_.size(); ++w) {
    bits_[w % words] |= bits_[w];
    bits_[w] = 0;
  }
  std::string out(1 + words * 8, '\0');
  out[0] = static_cast<char>(bits);
  for (size_t w = 0; w < words; ++w) {
    for (unsigned byte = 0; byte < 8; ++byte) out[1 + w * 8 + byte] = static_cast<char>(bits_[w] >> (8 * byte));
    bits_[w] = 0;
  }
  return out;
}

TrigramNeedle::TrigramNeedle(std::string_view searchText) {
  if (searchText.size() < 3) return;
  const auto* s = reinterpret_cast<const unsigned char*>(searchText.data());
  uint32_t code = shiftIn(foldAscii(s[0]), s[1]);
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
