// quorvane-search --folder DIR --text TEXT [--titles] [--skip-hidden] [--json] [--export FILE]
//                 [--no-cache] [--clear-cache] [--stats] | --version:
// the window's search (same count, walk, scan and results grid, default
// colours) from the command line, printing the grid when done.
#pragma once

#include <cstdio>
#include <string>

#include "results/results_grid.h"

struct SearchCliOptions {
  std::string folder;
  bool haveFolder = false;
  std::string text;
  bool titles = false;      // the first row of each sheet as titles
  bool skipHidden = false;  // hidden rows and columns left out
  bool json = false;
  std::string exportFile;   // --export: the grid written as a workbook file
  bool haveExport = false;
  bool noCache = false;     // --no-cache: every workbook read from its file
  bool clearCache = false;  // --clear-cache: the cell cache emptied first (alone: only that)
  bool version = false;     // --version: the version printed, nothing else
  bool stats = false;       // --stats: what the cell cache did, on stderr at the end
};

// Fills `options` from the arguments after the program name; false with a
// message in `error` for an unknown option, a missing value or a missing
// --folder / empty --text (both may be left out with --clear-cache alone).
// `help` is set for --help.
bool parseSearchCliArgs(int argc, char** argv, SearchCliOptions& options, bool& help, std::string& error);

// One JSON object per grid row and line, header row first:
// {"cells":["..",..],"colours":[null or 0x00BBGGRR as an integer, ..]}; a
// file path that is not UTF-8 is shown as its readable text and its bytes
// follow, base64, as "path_bytes".
void printGridJson(const ResultsGrid& grid, std::FILE* out);
// Tab-separated cells per row, file paths readable; a coloured row ends
// with its colour.
void printGridTable(const ResultsGrid& grid, std::FILE* out);

int runSearchCli(int argc, char** argv);
