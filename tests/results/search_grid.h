// A results grid as a search leaves it, shared by the tests of what is done
// with one (export, opening a result).
#pragma once

#include <initializer_list>

#include "results/results_grid.h"

// Header, a title row, match rows, a failure row and one added column.
inline void fillGrid(ResultsGrid& g) {
  g.insertColumn("A");
  g.insertColumn("B");
  auto row = [&](std::initializer_list<const char*> cells) {
    g.insertRow();
    int c = 0;
    for (const char* t : cells) g.setCellText(g.rowCount() - 1, c++, t);
  };
  row({"/2023/一月.xlsx", "1 汇总", "列标题", "名称", "金额"});
  row({"/2023/一月.xlsx", "1 汇总", "B2", "合同甲", "0012"});
  row({"/2023/二月.xls", "2 明细", "A7", "", "合同乙"});
  row({"/坏.xls", "打开失败", "文件已损坏", "", ""});
}
