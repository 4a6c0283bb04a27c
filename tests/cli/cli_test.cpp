// quorvane-search over a generated folder: the printed grid, JSON line by
// JSON line, the end text and the exit status.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/slow_book.h"

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

  // `as` goes before the program: an environment, or setpriv to run it as another user.
  static CliRun run(const std::string& args, const std::string& as = "") {
    const std::string out = root_ + ".out", err = root_ + ".err";
    CliRun r;
    int raw = std::system((as + kBinary + " " + args + " >'" + out + "' 2>'" + err + "'").c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::istringstream lines(readAll(out));
    for (std::string line; std::getline(lines, line);) r.out.push_back(line);
    r.err = readAll(err);
    return r;
  }

  // A workbook of one sheet whose A1 holds `text`.
  static void writeBook(const std::string& path, const char* text) {
    lxw_workbook* wb = workbook_new(path.c_str());
    ASSERT_NE(wb, nullptr) << path;
    worksheet_write_string(workbook_add_worksheet(wb, nullptr), 0, 0, text, nullptr);
    ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
  }

  // A fresh folder beside the suite's own, for tests whose files would
  // change the other tests' results.
  static std::string freshFolder(const std::string& name) {
    const std::string dir = root_ + "-" + name;
    std::system(("chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'").c_str());
    ::mkdir(dir.c_str(), 0755);
    return dir;
  }

  static std::string root_;
};
std::string CliTest::root_;

// What runs the program as a user that folder permissions hold back (root
// passes them all: then setpriv to nobody), or nullopt, with the reason in
// `why`, where `locked` (mode 000) is readable to every user we can be or
// `open` (beside it) is not readable to that user.
std::optional<std::string> unprivileged(const std::string& locked, const std::string& open, std::string& why) {
  const std::string as = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  if (std::system((as + "true 2>/dev/null").c_str()) != 0) {
    why = "cannot run as another user (setpriv failed)";
    return std::nullopt;
  }
  if (std::system((as + "test -r '" + open + "' -a -x '" + open + "'").c_str()) != 0) {
    why = "the unprivileged user cannot reach the test's folder " + open;
    return std::nullopt;
  }
  if (std::system((as + "test -r '" + locked + "'").c_str()) == 0) {
    why = "a folder of mode 000 stays readable here";
    return std::nullopt;
  }
  if (std::system((as + "test -x '" + kBinary + "'").c_str()) != 0) {
    why = "the program cannot be run as the unprivileged user";
    return std::nullopt;
  }
  return as;
}

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

