#include "results/export_writer.h"

#include "platform/xl/utf8.h"

std::vector<std::string> gridColumnTitles(const ResultsGrid& grid) {
  std::vector<std::string> titles;
  const int columns = grid.columnCount();
  titles.reserve(columns);
  for (int c = 0; c < columns; ++c) titles.push_back(grid.cellText(0, c));
  return titles;
}

std::string proposedExportName(const std::string& folderText, const std::string& searchText) {
  return folderText + searchText + "搜索结果.xlsx";
}

bool writeResultsWorkbook(const XlApi& xl, const ResultsGrid& grid, const ExportProgress& progress,
                          const std::vector<std::string>& titles, const std::string& sheetName,
                          std::vector<int>& columnWidths, bool keepGivenWidths,
                          const std::string& fileName) {
  const int rows = grid.rowCount();
  BookHandle book = xl.createXMLBook();
  // A library that cannot even create a book cannot save one: report the
  // failure instead of calling on a null handle.
  if (book == nullptr) return false;
  SheetHandle sheet = xl.bookInsertSheet(book, xl.bookSheetCount(book), sheetName.c_str(), nullptr);
  FormatHandle format = xl.bookAddFormat(book, nullptr);
  if (sheet == nullptr || format == nullptr) {
    xl.bookRelease(book);
    return false;
  }
  xl.formatSetBorder(format, kThinBorder);

  // A cell the library refuses would be missing from a file reported as
  // saved: the export fails instead, and nothing is saved.
  bool written = true;
  const int columns = static_cast<int>(titles.size());
  for (int i = 0; i < columns && written; ++i) written = xl.sheetWriteStr(sheet, 0, i, titles[i].c_str(), format) == 1;

  if (progress.setPosition) progress.setPosition(0);
  if (progress.setMaximum) progress.setMaximum(rows);

  if (!keepGivenWidths) columnWidths.insert(columnWidths.end(), columns, kExportColumnWidth);

  std::string text;  // cellTextView is not NUL-terminated; one buffer for all cells
  for (int r = 0; r < rows && written; ++r) {
    for (int c = 0; c < columns && written; ++c) {
      // The file holds what Excel can: cut here rather than when saved, so
      // a long text many rows show (held once by the grid) is not copied
      // whole into the book for every row.
      text.assign(xl::cutToUtf16Units(grid.cellTextView(r, c), xl::kMaxCellUnits));
      written = xl.sheetWriteStr(sheet, r, c, text.c_str(), format) == 1;
    }
    if (progress.setPosition) progress.setPosition(r + 1);
  }
  if (!written) {
    xl.bookRelease(book);
    return false;
  }

  xl.sheetAddIgnoredError(sheet, 0, 0, rows + 1, columns + 1, kExportIgnoredErrors);
  for (size_t k = 0; k < columnWidths.size(); ++k)
    xl.sheetSetCol(sheet, static_cast<int>(k), static_cast<int>(k),
                   static_cast<double>(columnWidths[k]), nullptr, 0);

  const bool saved = xl.bookSave(book, fileName.c_str()) == 1;
  xl.bookRelease(book);
  return saved;
}
