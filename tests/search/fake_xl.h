// A stand-in for the spreadsheet library's C entry points: workbooks are
// described in memory and "loaded" by path, so the scan can be tested on
// exact sheets (hidden rows and columns, wide sheets, failures) on its own.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/xl/xlapi.h"

namespace fakexl {

struct Sheet {
  std::string name;
  std::map<std::pair<int, int>, std::string> cells;  // (row, col) -> text
  std::set<int> hiddenRows, hiddenCols;
  int lastRow = -1, lastCol = -1;  // -1: one past the last stored cell
};

struct Book {
  std::vector<Sheet> sheets;
};

void reset();
void addBook(const std::string& path, Book book);
void addFailure(const std::string& path, const std::string& error);
int loadCount();  // loads attempted since reset()
const XlApi& api();

}  // namespace fakexl
