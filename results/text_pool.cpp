#include "results/text_pool.h"

#include <functional>
#include <utility>

uint32_t TextPool::intern(std::string_view text) {
  if (last_ != UINT32_MAX && texts_[last_] == text) return last_;
  const size_t hash = std::hash<std::string_view>{}(text);
  auto [first, last] = byHash_.equal_range(hash);
  for (auto it = first; it != last; ++it)
    if (texts_[it->second] == text) return last_ = it->second;
  const auto id = static_cast<uint32_t>(texts_.size());
  texts_.emplace_back(text);
  try {
    byHash_.emplace(hash, id);
  } catch (...) {
    texts_.pop_back();
    throw;
  }
  bytes_ += text.size();
  return last_ = id;
}

void TextPool::clear() {
  texts_.clear();
  byHash_.clear();
  bytes_ = 0;
  last_ = UINT32_MAX;
}

void TextPool::swap(TextPool& other) noexcept {
  texts_.swap(other.texts_);
  byHash_.swap(other.byHash_);
  std::swap(bytes_, other.bytes_);
  std::swap(last_, other.last_);
}
