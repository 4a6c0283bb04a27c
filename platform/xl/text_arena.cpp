#include "platform/xl/text_arena.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace xl {

TextArena::~TextArena() { std::free(p_); }

TextArena::TextArena(const TextArena& other) { append(other.p_, other.size_); }

TextArena& TextArena::operator=(const TextArena& other) {
  if (this != &other) {
    size_ = 0;
    append(other.p_, other.size_);
  }
  return *this;
}

TextArena::TextArena(TextArena&& other) noexcept
    : p_(std::exchange(other.p_, nullptr)), size_(std::exchange(other.size_, 0)), cap_(std::exchange(other.cap_, 0)) {}

TextArena& TextArena::operator=(TextArena&& other) noexcept {
  if (this != &other) {
    std::free(p_);
    p_ = std::exchange(other.p_, nullptr);
    size_ = std::exchange(other.size_, 0);
    cap_ = std::exchange(other.cap_, 0);
  }
  return *this;
}

void TextArena::grow(size_t need) {
  const size_t cap = std::max({need, cap_ * 2, size_t{4096}});
  void* q = std::realloc(p_, cap);
  if (!q) throw std::bad_alloc();
  p_ = static_cast<char*>(q);
  cap_ = cap;
}

void TextArena::append(const char* bytes, size_t n) {
  if (n == 0) return;
  if (cap_ - size_ < n) grow(size_ + n);
  std::memcpy(p_ + size_, bytes, n);
  size_ += n;
}

void TextArena::clear(bool release) {
  size_ = 0;
  if (!release) return;
  std::free(p_);
  p_ = nullptr;
  cap_ = 0;
}

}  // namespace xl
