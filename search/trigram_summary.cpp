#include "search/trigram_summary.h"

#include "search/text_match.h"

namespace {

constexpr unsigned kAllBits = 24;  // every byte trigram has a bit of its own
constexpr unsigned kFewestBits = 9;
constexpr unsigned kBitsPerTrigram = 8;  // about 1 in 9 false "perhaps" per trigram

inline uint32_t bitOf(uint32_t code, unsigned bits) {
  if (bits >= kAllBits) return code;
  return static_cast<uint32_t>(code * 0x9E3779B1u) >> (32 - bits);
}

inline uint32_t shiftIn(uint32_t code, unsigned char c) { return ((code << 8) | foldAscii(c)) & 0xFFFFFFu; }

std::vector<uint64_t>& threadBitmap() {
  thread_local std::vector<uint64_t> bits;
  return bits;
}

}  // namespace

TrigramSummaryBuilder::TrigramSummaryBuilder() : seen_(threadBitmap()) {
  if (seen_.empty()) seen_.assign((size_t{1} << kAllBits) / 64, 0);
}

void TrigramSummaryBuilder::add(const char* text, size_t length) {
  if (length < 3) return;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  uint32_t code = shiftIn(foldAscii(s[0]), s[1]);
  for (size_t i = 2; i < length; ++i) {
    code = shiftIn(code, s[i]);
    uint64_t& word = seen_[code >> 6];
    const uint64_t bit = uint64_t{1} << (code & 63);
    if (!(word & bit)) {
      word |= bit;
      codes_.push_back(code);
    }
  }
}

std::string TrigramSummaryBuilder::finish() {
  unsigned bits = kFewestBits;
  while (bits < kAllBits && (size_t{1} << bits) < codes_.size() * kBitsPerTrigram) ++bits;
  std::string out(1 + (size_t{1} << bits) / 8, '\0');
  out[0] = static_cast<char>(bits);
  for (uint32_t code : codes_) {
    const uint32_t b = bitOf(code, bits);
    out[1 + b / 8] = static_cast<char>(static_cast<unsigned char>(out[1 + b / 8]) | (1u << (b % 8)));
    seen_[code >> 6] = 0;
  }
  codes_.clear();
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
  if (bits < kFewestBits || bits > kAllBits || summary.size() != 1 + (size_t{1} << bits) / 8) return true;
  for (uint32_t code : codes_) {
    const uint32_t b = bitOf(code, bits);
    if (!(static_cast<unsigned char>(summary[1 + b / 8]) & (1u << (b % 8)))) return false;
  }
  return true;
}
