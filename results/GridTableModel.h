// Qt item-model adapter over ResultsGrid: grid row 0 is the horizontal
// header, model row i is grid row i + 1. The grid stays the only store; the
// adapter keeps just the counts it has announced, so Qt always sees a
// consistent model even when the grid announces several changes at once.
#pragma once

#include <QAbstractTableModel>
#include <QColor>

#include "results/results_grid.h"

class GridTableModel : public QAbstractTableModel, private GridObserver {
  Q_OBJECT
 public:
  explicit GridTableModel(ResultsGrid* grid, QObject* parent = nullptr);
  ~GridTableModel() override;

  ResultsGrid* grid() const { return grid_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

  // 0x00BBGGRR as stored in the grid.
  static QColor toQColor(Colour colour);

 signals:
  void gridLayoutReset();                  // widths, heights, state: read everything again
  void gridColumnsInserted(int first, int last);
  void gridRowsInserted(int first, int last);  // grid rows
  void gridColumnWidthChanged(int col, int width);
  void gridRowHeightChanged(int row, int height);
  void gridSelectionChanged();
  void gridCurrentCellMoved();
  void gridDisabledChanged(bool disabled);

 private:
  void gridReset() override;
  void rowsInserted(int first, int last) override;
  void rowsRemoved(int first, int last) override;
  void columnsInserted(int first, int last) override;
  void cellsChanged(int firstRow, int firstCol, int lastRow, int lastCol) override;
  void columnWidthChanged(int col, int width) override;
  void selectionChanged() override;
  void currentCellMoved() override;
  void disabledChanged(bool disabled) override;
  void rowHeightChanged(int row, int height) override;

  ResultsGrid* grid_;
  int shownRows_ = 0;
  int shownCols_ = 0;
};
