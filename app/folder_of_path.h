// Reduces a path to the folder a search should use.
#pragma once

#include <string>

// The path itself when it names an existing directory (its form kept: no "/"
// added or removed); otherwise its text up to and including the last "/";
// the empty text when it has none. UTF-8 never puts a "/" byte inside a
// multi-byte character, so the last "/" byte is always a separator.
std::string folderOfPath(const std::string& path);
