#include "app/settings.h"
#include "tests/scratch_folder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void spit(const fs::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = freshScratchFolder("settings", info->name());
    setProgramDirectoryForTesting(dir_.string());
    file_ = dir_ / "配置.ini";
  }
  void TearDown() override {
    setProgramDirectoryForTesting(std::nullopt);
    setDirectoryWritableCheckForTesting(nullptr);
  }
  fs::path dir_, file_;
};

}  // namespace

TEST(ProgramDirectory, IsTheFolderOfTheRunningTestWithoutTrailingSlash) {
  std::string dir = programDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_EQ(fs::canonical(dir), fs::canonical(fs::read_symlink("/proc/self/exe").parent_path()));
}

TEST_F(SettingsTest, MissingFileGivesDefaultsAndStaysAbsent) {
  EXPECT_EQ(settingsPath(), (dir_ / "配置.ini").string());
  EXPECT_EQ(readSetting("目录", "目录", "/x/"), "/x/");
  EXPECT_EQ(readSetting("选择框", "列名", ""), "");
  EXPECT_EQ(integerFromText(readSetting("颜色", "标题", "8421504")), 0x808080);
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(SettingsTest, WriteCreatesFileSectionsAndKeysAndReadsBack) {
  EXPECT_TRUE(writeSetting("目录", "目录", "/home/用户/表格/"));
  EXPECT_TRUE(writeSetting("选择框", "列名", "真"));
  EXPECT_TRUE(writeSetting("选择框", "隐藏", "假"));
  EXPECT_TRUE(writeSetting("颜色", "标题", integerToText(255)));
  EXPECT_EQ(slurp(file_), "[目录]\n目录=/home/用户/表格/\n[选择框]\n列名=真\n隐藏=假\n[颜色]\n标题=255\n");
  EXPECT_EQ(readSetting("目录", "目录", ""), "/home/用户/表格/");
  EXPECT_EQ(readSetting("选择框", "隐藏", "d"), "假");
  // A colour saved as 255 comes back as red.
  EXPECT_EQ(integerFromText(readSetting("颜色", "标题", "8421504")), 0x0000FF);
}

TEST_F(SettingsTest, TwoClicksLeaveTheLastStateAndNothingElseChanges) {
  spit(file_, "; 注释\r\n[颜色]\r\n标题=1\r\n\r\n[选择框]\r\n列名=假\r\nother line\r\n\r\n[x]\r\na=b");
  EXPECT_TRUE(writeSetting("选择框", "列名", "真"));
  EXPECT_TRUE(writeSetting("选择框", "列名", "假"));
  EXPECT_EQ(slurp(file_), "; 注释\r\n[颜色]\r\n标题=1\r\n\r\n[选择框]\r\n列名=假\r\nother line\r\n\r\n[x]\r\na=b");
  // A new key goes at the end of its section, before the blank separator;
  // a new section at the end of the file (which had no final line break).
  EXPECT_TRUE(writeSetting("选择框", "隐藏", "真"));
  EXPECT_TRUE(writeSetting("目录", "目录", "/d"));
  EXPECT_EQ(slurp(file_),
            "; 注释\r\n[颜色]\r\n标题=1\r\n\r\n[选择框]\r\n列名=假\r\nother line\r\n隐藏=真\r\n\r\n"
            "[x]\r\na=b\r\n[目录]\r\n目录=/d\r\n");
}

TEST_F(SettingsTest, NamesMatchIgnoringAsciiCaseAndValuesLoseBlanksAndOneQuotePair) {
  spit(file_,
       "\xEF\xBB\xBF[Colour]\n  Title  =   \"  quoted  \"  \nplain = a b \t\n"
       "double=\"\"x\"\"\nhalf=\"open\nempty=\n[colour]\nlater=1\n");
  EXPECT_EQ(readSetting("COLOUR", "title", "d"), "  quoted  ");
  EXPECT_EQ(readSetting("colour", "PLAIN", "d"), "a b");
  EXPECT_EQ(readSetting("colour", "double", "d"), "\"x\"");
  EXPECT_EQ(readSetting("colour", "half", "d"), "\"open");
  EXPECT_EQ(readSetting("colour", "empty", "d"), "");
  // Only the first section of a name is looked at.
  EXPECT_EQ(readSetting("colour", "later", "d"), "d");
  // Writing through a differently cased name replaces the existing key in place,
  // keeping the BOM, the key's own spelling and the second section.
  EXPECT_TRUE(writeSetting("COLOUR", "TITLE", "v"));
  EXPECT_EQ(slurp(file_),
            "\xEF\xBB\xBF[Colour]\n  Title  =v\nplain = a b \t\n"
            "double=\"\"x\"\"\nhalf=\"open\nempty=\n[colour]\nlater=1\n");
}

TEST_F(SettingsTest, ValuesTheReadRulesWouldAlterSurviveARoundTrip) {
  for (std::string v : {" /lead", "/trail ", "\"q\"", "\t", "\"", "a\"b\""}) {
    ASSERT_TRUE(writeSetting("目录", "目录", v));
    EXPECT_EQ(readSetting("目录", "目录", "d"), v);
  }
}

TEST_F(SettingsTest, LineBreaksInNamesOrValuesAreRefusedAndChangeNothing) {
  ASSERT_TRUE(writeSetting("目录", "目录", "/a"));
  std::string before = slurp(file_);
  EXPECT_FALSE(writeSetting("目录", "目录", "/a\n[颜色]\n标题=0"));
  EXPECT_FALSE(writeSetting("目录", "目录", "/a\rb"));
  EXPECT_FALSE(writeSetting("a]b", "k", "v"));
  EXPECT_FALSE(writeSetting("s", "k=1", "v"));
  EXPECT_FALSE(writeSetting("", "k", "v"));
  EXPECT_EQ(slurp(file_), before);
}

TEST_F(SettingsTest, LongValueIsCutAt10239BytesOnACharacterBoundary) {
  std::string ascii(10300, 'a');
  ASSERT_TRUE(writeSetting("目录", "目录", ascii));
  EXPECT_EQ(readSetting("目录", "目录", ""), std::string(10239, 'a'));
  // "a" then three-byte characters: one of them straddles byte 10,239 and is dropped whole.
  std::string cjk = "a";
  while (cjk.size() < 10300) cjk += "表";
  ASSERT_TRUE(writeSetting("目录", "目录", cjk));
  std::string got = readSetting("目录", "目录", "");
  EXPECT_EQ(got.size(), 10237u);
  EXPECT_TRUE(got == cjk.substr(0, 10237));
  // The file itself keeps the whole value.
  EXPECT_NE(slurp(file_).find(cjk), std::string::npos);
}

TEST_F(SettingsTest, DeletingOneKeyByHandRestoresOnlyItsDefault) {
  ASSERT_TRUE(writeSetting("颜色", "标题", "1"));
  ASSERT_TRUE(writeSetting("颜色", "失败", "2"));
  std::string s = slurp(file_);
  s.erase(s.find("标题=1\n"), std::string("标题=1\n").size());
  spit(file_, s);
  EXPECT_EQ(readSetting("颜色", "标题", "8421504"), "8421504");
  EXPECT_EQ(readSetting("颜色", "失败", "12615935"), "2");
}

TEST_F(SettingsTest, GbkFileIsReadAndRewrittenAsUtf8) {
  // [目录] 目录=D:\表格  [选择框] 列名=真, in GBK.
  spit(file_,
       "[\xC4\xBF\xC2\xBC]\r\n\xC4\xBF\xC2\xBC=D:\\\xB1\xED\xB8\xF1\r\n"
       "[\xD1\xA1\xD4\xF1\xBF\xF2]\r\n\xC1\xD0\xC3\xFB=\xD5\xE6\r\n");
  EXPECT_EQ(readSetting("目录", "目录", ""), "D:\\表格");
  EXPECT_EQ(readSetting("选择框", "列名", ""), "真");
  ASSERT_TRUE(writeSetting("选择框", "隐藏", "假"));
  EXPECT_EQ(slurp(file_), "[目录]\r\n目录=D:\\表格\r\n[选择框]\r\n列名=真\r\n隐藏=假\r\n");
}

TEST_F(SettingsTest, GbkFileThatAlsoPassesAsUtf8IsStillGbk) {
  // [目录] 目录=D:\data in GBK: every Chinese pair is also a valid two-byte UTF-8 character.
  spit(file_, "[\xC4\xBF\xC2\xBC]\r\n\xC4\xBF\xC2\xBC=D:\\data\r\n");
  EXPECT_EQ(readSetting("目录", "目录", "def"), "D:\\data");
  // Two-byte UTF-8 next to three-byte characters is UTF-8.
  spit(file_, "[目录]\n目录=/home/José/Ŀ\n");
  EXPECT_EQ(readSetting("目录", "目录", "def"), "/home/José/Ŀ");
}

TEST_F(SettingsTest, GarbageOrBinaryFileReadsAsDefaults) {
  std::string junk;
  uint32_t x = 12345;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1103515245u + 12345u;
    junk += static_cast<char>(x >> 24);
  }
  junk += std::string("\0\xFF\xFE[\xFF", 5);
  spit(file_, junk);
  EXPECT_EQ(readSetting("目录", "目录", "def"), "def");
  EXPECT_EQ(readSetting("选择框", "列名", ""), "");
  // A write still works and keeps the junk it cannot interpret.
  EXPECT_TRUE(writeSetting("颜色", "标题", "7"));
  EXPECT_EQ(readSetting("颜色", "标题", "0"), "7");
}

