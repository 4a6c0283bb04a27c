#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include "results/GridTableModel.h"
#include "results/GridView.h"
#include "results/results_grid.h"

namespace {

// A grid of `rows` rows (header included) and `cols` columns, cell (r, c) = "r,c".
void fill(ResultsGrid& g, int rows, int cols) {
  while (g.columnCount() < cols) g.insertColumn("X");
  while (g.rowCount() < rows) g.insertRow();
  for (int r = 1; r < rows; ++r)
    for (int c = 0; c < cols; ++c) g.setCellText(r, c, (QString::number(r) + "," + QString::number(c)).toStdString());
}

QPoint cellCentre(GridView& v, int gridRow, int col) {
  return v.visualRect(v.model()->index(gridRow - 1, col)).center();
}

}  // namespace

class TestGridView : public QObject {
  Q_OBJECT

 private:
  ResultsGrid grid_;
  std::unique_ptr<GridView> view_;

  GridView& showView(int rows = 8, int cols = 4) {
    view_ = std::make_unique<GridView>();
    fill(grid_, rows, cols);
    view_->setGrid(&grid_);
    view_->resize(600, 400);
    view_->show();
    view_->setFocus();
    QTest::qWait(1);
    return *view_;
  }

 private slots:
  void init() {
    view_.reset();
    grid_.setRowCount(1);
    grid_.setDisabled(false);
    grid_.resetToDesignLayout(true);
  }
  void cleanup() { view_.reset(); }

  void headerShowsTheCaptionRowAndModelRowsAreGridRowsBelowIt() {
    GridView& v = showView(3, 3);
    QVERIFY(!v.verticalHeader()->isVisible());
    QCOMPARE(v.model()->headerData(0, Qt::Horizontal).toString(), QString("文件位置"));
    QCOMPARE(v.model()->headerData(1, Qt::Horizontal).toString(), QString("表名称"));
    QCOMPARE(v.model()->headerData(2, Qt::Horizontal).toString(), QString("单元格"));
    QCOMPARE(v.horizontalHeader()->sectionSize(0), 80);
    QCOMPARE(v.horizontalHeader()->sectionSize(1), 60);
    QCOMPARE(v.horizontalHeader()->sectionSize(2), 60);
    QCOMPARE(v.horizontalHeader()->height(), 24);
    QCOMPARE(v.rowHeight(0), 24);
    QCOMPARE(v.model()->rowCount(), 2);
    QCOMPARE(v.model()->index(0, 1).data().toString(), QString("1,1"));
    // A caption written into row 0 later shows in the header; the header is not an item.
    grid_.setCellText(0, 1, "新");
    QCOMPARE(v.model()->headerData(1, Qt::Horizontal).toString(), QString("新"));
    // Added columns take the grid's width; exact widths, even tiny ones.
    grid_.insertColumn("A");
    grid_.setColumnWidth(3, 80);
    QCOMPARE(v.model()->columnCount(), 4);
    QCOMPARE(v.horizontalHeader()->sectionSize(3), 80);
    grid_.setColumnWidth(2, 3);
    QCOMPARE(v.horizontalHeader()->sectionSize(2), 3);
    // Clearing for a search returns the view to the design layout, taking no
    // input but drawn as usual (aDisabledGridTakesNoInput).
    grid_.clearForSearch();
    QCOMPARE(v.model()->rowCount(), 0);
    QCOMPARE(v.model()->columnCount(), 3);
    QCOMPARE(v.horizontalHeader()->sectionSize(2), 60);
    QCOMPARE(v.model()->headerData(1, Qt::Horizontal).toString(), QString("表名称"));
    QVERIFY(grid_.disabled());
    QVERIFY(v.isEnabled());
  }

