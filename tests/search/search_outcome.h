// A whole search (count, walk, scan through a WorkbookSource) run in the
// test's own thread, with everything the user would see recorded: every
// grid cell with its colour, every progress step and status text, whether
// it stopped. Stops can be asked after some files or at a chosen cell, so
// two ways of reading the workbooks can be compared stop point for stop point.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/xl/xlapi.h"
#include "search/enumeration.h"
#include "search/scan_output.h"
#include "search/workbook_scan.h"

struct Outcome {
  std::vector<std::string> cells;  // every cell text and colour, row by row
  std::vector<std::pair<int, int>> progress;
  std::vector<std::string> statuses;
  int rows = 0, cols = 0;
  bool stopped = false;
};

// When the stop is asked: after this many files were scanned, or after this
// many cells were tested (-1: never); with `inFile` set, only cells of that
// file count (its path under the searched folder, as the grid shows it).
struct StopAt {
  StopAt(int afterFiles = -1, long afterCells = -1, std::string cellsOf = {})
      : files(afterFiles), cells(afterCells), inFile(std::move(cellsOf)) {}
  int files;
  long cells;
  std::string inFile;
};

inline Outcome runOutcome(const SearchSettings& settings, WorkbookSource& source, std::atomic<int>& stop,
                          const StopAt& at) {
  Outcome o;
  ResultsGrid grid;
  grid.clearForSearch();
  ScanOutput pending;
  WorkbookScanner scanner(staticXlApi(), source, settings, stop, pending);
  long cells = 0;
  bool counting = at.inFile.empty();
  // Watched only for a stop at a cell: a scan that may pass over the cells
  // that cannot be shown (a book from the cell cache) does so otherwise.
  if (at.cells >= 0) {
    scanner.onCellTested = [&](int, int, bool) {
      if (counting && ++cells == at.cells) stop = 1;
    };
  }
  auto apply = [&] {
    ResultsGrid::Batch batch(grid);
    pending.applyTo(grid, [&](int pos, int max, std::string_view status) {
      o.progress.emplace_back(pos, max);
      if (!status.empty()) o.statuses.emplace_back(status);
    });
    pending.clear();
  };
  scanner.setProgressMaximum(countWorkbooks(settings.folderText, kWorkbookPattern));
  std::vector<std::string> paths;
  std::vector<std::pair<std::string, std::string>> files;
  visitWorkbooks(settings.folderText, kWorkbookPattern, [&](const std::string& prefix, const std::string& name) {
    files.emplace_back(prefix, name);
    paths.push_back(prefix + name);
  });
  source.plan(paths);
  int scanned = 0;
  for (const auto& [prefix, name] : files) {
    if (!at.inFile.empty()) counting = prefix + name == settings.folderText + at.inFile;
    scanner.scanWorkbook(prefix, name);
    if (++scanned == at.files) stop = 1;
    apply();
  }
  apply();
  o.rows = grid.rowCount();
  o.cols = grid.columnCount();
  for (int r = 0; r < o.rows; ++r)
    for (int c = 0; c < o.cols; ++c) {
      std::optional<Colour> colour = grid.cellColour(r, c);
      o.cells.push_back(grid.cellText(r, c) + (colour ? "#" + std::to_string(*colour) : ""));
    }
  o.stopped = stop != 0;
  return o;
}

inline void expectSameOutcome(const Outcome& want, const Outcome& got, const std::string& what) {
  EXPECT_EQ(got.rows, want.rows) << what;
  EXPECT_EQ(got.cols, want.cols) << what;
  EXPECT_EQ(got.cells, want.cells) << what;
  EXPECT_EQ(got.progress, want.progress) << what;
  EXPECT_EQ(got.statuses, want.statuses) << what;
  EXPECT_EQ(got.stopped, want.stopped) << what;
}
