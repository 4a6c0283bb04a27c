#include "results/results_grid.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records every notification as a short text.
struct Recorder : GridObserver {
  std::vector<std::string> log;
  void gridReset() override { log.push_back("reset"); }
  void rowsInserted(int f, int l) override { log.push_back("rows+" + std::to_string(f) + "-" + std::to_string(l)); }
  void rowsRemoved(int f, int l) override { log.push_back("rows-" + std::to_string(f) + "-" + std::to_string(l)); }
  void columnsInserted(int f, int l) override { log.push_back("cols+" + std::to_string(f) + "-" + std::to_string(l)); }
  void cellsChanged(int r0, int c0, int r1, int c1) override {
    log.push_back("cells" + std::to_string(r0) + "," + std::to_string(c0) + "-" + std::to_string(r1) + "," +
                  std::to_string(c1));
  }
  void columnWidthChanged(int c, int w) override { log.push_back("width" + std::to_string(c) + "=" + std::to_string(w)); }
  void selectionChanged() override { log.push_back("sel"); }
  void currentCellMoved() override { log.push_back("cur"); }
  void disabledChanged(bool d) override { log.push_back(d ? "disabled" : "enabled"); }
};

void expectDesignLayout(const ResultsGrid& g) {
  EXPECT_EQ(g.rowCount(), 1);
  ASSERT_EQ(g.columnCount(), 3);
  EXPECT_EQ(g.cellText(0, 0), "文件位置");
  EXPECT_EQ(g.cellText(0, 1), "表名称");
  EXPECT_EQ(g.cellText(0, 2), "单元格");
  EXPECT_EQ(g.columnWidth(0), 80);
  EXPECT_EQ(g.columnWidth(1), 60);
  EXPECT_EQ(g.columnWidth(2), 60);
  EXPECT_EQ(g.rowHeight(0), 24);
  EXPECT_EQ(g.currentRow(), -1);
  EXPECT_EQ(g.currentColumn(), -1);
  EXPECT_FALSE(g.selection().has_value());
  for (int c = 0; c < 3; ++c) EXPECT_FALSE(g.cellColour(0, c).has_value());
}

// A grid of `rows` rows and `cols` columns, cell (r, c) holding "r,c".
void fill(ResultsGrid& g, int rows, int cols) {
  while (g.columnCount() < cols) g.insertColumn("X");
  while (g.rowCount() < rows) g.insertRow();
  for (int r = 1; r < rows; ++r)
    for (int c = 0; c < cols; ++c) g.setCellText(r, c, std::to_string(r) + "," + std::to_string(c));
}

}  // namespace

TEST(ResultsGrid, StartsInTheDesignLayoutAndEnabled) {
  ResultsGrid g;
  expectDesignLayout(g);
  EXPECT_FALSE(g.disabled());
}

TEST(ResultsGrid, ClearForSearchReturnsToTheDesignLayoutAfterAPreviousSearch) {
  ResultsGrid g;
  fill(g, 12, 9);
  g.colourWholeRow(4, 0xC080FF);
  g.setColumnWidth(1, 300);
  g.setCurrentCell(3, 2);
  g.selectWholeRow(3);
  g.clearForSearch();
  expectDesignLayout(g);
  EXPECT_TRUE(g.disabled());
  // The rows appended next are empty and uncoloured.
  g.insertRow();
  EXPECT_EQ(g.cellText(1, 0), "");
  EXPECT_FALSE(g.cellColour(1, 0).has_value());
}

TEST(ResultsGrid, ResetWithoutDesignColumnsKeepsCountsButEmptiesEverything) {
  ResultsGrid g;
  fill(g, 5, 6);
  g.colourCellRange(2, 1, 2, 4, 0x123456);
  g.resetToDesignLayout(false);
  EXPECT_EQ(g.rowCount(), 5);
  ASSERT_EQ(g.columnCount(), 6);
  for (int c = 0; c < 6; ++c) {
    EXPECT_EQ(g.columnWidth(c), 60);  // the default width of columns made by a count change
    EXPECT_EQ(g.cellText(0, c), "");
    EXPECT_FALSE(g.cellColour(2, c).has_value());
  }
  EXPECT_EQ(g.cellText(3, 3), "");
  g.setRowCount(1);
  g.resetToDesignLayout(true);
  expectDesignLayout(g);
}

