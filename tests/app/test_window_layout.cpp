// The resize rule of the main window: the grid follows the window, down to
// the window's minimum size.
#include <QTest>
#include <QWidget>

#include "app/MainWindowLayout.h"

namespace {

// A stand-in for MainWindow's resized event.
class ResizingWindow : public QWidget {
 public:
  QWidget* grid = new QWidget(this);
  QWidget* button = new QWidget(this);
  ResizingWindow() {
    grid->setGeometry(0, 115, 800, 385);
    button->setGeometry(766, 8, 20, 20);
    applyMinimumWindowSize(*this);
  }

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    onMainWindowResized(*this, *grid);
  }
};

}  // namespace

class TestWindowLayout : public QObject {
  Q_OBJECT

 private slots:
  void gridFollowsTheWindow() {
    ResizingWindow window;
    window.resize(800, 500);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(window.grid->size(), QSize(800, 385));

    window.resize(1024, 768);
    QTRY_COMPARE(window.size(), QSize(1024, 768));
    QTRY_COMPARE(window.grid->size(), QSize(1024, 653));
    QCOMPARE(window.grid->pos(), QPoint(0, 115));
    QCOMPARE(window.button->geometry(), QRect(766, 8, 20, 20));

    // Below the minimum: the window's own minimum size holds it at 800 x 500.
    window.resize(600, 400);
    QTRY_COMPARE(window.size(), QSize(800, 500));
    QTRY_COMPARE(window.grid->size(), QSize(800, 385));
    window.resize(700, 900);
    QTRY_COMPARE(window.size(), QSize(800, 900));
    QTRY_COMPARE(window.grid->size(), QSize(800, 785));
    QCOMPARE(window.minimumSize(), QSize(800, 500));
  }
};

QTEST_MAIN(TestWindowLayout)
#include "test_window_layout.moc"
