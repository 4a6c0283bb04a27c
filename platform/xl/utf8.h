// Well-formed UTF-8, as every text that leaves the program must be: checked
// here, and written one code point at a time by the readers that turn UTF-16
// units, Latin-1 bytes or character references into cell texts (inline: it
// sits in their per-character loops).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace xl {

// Length of the well-formed UTF-8 sequence at s[i] (1 to 4), 0 when the bytes
// there are not one (stray continuation, overlong form, surrogate, cut off).
inline size_t utf8SequenceLength(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t n;
  unsigned lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  return n;
}

// Writes 1 to 4 bytes at `out` and returns how many; `cp` is below 0x110000.
inline size_t putUtf8(char* out, uint32_t cp) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Excel's limit on one cell's text, in UTF-16 units: what a workbook we
// write may hold (the readers keep longer texts whole).
inline constexpr size_t kMaxCellUnits = 32'767;

// The longest start of `text` that takes at most `maxUnits` UTF-16 units,
// cut between characters: a four-byte sequence is a surrogate pair, never
// split. Bytes that are not UTF-8 count by their lead bytes alone (the
// writer turns each into U+FFFD, which may cut a little more).
inline std::string_view cutToUtf16Units(std::string_view text, size_t maxUnits) {
  if (text.size() <= maxUnits) return text;  // never more units than bytes
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  auto unitsOf = [](unsigned char b) -> size_t { return ((b & 0xC0) != 0x80) + (b >= 0xF0); };
  size_t units = 0, i = 0;
  // Blocks that cannot pass the limit are counted without a test per byte
  // (the grid cuts every long text it shows or prints).
  constexpr size_t kBlock = 64;
  while (i + kBlock <= text.size() && units + kBlock <= maxUnits) {
    size_t sum = 0;
    for (size_t k = 0; k < kBlock; ++k) sum += unitsOf(p[i + k]);
    units += sum;
    i += kBlock;
  }
  for (; i < text.size(); ++i) {
    if ((p[i] & 0xC0) == 0x80) continue;  // inside a character
    units += unitsOf(p[i]);
    if (units > maxUnits) return text.substr(0, i);
  }
  return text;
}

}  // namespace xl
