// What opening a result reads back from a grid row, without any widget: the
// workbook's path, its folder, the sheet position and the cell address, and
// the command line of the helper that shows them in LibreOffice Calc.
#pragma once

#include <string>
#include <vector>

#include "results/results_grid.h"

// The last component of `path` (extension included); empty when the path
// ends in "/".
std::string fileNameOfPath(const std::string& path);

// The folder text followed directly by the row's column 0 (which keeps its
// leading "/").
std::string workbookPathOfRow(const ResultsGrid& grid, int row, const std::string& folderText);

struct CalcRequest {
  std::string workbook;  // folderOfPath + fileNameOfPath of the row's path
  std::string sheet;     // decimal text of the 1-based sheet position; "0" for none
  std::string cell;      // column 2 as it stands: "C7", "列标题", an error text
};
CalcRequest calcRequestForRow(const ResultsGrid& grid, int row, const std::string& folderText);

// Exit codes of the helper (platform/uno/quorvane_calc.py).
inline constexpr int kCalcExitOk = 0;
inline constexpr int kCalcExitNoOffice = 3;

// The interpreter that has Debian's UNO bridge.
inline constexpr const char* kCalcPython = "/usr/bin/python3";

// Arguments for kCalcPython: the helper script, then the request. Paths go
// through as separate arguments, never through a shell; a workbook path that
// is not UTF-8 goes as its file URL.
std::vector<std::string> calcHelperArguments(const std::string& helperScript, const CalcRequest& request);

// The helper script: beside the program when installed or built, else
// `fallback` (the source tree, for a build that runs from its build folder).
// Empty when neither exists.
std::string findCalcHelper(const std::string& programDir, const std::string& fallback);
