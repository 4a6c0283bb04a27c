// The two folder walks (and both in one): order, the dot-folder rule, links, special files,
// pseudo file systems and the workbook pattern.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "search/enumeration.h"

namespace {

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::string(QUORVANE_TEST_SCRATCH) + "/walk-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + root_ + "'").c_str());
    ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

  void dir(const std::string& rel) { ASSERT_EQ(::mkdir((root_ + "/" + rel).c_str(), 0755), 0) << rel; }
  void file(const std::string& rel) { std::ofstream(root_ + "/" + rel) << "x"; }
  void link(const std::string& target, const std::string& rel) {
    ASSERT_EQ(::symlink(target.c_str(), (root_ + "/" + rel).c_str()), 0) << rel;
  }

  // Every callback as prefix-relative path ("sub/b.xls").
  std::vector<std::string> visit(const std::string& folder, const std::string& pattern = "*.xls") {
    std::vector<std::string> seen;
    visitWorkbooks(folder, pattern, [&](const std::string& prefix, const std::string& name) {
      EXPECT_EQ(prefix.back(), '/');
      std::string full = prefix + name;
      seen.push_back(full.rfind(root_ + "/", 0) == 0 ? full.substr(root_.size() + 1) : full);
    });
    return seen;
  }

  std::string root_;
};

using Names = std::vector<std::string>;

TEST_F(WalkTest, FilesBeforeFoldersInNtfsOrderAndDotFoldersCountedNotVisited) {
  for (auto n : {"b.xls", "_x.xls", "A.xls", "a.xls", "c.xls", "note.txt"}) file(n);
  dir("sub");
  file("sub/z.xls");
  dir("sub/deeper");
  file("sub/deeper/y.xls");
  dir("Hidden");
  file("Hidden/c.xls");
  dir(".old");
  file(".old/d.xls");
  dir(".git");
  dir(".git/objects");
  file(".git/objects/e.xls");

  // '_' (0x5F) sorts after the folded letters; A and a tie and go by bytes.
  Names expected{"A.xls",      "a.xls", "b.xls", "c.xls", "_x.xls", "Hidden/c.xls",
                 "sub/z.xls",  "sub/deeper/y.xls"};
  EXPECT_EQ(visit(root_), expected);
  EXPECT_EQ(visit(root_ + "/"), expected);  // with or without the trailing "/"
  EXPECT_EQ(countWorkbooks(root_, "*.xls"), 10);
  EXPECT_EQ(countWorkbooks(root_ + "/", "*.xls"), 10);
  // Both in one walk (the top folder's subfolders walked in two halves at once).
  Names both;
  EXPECT_EQ(countAndVisitWorkbooks(root_, "*.xls",
                                   [&](const std::string& prefix, const std::string& name) {
                                     both.push_back((prefix + name).substr(root_.size() + 1));
                                   }),
            10);
  EXPECT_EQ(both, expected);
}

