// The results grid on screen: a QTableView over ResultsGrid (through
// GridTableModel), no widget per cell. The .ui promotes a QTableView to it.
#pragma once

#include <QFont>
#include <QTableView>
#include <memory>
#include <vector>

#include "results/results_grid.h"

class GridTableModel;
class InputBlocker;
class QItemSelection;

class GridView : public QTableView {
  Q_OBJECT
 public:
  explicit GridView(QWidget* parent = nullptr);
  ~GridView() override;

  // Shows `grid` (not owned; it must outlive the view or be replaced first).
  // Until a grid is given, the view shows one of its own in the design layout.
  void setGrid(ResultsGrid* grid);
  ResultsGrid* grid() const { return grid_; }
  GridTableModel* gridModel() const { return adapter_; }

  // The selection as tab-separated text, rows separated by newlines; cells
  // holding a tab, a line break or a quote are quoted the way spreadsheets do.
  QString selectionAsText() const;
  void copySelection();
  void cutSelection();
  void pasteClipboard();
  void deleteSelection();  // empties the selected texts; rows stay

  // Width that fits the widest text of the column over every row (a double
  // click on the column's header border fits to it, with the header's own
  // caption). Qt's own looks at about 1,000 rows; this finds the widest text
  // of a million rows from the grid's texts and measures only the few that
  // could be it.
  int sizeHintForColumn(int column) const override;

  // Whether the last reported move of the current cell was the keyboard's.
  bool lastMoveByKeyboard() const { return movedByKeyboard_; }
  // The current cell's lower-left corner on the screen (the view's own
  // lower-left when the cell is scrolled out of sight).
  QPoint currentCellBottomLeft() const;

 signals:
  // The current cell moved: by a left click released over a cell (only when it
  // is another cell than the one last reported), or by the keyboard.
  void currentCellChanged();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

 private:
  void applyLayoutFromGrid();
  void applySelectionFromGrid();
  void applyCurrentFromGrid();
  void onViewSelectionChanged();
  void onViewCurrentChanged(const QModelIndex& current);
  bool reportIfMoved();  // true when it reported
  // A disabled grid takes no input but is drawn as an enabled one.
  void takeNoInput(bool blocked);
  int rowBorderAt(int y) const;  // model row whose bottom border is under y, or -1
  void pasteText(const QString& text);

  // Advance of each character of the Basic Multilingual Plane in the view's
  // font, measured when first met (negative: not yet).
  mutable std::vector<float> charAdvance_;
  mutable QFont advanceFont_;
  float advanceOf(char32_t ch) const;

  std::unique_ptr<ResultsGrid> ownGrid_;
  ResultsGrid* grid_ = nullptr;
  GridTableModel* adapter_ = nullptr;
  InputBlocker* inputBlocker_ = nullptr;
  bool syncing_ = false;  // echoes between the grid and the view are ignored
  int reportedRow_ = -1, reportedCol_ = -1;
  bool clickEdits_ = false;  // the left press fell on the current cell
  bool movedByKeyboard_ = false;
  int resizingRow_ = -1;  // row whose border is being dragged
  int resizeFromY_ = 0, resizeFromHeight_ = 0;
};