TEST(ResultsGrid, RowCountWriteDeletesFromTheEndOrAddsEmptyDefaultHeightRows) {
  ResultsGrid g;
  fill(g, 6, 3);
  g.setCurrentCell(5, 1);
  g.selectRange(2, 0, 5, 2);
  g.setRowCount(3);
  EXPECT_EQ(g.rowCount(), 3);
  EXPECT_EQ(g.cellText(2, 2), "2,2");
  EXPECT_EQ(g.currentRow(), -1);  // its row is gone
  ASSERT_TRUE(g.selection());
  EXPECT_EQ(g.selection()->lastRow, 2);
  g.setRowCount(5);
  EXPECT_EQ(g.rowCount(), 5);
  EXPECT_EQ(g.cellText(3, 2), "");  // no old texts come back
  EXPECT_EQ(g.rowHeight(4), 24);
  // The header row stays.
  g.setRowCount(0);
  EXPECT_EQ(g.rowCount(), 1);
  EXPECT_EQ(g.cellText(0, 1), "表名称");
}

TEST(ResultsGrid, InsertRowFallsBackToAppending) {
  ResultsGrid g;
  fill(g, 4, 3);
  // Position 0 (the header), negative, equal to or beyond the row count: append.
  for (int pos : {0, -5, 5, 99}) {
    int n = g.rowCount();
    EXPECT_TRUE(g.insertRow(pos));
    EXPECT_EQ(g.rowCount(), n + 1);
    EXPECT_EQ(g.cellText(0, 0), "文件位置");
    EXPECT_EQ(g.cellText(n, 0), "");
    EXPECT_EQ(g.cellText(3, 0), "3,0");
  }
  g.setRowCount(4);
  EXPECT_TRUE(g.insertRow(4));  // equal to the row count
  EXPECT_EQ(g.rowCount(), 5);
  EXPECT_EQ(g.cellText(3, 0), "3,0");
  // A valid position inserts before that row.
  g.colourWholeRow(2, 0xFF);
  EXPECT_TRUE(g.insertRow(2));
  EXPECT_EQ(g.cellText(2, 0), "");
  EXPECT_FALSE(g.cellColour(2, 0).has_value());
  EXPECT_EQ(g.cellText(3, 0), "2,0");
  EXPECT_EQ(g.cellColour(3, 0), 0xFFu);
  EXPECT_EQ(g.cellText(1, 0), "1,0");
}

TEST(ResultsGrid, SetCellTextOutsideTheGridChangesNothing) {
  ResultsGrid g;
  fill(g, 3, 8);
  EXPECT_FALSE(g.setCellText(1, 10, "x"));
  EXPECT_FALSE(g.setCellText(1, 8, "x"));
  EXPECT_FALSE(g.setCellText(3, 0, "x"));
  EXPECT_FALSE(g.setCellText(-1, 0, "x"));
  EXPECT_FALSE(g.setCellText(1, -1, "x"));
  EXPECT_EQ(g.columnCount(), 8);
  EXPECT_EQ(g.rowCount(), 3);
  EXPECT_TRUE(g.setCellText(2, 7, "y"));
  EXPECT_EQ(g.cellText(2, 7), "y");
}

