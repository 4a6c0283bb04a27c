#include "results/GridView.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScopedValueRollback>
#include <QStyledItemDelegate>
#include <algorithm>
#include <limits>

#include "platform/toolkit/input_blocker.h"
#include "results/GridTableModel.h"

namespace {

// Qt's editor of a text, a line edit, holds 32,767 characters and cuts a
// longer text, which the commit would then store: it takes any length here.
class WholeTextDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (auto* line = qobject_cast<QLineEdit*>(editor)) line->setMaxLength(std::numeric_limits<int>::max());
    return editor;
  }
};

struct Bounds {
  int top, left, bottom, right;
};

std::optional<Bounds> boundsOf(const QItemSelection& selection) {
  if (selection.isEmpty()) return std::nullopt;
  Bounds b{INT_MAX, INT_MAX, -1, -1};
  for (const QItemSelectionRange& r : selection) {
    b.top = std::min(b.top, r.top());
    b.left = std::min(b.left, r.left());
    b.bottom = std::max(b.bottom, r.bottom());
    b.right = std::max(b.right, r.right());
  }
  return b;
}

QString quotedForClipboard(const QString& text) {
  if (!text.contains(QLatin1Char('\t')) && !text.contains(QLatin1Char('\n')) &&
      !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('"')))
    return text;
  QString q = text;
  q.replace(QLatin1String("\""), QLatin1String("\"\""));
  return QLatin1Char('"') + q + QLatin1Char('"');
}

// Tab-separated rows as spreadsheets put them on the clipboard, quotes included.
QList<QStringList> parseClipboardTable(const QString& text) {
  QList<QStringList> rows;
  QStringList row;
  QString cell;
  bool inQuotes = false, atCellStart = true;
  for (qsizetype i = 0; i < text.size(); ++i) {
    QChar ch = text[i];
    if (inQuotes) {
      if (ch == QLatin1Char('"')) {
        if (i + 1 < text.size() && text[i + 1] == QLatin1Char('"')) {
          cell += ch;
          ++i;
        } else {
          inQuotes = false;
        }
      } else {
        cell += ch;
      }
      continue;
    }
    if (ch == QLatin1Char('"') && atCellStart) {
      inQuotes = true;
      atCellStart = false;
      continue;
    }
    if (ch == QLatin1Char('\t')) {
      row << cell;
      cell.clear();
      atCellStart = true;
      continue;
    }
    if (ch == QLatin1Char('\r') || ch == QLatin1Char('\n')) {
      if (ch == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n')) ++i;
      row << cell;
      rows << row;
      row.clear();
      cell.clear();
      atCellStart = true;
      continue;
    }
    cell += ch;
    atCellStart = false;
  }
  if (!cell.isEmpty() || !row.isEmpty() || !atCellStart) {
    row << cell;
    rows << row;
  }
  return rows;
}

std::string toUtf8(const QString& s) {
  QByteArray b = s.toUtf8();
  return std::string(b.constData(), size_t(b.size()));
}

}  // namespace

GridView::GridView(QWidget* parent) : QTableView(parent) {
  setItemDelegate(new WholeTextDelegate(this));
  verticalHeader()->hide();  // no fixed columns: nothing left of the cells
  verticalHeader()->setDefaultSectionSize(ResultsGrid::kDesignRowHeight);
  verticalHeader()->setMinimumSectionSize(1);
  verticalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  QHeaderView* h = horizontalHeader();
  h->setSectionResizeMode(QHeaderView::Interactive);
  h->setMinimumSectionSize(0);  // widths are set exactly
  h->setDefaultSectionSize(ResultsGrid::kDefaultColumnWidth);
  h->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  h->setStretchLastSection(false);
  h->setHighlightSections(false);
  h->setSectionsClickable(false);  // the header row is fixed: a click selects nothing
  h->setSectionsMovable(false);
  setWordWrap(false);
  setTextElideMode(Qt::ElideNone);  // clipped at the cell border, as in a spreadsheet
  setCornerButtonEnabled(false);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  // Qt's "selected clicked" would edit any cell of the row the program
  // selects after each click; a click edits only the cell that was already
  // current (mouseReleaseEvent).
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setShowGrid(true);
  setStyleSheet(QStringLiteral("QTableView { gridline-color: rgb(192,192,192); }"));
  QPalette pal = palette();
  for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) {
    pal.setColor(g, QPalette::Base, Qt::white);
    pal.setColor(g, QPalette::Text, Qt::black);
    pal.setColor(g, QPalette::Highlight, QColor(51, 153, 255));
    pal.setColor(g, QPalette::HighlightedText, Qt::black);
  }
  setPalette(pal);
  viewport()->setMouseTracking(true);

  connect(h, &QHeaderView::sectionResized, this, [this](int col, int, int width) {
    if (syncing_ || !grid_) return;
    QScopedValueRollback<bool> guard(syncing_, true);
    grid_->setColumnWidth(col, width);
  });
  connect(verticalHeader(), &QHeaderView::sectionResized, this, [this](int row, int, int height) {
    if (syncing_ || !grid_) return;
    QScopedValueRollback<bool> guard(syncing_, true);
    grid_->setRowHeight(row + 1, height);
  });

  ownGrid_ = std::make_unique<ResultsGrid>();
  setGrid(ownGrid_.get());
}

