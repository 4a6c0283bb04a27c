// Prints a workbook as one line of JSON, read through the C entry points only,
// so it shows exactly what the search sees.
#include "cli/dump.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "cli/json_text.h"
#include "cli/library_on_demand.h"
#include "platform/xl/xlapi.h"

namespace {

void printLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int runDump(const char* path) {
  const XlApi& xl = libraryOnDemand();
  BookHandle book = xl.createXMLBook();
  std::string out;
  if (!book) {
    out = "{\"error\":";
    appendJsonString(out, "内存不足");
    printLine(out + "}");
    return 2;
  }
  if (xl.bookLoad(book, path) != 1) {
    const char* msg = xl.bookErrorMessage(book);
    out = "{\"error\":";
    appendJsonString(out, msg ? msg : "");
    printLine(out + "}");
    xl.bookRelease(book);
    return 2;
  }
  out = "{\"sheets\":[";
  const int sheetCount = xl.bookSheetCount(book);
  for (int i = 0; i < sheetCount; ++i) {
    SheetHandle sheet = xl.bookGetSheet(book, i);
    const char* name = xl.bookGetSheetName(book, i);
    if (i > 0) out.push_back(',');
    out += "{\"name\":";
    appendJsonString(out, name ? name : "");
    const int lastRow = sheet ? xl.sheetLastRow(sheet) : 0;
    const int lastCol = sheet ? xl.sheetLastCol(sheet) : 0;
    out += ",\"lastRow\":" + std::to_string(lastRow) + ",\"lastCol\":" + std::to_string(lastCol);
    out += ",\"hiddenRows\":[";
    bool first = true;
    for (int r = 0; r < lastRow; ++r)
      if (xl.sheetRowHidden(sheet, r)) {
        if (!first) out.push_back(',');
        out += std::to_string(r);
        first = false;
      }
    out += "],\"hiddenCols\":[";
    first = true;
    for (int c = 0; c < lastCol; ++c)
      if (xl.sheetColHidden(sheet, c)) {
        if (!first) out.push_back(',');
        out += std::to_string(c);
        first = false;
      }
    out += "],\"cells\":[";
    const int count = sheet ? xl.sheetStoredCellCount(sheet) : 0;
    for (int k = 0; k < count; ++k) {
      int row = 0, col = 0, len = 0;
      const char* text = xl.sheetStoredCell(sheet, k, &row, &col, &len);
      if (k > 0) out.push_back(',');
      out += "[" + std::to_string(row) + "," + std::to_string(col) + ",";
      appendJsonString(out, text ? std::string_view(text, static_cast<size_t>(len)) : std::string_view());
      out.push_back(']');
    }
    out += "]}";
  }
  out += "]";
  // Only when there are some, so the line of a plain workbook stays as it was.
  const int notes = xl.bookDiagnosticCount ? xl.bookDiagnosticCount(book) : 0;
  if (notes > 0 && xl.bookDiagnostic) {
    out += ",\"diagnostics\":[";
    for (int i = 0; i < notes; ++i) {
      const char* note = xl.bookDiagnostic(book, i);
      if (i > 0) out.push_back(',');
      appendJsonString(out, note ? note : "");
    }
    out += "]";
  }
  out += "}";
  printLine(out);
  xl.bookRelease(book);
  return 0;
}
