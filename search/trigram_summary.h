// A small summary of every text of a workbook: a bitmap of the byte trigrams
// that occur in them, ASCII letters folded as the search's contains-test
// folds them. A search text with a trigram the bitmap lacks occurs in none of
// the texts, so a cached workbook can be passed over without decompressing
// it. The bitmap only ever says "perhaps" too often, never "no" wrongly: a
// text of fewer than three bytes has no trigram and passes over nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TrigramSummaryBuilder {
 public:
  TrigramSummaryBuilder();
  void add(const char* text, size_t length);
  // The summary of everything added (a size byte and the bitmap), folded to
  // about eight bits per trigram it holds; resets the builder.
  std::string finish();

  struct Bitmap;

 private:
  // The widest bitmap, small enough to stay in the processor's cache while
  // a workbook's texts stream through; one per thread, cleared by finish().
  Bitmap& bitmap_;
};

// The trigrams of a search text, taken once per search.
class TrigramNeedle {
 public:
  explicit TrigramNeedle(std::string_view searchText);
  // False only when `summary` proves the search text occurs in no text it
  // summarises; a malformed summary says true.
  bool mayOccurIn(std::string_view summary) const;

 private:
  std::vector<uint32_t> codes_;
};
