// Long texts kept once, however many cells show them. A workbook can point
// every one of its cells at the same shared string; copied per row, a file of
// a hundred kilobytes would fill gigabytes of grid. Texts are found again by
// their content, so equal texts from different books are shared too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

class TextPool {
 public:
  // Shorter texts cost less copied than hashed and looked up.
  static constexpr size_t kMinBytes = 1024;

  // The id of a text equal to `text`, added when there is none yet.
  uint32_t intern(std::string_view text);
  // Valid until clear(); ids are never reused before it.
  std::string_view text(uint32_t id) const { return texts_[id]; }
  bool empty() const { return texts_.empty(); }
  size_t bytes() const { return bytes_; }  // of the texts held
  void clear();
  void swap(TextPool& other) noexcept;

 private:
  std::deque<std::string> texts_;  // a deque: a text never moves once added
  std::unordered_multimap<size_t, uint32_t> byHash_;
  size_t bytes_ = 0;
  // The text interned last: rows in a run mostly repeat it, and comparing
  // costs far less than hashing.
  uint32_t last_ = UINT32_MAX;
};
