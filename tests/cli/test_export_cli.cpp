// quorvane-search --export writes the same workbook the window's export does.
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/xl/book.h"
#include "platform/xl/xlapi.h"

namespace fs = std::filesystem;

namespace {
// The exit status; what the program said on stderr goes to `said` when given.
int run(const std::string& args, std::string* said = nullptr) {
  const std::string err = std::string(QUORVANE_TEST_SCRATCH) + "/export_cli-" + std::to_string(::getpid()) + ".err";
  const std::string cmd = std::string("'") + QUORVANE_SEARCH_CLI + "' " + args + " >/dev/null 2>'" + err + "'";
  const int status = std::system(cmd.c_str());
  if (said) {
    std::ifstream in(err, std::ios::binary);
    said->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

TEST(ExportCli, WritesTheGridAsAWorkbook) {
  const fs::path dir = fs::path(QUORVANE_TEST_SCRATCH) / ("export_cli-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "表");
  const XlApi& xl = staticXlApi();
  BookHandle book = xl.createXMLBook();
  SheetHandle s = xl.bookInsertSheet(book, 0, "一", nullptr);
  xl.sheetWriteStr(s, 0, 0, "名称", nullptr);
  xl.sheetWriteStr(s, 3, 2, "合同编号 007", nullptr);
  ASSERT_EQ(xl.bookSave(book, (dir / "表" / "a.xlsx").c_str()), 1);
  xl.bookRelease(book);

  const fs::path out = dir / "结果.xlsx";
  std::string said;
  ASSERT_EQ(run("--folder '" + (dir / "表").string() + "' --text 合同 --export '" + out.string() + "'", &said), 0);
  // In the order things happened: the search ends, then the file is written.
  EXPECT_EQ(said, "搜索完成！\n导出成功！" + out.string() + "\n");
  xl::Book result;
  ASSERT_TRUE(result.load(out.string())) << result.error();
  ASSERT_EQ(result.sheets.size(), 1u);
  const xl::Sheet& sheet = result.sheets[0];
  EXPECT_EQ(sheet.name, "搜索结果");
  EXPECT_EQ(sheet.lastRow(), 2);  // header and the one match
  auto text = [&](int r, int c) {
    const xl::CellRef* cell = sheet.find(r, c);
    return cell ? std::string(result.text(*cell), cell->len) : std::string();
  };
  EXPECT_EQ(text(0, 0), "文件位置");
  EXPECT_EQ(text(1, 0), "/a.xlsx");
  EXPECT_EQ(text(1, 1), "1 一");
  EXPECT_EQ(text(1, 2), "C4");
  EXPECT_EQ(text(1, 5), "合同编号 007");

  // A folder that cannot take the file: an error (not "nothing matched"), no file.
  const fs::path nowhere = dir / "无" / "x.xlsx";
  EXPECT_EQ(run("--folder '" + (dir / "表").string() + "' --text 合同 --export '" + nowhere.string() + "'", &said), 2);
  EXPECT_EQ(said, "搜索完成！\n导出失败！" + nowhere.string() + "\n");
  EXPECT_FALSE(fs::exists(dir / "无"));
  // An empty file name is a usage error.
  EXPECT_EQ(run("--folder '" + (dir / "表").string() + "' --text 合同 --export="), 2);
}
