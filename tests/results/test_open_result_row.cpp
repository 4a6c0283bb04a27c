// Widget-free pieces of opening a result: the workbook, sheet and cell of a
// row, and the helper's arguments and place.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "results/open_result.h"
#include "tests/results/search_grid.h"
#include "tests/scratch_folder.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) { return freshScratchFolder("open_result_row", name); }

}  // namespace

TEST(OpenResultRow, FileNamePathsAndHelperArguments) {
  EXPECT_EQ(fileNameOfPath("/数据/a.xls"), "a.xls");
  EXPECT_EQ(fileNameOfPath("/数据/"), "");
  EXPECT_EQ(fileNameOfPath("a.xls"), "a.xls");
  EXPECT_EQ(fileNameOfPath(""), "");

  ResultsGrid g;
  fillGrid(g);
  // Folder text joined directly to column 0, which keeps its leading "/".
  EXPECT_EQ(workbookPathOfRow(g, 2, "/home/u/数据"), "/home/u/数据/2023/一月.xlsx");

  CalcRequest match = calcRequestForRow(g, 3, "/nowhere/数据");
  EXPECT_EQ(match.workbook, "/nowhere/数据/2023/二月.xls");
  EXPECT_EQ(match.sheet, "2");
  EXPECT_EQ(match.cell, "A7");
  CalcRequest title = calcRequestForRow(g, 1, "/nowhere");
  EXPECT_EQ(title.sheet, "1");
  EXPECT_EQ(title.cell, "列标题");
  CalcRequest failure = calcRequestForRow(g, 4, "/nowhere");
  EXPECT_EQ(failure.sheet, "0");  // "打开失败" has no number
  EXPECT_EQ(failure.cell, "文件已损坏");
  // Full-width digits count like ASCII ones.
  g.setCellText(2, 1, "１２ 表");
  EXPECT_EQ(calcRequestForRow(g, 2, "/x").sheet, "12");

  // A workbook name that looks like an option stays one argument after "--".
  CalcRequest odd{"-rf.xlsx", "1", "A1"};
  const auto args = calcHelperArguments("/h/quorvane_calc.py", odd);
  ASSERT_EQ(args.size(), 6u);
  EXPECT_EQ(args[0], "/h/quorvane_calc.py");
  EXPECT_EQ(args[1], "open");
  EXPECT_EQ(args[2], "--");
  EXPECT_EQ(args[3], "-rf.xlsx");
}

TEST(OpenResultRow, HelperFoundBesideTheProgramFirst) {
  const fs::path dir = scratch("helper");
  const fs::path fallback = dir / "src.py";
  std::ofstream(fallback) << "#";
  EXPECT_EQ(findCalcHelper(dir.string(), fallback.string()), fallback.string());
  std::ofstream(dir / "quorvane_calc.py") << "#";
  EXPECT_EQ(findCalcHelper(dir.string(), fallback.string()), (dir / "quorvane_calc.py").string());
  EXPECT_EQ(findCalcHelper((dir / "none").string(), (dir / "none.py").string()), "");
}
