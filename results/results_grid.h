// The results grid as a widget-free model: a rectangle of text cells with
// background colours, row 0 holding the column captions. Every operation the
// rest of the program performs on the grid, under the names it uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using Colour = uint32_t;  // 0x00BBGGRR

// Told about every change, so a view can repaint (the Qt adapter implements it).
class GridObserver {
 public:
  virtual ~GridObserver() = default;
  virtual void gridReset() = 0;                                   // everything changed
  virtual void rowsInserted(int first, int last) = 0;             // grid rows, inclusive
  virtual void rowsRemoved(int first, int last) = 0;
  virtual void columnsInserted(int first, int last) = 0;
  virtual void cellsChanged(int firstRow, int firstCol, int lastRow, int lastCol) = 0;
  virtual void columnWidthChanged(int col, int width) = 0;
  virtual void selectionChanged() = 0;
};

class ResultsGrid {
 public:
  static constexpr int kDesignRowHeight = 24;
  static constexpr int kDefaultColumnWidth = 60;

  ResultsGrid();  // design layout

  void setObserver(GridObserver* observer);

  int rowCount() const;
  void setRowCount(int count);
  int columnCount() const;
  void resetToDesignLayout(bool restoreDesignColumns);
  bool insertRow(std::optional<int> position = std::nullopt);
  bool setCellText(int row, int col, std::string_view text);
  bool colourCellRange(int firstRow, int firstCol, std::optional<int> lastRow,
                       std::optional<int> lastCol, Colour colour);
  bool insertColumn(std::string_view caption, std::optional<int> position = std::nullopt);
  bool setColumnWidth(int col, int width);
  int columnWidth(int col) const;
  int rowHeight(int row) const;
  std::string cellText(int row, int col) const;
  std::string_view cellTextView(int row, int col) const;  // valid until the next change
  std::optional<Colour> cellColour(int row, int col) const;
  int currentRow() const;
  int currentColumn() const;
  void setCurrentCell(int row, int col);  // the view's clicks and key moves
  void selectRange(int firstRow, int firstCol, std::optional<int> lastRow = std::nullopt,
                   std::optional<int> lastCol = std::nullopt);
  // Selection as an inclusive rectangle; nullopt when there is none.
  struct Range { int firstRow, firstCol, lastRow, lastCol; };
  std::optional<Range> selection() const;
  void clearSelection();
  bool disabled() const;
  void setDisabled(bool disabled);

  // Composite uses.
  void clearForSearch();                      // row count 1, disable, reset with design columns
  void colourWholeRow(int row, Colour colour);

 private:
  struct Impl;
  Impl* impl_;  // see results_grid.cpp; rows are packed to hold millions cheaply
 public:
  ~ResultsGrid();
  ResultsGrid(const ResultsGrid&) = delete;
  ResultsGrid& operator=(const ResultsGrid&) = delete;
};
