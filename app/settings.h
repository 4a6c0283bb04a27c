// The settings file 配置.ini: a profile (INI) file beside the program, read and
// written one key at a time with the rules of the Windows profile functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Directory of the running executable, without a trailing "/".
std::string programDirectory();

// programDirectory() + "/配置.ini"; when that file does not exist and the
// program directory cannot be written (an installed copy), the per-user
// $XDG_CONFIG_HOME/quorvane/配置.ini (default ~/.config/quorvane/) instead.
std::string settingsPath();

// The folder the program offers where it has no other: at first start, after
// a cancelled chooser, for a dropped bare name. A copy that keeps its
// settings beside itself offers its own folder + "/"; an installed copy
// (whose settings moved to $XDG_CONFIG_HOME) offers the user's home + "/".
std::string defaultSearchFolder();

// Longest value a read returns, in bytes; a longer value is cut at the last
// UTF-8 character boundary at or before this length.
inline constexpr std::size_t kMaxSettingValueBytes = 10239;

// Value of section/key in settingsPath(), or defaultText when the file, the
// section or the key is missing. Names match without regard to ASCII case;
// blanks around the value and one pair of enclosing double quotes go.
std::string readSetting(std::string_view section, std::string_view key,
                        std::string_view defaultText);

// Sets section/key to value, creating the file, the section or the key as
// needed; every other line stays as it was. Atomic: a failed write leaves the
// old file untouched. Callers may ignore the result.
bool writeSetting(std::string_view section, std::string_view key, std::string_view value);

// The same two operations on an explicit file.
std::string readProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultText);
bool writeProfileString(const std::string& path, std::string_view section,
                        std::string_view key, std::string_view value);

// Text to 32-bit integer: full-width digits and signs read as ASCII, the
// ideographic space as a blank; then leading blanks, an optional sign and the
// digits up to the first non-digit. No digits give 0; overflow wraps modulo 2^32.
int32_t integerFromText(std::string_view text);

// Plain decimal, a minus sign for negatives, no leading zeros.
std::string integerToText(int32_t value);

// Test seams: a fixed program directory (nullopt = the real one) and the
// "can this directory be written" check behind the fallback (nullptr = access(2)).
void setProgramDirectoryForTesting(std::optional<std::string> directory);
void setDirectoryWritableCheckForTesting(std::function<bool(const std::string&)> check);
