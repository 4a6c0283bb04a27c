// Paths as the file system has them: bytes, which need not be UTF-8 (names
// unpacked from archives made on Chinese Windows are often GBK). These keep
// the bytes through the places that want text: file URLs (drops, the file
// browser, Calc), the settings file and the folder box.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Whether `text` is well-formed UTF-8.
bool isUtf8(std::string_view text);

// "file://" and the path with every byte outside [A-Za-z0-9-._~/] as %XX.
std::string fileUrlOfPath(std::string_view path);

// The path bytes of a local file URL ("file:///p", "file://localhost/p" or
// "file:/p"), percent escapes decoded byte for byte; nullopt for anything else.
std::optional<std::string> pathOfFileUrl(std::string_view url);

// The path as a user can read it (UTF-8): each component as it is when it is
// UTF-8, decoded as GBK when it is GBK, else with U+FFFD for each bad byte.
std::string readablePath(std::string_view path);

// How a folder is stored in the settings file, which must stay UTF-8: the
// path itself when it is UTF-8, else its file URL; and back.
std::string storedFolderText(std::string_view path);
std::string folderOfStoredText(std::string_view stored);
