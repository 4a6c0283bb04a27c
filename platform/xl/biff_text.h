// Text decoding for the BIFF reader: UTF-16 code units (BIFF8) and 8-bit
// texts in the workbook's code page (BIFF2-5), all ending as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace xl::biff {

// Appends UTF-16 code units as UTF-8; unpaired surrogates become U+FFFD.
void appendUtf16(std::string& out, const uint16_t* units, size_t n);

// Appends BIFF8 character data: 2-byte little-endian units when `wide`,
// otherwise the compressed form (one byte per unit, i.e. Latin-1).
void appendBiffChars(std::vector<uint16_t>& units, const uint8_t* p, size_t nChars, bool wide);

// The same characters appended straight to `out` as UTF-8, as appendUtf16
// would write them after appendBiffChars.
void appendBiffText(std::string& out, const uint8_t* p, size_t nChars, bool wide);

// Decoder for 8-bit texts in a Windows code page, through iconv. Bytes that
// do not decode become U+FFFD; pure ASCII never reaches iconv.
class CodepageDecoder {
 public:
  CodepageDecoder() = default;
  CodepageDecoder(const CodepageDecoder&) = delete;
  CodepageDecoder& operator=(const CodepageDecoder&) = delete;
  ~CodepageDecoder();

  // Code page as stored in the CODEPAGE record (1252, 936, 10000, 1200...).
  void setCodepage(int codepage);
  int codepage() const { return codepage_; }
  void append(std::string& out, const uint8_t* p, size_t n);

 private:
  void close();
  int codepage_ = 1252;
  void* cd_ = nullptr;  // iconv_t, opened on first non-ASCII text
  bool openFailed_ = false;
};

// The Windows code page of a font character set (134 GB2312 -> 936, 136 Big5
// -> 950, 128 Shift-JIS -> 932, ...), 1252 for the Western and unknown ones:
// what Excel decodes an 8-bit workbook's texts with when no CODEPAGE says.
int codepageOfCharset(int charset);

// iconv name of a Windows code page, or null for the ones decoded as Latin-1.
const char* iconvNameOfCodepage(int codepage);

}  // namespace xl::biff
