// quorvane-search over a generated folder: the printed grid, JSON line by
// JSON line, the end text and the exit status.
#include <unistd.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <xlsxwriter.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kBinary = std::string(QUORVANE_BINARY_DIR) + "/cli/quorvane-search";

struct CliRun {
  int status = -1;
  std::vector<std::string> out;
  std::string err;
};

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::string(QUORVANE_TEST_SCRATCH) + "/cli-search-" + std::to_string(::getpid());
    std::system(("rm -rf '" + root_ + "'").c_str());
    ::mkdir(root_.c_str(), 0755);
    ::mkdir((root_ + "/sub").c_str(), 0755);
    ::mkdir((root_ + "/.old").c_str(), 0755);

    {
      lxw_workbook* wb = workbook_new((root_ + "/a.xlsx").c_str());
      lxw_worksheet* ws = workbook_add_worksheet(wb, "水果");
      const char* rows[][2] = {{"名称", "数量"}, {"苹果", "1"}, {"香蕉", "2"}, {"青苹果", "3"}};
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 2; ++c) worksheet_write_string(ws, r, c, rows[r][c], nullptr);
      worksheet_write_number(ws, 2, 3, 12.5, nullptr);
      ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
    }
    {
      lxw_workbook* wb = workbook_new((root_ + "/sub/b.xlsx").c_str());
      workbook_add_worksheet(wb, "空表");
      lxw_worksheet* ws = workbook_add_worksheet(wb, "Data");
      worksheet_write_string(ws, 0, 0, "k", nullptr);
      worksheet_write_string(ws, 0, 1, "secret", nullptr);
      worksheet_write_string(ws, 0, 2, "v", nullptr);
      worksheet_write_string(ws, 1, 0, "APPLE pie", nullptr);
      worksheet_write_string(ws, 1, 1, "hidden 苹果", nullptr);
      worksheet_write_string(ws, 1, 2, "x", nullptr);
      worksheet_write_string(ws, 2, 0, "苹果 in hidden row", nullptr);
      lxw_row_col_options hidden = {};
      hidden.hidden = 1;
      worksheet_set_column_opt(ws, 1, 1, 8.43, nullptr, &hidden);
      worksheet_set_row_opt(ws, 2, 15, nullptr, &hidden);
      ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
    }
    {
      lxw_workbook* wb = workbook_new((root_ + "/.old/c.xlsx").c_str());
      worksheet_write_string(workbook_add_worksheet(wb, nullptr), 0, 0, "苹果", nullptr);
      ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
    }
    std::ofstream(root_ + "/bad.xls") << "this is not a workbook";
    std::ofstream(root_ + "/notes.txt") << "苹果";
  }

  static CliRun run(const std::string& args) {
    const std::string out = root_ + ".out", err = root_ + ".err";
    CliRun r;
    int raw = std::system((kBinary + " " + args + " >'" + out + "' 2>'" + err + "'").c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::istringstream lines(readAll(out));
    for (std::string line; std::getline(lines, line);) r.out.push_back(line);
    r.err = readAll(err);
    return r;
  }

  static std::string root_;
};
std::string CliTest::root_;

// One expected JSON line: the cells, then `colour` (or null) for the first
// `coloured` cells and null for the rest.
std::string jsonLine(const std::vector<std::string>& cells, const char* colour = "null", size_t coloured = 99) {
  std::string line = "{\"cells\":[";
  for (size_t i = 0; i < cells.size(); ++i) line += (i ? ",\"" : "\"") + cells[i] + "\"";
  line += "],\"colours\":[";
  for (size_t i = 0; i < cells.size(); ++i) line += std::string(i ? "," : "") + (i < coloured ? colour : "null");
  return line + "]}";
}

TEST_F(CliTest, JsonLinesAreTheGridWithTitlesAndFailureRows) {
  CliRun r = run("--folder '" + root_ + "' --text 苹果 --titles --json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "搜索完成！\n");  // no progress line: stderr is not a terminal
  const char* t = "8421504";
  std::vector<std::string> expected = {
      jsonLine({"文件位置", "表名称", "单元格", "A", "B", "C", "D"}),
      jsonLine({"/a.xlsx", "1 水果", "列标题", "名称", "数量", "", ""}, t),
      jsonLine({"/a.xlsx", "1 水果", "A2", "苹果", "1", "", ""}),
      jsonLine({"/a.xlsx", "1 水果", "A4", "青苹果", "3", "", ""}),
      "",  // the failure row: its error text is the library's own
      jsonLine({"/sub/b.xlsx", "2 Data", "列标题", "k", "secret", "v", ""}, t),
      jsonLine({"/sub/b.xlsx", "2 Data", "B2", "APPLE pie", "hidden 苹果", "x", ""}),
      jsonLine({"/sub/b.xlsx", "2 Data", "A3", "苹果 in hidden row", "", "", ""}),
  };
  ASSERT_EQ(r.out.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    if (i == 4) {
      EXPECT_EQ(r.out[i].rfind("{\"cells\":[\"/bad.xls\",\"打开失败\",\"", 0), 0u) << r.out[i];
      EXPECT_NE(r.out[i].find("\"colours\":[12615935,12615935,12615935,12615935,12615935,12615935,12615935]}"),
                std::string::npos)
          << r.out[i];
      EXPECT_EQ(r.out[i].find("\"打开失败\",\"\""), std::string::npos) << "an error text is shown";
    } else {
      EXPECT_EQ(r.out[i], expected[i]) << "line " << i;
    }
  }
}

TEST_F(CliTest, SkipHiddenLeavesHiddenCellsOutAndClosesUp) {
  CliRun r = run("--folder '" + root_ + "/' --text apple --skip-hidden --json");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), 3u);
  EXPECT_EQ(r.out[0], jsonLine({"文件位置", "表名称", "单元格", "A", "B", "C"}));
  // The folder text ends in "/", so that "/" goes from the paths too. The
  // failure row was coloured when the grid had its three columns.
  EXPECT_EQ(r.out[1].rfind("{\"cells\":[\"bad.xls\",\"打开失败\"", 0), 0u) << r.out[1];
  EXPECT_NE(r.out[1].find("[12615935,12615935,12615935,null,null,null]"), std::string::npos) << r.out[1];
  EXPECT_EQ(r.out[2], jsonLine({"sub/b.xlsx", "2 Data", "A2", "APPLE pie", "x", ""}));
}

TEST_F(CliTest, TableOutputAndBadArguments) {
  CliRun table = run("--folder '" + root_ + "' --text 香蕉");
  ASSERT_EQ(table.status, 0);
  ASSERT_GE(table.out.size(), 3u);
  EXPECT_EQ(table.out[0], "文件位置\t表名称\t单元格\tA\tB\tC\tD");
  EXPECT_EQ(table.out[1], "/a.xlsx\t1 水果\tA3\t香蕉\t2\t\t12.5");
  EXPECT_NE(table.out[2].find("/bad.xls\t打开失败\t"), std::string::npos);

  for (const char* args : {"--text x", "--folder /tmp", "--folder /tmp --text ''", "--folder /tmp --text x --bogus",
                           "--folder"}) {
    CliRun bad = run(args);
    EXPECT_EQ(bad.status, 2) << args;
    EXPECT_TRUE(bad.out.empty()) << args;
    EXPECT_NE(bad.err.find("--folder 目录 --text 文本"), std::string::npos) << args;
  }
  CliRun none = run("--folder '" + root_ + "/missing' --text x --json");
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out.size(), 1u);
  EXPECT_EQ(none.err, "搜索完成！\n");
}

}  // namespace
