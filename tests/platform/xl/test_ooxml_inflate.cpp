// Parts inflated whole (libdeflate) must be checked as strictly as parts
// that stream through zlib: a wrong CRC or damaged deflate data fails the
// load instead of yielding cells, and a good file reads the same either way.
#include <gtest/gtest.h>
#include <xlsxwriter.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/xl/book.h"
#include "tests/platform/xl/xl_test_util.h"

namespace {

uint32_t le32(const std::string& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
uint16_t le16(const std::string& b, size_t at) {
  uint16_t v;
  std::memcpy(&v, b.data() + at, 2);
  return v;
}

// Offsets of the sheet entry's CRC in the central directory and of its
// compressed data (after the local header).
struct Entry {
  size_t centralCrc = 0, data = 0, compressed = 0;
};

Entry findEntry(const std::string& zip, const std::string& name) {
  Entry e;
  for (size_t i = 0; i + 46 < zip.size(); ++i) {
    if (le32(zip, i) != 0x02014b50) continue;
    const uint16_t nameLen = le16(zip, i + 28);
    if (zip.compare(i + 46, nameLen, name) != 0) continue;
    e.centralCrc = i + 16;
    e.compressed = le32(zip, i + 20);
    const size_t local = le32(zip, i + 42);
    e.data = local + 30 + le16(zip, local + 26) + le16(zip, local + 28);
  }
  return e;
}

class OoxmlInflate : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = xltest::scratchDir("ooxml-inflate");
    good_ = (dir_ / "good.xlsx").string();
    lxw_workbook* wb = workbook_new(good_.c_str());
    lxw_worksheet* ws = workbook_add_worksheet(wb, "数据");
    for (int r = 0; r < 400; ++r)
      for (int c = 0; c < 6; ++c) {
        if (c % 2) worksheet_write_number(ws, r, c, r * 0.5 + c, nullptr);
        else worksheet_write_string(ws, r, c, ("行" + std::to_string(r) + " col" + std::to_string(c)).c_str(), nullptr);
      }
    ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
    bytes_ = xltest::readBytes(good_);
    entry_ = findEntry(bytes_, "xl/worksheets/sheet1.xml");
    ASSERT_NE(entry_.centralCrc, 0u);
    ASSERT_GT(entry_.compressed, 64u);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
  std::string good_, bytes_;
  Entry entry_;
};

TEST_F(OoxmlInflate, GoodFileReadsEveryCell) {
  xl::Book book;
  ASSERT_TRUE(book.load(good_)) << book.error();
  ASSERT_EQ(book.sheets.size(), 1u);
  const xl::Sheet& s = book.sheets[0];
  EXPECT_EQ(s.cells().size(), 2400u);
  EXPECT_EQ(s.lastRow(), 400);
  EXPECT_STREQ(book.text(*s.find(399, 0)), "行399 col0");
  EXPECT_STREQ(book.text(*s.find(3, 5)), "6.5");
}

TEST_F(OoxmlInflate, WrongCrcOrDamagedDataFailsTheLoad) {
  {
    std::string bad = bytes_;
    bad[entry_.centralCrc] = static_cast<char>(bad[entry_.centralCrc] ^ 0x5A);
    xltest::writeBytes(dir_ / "crc.xlsx", bad);
    xl::Book book;
    EXPECT_FALSE(book.load((dir_ / "crc.xlsx").string())) << "a CRC that does not match is damage";
    EXPECT_FALSE(book.error().empty());
  }
  for (size_t at : {entry_.data + 2, entry_.data + entry_.compressed / 2, entry_.data + entry_.compressed - 3}) {
    std::string bad = bytes_;
    bad[at] = static_cast<char>(bad[at] ^ 0xFF);
    xltest::writeBytes(dir_ / "data.xlsx", bad);
    xl::Book book;
    EXPECT_FALSE(book.load((dir_ / "data.xlsx").string())) << "byte " << at - entry_.data << " of the data flipped";
    EXPECT_FALSE(book.error().empty());
  }
}

// A sheet part too large to inflate whole streams on a thread of its own:
// every cell arrives, in order, and damage in the middle still fails.
TEST(OoxmlInflateAhead, LargePartReadsWholeAndDamageFails) {
  const auto dir = xltest::scratchDir("ooxml-inflate-large");
  const std::string path = (dir / "large.xlsx").string();
  lxw_workbook_options options = {};
  options.constant_memory = LXW_TRUE;  // inline strings: a big sheet part
  lxw_workbook* wb = workbook_new_opt(path.c_str(), &options);
  lxw_worksheet* ws = workbook_add_worksheet(wb, nullptr);
  constexpr int kRows = 70000, kCols = 10;
  for (int r = 0; r < kRows; ++r)
    for (int c = 0; c < kCols; ++c)
      worksheet_write_string(ws, r, c, ("第" + std::to_string(r) + "行 col " + std::to_string(c)).c_str(), nullptr);
  ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
  const std::string bytes = xltest::readBytes(path);
  const Entry e = findEntry(bytes, "xl/worksheets/sheet1.xml");
  ASSERT_NE(e.centralCrc, 0u);
  {
    uint32_t declared;
    std::memcpy(&declared, bytes.data() + e.centralCrc + 8, 4);  // uncompressed size
    ASSERT_GT(declared, 32u << 20) << "the part must be too large to inflate whole";
  }
  {
    xl::Book book;
    ASSERT_TRUE(book.load(path)) << book.error();
    const xl::Sheet& s = book.sheets.at(0);
    ASSERT_EQ(s.cells().size(), static_cast<size_t>(kRows) * kCols);
    for (int r : {0, 1, 12345, 40000, kRows - 1})
      for (int c : {0, kCols - 1})
        EXPECT_EQ(book.text(*s.find(r, c)), "第" + std::to_string(r) + "行 col " + std::to_string(c));
  }
  {
    std::string bad = bytes;
    const size_t at = e.data + e.compressed / 2;
    bad[at] = static_cast<char>(bad[at] ^ 0xFF);
    xltest::writeBytes(dir / "bad.xlsx", bad);
    xl::Book book;
    EXPECT_FALSE(book.load((dir / "bad.xlsx").string()));
    EXPECT_FALSE(book.error().empty());
  }
  {
    // Intact data under a wrong declared CRC: the streaming inflater checks
    // the CRC at the end just as the whole-part one does.
    std::string bad = bytes;
    bad[e.centralCrc] = static_cast<char>(bad[e.centralCrc] ^ 0x01);
    xltest::writeBytes(dir / "badcrc.xlsx", bad);
    xl::Book book;
    EXPECT_FALSE(book.load((dir / "badcrc.xlsx").string()));
    EXPECT_FALSE(book.error().empty());
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
