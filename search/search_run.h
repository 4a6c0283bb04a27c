// The part of a search that runs away from the window: the count that scales
// the progress bar, then the walk handing every workbook file to the scan.
#pragma once

#include <atomic>
#include <functional>

#include "search/enumeration.h"
#include "search/scan_output.h"
#include "search/workbook_scan.h"

// Offered the pending operations after every file and every few hundred rows;
// the receiver takes what it wants to apply now (swap or move it out) and
// leaves the rest to grow. With `last` set it must take everything.
using DeliverFn = std::function<void(ScanOutput& pending, bool last)>;

// Told the progress bar's position and maximum as each file's scan begins,
// before its load: what a window shows while a long file loads.
using FileBeginsFn = std::function<void(int position, int maximum)>;

// Counts and walks `settings.folderText` with the workbook pattern, scanning
// every file through `source`; folders the walk cannot read go to
// `unreadable` when given (the window passes none: it shows no such notice).
// Returns whether a stop was requested.
bool runSearch(const SearchSettings& settings, const XlApi& api, WorkbookSource& source,
               const std::atomic<int>& stop, const DeliverFn& deliver,
               const UnreadableFolderCallback* unreadable = nullptr, const FileBeginsFn& onFileBegins = {});
