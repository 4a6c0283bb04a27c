// The results grid as a widget-free model: a rectangle of text cells with
// background colours, row 0 holding the column captions. Every operation the
// rest of the program performs on the grid, under the names it uses.
#pragma once

#include <cstdint>
#include <functional>
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
  virtual void currentCellMoved() {}          // set by the program, not by the view
  virtual void disabledChanged(bool /*disabled*/) {}
  virtual void rowHeightChanged(int /*row*/, int /*height*/) {}
};

// Not thread-safe: one thread (the user-interface thread) owns the grid.
class ResultsGrid {
 public:
  static constexpr int kDesignRowHeight = 24;
  static constexpr int kDefaultColumnWidth = 60;
  static constexpr int kDesignColumnCount = 3;
  static constexpr int kDesignColumnWidths[kDesignColumnCount] = {80, 60, 60};
  static constexpr std::string_view kDesignCaptions[kDesignColumnCount] = {"文件位置", "表名称", "单元格"};

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
  // A cell shows at most this many UTF-16 units of its text, as many as
  // Excel holds in a cell: a text of megabytes (files hold them) would be
  // laid out on every paint, and printed for every row that shows it. The
  // grid keeps the whole text for editing, copying and the search.
  static constexpr size_t kShownUnits = 32'767;
  static std::string_view shownPart(std::string_view text);
  std::optional<Colour> cellColour(int row, int col) const;
  // Column 0 shows a workbook's path as a user can read it; where that text
  // is not the path's bytes (a name that is not UTF-8), the row keeps the
  // bytes beside it, for opening the file. Writing column 0 again (an edit, a
  // paste) drops them: the row's path is then the text as written.
  void setRowPath(int row, std::string_view bytes);
  std::string rowPath(int row) const;
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
  void selectWholeRow(int row);               // select range (row, 0) .. (row, column count - 1)

  // Batching: between beginBatch() and the matching endBatch(), rows appended
  // at the end (and cell texts and colours written into them) reach the
  // observer as one rowsInserted when the batch ends or when any other change
  // needs them announced first. Batches nest.
  void beginBatch();
  void endBatch();
  class Batch {
   public:
    explicit Batch(ResultsGrid& grid) : grid_(grid) { grid_.beginBatch(); }
    ~Batch() { grid_.endBatch(); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
   private:
    ResultsGrid& grid_;
  };

  // The view's own edits: a row resized by dragging, the Delete key.
  bool setRowHeight(int row, int height);
  void clearCellTexts(int firstRow, int firstCol, int lastRow, int lastCol);  // header row excluded
  // One text into every cell of the rectangle (clipped; header row excluded), one notice.
  void fillCellTexts(int firstRow, int firstCol, int lastRow, int lastCol, std::string_view text);

  // Width a caption is fitted to when a column is inserted; the default rule
  // counts 7 pixels per ASCII and 14 per other character, plus 8 of padding.
  // A view may install its font's measure.
  void setTextWidthMeasure(std::function<int(std::string_view)> measure);
  static int defaultTextWidth(std::string_view text);

 private:
  struct Impl;
  Impl* impl_;  // see results_grid.cpp; rows are packed to hold millions cheaply
 public:
  ~ResultsGrid();
  ResultsGrid(const ResultsGrid&) = delete;
  ResultsGrid& operator=(const ResultsGrid&) = delete;
};
