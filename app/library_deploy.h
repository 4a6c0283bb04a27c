// The spreadsheet library at run time: the program carries libxl.so inside
// itself, writes it out beside itself and loads it from there by absolute
// path. Also the process-wide table of its entry points and scanBook.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "platform/xl/xlapi.h"

inline constexpr const char* kLibraryFileName = "libxl.so";
// The entry point of the first call, the one a failed start is reported for.
inline constexpr const char* kFirstEntryPoint = "xlCreateXMLBookCA";

using LibraryImage = std::span<const unsigned char>;

// Why the library could not be started: the library file, the entry point
// that was asked for, and the cause.
struct LibraryFailure {
  std::string libraryPath;
  std::string entryPoint;
  std::string reason;
};

// $XDG_CACHE_HOME/quorvane (default ~/.cache/quorvane): where the library
// goes when the program directory cannot hold it.
std::string libraryCacheDirectory();

// True when `path` is a regular file whose bytes are exactly `image`.
bool fileHoldsImage(const std::string& path, LibraryImage image);

// Makes sure a copy of `image` named libxl.so exists, first in
// `programDir`, else in `cacheDir`: a present file of exactly that content is
// used as it is, anything else (missing, stale, foreign) is replaced through
// a temporary file and a rename. Returns the path of the good copy, or an
// empty text with `failure` filled.
std::string deployLibrary(LibraryImage image, const std::string& programDir,
                          const std::string& cacheDir, LibraryFailure& failure);

// deployLibrary, then loads the copy by its absolute path and resolves every
// entry point into `api`.
bool startSpreadsheetLibrary(LibraryImage image, const std::string& programDir,
                             const std::string& cacheDir, XlApi& api, LibraryFailure& failure);

// The text the user is shown when the library cannot be started.
std::string libraryFailureMessage(const LibraryFailure& failure);

// The entry points every search and export call through (the loaded library
// in the program; staticXlApi() in the CLI and tests). Set on the UI thread at
// start-up, before the first search; a search copies the table when it
// starts, so a later setXlApi (a test making a second window) never reaches
// one that runs.
const XlApi& xlApi();
void setXlApi(const XlApi& api);

// A new, empty book of the XML (xlsx) kind, as the library returns it (null
// on failure, unchecked).
BookHandle createXmlBook();

// The book made by the first call into the library at start-up, so a library
// that cannot make a book shows before any search. Searches load their
// workbooks into the read-ahead pool's own books, not into this one. Never
// released.
extern BookHandle scanBook;