TEST(ResultsGrid, CellTextsSurviveRewritesInAnyOrder) {
  ResultsGrid g;
  fill(g, 2, 6);
  std::string longText(300, 'L');  // a length that takes two varint bytes
  g.setCellText(1, 2, longText);
  g.setCellText(1, 0, "");
  g.setCellText(1, 5, "表名称😀");
  g.setCellText(1, 2, "s");
  g.setCellText(1, 4, longText);
  EXPECT_EQ(g.cellText(1, 0), "");
  EXPECT_EQ(g.cellText(1, 1), "1,1");
  EXPECT_EQ(g.cellText(1, 2), "s");
  EXPECT_EQ(g.cellText(1, 3), "1,3");
  EXPECT_EQ(g.cellText(1, 4), longText);
  EXPECT_EQ(g.cellText(1, 5), "表名称😀");
  // Reads left to right, interleaved with rewrites and inserted rows and columns.
  EXPECT_EQ(g.cellText(1, 1), "1,1");
  g.setCellText(1, 1, "much longer than before");
  EXPECT_EQ(g.cellText(1, 2), "s");
  EXPECT_EQ(g.cellText(1, 1), "much longer than before");
  EXPECT_EQ(g.cellText(1, 3), "1,3");
  g.insertColumn("N", 2);
  EXPECT_EQ(g.cellText(1, 3), "s");
  g.insertRow(1);
  EXPECT_EQ(g.cellText(1, 3), "");
  EXPECT_EQ(g.cellText(2, 4), "1,3");
  g.setRowCount(2);
  g.insertRow();
  g.setCellText(1, 0, "x");
  g.setCellText(1, 1, "y");
  EXPECT_EQ(g.cellText(1, 0), "x");
  EXPECT_EQ(g.cellText(1, 1), "y");
  g.resetToDesignLayout(false);
  g.setCellText(1, 1, "z");
  EXPECT_EQ(g.cellText(1, 1), "z");
  fill(g, 2, 6);
  // Embedded NUL bytes are kept.
  g.setCellText(1, 1, std::string_view("a\0b", 3));
  EXPECT_EQ(g.cellText(1, 1), std::string("a\0b", 3));
  // Writing far right of what a new row holds.
  g.insertRow();
  g.setCellText(2, 5, "far");
  EXPECT_EQ(g.cellText(2, 4), "");
  EXPECT_EQ(g.cellText(2, 5), "far");
}

// The bytes behind a decoded path travel with their row (a title row
// inserted above it) and give way to whatever is written into column 0
// later (the user's edit, a paste, Delete).
TEST(ResultsGrid, RowPathStaysWithItsRowUntilColumnZeroIsWritten) {
  ResultsGrid grid;
  for (int i = 0; i < 4; ++i) grid.insertRow();
  for (int r = 1; r <= 4; ++r) {
    grid.setCellText(r, 0, "/报表" + std::to_string(r));
    grid.setRowPath(r, "/\xB1\xA8\xB1\xED" + std::to_string(r));
  }
  grid.insertRow(1);
  EXPECT_EQ(grid.rowPath(1), "");
  EXPECT_EQ(grid.rowPath(2), "/\xB1\xA8\xB1\xED" "1");
  EXPECT_EQ(grid.rowPath(5), "/\xB1\xA8\xB1\xED" "4");
  grid.setCellText(2, 1, "1 表");  // another column: the bytes stay
  EXPECT_EQ(grid.rowPath(2), "/\xB1\xA8\xB1\xED" "1");
  grid.setCellText(2, 0, "/改过.xlsx");
  EXPECT_EQ(grid.rowPath(2), "/改过.xlsx");
  grid.fillCellTexts(3, 0, 3, 2, "/贴上");
  EXPECT_EQ(grid.rowPath(3), "/贴上");
  grid.clearCellTexts(4, 0, 4, 0);
  EXPECT_EQ(grid.rowPath(4), "");
  EXPECT_EQ(grid.rowPath(5), "/\xB1\xA8\xB1\xED" "4");
  grid.setRowPath(5, "/报表4");  // the text itself: nothing to keep
  EXPECT_EQ(grid.rowPath(5), "/报表4");
  grid.setRowPath(0, "/header");  // never the header row
  EXPECT_EQ(grid.rowPath(0), "文件位置");
  grid.setRowCount(1);
  grid.clearForSearch();
  grid.insertRow();
  grid.setCellText(1, 0, "/新");
  EXPECT_EQ(grid.rowPath(1), "/新");
}

