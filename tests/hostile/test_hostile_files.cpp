// What a folder may hold besides workbooks: special files with workbook
// names, folders without permission, link loops, names that are not UTF-8,
// paths past PATH_MAX, and files that change between the count and the scan.
// The search always ends, with failure rows that say why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/xl/xlapi.h"
#include "results/results_grid.h"
#include "search/enumeration.h"
#include "search/search_run.h"
#include "search/workbook_scan.h"
#include "tests/hostile/hostile_util.h"

using namespace hostile;

namespace {

std::string workbookWith(const std::string& text) {
  return zipBytes(oneSheetPackage(worksheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>" + text +
                                            "</t></is></c></row>")));
}

class HostileFiles : public ::testing::Test {
 protected:
  void SetUp() override { dir = scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
  void TearDown() override { removeTree(dir); }
  std::string dir;
};

const Row* rowFor(const SearchResult& r, const std::string& relPath) {
  for (const Row& row : r.rows)
    if (row[0] == relPath) return &row;
  return nullptr;
}

bool makeSocket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    ::close(fd);
    return false;
  }
  std::strcpy(addr.sun_path, path.c_str());
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);  // the socket file stays; nobody listens on it
  return ok;
}

TEST_F(HostileFiles, SpecialFilesWithWorkbookNamesAreFailureRowsAndNeverBlock) {
  writeFile(dir + "/good.xlsx", workbookWith("目标一"));
  ASSERT_EQ(::mkfifo((dir + "/pipe.xls").c_str(), 0644), 0);
  const bool haveSocket = makeSocket(dir + "/sock.xls");
  // A device node: a real one as root, otherwise a link to one.
  if (::mknod((dir + "/dev.xls").c_str(), S_IFCHR | 0644, makedev(1, 3)) != 0) {
    ASSERT_EQ(::symlink("/dev/zero", (dir + "/dev.xls").c_str()), 0);
  }
  ASSERT_EQ(::symlink("/dev/tty", (dir + "/tty.xls").c_str()), 0);
  ::mkdir((dir + "/folder.xls").c_str(), 0755);
  // Root reads every file, so unreadability is a chmod 000 file only for
  // others; the file below the folder is found either way.
  writeFile(dir + "/folder.xls/inner.xlsx", workbookWith("目标二"));
  writeFile(dir + "/locked.xls", workbookWith("目标三"));
  ::chmod((dir + "/locked.xls").c_str(), 0);
  ASSERT_EQ(::symlink("self.xls", (dir + "/self.xls").c_str()), 0);
  ASSERT_EQ(::symlink("missing-target.xlsx", (dir + "/dangling.xlsx").c_str()), 0);

  const SearchResult r = searchFolder(dir, "目标");
  EXPECT_LT(r.seconds, 30.0);
  ASSERT_NE(rowFor(r, "/good.xlsx"), nullptr);
  EXPECT_EQ(rowFor(r, "/good.xlsx")->at(3), "目标一");
  ASSERT_NE(rowFor(r, "/folder.xls/inner.xlsx"), nullptr);
  struct Expect {
    const char* name;
    const char* error;  // "" = any Chinese failure text
  };
  std::vector<Expect> failures{{"/pipe.xls", "不是工作簿文件：不是普通文件"},
                               {"/dev.xls", "不是工作簿文件：不是普通文件"},
                               {"/self.xls", "无法打开文件：符号链接层数过多"},
                               {"/dangling.xlsx", "无法打开文件：文件不存在"},
                               {"/tty.xls", ""}};
  if (haveSocket) failures.push_back({"/sock.xls", ""});
  if (::geteuid() != 0) failures.push_back({"/locked.xls", "无法打开文件：没有权限"});
  for (const Expect& e : failures) {
    const Row* row = rowFor(r, e.name);
    ASSERT_NE(row, nullptr) << e.name;
    EXPECT_EQ(row->at(1), "打开失败") << e.name;
    if (*e.error)
      EXPECT_EQ(row->at(2), e.error) << e.name;
    else
      EXPECT_TRUE(hasCjk(row->at(2))) << e.name << ": " << row->at(2);
  }
  for (const Row& row : r.rows)
    if (row[1] == "打开失败") {
      EXPECT_TRUE(hasCjk(row[2])) << row[0] << ": " << row[2];
    }
}