// The command line loads its library only for a workbook read from its
// file, from a copy beside itself or in the cache folder; where neither can
// be written (here: both read-only, searched as another user when the test
// runs as root) it loads it from memory, and the search is the same.
TEST_F(CliTest, LoadsItsLibraryWhereNoFolderTakesACopy) {
  const std::string program = root_ + "-ro-program", cache = root_ + "-ro-cache";
  std::system(("rm -rf '" + program + "' '" + cache + "'").c_str());
  ASSERT_EQ(::mkdir(program.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(cache.c_str(), 0555), 0);
  ASSERT_EQ(std::system(("cp '" + kBinary + "' '" + program + "/'").c_str()), 0);
  ASSERT_EQ(::chmod(program.c_str(), 0555), 0);
  const bool root = ::geteuid() == 0;
  const std::string as = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  const std::string args = " --folder '" + root_ + "' --text 苹果 --json";
  const std::string want = readAll([&] {
    std::system(("QUORVANE_CACHE=0 " + kBinary + args + " >'" + root_ + ".want' 2>/dev/null").c_str());
    return root_ + ".want";
  }());
  ASSERT_NE(want.find("/a.xlsx"), std::string::npos);
  const std::string got = root_ + ".got";
  const int status = std::system(("QUORVANE_CACHE=0 XDG_CACHE_HOME='" + cache + "' " + as + "'" + program +
                                  "/quorvane-search'" + args + " >'" + got + "' 2>/dev/null").c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  EXPECT_EQ(readAll(got), want);
  struct stat st {};
  EXPECT_NE(::stat((program + "/libxl.so").c_str(), &st), 0) << "nothing written beside the program";
  ::chmod(program.c_str(), 0755);
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
}

// A search whose only rows are failure rows matched nothing: status 1, as
// grep's; before, every search ended with 0.
TEST_F(CliTest, NothingMatchedEndsWithStatusOne) {
  CliRun none = run("--folder '" + root_ + "' --text 'in no workbook' --json");
  EXPECT_EQ(none.status, 1) << none.err;
  ASSERT_EQ(none.out.size(), 2u);  // the header and bad.xls's failure row
  EXPECT_NE(none.out[1].find("\"打开失败\""), std::string::npos) << none.out[1];
  EXPECT_EQ(none.err, "搜索完成！\n");
  CliRun some = run("--folder '" + root_ + "' --text 香蕉 --json");
  EXPECT_EQ(some.status, 0) << some.err;
}

// A folder that cannot be searched is an error said in words, with nothing
// on stdout, not an empty result; an empty --folder (an unset shell
// variable) walked the whole disk.
TEST_F(CliTest, FolderThatCannotBeSearchedIsAnError) {
  struct Case {
    std::string folder, message;
  };
  const Case cases[] = {
      {"", "没有指定要搜索的文件夹：--folder 的值为空\n"},
      {root_ + "/missing", "文件夹不存在：" + root_ + "/missing\n"},
      {root_ + "/notes.txt", "不是文件夹：" + root_ + "/notes.txt\n"},
      {root_ + "/notes.txt/", "不是文件夹：" + root_ + "/notes.txt/\n"},
  };
  for (const Case& c : cases) {
    CliRun r = run("--folder '" + c.folder + "' --text 苹果 --json");
    EXPECT_EQ(r.status, 2) << c.folder;
    EXPECT_TRUE(r.out.empty()) << c.folder;
    EXPECT_EQ(r.err, c.message);
  }
}

TEST_F(CliTest, VersionIsPrinted) {
  CliRun r = run("--version");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.out.size(), 1u);
  EXPECT_EQ(r.out[0].rfind("quorvane-search ", 0), 0u) << r.out[0];
  EXPECT_TRUE(r.err.empty());
}

// Folders the user may not read: the searched folder itself is an error; a
// folder below it is named on stderr, the rest is searched, and the status
// is 2 only when nothing matched. Before, all of it went unsaid.
TEST_F(CliTest, UnreadableFoldersAreSaidAndTheRestIsSearched) {
  const std::string dir = freshFolder("locked");
  for (const char* sub : {"/a", "/b", "/c", "/d"}) ::mkdir((dir + sub).c_str(), 0755);
  writeBook(dir + "/a/open.xlsx", "苹果");
  writeBook(dir + "/b/locked.xlsx", "苹果");
  writeBook(dir + "/d/locked.xlsx", "苹果");
  // b and d: one in each half of the walk, which reads the top folder's
  // subfolders in two halves at once.
  ASSERT_EQ(::chmod((dir + "/b").c_str(), 0), 0);
  ASSERT_EQ(::chmod((dir + "/d").c_str(), 0), 0);
  std::string why;
  const std::optional<std::string> as = unprivileged(dir + "/b", dir + "/a", why);
  if (!as) GTEST_SKIP() << why;
  const std::string said = "无法读取文件夹：" + dir + "/b/（没有权限），已跳过\n无法读取文件夹：" + dir +
                           "/d/（没有权限），已跳过\n";

  CliRun found = run("--folder '" + dir + "' --text 苹果 --no-cache", *as);
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_EQ(found.err, said + "搜索完成！\n");
  ASSERT_EQ(found.out.size(), 2u);
  EXPECT_EQ(found.out[1].rfind("/a/open.xlsx\t", 0), 0u) << found.out[1];

  CliRun none = run("--folder '" + dir + "' --text 香蕉 --no-cache", *as);
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.err, said + "搜索完成！\n");

  CliRun top = run("--folder '" + dir + "/b' --text 苹果 --no-cache", *as);
  EXPECT_EQ(top.status, 2);
  EXPECT_TRUE(top.out.empty());
  EXPECT_EQ(top.err, "无法读取文件夹：" + dir + "/b（没有权限）\n");
  ::chmod((dir + "/b").c_str(), 0755);
  ::chmod((dir + "/d").c_str(), 0755);
}