GridView::~GridView() {
  if (grid_) grid_->setTextWidthMeasure(nullptr);
  delete adapter_;  // detaches from the grid
  adapter_ = nullptr;
}

void GridView::setGrid(ResultsGrid* grid) {
  if (!grid) grid = ownGrid_.get();
  if (grid == grid_) return;
  if (grid_) grid_->setTextWidthMeasure(nullptr);
  GridTableModel* oldAdapter = adapter_;
  QItemSelectionModel* oldSelection = selectionModel();
  grid_ = grid;
  adapter_ = new GridTableModel(grid_, this);
  setModel(adapter_);
  delete oldSelection;
  delete oldAdapter;

  grid_->setTextWidthMeasure([this](std::string_view text) {
    QFontMetrics fm(horizontalHeader()->font());
    return fm.horizontalAdvance(QString::fromUtf8(text.data(), qsizetype(text.size()))) + 12;
  });

  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, &GridView::onViewSelectionChanged);
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) { onViewCurrentChanged(current); });
  connect(adapter_, &GridTableModel::gridLayoutReset, this, &GridView::applyLayoutFromGrid);
  connect(adapter_, &GridTableModel::gridColumnsInserted, this, [this](int first, int last) {
    QScopedValueRollback<bool> guard(syncing_, true);
    for (int c = first; c <= last; ++c) horizontalHeader()->resizeSection(c, std::max(0, grid_->columnWidth(c)));
  });
  connect(adapter_, &GridTableModel::gridRowsInserted, this, [this](int first, int last) {
    int def = verticalHeader()->defaultSectionSize();
    QScopedValueRollback<bool> guard(syncing_, true);
    for (int r = first; r <= last; ++r)
      if (int hgt = grid_->rowHeight(r); hgt != def) verticalHeader()->resizeSection(r - 1, std::max(0, hgt));
  });
  connect(adapter_, &GridTableModel::gridColumnWidthChanged, this, [this](int col, int width) {
    if (syncing_) return;
    QScopedValueRollback<bool> guard(syncing_, true);
    horizontalHeader()->resizeSection(col, std::max(0, width));
  });
  connect(adapter_, &GridTableModel::gridRowHeightChanged, this, [this](int row, int height) {
    if (syncing_) return;
    QScopedValueRollback<bool> guard(syncing_, true);
    if (row == 0)
      horizontalHeader()->setFixedHeight(std::max(1, height));
    else
      verticalHeader()->resizeSection(row - 1, std::max(0, height));
  });
  connect(adapter_, &GridTableModel::gridSelectionChanged, this, [this] {
    if (!syncing_) applySelectionFromGrid();
  });
  connect(adapter_, &GridTableModel::gridCurrentCellMoved, this, [this] {
    if (!syncing_) applyCurrentFromGrid();
  });
  connect(adapter_, &GridTableModel::gridDisabledChanged, this, [this](bool disabled) { takeNoInput(disabled); });

  applyLayoutFromGrid();
}

void GridView::applyLayoutFromGrid() {
  QScopedValueRollback<bool> guard(syncing_, true);
  QHeaderView* h = horizontalHeader();
  for (int c = 0; c < grid_->columnCount(); ++c) h->resizeSection(c, std::max(0, grid_->columnWidth(c)));
  h->setFixedHeight(std::max(1, grid_->rowHeight(0)));
  int def = verticalHeader()->defaultSectionSize();
  for (int r = 1; r < grid_->rowCount(); ++r)
    if (int hgt = grid_->rowHeight(r); hgt != def) verticalHeader()->resizeSection(r - 1, std::max(0, hgt));
  takeNoInput(grid_->disabled());
  applySelectionFromGrid();
  applyCurrentFromGrid();
  reportedRow_ = reportedCol_ = -1;
}

