// Inputs the fuzz targets found, each kept small, with what went wrong. A
// test is named after its finding, and the input as found is kept beside it
// in findings/ under the same name.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "app/settings.h"
#include "tests/hostile/hostile_util.h"

using namespace hostile;
using namespace std::string_literals;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string finding(const std::string& name) {
  return std::string(QUORVANE_SOURCE_DIR) + "/tests/hostile/findings/" + name;
}

class FuzzFindings : public ::testing::Test {
 protected:
  void SetUp() override { dir = scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
  void TearDown() override { removeTree(dir); }
  std::string dir;
};

// fuzz_settings: the last line, unterminated and ending in CRs, lost one CR
// of its value when a write elsewhere terminated it with the file's LF style.
TEST_F(FuzzFindings, WriteKeepsTheCarriageReturnsOfAnUnterminatedLastLine) {
  const std::string path = dir + "/配置.ini";
  for (const std::string& ending : {"\r"s, "\r\r\r"s, "\r\r\r\r"s, ""s}) {
    for (const std::string& style : {"\n"s, "\r\n"s}) {
      writeFile(path, "[目录]" + style + "目录=/a/" + style + "[颜色]" + style + "失败=12" + ending);
      const std::string before = readProfileString(path, "颜色", "失败", "none");
      ASSERT_TRUE(writeProfileString(path, "目录", "目录", "/b/"));
      EXPECT_EQ(readProfileString(path, "颜色", "失败", "none"), before) << ending.size() << style.size();
      EXPECT_EQ(readProfileString(path, "目录", "目录", "none"), "/b/");
      // And a second write after the first leaves it as it is.
      ASSERT_TRUE(writeProfileString(path, "目录", "目录", "/c/"));
      EXPECT_EQ(readProfileString(path, "颜色", "失败", "none"), before) << ending.size() << style.size();
    }
  }
  // A write elsewhere leaves an unterminated last line byte for byte.
  writeFile(path, "[目录]\r\n目录=/a/\r\n[颜色]\r\n失败=12");
  ASSERT_TRUE(writeProfileString(path, "目录", "目录", "/b/"));
  EXPECT_EQ(readFile(path), "[目录]\r\n目录=/b/\r\n[颜色]\r\n失败=12");
  // The input as found.
  const std::string found = readFile(finding("settings_unterminated_last_line_of_crs.ini"));
  ASSERT_EQ(found, "[目录]\n目录=/a/\n[颜色]\n失败=12\r\r");
  writeFile(path, found);
  ASSERT_TRUE(writeProfileString(path, "目录", "目录", "/b/"));
  EXPECT_EQ(readFile(path), "[目录]\n目录=/b/\n[颜色]\n失败=12\r\r");
}

// fuzz_ooxml: text after the end of the shared-strings document; the check
// of what follows the root once read memory already freed.
TEST_F(FuzzFindings, OoxmlTextAfterDocumentEnd) {
  EXPECT_EQ(loadFailure(finding("ooxml_text_after_document_end.xlsx")),
            (xl::LoadError{xl::LoadCause::PartNotXml, "xl/sharedStrings.xml"}));
}

}  // namespace
