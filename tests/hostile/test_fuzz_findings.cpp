// Inputs the fuzz targets found, each kept small, with what went wrong. A
// test is named after its finding, and the input as found is kept beside it
// in findings/ under the same name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "app/settings.h"
#include "search/cached_book.h"
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

// fuzz_ooxml, seeded with a phone office app's .xlsm: a part inflated
// whole that the fast tokenizer hands over to expat (here for its declared
// single-byte encoding) was read once more after its bytes were taken, a
// copy from a null pointer that UBSan reports. The part still reads whole.
TEST_F(FuzzFindings, OoxmlPartReadAfterWholeTaken) {
  xl::Book book;
  ASSERT_TRUE(book.load(finding("ooxml_part_read_after_whole_taken.xlsm"))) << book.errorText();
  ASSERT_EQ(book.sheets.size(), 1u);
  const xl::Sheet& sheet = book.sheets[0];
  ASSERT_EQ(sheet.cells().size(), 2u);
  EXPECT_STREQ(book.text(sheet.cells()[0]), "café mañana");
  EXPECT_STREQ(book.text(sheet.cells()[1]), "42");
}

// fuzz_cache_entry: a cell of a cached book referred back to the middle of
// an earlier text, where bytes happened to read as a text of their own; the
// search's hits, found entry by entry, did not count that text, so a crafted
// cache could hide a row. A reference back must name where an entry starts.
TEST_F(FuzzFindings, CacheEntryReferenceIntoTheMiddleOfAText) {
  // One text "q\x01b" (inside it, from its third byte, "\x01b\0" reads as a
  // text "b"), then a sheet of two cells: the text, and a reference back.
  auto form = [](char back) {
    const std::string texts("\x03q\x01" "b\0", 5);
    const std::string layout("\x02\x01\x00\x01S\x04\x02\x00\x00\x02\x00\x00\x00\x01\x00", 15);
    std::string bytes = texts + layout + back;
    const uint64_t textBytes = texts.size();
    bytes.append(reinterpret_cast<const char*>(&textBytes), sizeof textBytes);
    char* copy = static_cast<char*>(std::malloc(bytes.size()));
    std::memcpy(copy, bytes.data(), bytes.size());
    return decodeBook(copy, bytes.size());
  };
  const std::unique_ptr<CachedBook> whole = form('\x01');  // the text itself
  ASSERT_NE(whole, nullptr);
  ASSERT_EQ(whole->sheets.size(), 1u);
  EXPECT_EQ(whole->sheets[0].texts, (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(form('\x03'), nullptr) << "the middle of the text";
  // The input as found (its first byte chose the byte form).
  const std::string found = readFile(finding("cache_entry_reference_into_a_text.bin"));
  ASSERT_GT(found.size(), 1u);
  char* copy = static_cast<char*>(std::malloc(found.size() - 1));
  std::memcpy(copy, found.data() + 1, found.size() - 1);
  EXPECT_EQ(decodeBook(copy, found.size() - 1), nullptr);
}

// fuzz_cache_entry: a row step of ten bytes (near 2^64) wrapped the row round
// to a smaller one, so the cells were out of order and the lookup by row and
// column missed some; a hidden row's step could do the same. Damage.
TEST_F(FuzzFindings, CacheEntryRowStepWrappingRound) {
  const std::string found = readFile(finding("cache_entry_row_step_wrapping_round.bin"));
  ASSERT_GT(found.size(), 1u);
  char* copy = static_cast<char*>(std::malloc(found.size() - 1));
  std::memcpy(copy, found.data() + 1, found.size() - 1);
  EXPECT_EQ(decodeBook(copy, found.size() - 1), nullptr);
  // A hidden row after another by a step that wraps round to below it.
  auto form = [](const std::string& hiddenStep) {
    const std::string texts;
    std::string layout("\x02\x01\x00\x01S\x10\x02\x02\x05", 9);  // one sheet "S", two hidden rows: 5, then +step
    layout += hiddenStep;
    layout += std::string("\x00\x00", 2);  // no hidden columns, no cells
    std::string bytes = texts + layout;
    const uint64_t textBytes = 0;
    bytes.append(reinterpret_cast<const char*>(&textBytes), sizeof textBytes);
    char* data = static_cast<char*>(std::malloc(bytes.size()));
    std::memcpy(data, bytes.data(), bytes.size());
    return decodeBook(data, bytes.size());
  };
  const std::unique_ptr<CachedBook> ascending = form("\x01");
  ASSERT_NE(ascending, nullptr);
  EXPECT_EQ(ascending->sheets[0].hiddenRows, (std::vector<uint32_t>{5, 6}));
  EXPECT_EQ(form(std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01", 10)), nullptr) << "5 + (2^64 - 1)";
}

}  // namespace
