// The two walks of a search over a folder tree: the count that scales the
// progress bar and the visit that hands every workbook file to the scan.
// Within a folder, entries are taken in the order an NTFS directory returns
// them (names compared with ASCII a-z folded to A-Z), files before subfolders.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

// Called with the directory prefix (ending in "/") and the file's bare name.
using WorkbookCallback = std::function<void(const std::string& prefix, const std::string& name)>;

// Told of a folder the walk could not open or read to its end (its path,
// ending in "/", and the errno); the walk goes on without it. Always called
// on the walk's calling thread, in the walk's order.
using UnreadableFolderCallback = std::function<void(const std::string& folder, int error)>;

// Once `stop` (when given) is set, the walks below read no further folder
// (the one being read is finished) and return what they have.

// Number of file entries matching `pattern` in `folder` and every folder below
// it; only "." and ".." are passed over.
long long countWorkbooks(const std::string& folder, const std::string& pattern,
                         const std::atomic<int>* stop = nullptr);

// Calls `callback` for every file entry matching `pattern` in `folder` and the
// folders below it, passing over every folder whose name begins with ".".
void visitWorkbooks(const std::string& folder, const std::string& pattern,
                    const WorkbookCallback& callback, const std::atomic<int>* stop = nullptr);

// Both in one walk of the tree: calls `callback` as visitWorkbooks does and
// returns what countWorkbooks would; `unreadable`, when given, hears of the
// folders (the top one included) that gave no entries or only some.
long long countAndVisitWorkbooks(const std::string& folder, const std::string& pattern,
                                 const WorkbookCallback& callback, const std::atomic<int>* stop = nullptr,
                                 const UnreadableFolderCallback* unreadable = nullptr);

// The folder text as a directory prefix: "/" appended unless it ends with one
// (so an empty text walks from "/").
std::string directoryPrefix(const std::string& folder);

// Pattern test as the Windows directory search gives it on volumes with short
// names: "*.xls" takes every name whose extension begins with "xls" in any
// case (.xls .XLSX .xlsm); "*" and "*.*" take every name; other patterns are
// wildcards ('*', '?') compared without ASCII case.
bool matchesPattern(std::string_view name, std::string_view pattern);

// NTFS order: bytes compared with ASCII a-z folded to upper case; names that
// differ only in case are then ordered by their bytes, so the order is total.
bool ntfsNameLess(std::string_view a, std::string_view b);