TEST_F(SettingsTest, DirectoryInPlaceOfTheFileReadsDefaultsAndRefusesWrites) {
  fs::create_directory(file_);
  EXPECT_EQ(readSetting("目录", "目录", "d"), "d");
  EXPECT_FALSE(writeSetting("目录", "目录", "x"));
  EXPECT_TRUE(fs::is_directory(file_));
}

TEST_F(SettingsTest, FailedWriteLeavesTheOldFileIntactAndNoTemporaryBehind) {
  ASSERT_TRUE(writeSetting("目录", "目录", "/old"));
  std::string before = slurp(file_);
  // A file-size limit makes the write itself fail, even for root (for whom a
  // read-only folder is no obstacle): the disk-full case.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
  bool ok = writeSetting("目录", "目录", std::string(100000, 'n'));
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(ok);
  EXPECT_EQ(slurp(file_), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  if (geteuid() != 0) {  // a read-only folder stops everyone else
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(writeSetting("目录", "目录", "/new"));
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(slurp(file_), before);
  }
}

TEST_F(SettingsTest, ReadOnlyProgramDirectoryFallsBackToXdgConfigHome) {
  fs::path xdg = dir_ / "xdg";
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  std::string saved = oldXdg ? oldXdg : "";
  setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
  std::string seen;
  setDirectoryWritableCheckForTesting([&](const std::string& d) {
    seen = d;
    return false;
  });

  EXPECT_EQ(settingsPath(), (xdg / "quorvane" / "配置.ini").string());
  EXPECT_EQ(seen, dir_.string());
  EXPECT_TRUE(writeSetting("选择框", "列名", "真"));  // creates the folder
  EXPECT_EQ(slurp(xdg / "quorvane" / "配置.ini"), "[选择框]\n列名=真\n");
  EXPECT_EQ(readSetting("选择框", "列名", ""), "真");
  EXPECT_FALSE(fs::exists(file_));

  // A file beside the program wins even when the folder is read-only.
  spit(file_, "[选择框]\n列名=假\n");
  EXPECT_EQ(settingsPath(), file_.string());
  EXPECT_EQ(readSetting("选择框", "列名", ""), "假");

  // Without XDG_CONFIG_HOME: ~/.config.
  fs::remove(file_);
  unsetenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  EXPECT_EQ(settingsPath(), std::string(home ? home : "") + "/.config/quorvane/配置.ini");
  if (oldXdg) setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

TEST(IntegerRule, ReadsTheLeadingDecimalInteger) {
  EXPECT_EQ(integerFromText("255"), 255);
  EXPECT_EQ(integerFromText("  \t-42xyz"), -42);
  EXPECT_EQ(integerFromText("+7"), 7);
  EXPECT_EQ(integerFromText("0xFF"), 0);  // stops at the x
  EXPECT_EQ(integerFromText("abc"), 0);
  EXPECT_EQ(integerFromText(""), 0);
  EXPECT_EQ(integerFromText("-"), 0);
  EXPECT_EQ(integerFromText("- 5"), 0);
  EXPECT_EQ(integerFromText("12 34"), 12);
  EXPECT_EQ(integerFromText("007"), 7);
  EXPECT_EQ(integerFromText("12615935"), 0xC080FF);
}

TEST(IntegerRule, FullWidthDigitsSignsAndIdeographicSpaceReadAsAscii) {
  EXPECT_EQ(integerFromText("２５５"), 255);
  EXPECT_EQ(integerFromText("\u3000\u3000－１２"), -12);
  EXPECT_EQ(integerFromText("＋９"), 9);
  EXPECT_EQ(integerFromText("２5５"), 255);  // mixed widths
  EXPECT_EQ(integerFromText("１２ａ３"), 12);
  // Other non-ASCII text is not a digit.
  EXPECT_EQ(integerFromText("五"), 0);
  // A cut-off full-width prefix at the end does not overrun.
  EXPECT_EQ(integerFromText("1\xEF\xBC"), 1);
}

TEST(IntegerRule, OverflowWrapsAsA32BitAccumulator) {
  EXPECT_EQ(integerFromText("2147483647"), 2147483647);
  EXPECT_EQ(integerFromText("-2147483648"), INT32_MIN);
  EXPECT_EQ(integerFromText("2147483648"), INT32_MIN);
  EXPECT_EQ(integerFromText("4294967295"), -1);
  EXPECT_EQ(integerFromText("4294967296"), 0);
  EXPECT_EQ(integerFromText("4294967297"), 1);
}

TEST(IntegerRule, IntegerToTextIsPlainDecimalAndRoundTrips) {
  EXPECT_EQ(integerToText(0), "0");
  EXPECT_EQ(integerToText(8421504), "8421504");
  EXPECT_EQ(integerToText(-5), "-5");
  EXPECT_EQ(integerToText(INT32_MIN), "-2147483648");
  for (int32_t v : {1, -1, 12615935, INT32_MAX, INT32_MIN})
    EXPECT_EQ(integerFromText(integerToText(v)), v);
}