void GridView::applySelectionFromGrid() {
  QScopedValueRollback<bool> guard(syncing_, true);
  auto sel = grid_->selection();
  int rows = adapter_->rowCount(), cols = adapter_->columnCount();
  if (!sel || rows == 0 || cols == 0) {
    selectionModel()->clearSelection();
  } else {
    QModelIndex tl = adapter_->index(std::clamp(sel->firstRow - 1, 0, rows - 1), std::clamp(sel->firstCol, 0, cols - 1));
    QModelIndex br = adapter_->index(std::clamp(sel->lastRow - 1, 0, rows - 1), std::clamp(sel->lastCol, 0, cols - 1));
    selectionModel()->select(QItemSelection(tl, br), QItemSelectionModel::ClearAndSelect);
  }
}

void GridView::applyCurrentFromGrid() {
  QScopedValueRollback<bool> guard(syncing_, true);
  int r = grid_->currentRow(), c = grid_->currentColumn();
  QModelIndex idx = r >= 1 ? adapter_->index(r - 1, c) : QModelIndex();
  if (idx.isValid())
    selectionModel()->setCurrentIndex(idx, QItemSelectionModel::NoUpdate);
  else
    selectionModel()->clearCurrentIndex();
}

void GridView::onViewSelectionChanged() {
  if (syncing_) return;
  QScopedValueRollback<bool> guard(syncing_, true);
  // The grid keeps one rectangle: the bounds of what the view has selected.
  if (auto b = boundsOf(selectionModel()->selection()))
    grid_->selectRange(b->top + 1, b->left, b->bottom + 1, b->right);
  else
    grid_->clearSelection();
}

void GridView::onViewCurrentChanged(const QModelIndex& current) {
  if (syncing_) return;
  QScopedValueRollback<bool> guard(syncing_, true);
  if (current.isValid())
    grid_->setCurrentCell(current.row() + 1, current.column());
  else
    grid_->setCurrentCell(-1, -1);
}

void GridView::takeNoInput(bool blocked) {
  // Drawn as it is, not greyed: the user watches the rows arrive.
  if (!inputBlocker_) inputBlocker_ = new InputBlocker(this, this);
  inputBlocker_->setBlocked(blocked);
}

bool GridView::reportIfMoved() {
  int r = grid_->currentRow(), c = grid_->currentColumn();
  if (r < 0 || (r == reportedRow_ && c == reportedCol_)) return false;
  reportedRow_ = r;
  reportedCol_ = c;
  emit currentCellChanged();
  return true;
}

QPoint GridView::currentCellBottomLeft() const {
  QRect cell = visualRect(currentIndex()).intersected(viewport()->rect());
  if (cell.isEmpty()) return mapToGlobal(rect().bottomLeft());
  return viewport()->mapToGlobal(cell.bottomLeft() + QPoint(0, 1));
}

void GridView::keyPressEvent(QKeyEvent* event) {
  bool ctrlInsert = event->key() == Qt::Key_Insert && event->modifiers() == Qt::ControlModifier;
  if (event->matches(QKeySequence::Copy) || ctrlInsert) {
    copySelection();
  } else if (event->matches(QKeySequence::Cut)) {
    cutSelection();
  } else if (event->matches(QKeySequence::Paste)) {
    pasteClipboard();
  } else if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier) {
    deleteSelection();
  } else if (event->matches(QKeySequence::SelectAll)) {
    selectAll();
  } else {
    int r = grid_->currentRow(), c = grid_->currentColumn();
    QTableView::keyPressEvent(event);
    if (state() != EditingState && (grid_->currentRow() != r || grid_->currentColumn() != c)) {
      reportedRow_ = reportedCol_ = -2;  // any keyboard move is reported
      movedByKeyboard_ = true;
      reportIfMoved();
    }
    return;
  }
  event->accept();
}

void GridView::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
  int r = grid_->currentRow(), c = grid_->currentColumn();
  QTableView::closeEditor(editor, hint);
  // Tab or Enter leaving an edit moves the current cell by the keyboard too.
  if (grid_->currentRow() != r || grid_->currentColumn() != c) {
    reportedRow_ = reportedCol_ = -2;
    movedByKeyboard_ = true;
    reportIfMoved();
  }
}

int GridView::rowBorderAt(int y) const {
  // Three pixels around each row's bottom grid line: the line, one above, one below.
  constexpr int kBand = 2;
  int rows = adapter_ ? adapter_->rowCount() : 0;
  if (rows == 0) return -1;
  int r = rowAt(y);
  if (r < 0) {
    int last = rows - 1;
    int bottom = rowViewportPosition(last) + rowHeight(last);
    return (y == bottom) ? last : -1;
  }
  int top = rowViewportPosition(r), bottom = top + rowHeight(r);
  if (bottom - y <= kBand) return r;
  if (y == top && r > 0) return r - 1;
  return -1;
}

