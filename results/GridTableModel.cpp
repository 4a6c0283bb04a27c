#include "results/GridTableModel.h"

#include <algorithm>

namespace {
QString fromUtf8(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
}  // namespace

GridTableModel::GridTableModel(ResultsGrid* grid, QObject* parent)
    : QAbstractTableModel(parent), grid_(grid) {
  shownRows_ = std::max(0, grid_->rowCount() - 1);
  shownCols_ = grid_->columnCount();
  grid_->setObserver(this);
}

GridTableModel::~GridTableModel() { grid_->setObserver(nullptr); }

int GridTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shownRows_; }

int GridTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shownCols_; }

QColor GridTableModel::toQColor(Colour c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }

QVariant GridTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  int row = index.row() + 1, col = index.column();
  switch (role) {
    case Qt::DisplayRole: {
      QString text = fromUtf8(ResultsGrid::shownPart(grid_->cellTextView(row, col)));
      // Cells are single-line: line breaks show as blanks (the text keeps them).
      if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1Char('\n'), QLatin1Char(' '));
        text.replace(QLatin1Char('\r'), QLatin1Char(' '));
      }
      return text;
    }
    case Qt::EditRole:
      return fromUtf8(grid_->cellTextView(row, col));
    case Qt::BackgroundRole:
      if (auto c = grid_->cellColour(row, col)) return toQColor(*c);
      return {};
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
      return {};
  }
}

QVariant GridTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal) {
    if (role == Qt::DisplayRole) return fromUtf8(grid_->cellTextView(0, section));
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
  }
  if (role == Qt::DisplayRole) return section + 1;
  return {};
}

Qt::ItemFlags GridTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable;
}

bool GridTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::EditRole) return false;
  QByteArray utf8 = value.toString().toUtf8();
  // The grid's own notice repaints the cell.
  return grid_->setCellText(index.row() + 1, index.column(), std::string_view(utf8.constData(), size_t(utf8.size())));
}

void GridTableModel::gridReset() {
  beginResetModel();
  shownRows_ = std::max(0, grid_->rowCount() - 1);
  shownCols_ = grid_->columnCount();
  endResetModel();
  emit gridLayoutReset();
}

void GridTableModel::rowsInserted(int first, int last) {
  if (first < 1) {  // a new header row: nothing else is consistent any more
    gridReset();
    return;
  }
  beginInsertRows(QModelIndex(), first - 1, last - 1);
  shownRows_ += last - first + 1;
  endInsertRows();
  emit gridRowsInserted(first, last);
}

void GridTableModel::rowsRemoved(int first, int last) {
  if (first < 1) {
    gridReset();
    return;
  }
  beginRemoveRows(QModelIndex(), first - 1, last - 1);
  shownRows_ -= last - first + 1;
  endRemoveRows();
}

void GridTableModel::columnsInserted(int first, int last) {
  beginInsertColumns(QModelIndex(), first, last);
  shownCols_ += last - first + 1;
  endInsertColumns();
  emit gridColumnsInserted(first, last);
}

void GridTableModel::cellsChanged(int firstRow, int firstCol, int lastRow, int lastCol) {
  if (firstRow == 0) emit headerDataChanged(Qt::Horizontal, firstCol, lastCol);
  int r0 = std::max(firstRow, 1) - 1, r1 = std::min(lastRow - 1, shownRows_ - 1);
  int c1 = std::min(lastCol, shownCols_ - 1);
  if (r0 <= r1 && firstCol <= c1) emit dataChanged(index(r0, firstCol), index(r1, c1));
}

void GridTableModel::columnWidthChanged(int col, int width) { emit gridColumnWidthChanged(col, width); }
void GridTableModel::selectionChanged() { emit gridSelectionChanged(); }
void GridTableModel::currentCellMoved() { emit gridCurrentCellMoved(); }
void GridTableModel::disabledChanged(bool disabled) { emit gridDisabledChanged(disabled); }
void GridTableModel::rowHeightChanged(int row, int height) { emit gridRowHeightChanged(row, height); }
