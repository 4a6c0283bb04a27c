#include "results/open_result.h"

#include <unistd.h>

#include "app/folder_of_path.h"
#include "platform/path_text.h"
#include "app/settings.h"

std::string fileNameOfPath(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string workbookPathOfRow(const ResultsGrid& grid, int row, const std::string& folderText) {
  return folderText + grid.rowPath(row);
}

CalcRequest calcRequestForRow(const ResultsGrid& grid, int row, const std::string& folderText) {
  const std::string path = workbookPathOfRow(grid, row, folderText);
  CalcRequest request;
  request.workbook = folderOfPath(path) + fileNameOfPath(path);
  request.sheet = integerToText(integerFromText(grid.cellText(row, 1)));
  request.cell = grid.cellText(row, 2);
  return request;
}

std::vector<std::string> calcHelperArguments(const std::string& helperScript, const CalcRequest& request) {
  // "--" ends the options, so a workbook or cell text that starts with "-"
  // stays a plain argument.
  // A path that is not UTF-8 cannot pass through a text argument unchanged;
  // its file URL (every byte percent-encoded) can, and Calc opens that.
  const std::string workbook = isUtf8(request.workbook) ? request.workbook : fileUrlOfPath(request.workbook);
  return {helperScript, "open", "--", workbook, request.sheet, request.cell};
}

std::string findCalcHelper(const std::string& programDir, const std::string& fallback) {
  const std::string beside = programDir + "/quorvane_calc.py";
  if (::access(beside.c_str(), R_OK) == 0) return beside;
  if (!fallback.empty() && ::access(fallback.c_str(), R_OK) == 0) return fallback;
  return {};
}