void GridView::mousePressEvent(QMouseEvent* event) {
  clickEdits_ = false;
  if (event->button() == Qt::LeftButton) {
    const QModelIndex pressed = indexAt(event->position().toPoint());
    // A press that ends an edit in progress only ends it.
    clickEdits_ = pressed.isValid() && pressed == currentIndex() && state() != EditingState &&
                  event->modifiers() == Qt::NoModifier;
    int r = rowBorderAt(event->position().toPoint().y());
    if (r >= 0) {
      clickEdits_ = false;
      resizingRow_ = r;
      resizeFromY_ = event->position().toPoint().y();
      resizeFromHeight_ = rowHeight(r);
      event->accept();
      return;
    }
  }
  QTableView::mousePressEvent(event);
}

void GridView::mouseMoveEvent(QMouseEvent* event) {
  int y = event->position().toPoint().y();
  if (resizingRow_ >= 0) {
    verticalHeader()->resizeSection(resizingRow_, std::max(1, resizeFromHeight_ + y - resizeFromY_));
    event->accept();
    return;
  }
  if (event->buttons() == Qt::NoButton) {
    if (rowBorderAt(y) >= 0)
      viewport()->setCursor(Qt::SplitVCursor);
    else
      viewport()->unsetCursor();
  }
  QTableView::mouseMoveEvent(event);
}

void GridView::mouseReleaseEvent(QMouseEvent* event) {
  if (resizingRow_ >= 0 && event->button() == Qt::LeftButton) {
    resizingRow_ = -1;
    event->accept();
    return;
  }
  QTableView::mouseReleaseEvent(event);
  if (event->button() != Qt::LeftButton) return;
  const QModelIndex released = indexAt(event->position().toPoint());
  if (!released.isValid()) return;
  // A click that moved the current cell is reported (and may show the menu);
  // only a second click on the cell that was current before it edits.
  movedByKeyboard_ = false;
  const bool moved = reportIfMoved();
  if (!moved && clickEdits_ && released == currentIndex() && state() != EditingState) edit(released);
  clickEdits_ = false;
}

void GridView::leaveEvent(QEvent* event) {
  if (resizingRow_ < 0) viewport()->unsetCursor();
  QTableView::leaveEvent(event);
}