TEST_F(HostileFiles, FoldersWithoutPermissionAreLeftOutAndTheRestIsFound) {
  ::mkdir((dir + "/open").c_str(), 0755);
  ::mkdir((dir + "/locked").c_str(), 0755);
  writeFile(dir + "/open/a.xlsx", workbookWith("目标"));
  writeFile(dir + "/locked/b.xlsx", workbookWith("目标"));
  ::chmod((dir + "/locked").c_str(), 0);
  // Root passes every permission: the search then runs in a child without
  // privileges, which reports through its exit code.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    if (::access(dir.c_str(), R_OK | X_OK) != 0) ::_exit(4);
    const long long count = countWorkbooks(dir, "*.xls");
    const SearchResult r = searchFolder(dir, "目标");
    bool foundOpen = rowFor(r, "/open/a.xlsx") != nullptr;
    bool lockedShown = rowFor(r, "/locked/b.xlsx") != nullptr;
    ::_exit(count == 1 && foundOpen && !lockedShown && r.rows.size() == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3 || WEXITSTATUS(status) == 4) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(HostileFiles, LinkLoopsEndTheWalk) {
  ::mkdir((dir + "/sub").c_str(), 0755);
  writeFile(dir + "/sub/a.xlsx", workbookWith("目标"));
  ASSERT_EQ(::symlink("..", (dir + "/sub/up").c_str()), 0);
  ASSERT_EQ(::symlink(".", (dir + "/here").c_str()), 0);
  ASSERT_EQ(::symlink("ping", (dir + "/pong").c_str()), 0);
  ASSERT_EQ(::symlink("pong", (dir + "/ping").c_str()), 0);
  const long long count = countWorkbooks(dir, "*.xls");
  EXPECT_GE(count, 1);
  EXPECT_LT(count, 100);
  const SearchResult r = searchFolder(dir, "目标");
  EXPECT_LT(r.seconds, 30.0);
  EXPECT_NE(rowFor(r, "/sub/a.xlsx"), nullptr);
  EXPECT_LT(r.rows.size(), 100u);
}

TEST_F(HostileFiles, NamesThatAreNotUtf8AreFoundAndLoaded) {
  // "表格" in GBK, as a Windows share hands it over.
  const std::string gbkFolder = "\xB1\xED\xB8\xF1";
  const std::string gbkName = "\xB2\xE2\xCA\xD4.xlsx";  // "测试"
  ::mkdir((dir + "/" + gbkFolder).c_str(), 0755);
  writeFile(dir + "/" + gbkFolder + "/" + gbkName, workbookWith("目标"));
  writeFile(dir + "/bad\xFF\xFE.xls", "\xFF\xFE not a workbook");
  const SearchResult r = searchFolder(dir, "目标");
  // Shown as a user reads them: decoded, or one U+FFFD per byte that is not.
  const Row* found = rowFor(r, "/表格/测试.xlsx");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->at(3), "目标");
  const Row* bad = rowFor(r, "/bad\xEF\xBF\xBD\xEF\xBF\xBD.xls");
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->at(1), "打开失败");
  EXPECT_TRUE(hasCjk(bad->at(2)));
}

