#include "search/text_match.h"

#include <cstdint>
#include <cstring>

#include "platform/xl/ascii.h"

namespace {

inline bool isContinuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

// Compares n bytes of `text` with the already folded `folded`.
inline bool equalFolded(const unsigned char* text, const char* folded, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (xl::foldAscii(text[i]) != static_cast<unsigned char>(folded[i])) return false;
  }
  return true;
}

// How often a byte is met in the texts of workbooks, roughly, in ranks
// (lower: rarer): rare letters and punctuation, the bytes that lead
// characters outside the common Chinese range, the bytes that continue
// characters, common letters and digits, blanks and the common lead bytes.
// A letter counts its two cases.
int rarity(unsigned char c) {
  static constexpr char kLetters[] = "zqxjkvbpygfwmucldrhsnioate";  // rarest first, roughly
  if (c >= 'a' && c <= 'z') {
    for (int i = 0; kLetters[i]; ++i)
      if (kLetters[i] == static_cast<char>(c)) return 2 + i / 3 + 2;
  }
  if (c >= '0' && c <= '9') return 10;
  if (c == ' ' || c == '-' || c == '.' || c == ',' || c == ':' || c == '/') return 9;
  if (c < 0x80) return 3;
  if (c < 0xC0) return 6;                 // continues a character
  if (c >= 0xE4 && c <= 0xE9) return 12;  // leads a common Chinese character
  return 4;
}

}  // namespace

size_t utf8CharLength(const char* text, size_t length, size_t i) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  unsigned char c = s[i];
  size_t need;
  if (c < 0xC0) return 1;
  if (c < 0xE0) need = 1;
  else if (c < 0xF0) need = 2;
  else if (c < 0xF8) need = 3;
  else return 1;
  if (i + need >= length) return 1;  // the sequence runs past the end
  for (size_t k = 1; k <= need; ++k) {
    if (!isContinuation(s[i + k])) return 1;
  }
  return need + 1;
}

TextMatcher::TextMatcher(std::string_view needle) : folded_(xl::foldedAscii(needle)) {
  if (!needle.empty()) {
    first_ = static_cast<unsigned char>(folded_[0]);
    firstOther_ = (first_ >= 'a' && first_ <= 'z') ? static_cast<unsigned char>(first_ - 0x20) : first_;
    firstIsContinuation_ = isContinuation(first_);
    size_t best = 0;
    for (size_t i = 0; i < folded_.size(); ++i)
      if (rarity(static_cast<unsigned char>(folded_[i])) < rarity(static_cast<unsigned char>(folded_[best]))) best = i;
    anchor_ = best;
    anchorByte_ = static_cast<unsigned char>(folded_[best]);
    anchorOther_ = (anchorByte_ >= 'a' && anchorByte_ <= 'z') ? static_cast<unsigned char>(anchorByte_ - 0x20)
                                                              : anchorByte_;
  }
}

size_t TextMatcher::find(const char* data, size_t size, size_t from) const {
  const size_t n = folded_.size();
  if (n == 0 || size < n || from > size - n) return size;
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  // Where the anchor byte of an occurrence starting in [from, size - n] lies.
  const size_t end = size - n + anchor_ + 1;
  // The next lower-case (or only) anchor is kept while the upper-case ones
  // before it are looked at.
  size_t lower = 0;
  bool lowerKnown = false;
  for (size_t at = from + anchor_; at < end;) {
    if (!lowerKnown || lower < at) {
      const void* p = std::memchr(s + at, anchorByte_, end - at);
      lower = p ? static_cast<size_t>(static_cast<const unsigned char*>(p) - s) : end;
      lowerKnown = true;
    }
    size_t hit = lower;
    if (anchorOther_ != anchorByte_) {
      if (const void* p = std::memchr(s + at, anchorOther_, lower - at))
        hit = static_cast<size_t>(static_cast<const unsigned char*>(p) - s);
    }
    if (hit >= end) return size;
    if (equalFolded(s + hit - anchor_, folded_.data(), n)) return hit - anchor_;
    at = hit + 1;
  }
  return size;
}

bool TextMatcher::contains(const char* text, size_t length) const {
  const size_t n = folded_.size();
  if (n == 0 || length == 0 || n > length) return false;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const size_t lastStart = length - n;

  if (firstIsContinuation_) {
    // Only an invalid needle begins with a continuation byte; such a byte is
    // a character start only where the decoding walk says so, so walk.
    for (size_t i = 0; i <= lastStart; i += utf8CharLength(text, length, i)) {
      if (s[i] == first_ && equalFolded(s + i + 1, folded_.data() + 1, n - 1)) return true;
    }
    return false;
  }

  // An ASCII byte or a lead byte is always the start of a character, so any
  // occurrence of the needle's first byte is a candidate.
  const char* tail = folded_.data() + 1;
  if (first_ == firstOther_) {
    const unsigned char* p = s;
    const unsigned char* end = s + lastStart + 1;
    while (p < end) {
      p = static_cast<const unsigned char*>(std::memchr(p, first_, static_cast<size_t>(end - p)));
      if (!p) return false;
      if (equalFolded(p + 1, tail, n - 1)) return true;
      ++p;
    }
    return false;
  }
  // A letter, in either case, is the one byte that equals the lower case
  // once bit 5 is set: look for that eight bytes at a time (most cells hold
  // no candidate at all), then byte by byte for the rest.
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  const uint64_t pattern = kOnes * first_;
  size_t i = 0;
  for (; i + 8 <= length && i <= lastStart; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    const uint64_t x = (w | 0x2020202020202020ull) ^ pattern;
    // A set high bit for each byte of x that may be zero (the bytes above a
    // true zero may be false alarms, so each is checked).
    for (uint64_t m = (x - kOnes) & ~x & kHighs; m; m &= m - 1) {
      const size_t at = i + static_cast<size_t>(__builtin_ctzll(m)) / 8;
      if (at <= lastStart && (s[at] | 0x20) == first_ && equalFolded(s + at + 1, tail, n - 1)) return true;
    }
  }
  for (; i <= lastStart; ++i) {
    unsigned char c = s[i];
    if ((c == first_ || c == firstOther_) && equalFolded(s + i + 1, tail, n - 1)) return true;
  }
  return false;
}

std::string relativePath(std::string_view fullPath, std::string_view folder) {
  if (folder.empty()) return std::string(fullPath);
  const std::string folded = xl::foldedAscii(folder);
  const auto* s = reinterpret_cast<const unsigned char*>(fullPath.data());
  const size_t length = fullPath.size();
  const size_t n = folded.size();
  std::string out;
  out.reserve(length);
  size_t i = 0;
  while (i < length) {
    if (length - i >= n && equalFolded(s + i, folded.data(), n)) {
      i += n;
      continue;
    }
    size_t step = utf8CharLength(fullPath.data(), length, i);
    out.append(fullPath.data() + i, step);
    i += step;
  }
  return out;
}

std::string columnLetters(int number) {
  if (number < 1) return std::string();
  unsigned n = static_cast<unsigned>(number) - 1;
  std::string letters(1, static_cast<char>('A' + n % 26));
  while (n / 26 > 0) {
    n = n / 26 - 1;
    letters.insert(letters.begin(), static_cast<char>('A' + n % 26));
  }
  return letters;
}

std::string sheetLabel(int sheetNumber, std::string_view sheetName) {
  std::string label = std::to_string(sheetNumber);
  label += ' ';
  label += sheetName;
  return label;
}

std::string cellReference(int row, int col) {
  return columnLetters(col + 1) + std::to_string(row + 1);
}