// Names that are not UTF-8 (GBK names from archives made on Chinese
// Windows): shown as the folder box shows them, GBK decoded or U+FFFD per
// byte that is neither; JSON adds the exact bytes, never lone surrogates.
TEST_F(CliTest, PathsThatAreNotUtf8AreShownReadableWithTheirBytes) {
  const std::string dir = freshFolder("names");
  ASSERT_EQ(::mkdir((dir + "/\xB1\xED\xB8\xF1").c_str(), 0755), 0);  // 表格
  writeBook(dir + "/\xB1\xED\xB8\xF1/\xB2\xE2\xCA\xD4.xlsx", "苹果");  // 测试.xlsx
  writeBook(dir + "/\xFF\xFE.xlsx", "苹果");  // no encoding's name

  CliRun json = run("--folder '" + dir + "' --text 苹果 --json");
  ASSERT_EQ(json.status, 0) << json.err;
  ASSERT_EQ(json.out.size(), 3u);
  EXPECT_EQ(json.out[1],
            "{\"cells\":[\"/\xEF\xBF\xBD\xEF\xBF\xBD.xlsx\",\"1 Sheet1\",\"A1\",\"苹果\"],"
            "\"colours\":[null,null,null,null],\"path_bytes\":\"L//+Lnhsc3g=\"}");
  EXPECT_EQ(json.out[2],
            "{\"cells\":[\"/表格/测试.xlsx\",\"1 Sheet1\",\"A1\",\"苹果\"],"
            "\"colours\":[null,null,null,null],\"path_bytes\":\"L7HtuPEvsuLK1C54bHN4\"}");
  EXPECT_EQ(json.out[0].find("path_bytes"), std::string::npos) << "a UTF-8 path has no bytes beside it";

  CliRun table = run("--folder '" + dir + "' --text 苹果");
  ASSERT_EQ(table.out.size(), 3u);
  EXPECT_EQ(table.out[2], "/表格/测试.xlsx\t1 Sheet1\tA1\t苹果");
}

}  // namespace

namespace {

struct Spawned {
  int status = -1;
  std::string err;
  std::string out;
  long long afterSignalMs = -1;
};

// Whether `pid` catches `signal`: its handler is set, so the search has begun.
// False once the child has ended.
bool waitUntilCaught(pid_t pid, int signal) {
  const unsigned long long bit = 1ull << (signal - 1);
  for (;;) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status) return false;
    bool zombie = false, program = false;  // not yet the forked copy of this test, which catches nothing
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Name:", 0) == 0) program = line.find("quorvane-search") != std::string::npos;
      if (line.rfind("State:", 0) == 0) zombie = line.find('Z') != std::string::npos;
      if (line.rfind("SigCgt:", 0) == 0 && program && !zombie && (std::stoull(line.substr(7), nullptr, 16) & bit))
        return true;
    }
    if (zombie) return false;
    std::this_thread::yield();
  }
}

// Runs the CLI as a child; after `signalAfter` (when not negative) sends it
// `signal`, or with `signalAfter` kWhenCaught as soon as it catches that
// signal. `addressLimit` (bytes, 0: none) lowers the child's address space.
constexpr int kWhenCaught = -2;
Spawned spawnCli(const std::vector<std::string>& args, int signalAfterMs, rlim_t addressLimit,
                 const std::string& scratch, bool keepOutput = true, int signal = SIGINT) {
  const std::string out = keepOutput ? scratch + ".spawn.out" : "/dev/null", err = scratch + ".spawn.err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (addressLimit) {
      struct rlimit lim {addressLimit, addressLimit};
      ::setrlimit(RLIMIT_AS, &lim);
    }
    if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(99);
    std::vector<char*> argv{const_cast<char*>(kBinary.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(kBinary.c_str(), argv.data());
    ::_exit(98);
  }
  Spawned r;
  std::chrono::steady_clock::time_point signalled;
  if (signalAfterMs >= 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(signalAfterMs));
    signalled = std::chrono::steady_clock::now();
    ::kill(pid, signal);
  } else if (signalAfterMs == kWhenCaught && waitUntilCaught(pid, signal)) {
    ::kill(pid, signal);
  }
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  if (signalAfterMs >= 0)
    r.afterSignalMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled).count();
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
  r.err = readAll(err);
  if (keepOutput) r.out = readAll(out);
  return r;
}

class CliStopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::string(QUORVANE_TEST_SCRATCH) + "/cli-stop-" + std::to_string(::getpid());
    std::system(("rm -rf '" + root_ + "'").c_str());
    ::mkdir(root_.c_str(), 0755);
    slowbook::writeXlsx(root_ + "/slow.xlsx", slowbook::kSlowXlsxRows);
    // A quiet machine reads one slow book in less than the half second the
    // test waits: more of them keep the search inside a load when it comes.
    for (int i = 2; i <= 4; ++i)
      ASSERT_EQ(::link((root_ + "/slow.xlsx").c_str(), (root_ + "/slow-" + std::to_string(i) + ".xlsx").c_str()), 0);
  }
  static std::string root_;
};
std::string CliStopTest::root_;

}  // namespace

