// Saving is all or nothing: a failed save leaves the file that was there and
// no temporary file; a good one replaces it whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/xl/xlapi.h"
#include "platform/xl/writer.h"
#include "tests/platform/xl/xl_test_util.h"

namespace fs = std::filesystem;

namespace {

const XlApi& api() { return staticXlApi(); }

BookHandle bookWithRows(int rows) {
  BookHandle b = api().createXMLBook();
  SheetHandle s = api().bookInsertSheet(b, 0, "搜索结果", nullptr);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < 4; ++c)
      api().sheetWriteStr(s, r, c, ("单元格 " + std::to_string(r) + "-" + std::to_string(c)).c_str(), nullptr);
  return b;
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class Save : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = xltest::scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    xltest::writeBytes(dir / "old.xlsx", "the previous export");
  }
  void expectOldFileAlone() {
    EXPECT_EQ(xltest::readBytes(dir / "old.xlsx"), "the previous export");
    EXPECT_EQ(entries(dir), std::vector<std::string>{"old.xlsx"});
  }
  fs::path dir;
};

}  // namespace

TEST_F(Save, MissingFolderOrFolderAsTargetFailsCleanly) {
  BookHandle b = bookWithRows(3);
  EXPECT_EQ(api().bookSave(b, (dir / "no such folder" / "x.xlsx").c_str()), 0);
  EXPECT_STREQ(api().bookErrorMessage(b), "保存失败：文件夹不存在");
  fs::create_directory(dir / "sub.xlsx");
  EXPECT_EQ(api().bookSave(b, (dir / "sub.xlsx").c_str()), 0);
  EXPECT_STREQ(api().bookErrorMessage(b), "保存失败：目标是一个文件夹");
  fs::remove(dir / "sub.xlsx");
  EXPECT_EQ(api().bookSave(b, ""), 0);
  api().bookRelease(b);
  expectOldFileAlone();
}

TEST_F(Save, ReadOnlyFolderKeepsTheOldFile) {
  ::chmod(dir.c_str(), 0555);
  // Root writes anywhere: the save then runs in a child without privileges.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    if (::access(dir.c_str(), X_OK) != 0) ::_exit(4);  // scratch not reachable for that user
    BookHandle b = bookWithRows(3);
    int saved = api().bookSave(b, (dir / "old.xlsx").c_str());
    const std::string msg = api().bookErrorMessage(b);
    ::_exit(saved == 0 && msg == "保存失败：没有写入权限" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::chmod(dir.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3 || WEXITSTATUS(status) == 4) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  expectOldFileAlone();
}

TEST_F(Save, WriteFailureHalfwayKeepsTheOldFile) {
  // A file size limit makes the write fail part way, as a full disk would.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim {4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    BookHandle b = bookWithRows(3000);
    int saved = api().bookSave(b, (dir / "old.xlsx").c_str());
    const std::string msg = api().bookErrorMessage(b);
    ::_exit(saved == 0 && xltest::hasCjk(msg) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the save should have reported failure";
  expectOldFileAlone();
}

TEST_F(Save, GoodSaveReplacesTheFileKeepingItsModeAndLinks) {
  ::chmod((dir / "old.xlsx").c_str(), 0640);
  fs::create_symlink("old.xlsx", dir / "link.xlsx");
  BookHandle b = bookWithRows(5);
  ASSERT_EQ(api().bookSave(b, (dir / "link.xlsx").c_str()), 1);
  api().bookRelease(b);
  EXPECT_TRUE(fs::is_symlink(dir / "link.xlsx"));
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"link.xlsx", "old.xlsx"}));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "old.xlsx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  BookHandle in = api().createXMLBook();
  ASSERT_EQ(api().bookLoad(in, (dir / "old.xlsx").c_str()), 1) << api().bookErrorMessage(in);
  EXPECT_STREQ(api().sheetReadStr(api().bookGetSheet(in, 0), 4, 3, nullptr), "单元格 4-3");
  api().bookRelease(in);
}

TEST(CellName, ColumnLettersAndRowNumbers) {
  EXPECT_EQ(xl::cellName(0, 0), "A1");
  EXPECT_EQ(xl::cellName(9, 25), "Z10");
  EXPECT_EQ(xl::cellName(0, 26), "AA1");
  EXPECT_EQ(xl::cellName(0, 701), "ZZ1");
  EXPECT_EQ(xl::cellName(0, 702), "AAA1");
  EXPECT_EQ(xl::cellName(1048575, 16383), "XFD1048576");
}
