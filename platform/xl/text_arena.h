// The bytes of a book's cell texts, back to back. Grown with realloc rather
// than as a std::vector: a big arena is a mapping the C library moves with
// mremap, so growing it never copies the texts or holds them twice, and
// the old block is never left behind in the allocator.
#pragma once

#include <cstddef>

namespace xl {

class TextArena {
 public:
  TextArena() = default;
  ~TextArena();
  TextArena(const TextArena& other);
  TextArena& operator=(const TextArena& other);
  TextArena(TextArena&& other) noexcept;
  TextArena& operator=(TextArena&& other) noexcept;

  const char* data() const { return p_; }
  size_t size() const { return size_; }
  size_t capacity() const { return cap_; }
  // Throws std::bad_alloc when memory runs out, as a vector would.
  void append(const char* bytes, size_t n);
  void push_back(char c) { append(&c, 1); }
  // Empty; the memory is given back when `release`.
  void clear(bool release);

 private:
  void grow(size_t need);
  char* p_ = nullptr;
  size_t size_ = 0, cap_ = 0;
};

}  // namespace xl
