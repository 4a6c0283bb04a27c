// The in-memory model: ordering, duplicates, hidden ranges, extents, arena.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "platform/xl/book.h"

using xl::Book;
using xl::Sheet;

namespace {

uint32_t text(Book& b, std::string_view s) {
  uint32_t off = 0;
  EXPECT_TRUE(b.addText(s, off));
  return off;
}

std::string cellText(const Book& b, const Sheet& s, uint32_t r, uint32_t c) {
  const xl::CellRef* ref = s.find(r, c);
  return ref ? std::string(b.text(*ref), ref->len) : std::string("<null>");
}

}  // namespace

TEST(Model, UnsortedCellsAreOrderedRowMajorAndLastDuplicateWins) {
  Book b;
  Sheet s;
  uint32_t a = text(b, "a"), x = text(b, "x"), y = text(b, "y"), z = text(b, "z");
  s.addCell(5, 1, a, 1);
  s.addCell(0, 3, x, 1);
  s.addCell(5, 0, y, 1);
  s.addCell(0, 3, z, 1);  // rewrites (0,3) after an out-of-order cell
  s.addCell(5, 1, x, 1);  // and (5,1) long after it was first written
  s.finish();
  ASSERT_EQ(s.cells().size(), 3u);
  EXPECT_EQ(s.cells()[0].row, 0u);
  EXPECT_EQ(s.cells()[1].row, 5u);
  EXPECT_EQ(s.cells()[1].col, 0u);
  EXPECT_EQ(cellText(b, s, 0, 3), "z");
  EXPECT_EQ(cellText(b, s, 5, 1), "x");
  EXPECT_EQ(cellText(b, s, 5, 0), "y");
  EXPECT_EQ(cellText(b, s, 1, 1), "<null>");
  EXPECT_EQ(s.lastRow(), 6);
  EXPECT_EQ(s.lastCol(), 4);
}

TEST(Model, SortedInputWithAdjacentDuplicatesKeepsTheLast) {
  Book b;
  Sheet s;
  s.addCell(0, 0, text(b, "first"), 5);
  s.addCell(0, 0, text(b, "second"), 6);
  s.addCell(0, 1, text(b, "c"), 1);
  s.finish();
  ASSERT_EQ(s.cells().size(), 2u);
  EXPECT_EQ(cellText(b, s, 0, 0), "second");
}

TEST(Model, RandomOrderMatchesAReferenceMap) {
  std::mt19937 rng(7);
  Book b;
  Sheet s;
  std::map<std::pair<uint32_t, uint32_t>, std::string> want;
  for (int i = 0; i < 20000; ++i) {
    uint32_t r = rng() % 300, c = rng() % 40;
    std::string t = std::to_string(i);
    s.addCell(r, c, text(b, t), static_cast<uint32_t>(t.size()));
    want[{r, c}] = t;
  }
  s.finish();
  ASSERT_EQ(s.cells().size(), want.size());
  size_t i = 0;
  uint32_t maxCol = 0;
  for (auto& [pos, t] : want) {
    const auto& c = s.cells()[i++];
    ASSERT_EQ(c.row, pos.first);
    ASSERT_EQ(c.col, pos.second);
    ASSERT_EQ(std::string(b.text(c)), t);
    maxCol = std::max(maxCol, pos.second);
  }
  EXPECT_EQ(s.lastRow(), static_cast<int>(want.rbegin()->first.first + 1));
  EXPECT_EQ(s.lastCol(), static_cast<int>(maxCol + 1));
  // firstCellOfRow agrees with a linear search, including rows without cells.
  for (uint32_t r = 0; r < 302; ++r) {
    size_t lin = 0;
    while (lin < s.cells().size() && s.cells()[lin].row < r) ++lin;
    ASSERT_EQ(s.firstCellOfRow(r), lin) << r;
  }
}

TEST(Model, ExtentsComeFromStoredCellsIncludingEmptyTexts) {
  Book b;
  Sheet s;
  s.addCell(0, 0, text(b, "A1"), 2);
  s.addCell(xl::kMaxRows - 1, xl::kMaxCols - 1, Book::kEmptyText, 0);  // XFD1048576, empty text
  s.finish();
  EXPECT_EQ(s.lastRow(), 1048576);
  EXPECT_EQ(s.lastCol(), 16384);
  EXPECT_EQ(s.cells().size(), 2u);
  const xl::CellRef* last = s.find(1048575, 16383);
  ASSERT_NE(last, nullptr);
  EXPECT_STREQ(b.text(*last), "");
  EXPECT_EQ(s.find(1048575, 16382), nullptr);
  EXPECT_EQ(s.firstCellOfRow(1), 1u);

  Sheet empty;
  empty.finish();
  EXPECT_EQ(empty.lastRow(), 0);
  EXPECT_EQ(empty.lastCol(), 0);
  EXPECT_EQ(empty.find(0, 0), nullptr);
  EXPECT_EQ(empty.firstCellOfRow(0), 0u);

  Sheet outside;  // positions past Excel's grid are not kept
  outside.addCell(xl::kMaxRows, 0, 0, 0);
  outside.addCell(0, xl::kMaxCols, 0, 0);
  outside.finish();
  EXPECT_EQ(outside.cells().size(), 0u);
}

TEST(Model, HiddenRowsAndMergedColumnRanges) {
  Sheet s;
  s.hideRow(9);
  s.hideRow(3);
  s.hideRow(9);
  s.hideCols(10, 12);
  s.hideCols(2, 4);
  s.hideCols(5, 5);   // touches 2-4: merged
  s.hideCols(11, 20); // overlaps 10-12
  s.hideCols(7, 6);   // reversed: ignored
  s.hideCols(16000, 99999);  // clipped to the grid
  s.finish();
  EXPECT_TRUE(s.rowHidden(3));
  EXPECT_TRUE(s.rowHidden(9));
  EXPECT_FALSE(s.rowHidden(4));
  EXPECT_FALSE(s.rowHidden(0));
  for (uint32_t c : {2u, 3u, 4u, 5u, 10u, 15u, 20u, 16000u, 16383u}) EXPECT_TRUE(s.colHidden(c)) << c;
  for (uint32_t c : {0u, 1u, 6u, 7u, 9u, 21u, 15999u}) EXPECT_FALSE(s.colHidden(c)) << c;
}

TEST(Model, ArenaEmptyTextAndClear) {
  Book b;
  EXPECT_STREQ(b.text(Book::kEmptyText), "");
  uint32_t off = 99;
  ASSERT_TRUE(b.addText("", off));
  EXPECT_EQ(off, Book::kEmptyText);
  uint32_t o1 = text(b, "中文"), o2 = text(b, std::string_view("a\0b", 3));
  EXPECT_STREQ(b.text(o1), "中文");
  EXPECT_EQ(std::string(b.text(o2), 3), std::string("a\0b", 3));
  b.sheets.emplace_back();
  b.setError(xl::LoadCause::Damaged);
  b.clear();
  EXPECT_TRUE(b.sheets.empty());
  EXPECT_TRUE(b.error().empty());
  EXPECT_STREQ(b.text(Book::kEmptyText), "");
  uint32_t o3 = text(b, "again");
  EXPECT_STREQ(b.text(o3), "again");
  // Re-adding a text that lives in the arena itself, while the arena grows.
  for (int i = 0; i < 2000; ++i) {
    uint32_t copy = 0;
    ASSERT_TRUE(b.addText(std::string_view(b.text(o3), 5), copy));
    ASSERT_STREQ(b.text(copy), "again");
    o3 = copy;
  }
}
