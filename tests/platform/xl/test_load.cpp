// Book::load: the format is told by the content, every failure is a clear
// Chinese text, and nothing blocks or throws.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <chrono>
#include <random>

#include "platform/xl/book.h"
#include "tests/platform/xl/xl_test_util.h"

namespace fs = std::filesystem;
using xltest::hasCjk;

namespace {

// One BIFF record: type and length (little-endian), then the body.
void appendBiffRecord(std::string& s, uint16_t type, const std::string& body) {
  s += static_cast<char>(type & 0xFF);
  s += static_cast<char>(type >> 8);
  s += static_cast<char>(body.size() & 0xFF);
  s += static_cast<char>(body.size() >> 8);
  s += body;
}

void makeZip(const fs::path& p, const std::vector<std::pair<std::string, std::string>>& entries) {
  int err = 0;
  zip_t* z = zip_open(p.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  ASSERT_NE(z, nullptr);
  for (auto& [name, data] : entries) {
    zip_source_t* src = zip_source_buffer(z, data.data(), data.size(), 0);
    ASSERT_GE(zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE), 0);
  }
  ASSERT_EQ(zip_close(z), 0);
}

xl::LoadError loadError(const fs::path& p) {
  xl::Book book;
  EXPECT_FALSE(book.load(p.string())) << p;
  EXPECT_TRUE(book.sheets.empty());
  EXPECT_TRUE(hasCjk(book.errorText())) << p << ": " << book.error();
  return book.error();
}

class Load : public ::testing::Test {
 protected:
  void SetUp() override { dir = xltest::scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
  fs::path dir;
};

}  // namespace

TEST_F(Load, FilesThatAreNotWorkbooksGetTheirOwnText) {
  xltest::writeBytes(dir / "empty.xlsx", "");
  EXPECT_EQ(loadError(dir / "empty.xlsx"), xl::LoadCause::Empty);

  std::string random(5000, '\0');
  std::mt19937 rng(3);
  for (char& c : random) c = static_cast<char>(rng());
  random[0] = '\x01';  // neither PK, OLE2 nor a BIFF record
  xltest::writeBytes(dir / "random.xlsx", random);
  EXPECT_EQ(loadError(dir / "random.xlsx"), xl::LoadCause::NotWorkbook);

  xltest::writeBytes(dir / "table.xls", "名称,数量\n苹果,3\n");
  EXPECT_EQ(loadError(dir / "table.xls"), xl::LoadCause::UnsupportedCsv);
  xltest::writeBytes(dir / "tabs.xls", "\xEF\xBB\xBFname\tqty\nx\t1\n");
  EXPECT_EQ(loadError(dir / "tabs.xls"), xl::LoadCause::UnsupportedTabText);
  xltest::writeBytes(dir / "page.xls", "\n  <HTML><body><table><tr><td>1</td></tr></table></body></HTML>");
  EXPECT_EQ(loadError(dir / "page.xls"), xl::LoadCause::UnsupportedHtml);
  xltest::writeBytes(dir / "x2003.xls",
                     "<?xml version=\"1.0\"?>\n<Workbook xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\">"
                     "</Workbook>");
  EXPECT_EQ(loadError(dir / "x2003.xls"), xl::LoadCause::UnsupportedXmlSpreadsheet);
  xltest::writeBytes(dir / "web.xls", "MIME-Version: 1.0\r\nContent-Type: multipart/related\r\n");
  EXPECT_EQ(loadError(dir / "web.xls"), xl::LoadCause::UnsupportedMhtml);
  xltest::writeBytes(dir / "lt.xls", std::string("<\x01\x02\x00binary", 10));  // markup only in its first byte
  EXPECT_EQ(loadError(dir / "lt.xls"), xl::LoadCause::NotWorkbook);
  // UTF-16 text, as some programs export "Unicode text" with an .xls name.
  std::string utf16 = std::string("\xFF\xFE", 2);
  for (char c : std::string("<html><table>")) utf16 += std::string{c, '\0'};
  xltest::writeBytes(dir / "u16.xls", utf16);
  EXPECT_EQ(loadError(dir / "u16.xls"), xl::LoadCause::UnsupportedHtml);
}

TEST_F(Load, ZipFilesThatAreNotOoxmlWorkbooks) {
  makeZip(dir / "plain.xlsx", {{"readme.txt", "hello"}, {"data/a.bin", "xyz"}});
  EXPECT_EQ(loadError(dir / "plain.xlsx"), xl::LoadCause::NotWorkbookPlainZip);
  makeZip(dir / "sheet.xls", {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"},
                              {"content.xml", "<office:document-content/>"}});
  EXPECT_EQ(loadError(dir / "sheet.xls"), xl::LoadCause::UnsupportedOds);
  makeZip(dir / "letter.xlsx", {{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", "<w:document/>"}});
  EXPECT_EQ(loadError(dir / "letter.xlsx"), xl::LoadCause::NotWorkbookWordDocx);
  // An empty archive is only its end record.
  xltest::writeBytes(dir / "empty-zip.xlsx", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  EXPECT_EQ(loadError(dir / "empty-zip.xlsx"), xl::LoadCause::NotWorkbookEmptyZip);
  // A truncated archive: the local header alone.
  xltest::writeBytes(dir / "cut.xlsx", std::string("PK\x03\x04\x14\x00\x00\x00", 8) + std::string(40, 'a'));
  loadError(dir / "cut.xlsx");
}

TEST_F(Load, FifoDirectoryAndMissingFileFailAtOnce) {
  ASSERT_EQ(::mkfifo((dir / "pipe.xls").c_str(), 0644), 0);
  fs::create_directory(dir / "folder.xls");
  const auto start = std::chrono::steady_clock::now();
  // Nobody ever writes to the FIFO: a blocking open or read would hang here.
  EXPECT_EQ(loadError(dir / "pipe.xls"), xl::LoadCause::NotWorkbookNotRegular);
  EXPECT_EQ(loadError(dir / "folder.xls"), xl::LoadCause::NotWorkbookFolder);
  EXPECT_EQ(loadError(dir / "missing.xlsx"), xl::LoadCause::OpenNotFound);
  EXPECT_EQ(loadError(dir / "pipe.xls" / "below.xls"), xl::LoadCause::OpenPathNotFolder);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(Load, SpecialFilesAreNeverOpened) {
  ASSERT_EQ(::mkfifo((dir / "watched.xlsx").c_str(), 0644), 0);
  int in = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(in, 0);
  ASSERT_GE(::inotify_add_watch(in, (dir / "watched.xlsx").c_str(), IN_OPEN), 0);
  EXPECT_EQ(loadError(dir / "watched.xlsx"), xl::LoadCause::NotWorkbookNotRegular);
  char events[4096];
  // An open of the FIFO, even a non-blocking one, would be reported here.
  EXPECT_LT(::read(in, events, sizeof events), 0);
  ::close(in);
}

TEST_F(Load, UnreadableFileNamesThePermission) {
  xltest::writeBytes(dir / "locked.xlsx", "PK\x03\x04");
  ::chmod((dir / "locked.xlsx").c_str(), 0);
  // Root reads every file: the load then runs in a child without privileges.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    if (::access(dir.c_str(), X_OK) != 0) ::_exit(4);
    xl::Book book;
    ::_exit(!book.load((dir / "locked.xlsx").string()) && book.error() == xl::LoadCause::OpenDenied ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3 || WEXITSTATUS(status) == 4) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Load, BiffContentLoadsWhateverTheName) {
  // A bare BIFF5 worksheet stream: BOF, LABEL "Hi" at B3, EOF.
  std::string s;
  auto rec = [&](uint16_t type, const std::string& body) { appendBiffRecord(s, type, body); };
  rec(0x0809, std::string("\x00\x05\x10\x00\x00\x00\x00\x00", 8));
  rec(0x0204, std::string("\x02\x00\x01\x00\x00\x00\x02\x00Hi", 10));
  rec(0x000A, "");
  xltest::writeBytes(dir / "stream.xlsx", s);
  xl::Book book;
  ASSERT_TRUE(book.load((dir / "stream.xlsx").string())) << book.error();
  EXPECT_TRUE(book.error().empty());
  ASSERT_EQ(book.sheets.size(), 1u);
  const xl::CellRef* c = book.sheets[0].find(2, 1);
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(book.text(*c), "Hi");
}

TEST_F(Load, AFailedLoadLeavesNothingOfThePreviousBook) {
  std::string s;
  auto rec = [&](uint16_t type, const std::string& body) { appendBiffRecord(s, type, body); };
  rec(0x0809, std::string("\x00\x05\x10\x00\x00\x00\x00\x00", 8));
  rec(0x0204, std::string("\x00\x00\x00\x00\x00\x00\x01\x00X", 9));
  rec(0x000A, "");
  xltest::writeBytes(dir / "good.xls", s);
  xltest::writeBytes(dir / "bad.xls", "");
  xl::Book book;
  ASSERT_TRUE(book.load((dir / "good.xls").string())) << book.error();
  EXPECT_EQ(book.sheets.size(), 1u);
  EXPECT_FALSE(book.load((dir / "bad.xls").string()));
  EXPECT_TRUE(book.sheets.empty());
  EXPECT_EQ(book.error(), xl::LoadCause::Empty);
  ASSERT_TRUE(book.load((dir / "good.xls").string()));
  EXPECT_TRUE(book.error().empty());
}

TEST_F(Load, DamagedCopiesOfGoodFilesNeverCrashAndAlwaysExplain) {
  // A good .xlsx (written by the library) and a good .xls (a BIFF8 book from
  // the corpus when present), cut short and with bytes changed at random.
  std::vector<std::string> originals;
  {
    const fs::path corpusXls = fs::path(QUORVANE_CORPUS_DIR) / "date.xls";
    const fs::path corpusXlsx = fs::path(QUORVANE_CORPUS_DIR) / "date.xlsx";
    if (fs::exists(corpusXls)) originals.push_back(xltest::readBytes(corpusXls));
    if (fs::exists(corpusXlsx)) originals.push_back(xltest::readBytes(corpusXlsx));
  }
  if (originals.empty()) GTEST_SKIP() << "no corpus";
  std::mt19937 rng(5);
  const fs::path file = dir / "damaged.xls";
  int loaded = 0, failed = 0;
  for (const std::string& good : originals) {
    for (int i = 0; i < 150; ++i) {
      std::string bad = good;
      if (i % 3 == 0) {
        bad.resize(rng() % bad.size());
      } else {
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int k = 0; k < flips; ++k) bad[rng() % bad.size()] = static_cast<char>(rng());
      }
      xltest::writeBytes(file, bad);
      xl::Book book;
      if (book.load(file.string())) {
        ++loaded;
        EXPECT_EQ(book.error(), xl::LoadCause::None);
      } else {
        ++failed;
        ASSERT_TRUE(hasCjk(book.errorText())) << "case " << i << ": " << book.error();
        ASSERT_TRUE(book.sheets.empty());
      }
    }
  }
  EXPECT_GT(failed, 0);
  EXPECT_EQ(loaded + failed, static_cast<int>(originals.size()) * 150);
}

// The detail goes where the text names it; the C interface shows exactly these.
TEST(LoadErrorText, DetailStandsWhereTheTextNamesIt) {
  using xl::LoadCause;
  EXPECT_EQ(xl::loadErrorText({}), "ok");
  EXPECT_EQ(xl::loadErrorText({LoadCause::PartNotXml, "xl/a.xml"}), "文件已损坏：xl/a.xml 不是有效的 XML");
  EXPECT_EQ(xl::loadErrorText({LoadCause::PartNoMemory, "xl/b.xml"}), "内存不足，无法读取 xl/b.xml");
  EXPECT_EQ(xl::loadErrorText({LoadCause::TooLargePart, "xl/c.xml"}), "文件过大：xl/c.xml");
  EXPECT_EQ(xl::loadErrorText({LoadCause::OpenErrno, "28"}), "无法打开文件（错误码 28）");
  EXPECT_EQ(xl::loadErrorText({LoadCause::EncryptedNeedsPassword}), "文件已加密（需要密码）");
}