// Folders the walk cannot open are told to the caller, in the walk's order
// (also those the second half of the top folder's walk met), except inside
// dot folders, whose files are not searched anyway; the count and the
// files are those of the readable part. Root reads everything: the walk
// runs in a child without privileges, which answers through its status.
TEST_F(WalkTest, UnreadableFoldersAreToldExceptInsideDotFolders) {
  for (auto d : {"a", "a/deep", "b", ".old", ".old/x", "c"}) dir(d);
  for (auto f : {"a/1.xls", "a/deep/2.xls", "b/3.xls", ".old/x/4.xls", "c/5.xls"}) file(f);
  for (auto d : {"a/deep", ".old/x", "c"}) ASSERT_EQ(::chmod((root_ + "/" + d).c_str(), 0), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    if (::access((root_ + "/c").c_str(), R_OK) == 0 || ::access(root_.c_str(), R_OK | X_OK) != 0) ::_exit(4);
    Names told, seen;
    const UnreadableFolderCallback unreadable = [&](const std::string& folder, int error) {
      told.push_back(folder.substr(root_.size() + 1) + (error == EACCES ? " EACCES" : " other"));
    };
    const long long count = countAndVisitWorkbooks(
        root_, "*.xls", [&](const std::string& p, const std::string& n) { seen.push_back(p + n); }, nullptr,
        &unreadable);
    ::_exit(told == Names{"a/deep/ EACCES", "c/ EACCES"} && count == 2 && seen.size() == 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  for (auto d : {"a/deep", ".old/x", "c"}) ::chmod((root_ + "/" + d).c_str(), 0755);
  if (WEXITSTATUS(status) == 3 || WEXITSTATUS(status) == 4) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(WalkTest, PatternTakesExtensionsBeginningWithXlsInAnyCase) {
  for (auto n : {"a.xls", "b.XLS", "c.xlsx", "d.XlSm", "e.xlsb", "f.xls.bak", "g.xl", "h.csv", "xls", ".xls",
                 "i.j.xlsx"})
    file(n);
  dir("k.xls");  // a folder is never a file entry, but it is walked into
  file("k.xls/in.xls");
  Names expected{".xls", "a.xls", "b.XLS", "c.xlsx", "d.XlSm", "e.xlsb", "i.j.xlsx", "k.xls/in.xls"};
  EXPECT_EQ(visit(root_), expected);
  EXPECT_EQ(countWorkbooks(root_, "*.xls"), 8);

  EXPECT_TRUE(matchesPattern("report.XLSX", "*.xls"));
  EXPECT_FALSE(matchesPattern("report.xlsx", "*.xlsx1"));
  EXPECT_TRUE(matchesPattern("report.csv", "*.CSV"));
  EXPECT_FALSE(matchesPattern("report.csvx", "*.csvx1"));
  EXPECT_TRUE(matchesPattern("report.tsvx", "*.tsv"));  // any three-letter extension, as short names give
  EXPECT_FALSE(matchesPattern("report.data", "*.dat1"));
  EXPECT_TRUE(matchesPattern("anything", "*"));
  EXPECT_TRUE(matchesPattern("Book1.XLS", "book?.xls"));
  EXPECT_FALSE(matchesPattern("Book12.xls", "book?.xls"));
}

TEST_F(WalkTest, LinksAreFollowedButNeverBackUpThePath) {
  dir("sub");
  file("sub/a.xls");
  link("..", "sub/up");           // a loop to the parent
  link(root_ + "/sub", "sub/me");  // a loop to itself
  dir("elsewhere");
  file("elsewhere/b.xls");
  link("../elsewhere", "sub/out");  // a folder off the path: walked
  link("a.xls", "sub/lnk.xls");      // a link to a file is a file
  link("missing", "sub/dangling.xls");
  Names expected{"elsewhere/b.xls", "sub/a.xls", "sub/dangling.xls", "sub/lnk.xls", "sub/out/b.xls"};
  EXPECT_EQ(visit(root_), expected);
  EXPECT_EQ(countWorkbooks(root_, "*.xls"), 5);
}

TEST_F(WalkTest, SpecialFilesAndOddNamesAreHandedOverWithoutBlocking) {
  ASSERT_EQ(::mkfifo((root_ + "/pipe.xls").c_str(), 0644), 0);
  file("\xff\xfe.xls");  // not UTF-8: handed over byte for byte
  file("中文.xls");
  Names got = visit(root_);
  Names expected{"pipe.xls", "中文.xls", "\xff\xfe.xls"};
  EXPECT_EQ(got, expected);
}

TEST_F(WalkTest, MissingFoldersAndPseudoFileSystemsGiveNothing) {
  EXPECT_EQ(countWorkbooks(root_ + "/nope", "*"), 0);
  EXPECT_TRUE(visit(root_ + "/nope", "*").empty());
  file("plain");
  EXPECT_EQ(countWorkbooks(root_ + "/plain", "*"), 0);  // a file is no folder
  EXPECT_EQ(countWorkbooks("/proc", "*"), 0);
  EXPECT_EQ(countWorkbooks("/proc/self", "*"), 0);
  EXPECT_EQ(countWorkbooks("/sys", "*"), 0);
  EXPECT_TRUE(visit("/proc", "*").empty());
  link("/proc", "proc");
  file("a.xls");
  EXPECT_EQ(countWorkbooks(root_, "*"), 2);  // "a.xls" and "plain"; the link to /proc is not entered
}

TEST_F(WalkTest, PathsLongerThanPathMaxAreWalked) {
  // 30 levels of 200-byte names: about 6,000 bytes, past PATH_MAX.
  const std::string part(200, 'd');
  int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(::mkdirat(fd, part.c_str(), 0755), 0);
    int child = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(child, 0);
    fd = child;
  }
  int f = ::openat(fd, "deep.xls", O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(f, 0);
  ::close(f);
  ::close(fd);
  file("top.xls");
  Names got = visit(root_);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "top.xls");
  EXPECT_GT(got[1].size(), 6000u);
  EXPECT_EQ(got[1].substr(got[1].size() - 9), "/deep.xls");
  EXPECT_EQ(countWorkbooks(root_, "*.xls"), 2);
}

TEST(NtfsOrder, FoldsLowerCaseToUpperOnly) {
  EXPECT_TRUE(ntfsNameLess("Z", "_"));
  EXPECT_TRUE(ntfsNameLess("a", "B"));
  EXPECT_TRUE(ntfsNameLess("A", "a"));
  EXPECT_FALSE(ntfsNameLess("a", "A"));
  EXPECT_TRUE(ntfsNameLess("ab", "abc"));
  EXPECT_TRUE(ntfsNameLess("z", "\xe4\xb8\xad"));  // bytes compared unsigned
  // Long shared beginnings are passed over a word at a time: a difference
  // (of case only, or not) at every offset of names up to three words long.
  for (size_t length = 1; length <= 24; ++length)
    for (size_t at = 0; at < length; ++at) {
      std::string a(length, 'r'), b(length, 'r');
      b[at] = 'R';  // equal upper-cased: then the shorter, then the raw bytes decide
      EXPECT_FALSE(ntfsNameLess(a, b)) << length << " " << at;
      EXPECT_TRUE(ntfsNameLess(b, a)) << length << " " << at;
      b[at] = 's';
      EXPECT_TRUE(ntfsNameLess(a, b)) << length << " " << at;
      EXPECT_FALSE(ntfsNameLess(b, a)) << length << " " << at;
      b[at] = 'Q';  // before "R" once upper-cased, also with later bytes that differ the other way
      EXPECT_TRUE(ntfsNameLess(b, a)) << length << " " << at;
      EXPECT_TRUE(ntfsNameLess(a + "x", b + "a") == false) << length << " " << at;
      EXPECT_TRUE(ntfsNameLess(a.substr(0, at), a)) << length << " " << at;
    }
}

}  // namespace

// After a stop the walks read no further folder, so a search stopped in a
// huge tree ends without walking it to the end; the folder being read is
// finished (its files are already in hand).
TEST_F(WalkTest, AStopEndsBothWalksAtTheNextFolder) {
  file("a.xls");
  file("b.xls");
  for (auto d : {"one", "two", "two/deeper"}) {
    dir(d);
    file(std::string(d) + "/c.xls");
  }
  std::atomic<int> stop{0};
  std::vector<std::string> seen;
  visitWorkbooks(root_, "*.xls", [&](const std::string&, const std::string& name) {
    seen.push_back(name);
    stop = 1;
  }, &stop);
  EXPECT_EQ(seen, (Names{"a.xls", "b.xls"}));
  EXPECT_EQ(countWorkbooks(root_, "*.xls", &stop), 0);
  stop = 0;
  EXPECT_EQ(countWorkbooks(root_, "*.xls", &stop), 5);
}
