// The cell cache's settings from the environment, read strictly: a value
// that is not one of the accepted forms is reported and the default used.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr uint64_t kDefaultCacheMaxBytes = 2'000'000'000ull;

// QUORVANE_CACHE: 0/off/no/false or 1/on/yes/true, in any case. False for
// anything else.
bool parseCacheSwitch(std::string_view text, bool& on);
// QUORVANE_CACHE_MAX: a whole number of bytes, with an optional suffix K,
// M, G or T (or KB/KiB etc., any case; powers of 1024), at least 1 and at
// most 2^63 - 1 bytes. False for anything else (signs, fractions, hex,
// exponents, spaces, overflow).
bool parseCacheSize(std::string_view text, uint64_t& bytes);

struct CacheSettings {
  bool enabled = true;
  uint64_t maxBytes = kDefaultCacheMaxBytes;
  std::vector<std::string> warnings;  // one line each for a value not taken
};
CacheSettings cacheSettingsFromEnvironment();