namespace {

// Characters whose width in a text is at most the sum of their own widths:
// Latin, CJK, kana, hangul, full-width forms and common punctuation. Others
// (joining and combining scripts, emoji sequences, controls) may shape wider
// than their parts, so their estimate gets a generous margin.
bool widthAdds(char32_t ch) {
  return (ch >= 0x20 && ch < 0x7F) || (ch >= 0xA0 && ch < 0x0300) || (ch >= 0x2010 && ch < 0x2028) ||
         (ch >= 0x2E80 && ch < 0xA000) || (ch >= 0xAC00 && ch < 0xD7A4) || (ch >= 0xF900 && ch < 0xFB00) ||
         (ch >= 0xFF01 && ch < 0xFFEF);
}

// The next character of UTF-8 text at i; an invalid byte reads as U+FFFD.
char32_t nextChar(std::string_view s, size_t& i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  const int n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
  if (n == 0 || i + size_t(n) > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t ch = c & (0x7F >> n);
  for (int k = 1; k < n; ++k) {
    if ((b(i + size_t(k)) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    ch = (ch << 6) | (b(i + size_t(k)) & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (ch < kLeast[n] || ch > 0x10FFFF || (ch >= 0xD800 && ch < 0xE000)) {
    ++i;
    return 0xFFFD;
  }
  i += size_t(n);
  return ch;
}

}  // namespace

float GridView::advanceOf(char32_t ch) const {
  if (ch == U'\n' || ch == U'\r') ch = U' ';  // shown as blanks
  if (ch >= 0x10000) return float(QFontMetricsF(font()).horizontalAdvance(QString::fromUcs4(&ch, 1)));
  float& cached = charAdvance_[ch];
  if (cached < 0) cached = float(QFontMetricsF(font()).horizontalAdvance(QChar(char16_t(ch))));
  return cached;
}

int GridView::sizeHintForColumn(int column) const {
  const int rows = grid_ ? grid_->rowCount() - 1 : 0;
  if (rows <= 0 || column < 0 || column >= adapter_->columnCount()) return QTableView::sizeHintForColumn(column);
  ensurePolished();
  if (charAdvance_.empty() || advanceFont_ != font()) {
    charAdvance_.assign(0x10000, -1.0f);
    advanceFont_ = font();
  }
  // An upper bound of every row's text width from its characters' widths.
  struct Candidate {
    float bound;
    int row;
    bool operator<(const Candidate& o) const { return bound < o.bound; }
  };
  const float lineHeight = float(fontMetrics().height());
  std::vector<Candidate> candidates;
  candidates.reserve(size_t(rows));
  for (int r = 1; r <= rows; ++r) {
    const std::string_view text = ResultsGrid::shownPart(grid_->cellTextView(r, column));
    if (text.empty()) continue;
    float sum = 0;
    bool adds = true;
    for (size_t i = 0; i < text.size();) {
      const char32_t ch = nextChar(text, i);
      sum += advanceOf(ch);
      adds = adds && (widthAdds(ch) || ch == U'\n' || ch == U'\r');
    }
    candidates.push_back({adds ? sum : sum * 1.25f + lineHeight, r});
  }
  if (candidates.empty()) return QTableView::sizeHintForColumn(column);
  // Measure from the largest bound down, until no text left can be wider
  // (by more than rounding: texts of equal bounds are not all measured).
  std::make_heap(candidates.begin(), candidates.end());
  const QFontMetricsF metrics(font());
  constexpr float kRounding = 0.05f;
  float widest = -1;
  int widestRow = candidates.front().row;
  for (auto end = candidates.end(); end != candidates.begin() && candidates.front().bound > widest + kRounding; --end) {
    const int row = candidates.front().row;
    std::pop_heap(candidates.begin(), end);
    const QString shown = adapter_->index(row - 1, column).data().toString();
    const float width = float(metrics.horizontalAdvance(shown));
    if (width > widest) {
      widest = width;
      widestRow = row;
    }
  }
  // The delegate adds its own margins, as for any cell.
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  const QModelIndex index = adapter_->index(widestRow - 1, column);
  const int hint = itemDelegateForIndex(index)->sizeHint(option, index).width();
  return showGrid() ? hint + 1 : hint;
}

QString GridView::selectionAsText() const {
  QItemSelection selection = selectionModel()->selection();
  auto b = boundsOf(selection);
  if (!b) {
    QModelIndex cur = currentIndex();
    if (!cur.isValid()) return {};
    b = Bounds{cur.row(), cur.column(), cur.row(), cur.column()};
  }
  bool single = selection.size() <= 1;
  QString out;
  for (int r = b->top; r <= b->bottom; ++r) {
    if (r > b->top) out += QLatin1Char('\n');
    for (int c = b->left; c <= b->right; ++c) {
      if (c > b->left) out += QLatin1Char('\t');
      if (!single && !selection.contains(adapter_->index(r, c))) continue;
      std::string_view t = grid_->cellTextView(r + 1, c);
      out += quotedForClipboard(QString::fromUtf8(t.data(), qsizetype(t.size())));
    }
  }
  return out;
}

void GridView::copySelection() { QApplication::clipboard()->setText(selectionAsText()); }

void GridView::cutSelection() {
  copySelection();
  deleteSelection();
}

void GridView::deleteSelection() {
  QItemSelection selection = selectionModel()->selection();
  if (selection.isEmpty()) {
    QModelIndex cur = currentIndex();
    if (cur.isValid()) grid_->clearCellTexts(cur.row() + 1, cur.column(), cur.row() + 1, cur.column());
    return;
  }
  for (const QItemSelectionRange& r : selection) grid_->clearCellTexts(r.top() + 1, r.left(), r.bottom() + 1, r.right());
}

void GridView::pasteClipboard() { pasteText(QApplication::clipboard()->text()); }

void GridView::pasteText(const QString& text) {
  QList<QStringList> table = parseClipboardTable(text);
  if (table.isEmpty()) return;
  QItemSelection selection = selectionModel()->selection();
  auto b = boundsOf(selection);
  if (!b) {
    QModelIndex cur = currentIndex();
    if (!cur.isValid()) return;
    b = Bounds{cur.row(), cur.column(), cur.row(), cur.column()};
  }
  if (table.size() == 1 && table[0].size() == 1 && !selection.isEmpty()) {
    // One value into a larger selection fills every selected cell.
    std::string v = toUtf8(table[0][0]);
    for (const QItemSelectionRange& r : selection) grid_->fillCellTexts(r.top() + 1, r.left(), r.bottom() + 1, r.right(), v);
    return;
  }
  // A block goes in from the top-left cell; what falls outside the grid is dropped.
  for (int i = 0; i < table.size(); ++i)
    for (int j = 0; j < table[i].size(); ++j) grid_->setCellText(b->top + 1 + i, b->left + j, toUtf8(table[i][j]));
}