  void clickReportsTheCurrentCellOnlyWhenItMoved() {
    GridView& v = showView();
    QSignalSpy spy(&v, &GridView::currentCellChanged);
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 2, 1));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(grid_.currentRow(), 2);
    QCOMPARE(grid_.currentColumn(), 1);
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 2, 1));
    QCOMPARE(spy.count(), 1);
    if (QWidget* editor = QApplication::focusWidget(); editor && editor != &v)
      QTest::keyClick(editor, Qt::Key_Escape);  // the second click began an edit
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 4, 3));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(grid_.currentRow(), 4);
    QCOMPARE(grid_.currentColumn(), 3);
    // Releasing below the last row is not over a cell.
    QTest::mousePress(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 5, 0));
    QTest::mouseRelease(v.viewport(), Qt::LeftButton, {}, QPoint(5, v.viewport()->height() - 3));
    QCOMPARE(spy.count(), 2);
  }

  void keyboardMovesReportAndRightClickSetsSilently() {
    GridView& v = showView();
    QSignalSpy spy(&v, &GridView::currentCellChanged);
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 2, 0));
    QCOMPARE(spy.count(), 1);
    QVERIFY(!v.lastMoveByKeyboard());
    QTest::keyClick(&v, Qt::Key_Down);
    QCOMPARE(grid_.currentRow(), 3);
    QCOMPARE(spy.count(), 2);
    // The menu the keyboard asks for goes to the cell's lower-left corner.
    QVERIFY(v.lastMoveByKeyboard());
    const QRect cell = v.visualRect(v.currentIndex());
    QCOMPARE(v.currentCellBottomLeft(), v.viewport()->mapToGlobal(cell.bottomLeft() + QPoint(0, 1)));
    QTest::keyClick(&v, Qt::Key_Right);
    QCOMPARE(grid_.currentColumn(), 1);
    QCOMPARE(spy.count(), 3);
    QTest::keyClick(&v, Qt::Key_Up);
    QTest::keyClick(&v, Qt::Key_Up);
    QTest::keyClick(&v, Qt::Key_Up);  // already on the first row: no move, no report
    QCOMPARE(grid_.currentRow(), 1);
    QCOMPARE(spy.count(), 5);
    // Right click: current cell moves, no report; a left click there then reports.
    QTest::mouseClick(v.viewport(), Qt::RightButton, {}, cellCentre(v, 6, 2));
    QCOMPARE(grid_.currentRow(), 6);
    QCOMPARE(grid_.currentColumn(), 2);
    QCOMPARE(spy.count(), 5);
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 6, 2));
    QCOMPARE(spy.count(), 6);
    QVERIFY(!v.lastMoveByKeyboard());
  }

  void aClickEditsOnlyTheCellThatWasAlreadyCurrent() {
    GridView& v = showView();
    // As the window does: every reported move selects the whole row.
    connect(&v, &GridView::currentCellChanged, this, [this] { grid_.selectWholeRow(grid_.currentRow()); });
    auto settle = [] { QTest::qWait(QApplication::doubleClickInterval() + 50); };
    // An in-place editor is a line edit inside the view that has the focus.
    auto editor = [&]() -> QLineEdit* {
      auto* e = qobject_cast<QLineEdit*>(QApplication::focusWidget());
      return e && v.isAncestorOf(e) ? e : nullptr;
    };
    QSignalSpy spy(&v, &GridView::currentCellChanged);

    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 2, 2));
    settle();
    QVERIFY(editor() == nullptr);
    // Another cell of the selected row (column 0, where the window shows its
    // menu): it becomes current and is reported, but no editor opens.
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 2, 0));
    settle();
    QCOMPARE(spy.count(), 2);
    QCOMPARE(grid_.currentColumn(), 0);
    QVERIFY(editor() == nullptr);
    // A second click on that cell, now current, edits it.
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 2, 0));
    settle();
    QCOMPARE(spy.count(), 2);
        QVERIFY(editor() != nullptr);
    QCOMPARE(editor()->text(), QStringLiteral("2,0"));
    QTest::keyClick(editor(), Qt::Key_Escape);
    QVERIFY(editor() == nullptr);

    // Right click makes a cell current silently; the left click after it is
    // reported as a move, and a reported click never edits as well.
    QTest::mouseClick(v.viewport(), Qt::RightButton, {}, cellCentre(v, 5, 1));
    settle();
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 5, 1));
    settle();
    QCOMPARE(spy.count(), 3);
    QVERIFY(editor() == nullptr);
    // Ctrl+click on the current cell selects, never edits.
    QTest::mouseClick(v.viewport(), Qt::LeftButton, Qt::ControlModifier, cellCentre(v, 5, 1));
    settle();
    QVERIFY(editor() == nullptr);
  }

  void programSelectionAndCurrentCellShowInTheView() {
    GridView& v = showView();
    // What the result-opening handler does: select the whole current row.
    connect(&v, &GridView::currentCellChanged, this, [this] { grid_.selectWholeRow(grid_.currentRow()); });
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 3, 2));
    for (int c = 0; c < 4; ++c) QVERIFY(v.selectionModel()->isSelected(v.model()->index(2, c)));
    QVERIFY(!v.selectionModel()->isSelected(v.model()->index(1, 0)));
    QCOMPARE(v.currentIndex(), v.model()->index(2, 2));
    grid_.setCurrentCell(5, 1);
    QCOMPARE(v.currentIndex(), v.model()->index(4, 1));
    grid_.selectRange(0, 1, 2, 2);  // raised to row 1
    QCOMPARE(v.selectionModel()->selectedIndexes().size(), 4);
    QVERIFY(v.selectionModel()->isSelected(v.model()->index(0, 1)));
    QVERIFY(v.selectionModel()->isSelected(v.model()->index(1, 2)));
    // A selection made in the view reaches the grid as its bounds.
    v.selectionModel()->select(QItemSelection(v.model()->index(3, 0), v.model()->index(4, 1)),
                               QItemSelectionModel::ClearAndSelect);
    QVERIFY(grid_.selection());
    QCOMPARE(grid_.selection()->firstRow, 4);
    QCOMPARE(grid_.selection()->lastRow, 5);
    QCOMPARE(grid_.selection()->lastCol, 1);
  }

  void editingWritesBackIntoTheGrid() {
    GridView& v = showView();
    v.setCurrentIndex(v.model()->index(1, 1));
    QTest::keyClick(&v, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor);
    QCOMPARE(editor->text(), QString("2,1"));
    editor->selectAll();
    editor->insert("改过的");
    QTest::keyClick(editor, Qt::Key_Return);  // the commit is queued
    QTRY_COMPARE(QString::fromStdString(grid_.cellText(2, 1)), QString("改过的"));
    // Typing a character starts an edit with that character.
    v.setFocus();
    v.setCurrentIndex(v.model()->index(3, 0));
    QTest::keyClick(&v, 'z');
    editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY2(editor, QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className() : "none");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(grid_.cellText(4, 0), std::string("z"));
    // Double click edits too.
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 6, 3));  // a double click's first half
    QTest::mouseDClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 6, 3));
    editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor);
    editor->setText("dbl");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(grid_.cellText(6, 3), std::string("dbl"));
  }

  // A text longer than a cell shows (Excel's 32,767 characters; files hold
  // longer ones) is shown cut but kept whole: an edit committed unchanged,
  // or changed at its end, stores every character.
  void aLongTextIsShownCutAndEditedWhole() {
    GridView& v = showView();
    std::string text;
    for (int i = 0; i < 20'000; ++i) text += "长句";
    text += " 尾巴";
    grid_.setCellText(2, 1, text);
    const QString shown = v.model()->index(1, 1).data().toString();
    QCOMPARE(shown.size(), qsizetype(ResultsGrid::kShownUnits));
    QVERIFY(QString::fromStdString(text).startsWith(shown));
    v.setCurrentIndex(v.model()->index(1, 1));
    QTest::keyClick(&v, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor);
    QCOMPARE(editor->text().size(), qsizetype(40'003));
    QTest::keyClick(editor, Qt::Key_Return);
    QTest::qWait(1);
    QCOMPARE(grid_.cellText(2, 1), text);
    QTest::keyClick(&v, Qt::Key_F2);
    editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor);
    editor->end(false);
    editor->insert("!");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(grid_.cellText(2, 1), text + "!");
  }

  void deleteEmptiesTheSelectedTexts() {
    GridView& v = showView();
    grid_.selectRange(2, 1, 3, 2);
    QTest::keyClick(&v, Qt::Key_Delete);
    QCOMPARE(grid_.cellText(2, 1), std::string());
    QCOMPARE(grid_.cellText(3, 2), std::string());
    QCOMPARE(grid_.cellText(2, 0), std::string("2,0"));
    QCOMPARE(grid_.cellText(4, 1), std::string("4,1"));
    QCOMPARE(grid_.cellText(0, 1), std::string("表名称"));
    QCOMPARE(grid_.rowCount(), 8);
    QCOMPARE(v.model()->index(1, 1).data().toString(), QString());
  }

  void copyCutPasteAndSelectAllGoThroughTheClipboard() {
    GridView& v = showView(6, 3);
    grid_.setCellText(2, 1, "a\tb");
    grid_.setCellText(3, 0, "say \"hi\"");
    grid_.selectRange(2, 0, 3, 1);
    QTest::keyClick(&v, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QString("2,0\t\"a\tb\"\n\"say \"\"hi\"\"\"\t3,1"));
    QApplication::clipboard()->clear();
    QTest::keyClick(&v, Qt::Key_Insert, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QString("2,0\t\"a\tb\"\n\"say \"\"hi\"\"\"\t3,1"));

    // Paste a block from the top-left of the selection; quoted cells come back whole,
    // what falls beyond the last column or row is dropped.
    grid_.selectRange(4, 1);
    QApplication::clipboard()->setText("p\t\"q\tr\"\tdropped\r\n\"multi\nline\"\t\r\nlast\tx\ty\n");
    QTest::keyClick(&v, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(grid_.cellText(4, 1), std::string("p"));
    QCOMPARE(grid_.cellText(4, 2), std::string("q\tr"));
    QCOMPARE(grid_.cellText(5, 1), std::string("multi\nline"));
    QCOMPARE(grid_.cellText(5, 2), std::string());
    QCOMPARE(grid_.cellText(4, 0), std::string("4,0"));
    QCOMPARE(grid_.columnCount(), 3);
    QCOMPARE(grid_.rowCount(), 6);
    QCOMPARE(v.model()->index(4, 1).data().toString(), QString("multi line"));  // shown on one line

    // Copy and paste round-trip the special texts.
    grid_.selectRange(4, 1, 5, 2);
    v.copySelection();
    grid_.selectRange(1, 0);
    v.pasteClipboard();
    QCOMPARE(grid_.cellText(1, 1), std::string("q\tr"));
    QCOMPARE(grid_.cellText(2, 0), std::string("multi\nline"));

    // One value fills a larger selection.
    grid_.selectRange(1, 0, 2, 2);
    QApplication::clipboard()->setText("f");
    QTest::keyClick(&v, Qt::Key_V, Qt::ControlModifier);
    for (int r = 1; r <= 2; ++r)
      for (int c = 0; c < 3; ++c) QCOMPARE(grid_.cellText(r, c), std::string("f"));

    // Cut copies, then empties.
    grid_.selectRange(3, 0, 3, 1);
    QTest::keyClick(&v, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QString("\"say \"\"hi\"\"\"\t3,1"));
    QCOMPARE(grid_.cellText(3, 0), std::string());

    // Select all takes every non-header cell.
    QTest::keyClick(&v, Qt::Key_A, Qt::ControlModifier);
    QVERIFY(grid_.selection());
    QCOMPARE(grid_.selection()->firstRow, 1);
    QCOMPARE(grid_.selection()->firstCol, 0);
    QCOMPARE(grid_.selection()->lastRow, 5);
    QCOMPARE(grid_.selection()->lastCol, 2);
    v.copySelection();
    // Five rows, one of them holding a quoted line break.
    QCOMPARE(QApplication::clipboard()->text().count('\n'), 4 + 1);
    QVERIFY(QApplication::clipboard()->text().startsWith("f\tf\tf\nf\tf\tf\n"));
  }

  void coloursShowThroughTheBackgroundRole() {
    GridView& v = showView(5, 4);
    grid_.colourWholeRow(2, 0xC080FF);  // red 255, green 128, blue 192
    grid_.colourCellRange(3, 1, std::nullopt, std::nullopt, 0x808080);
    QCOMPARE(v.model()->index(1, 0).data(Qt::BackgroundRole).value<QColor>(), QColor(255, 128, 192));
    QCOMPARE(v.model()->index(1, 3).data(Qt::BackgroundRole).value<QColor>(), QColor(255, 128, 192));
    QCOMPARE(v.model()->index(2, 1).data(Qt::BackgroundRole).value<QColor>(), QColor(128, 128, 128));
    QVERIFY(!v.model()->index(2, 0).data(Qt::BackgroundRole).isValid());
    // Painted: the cell's pixels carry the colour (away from its text and grid lines).
    v.clearSelection();
    v.selectionModel()->clearCurrentIndex();
    QImage shot = v.viewport()->grab().toImage();
    QRect r = v.visualRect(v.model()->index(1, 3));
    QCOMPARE(QColor(shot.pixel(r.right() - 3, r.top() + 3)), QColor(255, 128, 192));
    QRect w = v.visualRect(v.model()->index(3, 3));
    QCOMPARE(QColor(shot.pixel(w.right() - 3, w.top() + 3)), QColor(Qt::white));
  }

  void batchedAppendsArriveAsOneInsertion() {
    GridView& v = showView(1, 13);
    QSignalSpy inserted(v.model(), &QAbstractItemModel::rowsInserted);
    {
      ResultsGrid::Batch batch(grid_);
      for (int i = 0; i < 500; ++i) {
        grid_.insertRow();
        int r = grid_.rowCount() - 1;
        for (int c = 0; c < 13; ++c) grid_.setCellText(r, c, std::to_string(i));
        if (i == 7) grid_.colourWholeRow(r, 0x808080);
      }
      QCOMPARE(inserted.count(), 0);
    }
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted[0][1].toInt(), 0);
    QCOMPARE(inserted[0][2].toInt(), 499);
    QCOMPARE(v.model()->rowCount(), 500);
    QCOMPARE(v.model()->index(499, 12).data().toString(), QString("499"));
    QCOMPARE(v.model()->index(7, 5).data(Qt::BackgroundRole).value<QColor>(), QColor(128, 128, 128));
    // Without a batch each append is its own insertion.
    grid_.insertRow();
    grid_.insertRow(3);
    QCOMPARE(inserted.count(), 3);
    QCOMPARE(inserted[2][1].toInt(), 2);
    QCOMPARE(v.model()->rowCount(), 502);
  }

  void bordersResizeAndHeaderDoubleClickFitsTheColumn() {
    GridView& v = showView(4, 3);
    // Header resize reaches the grid and back.
    v.horizontalHeader()->resizeSection(1, 133);
    QCOMPARE(grid_.columnWidth(1), 133);
    grid_.setColumnWidth(1, 60);
    QCOMPARE(v.horizontalHeader()->sectionSize(1), 60);

    // Double click on the right border of column 1 in the header: widest content wins.
    QString wide = "一段相当长的单元格内容用来撑宽这一列";
    grid_.setCellText(2, 1, wide.toStdString());
    int x = v.horizontalHeader()->sectionViewportPosition(1) + v.horizontalHeader()->sectionSize(1) - 1;
    QTest::mouseDClick(v.horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(x, 12));
    int fitted = v.horizontalHeader()->sectionSize(1);
    QVERIFY2(fitted >= v.fontMetrics().horizontalAdvance(wide), qPrintable(QString::number(fitted)));
    QCOMPARE(grid_.columnWidth(1), fitted);
    // Column 0: the caption is the widest content.
    grid_.setColumnWidth(0, 10);
    x = v.horizontalHeader()->sectionViewportPosition(0) + v.horizontalHeader()->sectionSize(0) - 1;
    QTest::mouseDClick(v.horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(x, 12));
    QVERIFY(v.horizontalHeader()->sectionSize(0) >= v.horizontalHeader()->fontMetrics().horizontalAdvance("文件位置"));

    // Dragging a row's bottom border resizes it, without moving the current cell.
    QSignalSpy spy(&v, &GridView::currentCellChanged);
    int currentBefore = grid_.currentRow();
    int bottom = v.rowViewportPosition(0) + v.rowHeight(0) - 1;
    QTest::mousePress(v.viewport(), Qt::LeftButton, {}, QPoint(30, bottom));
    QMouseEvent move(QEvent::MouseMove, QPointF(30, bottom + 20), v.viewport()->mapToGlobal(QPointF(30, bottom + 20)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(v.viewport(), &move);
    QTest::mouseRelease(v.viewport(), Qt::LeftButton, {}, QPoint(30, bottom + 20));
    QCOMPARE(v.rowHeight(0), 44);
    QCOMPARE(grid_.rowHeight(1), 44);
    QCOMPARE(grid_.currentRow(), currentBefore);
    QCOMPARE(spy.count(), 0);
  }

  void headerDoubleClickFitsTheWidestTextOfEveryRow() {
    GridView& v = showView(3001, 3);
    // Far beyond the rows Qt samples: the widest text sits in row 2,500.
    const QString wide = QStringLiteral("第二千五百行里一段很长很长的文字 with some Latin too");
    grid_.setCellText(2500, 1, wide.toStdString());
    grid_.setCellText(1000, 1, "مرحبا بالعالم e\xCC\x81");  // joined script and a combining accent
    grid_.setCellText(2999, 1, "bad \xFF\xFE bytes");
    int x = v.horizontalHeader()->sectionViewportPosition(1) + v.horizontalHeader()->sectionSize(1) - 1;
    QTest::mouseDClick(v.horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(x, 12));
    const int fitted = v.horizontalHeader()->sectionSize(1);
    QCOMPARE(grid_.columnWidth(1), fitted);
    // The same as Qt's own fit when told to measure every row.
    QTableView every;
    every.setModel(v.model());
    every.horizontalHeader()->setResizeContentsPrecision(-1);
    every.resizeColumnToContents(1);
    QCOMPARE(fitted, every.columnWidth(1));
    QVERIFY(fitted > v.fontMetrics().horizontalAdvance(wide));
  }

  void aDisabledGridTakesNoInput() {
    GridView& v = showView();
    grid_.setDisabled(true);
    QVERIFY(v.isEnabled());  // not greyed: rows arrive in it during a search
    int row = grid_.currentRow(), col = grid_.currentColumn();
    QSignalSpy spy(&v, &GridView::currentCellChanged);
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 4, 2));
    QTest::keyClick(&v, Qt::Key_Delete);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(grid_.currentRow(), row);
    QCOMPARE(grid_.currentColumn(), col);
    QCOMPARE(grid_.cellText(1, 0), std::string("1,0"));  // Delete reached nothing
    QCOMPARE(grid_.cellText(4, 2), std::string("4,2"));
    grid_.setDisabled(false);
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, cellCentre(v, 4, 2));
    QCOMPARE(spy.count(), 1);
  }
};

QTEST_MAIN(TestGridView)
#include "test_gridview.moc"
