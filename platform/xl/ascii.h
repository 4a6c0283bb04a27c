// ASCII case folding, the only folding the program does anywhere (search
// text, file names, part names, settings keys, format codes): A..Z to a..z,
// every other byte or code unit (UTF-8 included) as it is. Header-only, so
// the layers above the library use it without linking it.
#pragma once

#include <string>
#include <string_view>

namespace xl {

// For char, unsigned char and UTF-16 code units alike.
template <class C>
constexpr C foldAscii(C c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<C>(c | 0x20) : c;
}

inline std::string foldedAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = foldAscii(c);
  return out;
}

constexpr bool equalsFoldedAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  return true;
}

}  // namespace xl
