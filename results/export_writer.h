// Writes the results grid as one sheet of a new workbook file through the
// spreadsheet library: every cell a bordered text cell, header row included.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/xl/xlapi.h"
#include "results/results_grid.h"

inline constexpr const char* kExportSheetName = "搜索结果";
inline constexpr int kExportColumnWidth = 19;   // characters
inline constexpr int kExportIgnoredErrors = 255; // every kind of cell error mark
inline constexpr int kThinBorder = 1;

// Where the writer reports its progress (the window's progress bar); either
// function may be empty.
struct ExportProgress {
  std::function<void(int)> setPosition;
  std::function<void(int)> setMaximum;
};

// The grid's row 0 (the column captions), one text per column.
std::vector<std::string> gridColumnTitles(const ResultsGrid& grid);

// The name the export proposes: folder text, search text and the suffix,
// joined with nothing in between.
std::string proposedExportName(const std::string& folderText, const std::string& searchText);

// Writes `titles` into row 0 and grid rows 0 .. R-1 (columns 0 .. titles-1)
// into sheet `sheetName` of a new book and saves it as `fileName`. Unless
// `keepGivenWidths`, one width of 19 per title is appended to `columnWidths`;
// every entry then sets its column's width. True when the file was saved
// with every cell; a cell the library refuses fails the export unsaved.
bool writeResultsWorkbook(const XlApi& xl, const ResultsGrid& grid, const ExportProgress& progress,
                          const std::vector<std::string>& titles, const std::string& sheetName,
                          std::vector<int>& columnWidths, bool keepGivenWidths,
                          const std::string& fileName);
