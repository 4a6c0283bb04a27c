// Text rules of the search: the "contains" test, the relative path of a
// workbook, the column letters and the labels a result row carries.
// Texts are UTF-8 byte strings; only ASCII letters are folded.
#pragma once

#include <string>
#include <string_view>

// Whether `needle` occurs in `text` starting at a character boundary, ASCII
// letters compared without case. Prepared once per search, used per cell.
class TextMatcher {
 public:
  explicit TextMatcher(std::string_view needle);
  bool contains(const char* text, size_t length) const;
  bool contains(std::string_view text) const { return contains(text.data(), text.size()); }
  // The first position at or after `from` where `data` holds the needle,
  // ASCII letters folded, character boundaries not considered (many texts
  // side by side are searched at once, the caller tells where each begins);
  // `size` when there is none or the needle is empty.
  size_t find(const char* data, size_t size, size_t from) const;
  // Whether the needle is a character of its own wherever it occurs: find()
  // then gives contains() for every text it lies inside.
  bool startsAtAnyOccurrence() const { return !folded_.empty() && !firstIsContinuation_; }

 private:
  std::string folded_;  // the needle with A..Z folded to a..z
  unsigned char first_ = 0;
  unsigned char firstOther_ = 0;  // the other case of the first byte, or the byte itself
  bool firstIsContinuation_ = false;
  // For find(): the byte of the needle likely rarest in a workbook's texts,
  // looked for with memchr (a letter in both cases).
  size_t anchor_ = 0;
  unsigned char anchorByte_ = 0;
  unsigned char anchorOther_ = 0;
};

// Length of the character beginning at text[i]: a UTF-8 sequence whose lead
// byte is followed by the continuation bytes it announces, else one byte (an
// invalid byte is a character of its own).
size_t utf8CharLength(const char* text, size_t length, size_t i);

// The full path with every occurrence of `folder` removed: occurrences start
// at character boundaries, are taken left to right without overlap and are
// compared with ASCII letters folded. An empty folder leaves the path as it is.
std::string relativePath(std::string_view fullPath, std::string_view folder);

// 1-based column number in bijective base 26: 1 A, 26 Z, 27 AA, 703 AAA.
std::string columnLetters(int number);

// "2 Sheet2": the 1-based sheet number, a blank and the sheet's name.
std::string sheetLabel(int sheetNumber, std::string_view sheetName);

// "C7" for zero-based row 6, column 2.
std::string cellReference(int row, int col);