// What a cell shows of a long text: the longest start of at most 32,767
// UTF-16 units, ending between characters; held against a count character
// by character for texts of one-, two-, three- and four-byte characters
// whose cut falls at every place of a counting block.
TEST(ResultsGrid, ShownPartEndsBetweenCharactersAtTheUnitLimit) {
  const std::string chars[] = {"a", "\xC3\xA9", "\xE9\x95\xBF", "\xF0\x9F\x98\x80"};
  auto reference = [](std::string_view t) {
    size_t units = 0;
    for (size_t i = 0; i < t.size(); ++i) {
      const auto b = static_cast<unsigned char>(t[i]);
      if ((b & 0xC0) == 0x80) continue;
      units += b >= 0xF0 ? 2 : 1;
      if (units > ResultsGrid::kShownUnits) return t.substr(0, i);
    }
    return t;
  };
  for (size_t lead = 0; lead < 70; ++lead) {
    for (const std::string& c : chars) {
      std::string text(ResultsGrid::kShownUnits - 40 + lead, 'x');
      for (int k = 0; k < 60; ++k) text += chars[k % 4] + c;
      ASSERT_EQ(ResultsGrid::shownPart(text), reference(text)) << lead << " " << c.size();
      ASSERT_EQ(ResultsGrid::shownPart(text.substr(0, ResultsGrid::kShownUnits)), text.substr(0, ResultsGrid::kShownUnits));
    }
  }
  std::string emoji;
  for (int i = 0; i < 20'000; ++i) emoji += chars[3];
  EXPECT_EQ(ResultsGrid::shownPart(emoji).size(), 16'383u * 4);
}

TEST(ResultsGrid, ColourCellRangeClipsOnlyTheFarCorner) {
  ResultsGrid g;
  fill(g, 10, 6);
  // (5,0)-(5,99) on 10 x 6 colours the six cells of row 5.
  EXPECT_TRUE(g.colourCellRange(5, 0, 5, 99, 0xC080FF));
  for (int c = 0; c < 6; ++c) EXPECT_EQ(g.cellColour(5, c), 0xC080FFu);
  EXPECT_FALSE(g.cellColour(4, 0).has_value());
  EXPECT_FALSE(g.cellColour(6, 0).has_value());
  // First row beyond the last row: nothing.
  EXPECT_FALSE(g.colourCellRange(12, 0, 15, 3, 0x1));
  EXPECT_FALSE(g.colourCellRange(3, 7, 3, 9, 0x1));
  EXPECT_FALSE(g.colourCellRange(-1, 0, 3, 3, 0x1));
  EXPECT_FALSE(g.colourCellRange(3, -1, 3, 3, 0x1));
  EXPECT_FALSE(g.colourCellRange(4, 3, 2, 3, 0x1));  // last row before the first
  EXPECT_FALSE(g.colourCellRange(4, 3, 4, 1, 0x1));
  for (int r = 0; r < 10; ++r)
    for (int c = 0; c < 6; ++c)
      if (r != 5) {
        EXPECT_FALSE(g.cellColour(r, c).has_value()) << r << "," << c;
      }
  // Absent last row/column mean the first ones.
  EXPECT_TRUE(g.colourCellRange(2, 3, std::nullopt, std::nullopt, 0xFFFFFFFF));
  EXPECT_EQ(g.cellColour(2, 3), 0xFFFFFFFFu);  // any 32-bit value, no range check
  EXPECT_FALSE(g.cellColour(2, 2).has_value());
  EXPECT_FALSE(g.cellColour(2, 4).has_value());
  // The failure row form: (r,0)-(rowCount-1, colCount-1) with r the last row.
  g.insertRow();
  int r = g.rowCount() - 1;
  EXPECT_TRUE(g.colourCellRange(r, 0, g.rowCount() - 1, g.columnCount() - 1, 0x808080));
  for (int c = 0; c < 6; ++c) EXPECT_EQ(g.cellColour(r, c), 0x808080u);
  EXPECT_FALSE(g.cellColour(r - 1, 0).has_value());
}

TEST(ResultsGrid, ColoursStayWithTheirCellsAfterLaterChanges) {
  ResultsGrid g;
  fill(g, 3, 3);
  Colour failure = 0xC080FF;
  g.colourWholeRow(1, failure);
  failure = 0x00FF00;  // the user picks another colour later
  g.colourWholeRow(2, failure);
  EXPECT_EQ(g.cellColour(1, 2), 0xC080FFu);
  EXPECT_EQ(g.cellColour(2, 2), 0x00FF00u);
  // A column inserted in the middle has no colour and shifts the old ones right.
  g.insertColumn("M", 1);
  EXPECT_EQ(g.cellColour(1, 0), 0xC080FFu);
  EXPECT_FALSE(g.cellColour(1, 1).has_value());
  EXPECT_EQ(g.cellColour(1, 2), 0xC080FFu);
  EXPECT_EQ(g.cellColour(1, 3), 0xC080FFu);
}

TEST(ResultsGrid, InsertColumnPositionsCaptionAndFittedWidth) {
  ResultsGrid g;
  fill(g, 3, 3);
  // Absent or outside 0..count-1: appended.
  EXPECT_TRUE(g.insertColumn("A"));
  EXPECT_EQ(g.columnCount(), 4);
  EXPECT_EQ(g.cellText(0, 3), "A");
  EXPECT_EQ(g.columnWidth(3), ResultsGrid::defaultTextWidth("A"));
  EXPECT_EQ(g.columnWidth(3), 15);
  EXPECT_TRUE(g.insertColumn("B", 4));   // == count
  EXPECT_TRUE(g.insertColumn("C", -1));
  EXPECT_EQ(g.cellText(0, 4), "B");
  EXPECT_EQ(g.cellText(0, 5), "C");
  // Inside the range: before that column, every row's texts shift right.
  g.setCurrentCell(2, 1);
  EXPECT_TRUE(g.insertColumn("中间", 0));
  EXPECT_EQ(g.columnCount(), 7);
  EXPECT_EQ(g.cellText(0, 0), "中间");
  EXPECT_EQ(g.cellText(0, 1), "文件位置");
  EXPECT_EQ(g.cellText(2, 0), "");
  EXPECT_EQ(g.cellText(2, 1), "2,0");
  EXPECT_EQ(g.cellText(2, 3), "2,2");
  EXPECT_EQ(g.columnWidth(0), 8 + 2 * 14);
  EXPECT_EQ(g.columnWidth(1), 80);
  EXPECT_EQ(g.currentColumn(), 2);  // still the same cell
  // A font measure installed by a view replaces the rule.
  g.setTextWidthMeasure([](std::string_view t) { return int(t.size()) * 100; });
  g.insertColumn("AB");
  EXPECT_EQ(g.columnWidth(7), 200);
}

TEST(ResultsGrid, WideningTheGridAsTheSearchDoes) {
  ResultsGrid g;
  int wanted = 28;
  while (g.columnCount() - 3 < wanted) {
    int k = g.columnCount() - 2;
    std::string caption;
    for (int n = k; n > 0; n = (n - 1) / 26) caption.insert(caption.begin(), char('A' + (n - 1) % 26));
    g.insertColumn(caption);
    g.setColumnWidth(g.columnCount() - 1, 80);
  }
  EXPECT_EQ(g.columnCount(), 31);
  EXPECT_EQ(g.cellText(0, 3), "A");
  EXPECT_EQ(g.cellText(0, 28), "Z");
  EXPECT_EQ(g.cellText(0, 29), "AA");
  for (int c = 3; c < 31; ++c) EXPECT_EQ(g.columnWidth(c), 80);
}

TEST(ResultsGrid, SetColumnWidthIsExactAndFailsOutside) {
  ResultsGrid g;
  EXPECT_TRUE(g.setColumnWidth(2, 1));
  EXPECT_EQ(g.columnWidth(2), 1);
  EXPECT_TRUE(g.setColumnWidth(0, 0));
  EXPECT_EQ(g.columnWidth(0), 0);
  EXPECT_FALSE(g.setColumnWidth(3, 50));
  EXPECT_FALSE(g.setColumnWidth(-1, 50));
  EXPECT_EQ(g.columnCount(), 3);
}

TEST(ResultsGrid, SelectRangeClipsAndRaisesToRowOne) {
  ResultsGrid g;
  fill(g, 6, 4);
  g.selectRange(0, 0, 99, 99);
  ASSERT_TRUE(g.selection());
  EXPECT_EQ(g.selection()->firstRow, 1);
  EXPECT_EQ(g.selection()->firstCol, 0);
  EXPECT_EQ(g.selection()->lastRow, 5);
  EXPECT_EQ(g.selection()->lastCol, 3);
  g.selectRange(3, 2);  // absent last row/column: one cell
  EXPECT_EQ(g.selection()->firstRow, 3);
  EXPECT_EQ(g.selection()->lastRow, 3);
  EXPECT_EQ(g.selection()->firstCol, 2);
  EXPECT_EQ(g.selection()->lastCol, 2);
  g.selectRange(0, 1, 0, 2);  // the header row alone rises to row 1
  EXPECT_EQ(g.selection()->firstRow, 1);
  EXPECT_EQ(g.selection()->lastRow, 1);
  // Composite 7: the current row, all columns; selecting does not move the current cell.
  g.setCurrentCell(4, 2);
  g.selectWholeRow(g.currentRow());
  EXPECT_EQ(g.selection()->firstRow, 4);
  EXPECT_EQ(g.selection()->lastCol, 3);
  EXPECT_EQ(g.currentColumn(), 2);
  // Nothing left to select in a grid of only the header row.
  g.setRowCount(1);
  g.selectRange(0, 0, 0, 2);
  EXPECT_FALSE(g.selection());
}

TEST(ResultsGrid, CurrentCellIsOnlyEverAnExistingNonHeaderCell) {
  ResultsGrid g;
  fill(g, 4, 3);
  g.setCurrentCell(2, 1);
  EXPECT_EQ(g.currentRow(), 2);
  EXPECT_EQ(g.currentColumn(), 1);
  g.setCurrentCell(0, 1);
  EXPECT_EQ(g.currentRow(), -1);
  g.setCurrentCell(2, 3);
  EXPECT_EQ(g.currentColumn(), -1);
  g.setCurrentCell(3, 0);
  g.insertRow(2);  // rows above it move it down with its row
  EXPECT_EQ(g.currentRow(), 4);
  g.resetToDesignLayout(true);
  EXPECT_EQ(g.currentRow(), -1);
  EXPECT_EQ(g.currentColumn(), -1);
}

TEST(ResultsGrid, ClearCellTextsEmptiesOnlyNonHeaderCells) {
  ResultsGrid g;
  fill(g, 5, 4);
  g.colourWholeRow(2, 0x1);
  g.clearCellTexts(0, 1, 2, 2);
  EXPECT_EQ(g.cellText(0, 1), "表名称");
  EXPECT_EQ(g.cellText(1, 1), "");
  EXPECT_EQ(g.cellText(2, 2), "");
  EXPECT_EQ(g.cellText(2, 3), "2,3");
  EXPECT_EQ(g.cellText(1, 0), "1,0");
  EXPECT_EQ(g.cellText(3, 1), "3,1");
  EXPECT_EQ(g.cellColour(2, 1), 0x1u);  // texts only
  EXPECT_EQ(g.rowCount(), 5);
  // Filling clips to the grid and leaves the header alone.
  g.fillCellTexts(0, 2, 99, 99, "f");
  EXPECT_EQ(g.cellText(0, 2), "单元格");
  EXPECT_EQ(g.cellText(1, 2), "f");
  EXPECT_EQ(g.cellText(4, 3), "f");
  EXPECT_EQ(g.cellText(4, 1), "4,1");
  EXPECT_EQ(g.columnCount(), 4);
}

TEST(ResultsGridObserver, ChangesAreAnnounced) {
  ResultsGrid g;
  Recorder rec;
  g.setObserver(&rec);
  g.insertRow();
  g.setCellText(1, 0, "x");
  g.colourWholeRow(1, 5);
  g.insertColumn("A");
  g.setColumnWidth(3, 80);
  g.insertRow(1);
  g.setRowCount(2);
  g.setDisabled(true);
  g.setDisabled(true);  // no change, no notice
  g.resetToDesignLayout(true);
  EXPECT_EQ(rec.log, (std::vector<std::string>{"rows+1-1", "cells1,0-1,0", "cells1,0-1,2", "cols+3-3",
                                                "width3=80", "rows+1-1", "rows-2-2", "disabled", "reset"}));
}

TEST(ResultsGridObserver, BatchCoalescesAppendedRowsIntoOneNotice) {
  ResultsGrid g;
  Recorder rec;
  g.setObserver(&rec);
  {
    ResultsGrid::Batch batch(g);
    for (int i = 0; i < 1000; ++i) {
      g.insertRow();
      int r = g.rowCount() - 1;
      g.setCellText(r, 0, "f" + std::to_string(i));
      g.setCellText(r, 2, "C7");
      if (i % 100 == 0) g.colourWholeRow(r, 0xC080FF);
    }
    EXPECT_TRUE(rec.log.empty());
    EXPECT_EQ(g.rowCount(), 1001);  // the model itself is up to date
  }
  EXPECT_EQ(rec.log, (std::vector<std::string>{"rows+1-1000"}));
  EXPECT_EQ(g.cellText(1000, 0), "f999");
  EXPECT_EQ(g.cellColour(901, 1), 0xC080FFu);
}

TEST(ResultsGridObserver, OtherChangesInsideABatchAnnounceThePendingRowsFirst) {
  ResultsGrid g;
  Recorder rec;
  g.setObserver(&rec);
  g.beginBatch();
  g.beginBatch();  // nested
  g.insertRow();
  g.insertRow();
  g.setCellText(1, 0, "a");     // pending row: silent
  g.insertColumn("A");          // needs the rows announced first
  g.insertRow();
  g.insertRow();
  g.insertRow(3);               // a title row inside the batch
  g.insertRow();
  g.endBatch();
  EXPECT_EQ(rec.log, (std::vector<std::string>{"rows+1-2", "cols+3-3", "rows+3-4", "rows+3-3"}));
  g.endBatch();
  EXPECT_EQ(rec.log, (std::vector<std::string>{"rows+1-2", "cols+3-3", "rows+3-4", "rows+3-3", "rows+6-6"}));
  EXPECT_EQ(g.rowCount(), 7);
  // A write to an announced row inside a batch is announced at once.
  rec.log.clear();
  g.beginBatch();
  g.setCellText(2, 1, "b");
  EXPECT_EQ(rec.log, (std::vector<std::string>{"cells2,1-2,1"}));
  g.endBatch();
}

TEST(ResultsGrid, HoldsManyWideRowsPacked) {
  ResultsGrid g;
  while (g.columnCount() < 53) g.insertColumn("X");
  g.beginBatch();
  for (int r = 0; r < 20000; ++r) {
    g.insertRow();
    int row = g.rowCount() - 1;
    for (int c = 0; c < 53; ++c) g.setCellText(row, c, std::to_string(row * 53 + c));
  }
  g.endBatch();
  EXPECT_EQ(g.rowCount(), 20001);
  for (int row : {1, 777, 20000})
    for (int c : {0, 26, 52}) EXPECT_EQ(g.cellText(row, c), std::to_string(row * 53 + c));
}

// A long text shown by many cells is held once (every cell gives the same
// bytes), equal texts are found by content, and cells holding one behave as
// any other under rewrites, inserted columns, fills and clears.
TEST(ResultsGrid, LongTextsAreHeldOnceAndBehaveAsAnyOther) {
  ResultsGrid g;
  while (g.columnCount() < 6) g.insertColumn("X");
  const std::string a(40'000, 'a');
  std::string b = a;
  b.back() = 'b';  // the same length, a different text
  for (int r = 1; r <= 1000; ++r) {
    g.insertRow();
    g.setCellText(r, 0, "p" + std::to_string(r));
    g.setCellText(r, 3, std::string(a));  // a fresh copy every time
    g.setCellText(r, 4, b);
    g.setCellText(r, 5, "tail");
  }
  EXPECT_EQ(g.cellTextView(1, 3).data(), g.cellTextView(1000, 3).data());
  EXPECT_EQ(g.cellTextView(1000, 4), b);
  for (int c = 0; c < 6; ++c)  // left to right, past the long cells
    EXPECT_EQ(g.cellText(500, c), (std::vector<std::string>{"p500", "", "", a, b, "tail"}[size_t(c)]));
  g.setCellText(2, 3, "short");
  g.setCellText(2, 5, a);
  g.insertColumn("N", 1);
  EXPECT_EQ(g.cellText(2, 4), "short");
  EXPECT_EQ(g.cellText(2, 5), b);
  EXPECT_EQ(g.cellText(2, 6), a);
  EXPECT_EQ(g.cellText(3, 4), a);
  g.fillCellTexts(1, 0, 3, 1, b);
  EXPECT_EQ(g.cellText(3, 1), b);
  EXPECT_EQ(g.cellText(3, 4), a);
  g.clearCellTexts(1, 0, 1, 6);
  EXPECT_EQ(g.cellText(1, 4), "");
  EXPECT_EQ(g.cellText(4, 4), a);
  g.clearForSearch();
  g.insertColumn("X");
  g.insertRow();
  g.setCellText(1, 3, b);
  EXPECT_EQ(g.cellText(1, 3), b);
  EXPECT_EQ(g.cellText(0, 3), "X");
}
