#include "search/cache_settings.h"

#include <cstdlib>
#include <limits>

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

}  // namespace

bool parseCacheSwitch(std::string_view text, bool& on) {
  for (std::string_view word : {"0", "off", "no", "false"})
    if (sameIgnoringCase(text, word)) {
      on = false;
      return true;
    }
  for (std::string_view word : {"1", "on", "yes", "true"})
    if (sameIgnoringCase(text, word)) {
      on = true;
      return true;
    }
  return false;
}

bool parseCacheSize(std::string_view text, uint64_t& bytes) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0) return false;
  const std::string_view suffix = text.substr(digits);
  int shift = -1;
  static const char kUnits[] = "kmgt";
  if (suffix.empty() || sameIgnoringCase(suffix, "b")) {
    shift = 0;
  } else {
    for (int i = 0; i < 4; ++i) {
      const std::string_view unit(&kUnits[i], 1);
      for (std::string_view form : {"", "b", "ib"})
        if (sameIgnoringCase(suffix, std::string(unit) + std::string(form))) shift = 10 * (i + 1);
    }
  }
  if (shift < 0) return false;
  constexpr uint64_t kMost = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  uint64_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const auto d = static_cast<uint64_t>(text[i] - '0');
    if (value > (kMost - d) / 10) return false;
    value = value * 10 + d;
  }
  if (value == 0 || value > (kMost >> shift)) return false;
  bytes = value << shift;
  return true;
}

CacheSettings cacheSettingsFromEnvironment() {
  CacheSettings s;
  if (const char* v = std::getenv("QUORVANE_CACHE")) {
    if (!parseCacheSwitch(v, s.enabled))
      s.warnings.push_back(std::string("QUORVANE_CACHE 的值无效：“") + v +
                           "”（可用 0/off/no/false 或 1/on/yes/true），缓存照常使用");
  }
  if (const char* v = std::getenv("QUORVANE_CACHE_MAX")) {
    if (!parseCacheSize(v, s.maxBytes))
      s.warnings.push_back(std::string("QUORVANE_CACHE_MAX 的值无效：“") + v +
                           "”（应为整数字节数，可带 K/M/G/T），使用默认的 2000000000 字节");
  }
  return s;
}
