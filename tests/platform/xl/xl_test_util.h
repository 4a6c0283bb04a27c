// Helpers shared by the library's tests: scratch files and error-text checks.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace xltest {

// A fresh, empty folder under the test scratch area, named after the test.
inline std::filesystem::path scratchDir(const std::string& name) {
  std::filesystem::path dir = std::filesystem::path(QUORVANE_TEST_SCRATCH) / "xl" /
                              (name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

inline void writeBytes(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// True when the text holds a CJK ideograph or CJK punctuation (U+3000-U+9FFF,
// U+FF00-U+FFEF), i.e. it is a Chinese message and not an English one.
inline bool hasCjk(std::string_view s) {
  for (size_t i = 0; i + 2 < s.size(); ++i) {
    const unsigned char a = static_cast<unsigned char>(s[i]);
    const unsigned char b = static_cast<unsigned char>(s[i + 1]);
    if ((a >= 0xE3 && a <= 0xE9) || (a == 0xEF && b >= 0xBC && b <= 0xBF)) return true;
  }
  return false;
}

}  // namespace xltest