// Ctrl-C in the middle of a load ends the program at once: the load is
// cancelled (no failure row for it) and the search reports a stop.
TEST_F(CliStopTest, InterruptDuringALoadEndsAtOnce) {
  const Spawned r = spawnCli({"--folder", root_, "--text", "needle", "--json", "--no-cache"}, 500, 0, root_);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(r.err.find("搜索停止！"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("打开失败"), std::string::npos) << "a cancelled load is no failure row";
  std::printf("SIGINT to exit: %lld ms\n", r.afterSignalMs);
  // The load alone takes about a second; generous for sanitizer builds.
  EXPECT_LT(r.afterSignalMs, 500);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVANE_NO_RLIMIT_AS 1  // the sanitizers reserve terabytes of address space
#endif

// A grid that runs out of memory stops the search: what it holds is printed,
// the user is told the results are incomplete, and the program ends normally.
TEST_F(CliStopTest, OutOfMemoryInTheGridStopsTheSearch) {
#ifdef QUORVANE_NO_RLIMIT_AS
  GTEST_SKIP() << "address-space limits do not work under the sanitizers";
#endif
  // 12,000 match rows of 50 cells of a 1,000-byte text: about 600 MB of grid
  // (texts this short are copied into every cell that shows them).
  const std::string dir = root_ + "/amplified";
  ::mkdir(dir.c_str(), 0755);
  slowbook::writeAmplified(dir + "/small.xlsx", 12'000, 1000, slowbook::Script::MostlyAscii, 50);
  const Spawned r = spawnCli({"--folder", dir, "--text", "amplify", "--no-cache"}, -1, rlim_t(320) << 20, root_, false);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(r.err.find("内存不足，搜索已停止，结果不完整。"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("搜索停止！"), std::string::npos) << r.err;
}

// A 100 KB file whose 12,000 cells all refer to one 1 MB shared string: the
// text is held once (and printed cut to the 32,767 characters a cell
// shows), so the load, a search that matches every row and one that
// matches none all fit in 1 GB,
// for a mostly ASCII text and for one of three-byte characters alone.
TEST_F(CliStopTest, AmplifiedSharedStringStaysWithinAGigabyte) {
#ifdef QUORVANE_NO_RLIMIT_AS
  GTEST_SKIP() << "address-space limits do not work under the sanitizers";
#endif
  struct Case {
    slowbook::Script script;
    const char* hit;
    const char* miss;
  };
  for (const Case& c : {Case{slowbook::Script::MostlyAscii, "amplify", "zebra"},
                        Case{slowbook::Script::Chinese, "放大", "斑马"}}) {
    const std::string dir = root_ + "/amplified-ok-" + std::to_string(int(c.script));
    ::mkdir(dir.c_str(), 0755);
    slowbook::writeAmplified(dir + "/small.xlsx", 12'000, 1u << 20, c.script);
    const Spawned hit = spawnCli({"--folder", dir, "--text", c.hit, "--no-cache"}, -1, rlim_t(1) << 30, root_, false);
    EXPECT_EQ(hit.status, 0) << c.hit << hit.err;
    EXPECT_NE(hit.err.find("搜索完成！"), std::string::npos) << hit.err;
    const Spawned miss = spawnCli({"--folder", dir, "--text", c.miss, "--json", "--no-cache"}, -1, rlim_t(1) << 30, root_);
    EXPECT_EQ(miss.status, 1) << c.miss << miss.err;  // nothing matched
    EXPECT_EQ(miss.out.find("打开失败"), std::string::npos);
    EXPECT_NE(miss.err.find("搜索完成！"), std::string::npos) << miss.err;
  }
}

// SIGTERM (a service manager, kill) stops the search as Ctrl-C does and
// ends with 143, as a program killed by it would; before, it said 130.
TEST_F(CliStopTest, TerminateEndsWithStatus143) {
  const Spawned r = spawnCli({"--folder", root_, "--text", "needle", "--json", "--no-cache"}, kWhenCaught, 0, root_,
                             true, SIGTERM);
  EXPECT_EQ(r.status, 143) << r.err;
  EXPECT_NE(r.err.find("搜索停止！"), std::string::npos) << r.err;
}

// A stopped search exports nothing: the file there stays as it was and the
// user is told, after the stop. Before, the partial results replaced it
// and 导出成功！ came before 搜索停止！.
TEST_F(CliStopTest, StoppedSearchLeavesTheExportFileAsItWas) {
  const std::string outDir = root_ + "-export";
  std::system(("rm -rf '" + outDir + "'").c_str());
  ASSERT_EQ(::mkdir(outDir.c_str(), 0755), 0);
  const std::string file = outDir + "/结果.xlsx";
  std::ofstream(file) << "the last export";
  const Spawned r =
      spawnCli({"--folder", root_, "--text", "needle", "--export", file, "--no-cache"}, kWhenCaught, 0, root_);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_EQ(r.err, "搜索停止！\n搜索没有完成，未导出：" + file + "\n");
  EXPECT_EQ(readAll(file), "the last export");
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(outDir)) left.push_back(entry.path().string());
  EXPECT_EQ(left, std::vector<std::string>{file}) << "no temporary file left beside it";
}