TEST_F(HostileFiles, PathsLongerThanPathMax) {
  // Nested folders of 200-byte names, made relative to each other's
  // descriptor since no single path of that length can be used.
  const std::string segment(200, 'd');
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string rel;
  while (dir.size() + rel.size() < 5000) {
    ASSERT_EQ(::mkdirat(fd, segment.c_str(), 0755), 0);
    int next = ::openat(fd, segment.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    rel += "/" + segment;
  }
  const std::string content = workbookWith("深处的目标");
  int file = ::openat(fd, "deep.xlsx", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(file, 0);
  ASSERT_EQ(::write(file, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(file);
  ::close(fd);
  writeFile(dir + "/near.xlsx", workbookWith("近处的目标"));

  const std::string longPath = dir + rel + "/deep.xlsx";
  ASSERT_GT(longPath.size(), 4096u);
  const xl::LoadError failure = hostile::loadFailure(longPath);
  if (!failure.empty()) {
    EXPECT_EQ(failure, xl::LoadCause::OpenPathTooLong);
  }

  EXPECT_EQ(countWorkbooks(dir, "*.xls"), 2);
  const SearchResult r = searchFolder(dir, "目标");
  ASSERT_NE(rowFor(r, "/near.xlsx"), nullptr);
  const Row* deep = rowFor(r, rel + "/deep.xlsx");
  ASSERT_NE(deep, nullptr);
  if (deep->at(1) == "打开失败")
    EXPECT_EQ(deep->at(2), "无法打开文件：路径过长");
  else
    EXPECT_EQ(deep->at(3), "深处的目标");
}

// Changes the folder once the walk is done and before the first load, as
// another program writing there would.
struct ChangingSource : WorkbookSource {
  ChangingSource(WorkbookSource& wrapped, std::function<void()> onPlan) : inner(wrapped), change(std::move(onPlan)) {}
  void plan(const std::vector<std::string>& paths) override {
    change();
    inner.plan(paths);
  }
  BookHandle load(const std::string& path, std::string& error) override { return inner.load(path, error); }
  WorkbookSource& inner;
  std::function<void()> change;
};

TEST_F(HostileFiles, FilesThatChangeBetweenTheCountAndTheScan) {
  for (const char* n : {"a-gone.xlsx", "b-shrunk.xlsx", "c-rewritten.xlsx", "d-fifo.xlsx", "e-same.xlsx"})
    writeFile(dir + "/" + n, workbookWith(std::string("旧的目标 ") + n));
  const XlApi& api = staticXlApi();
  BookHandle book = api.createXMLBook();
  ScanBookSource plain(api, book);
  ChangingSource source(plain, [&] {
    ::unlink((dir + "/a-gone.xlsx").c_str());
    ::truncate((dir + "/b-shrunk.xlsx").c_str(), 300);
    writeFile(dir + "/c-rewritten.xlsx", workbookWith("新的目标"));
    ::unlink((dir + "/d-fifo.xlsx").c_str());
    ::mkfifo((dir + "/d-fifo.xlsx").c_str(), 0644);
    writeFile(dir + "/f-new.xlsx", workbookWith("目标 new"));  // not in the walk: not scanned
  });
  SearchSettings settings;
  settings.searchText = "目标";
  settings.folderText = dir;
  std::atomic<int> stop{0};
  ResultsGrid grid;
  int maximum = -1;
  runSearch(settings, api, source, stop, [&](ScanOutput& pending, bool) {
    pending.applyTo(grid, [&](int, int max, std::string_view) { maximum = max; });
    pending.clear();
  });
  api.bookRelease(book);
  EXPECT_EQ(maximum, 5);
  ASSERT_EQ(grid.rowCount(), 6);
  auto row = [&](int r, int c) { return grid.cellText(r, c); };
  EXPECT_EQ(row(1, 0), "/a-gone.xlsx");
  EXPECT_EQ(row(1, 1), "打开失败");
  EXPECT_EQ(row(1, 2), "无法打开文件：文件不存在");
  EXPECT_EQ(row(2, 0), "/b-shrunk.xlsx");
  EXPECT_EQ(row(2, 1), "打开失败");
  EXPECT_TRUE(hasCjk(row(2, 2))) << row(2, 2);
  EXPECT_EQ(row(3, 0), "/c-rewritten.xlsx");
  EXPECT_EQ(row(3, 3), "新的目标");
  EXPECT_EQ(row(4, 0), "/d-fifo.xlsx");
  EXPECT_EQ(row(4, 2), "不是工作簿文件：不是普通文件");
  EXPECT_EQ(row(5, 0), "/e-same.xlsx");
  EXPECT_EQ(row(5, 3), "旧的目标 e-same.xlsx");
}

}  // namespace
