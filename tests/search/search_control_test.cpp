// The search in the offscreen window, end to end: start from the button and
// from Enter, StopWindow shown and the main window blocked, the inputs
// disabled and enabled again, stop, completion texts, and a close mid-search.
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <xlsxwriter.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/MainWindow.h"
#include "app/StopWindow.h"
#include "app/row_colours.h"
#include "app/settings.h"
#include "platform/toolkit/progress_bar.h"
#include "results/GridView.h"
#include "search/SearchControl.h"
#include "search/stop_flag.h"
#include "ui_MainWindow.h"
#include "ui_StopWindow.h"

namespace fs = std::filesystem;

namespace {
bool useStaticLibrary(XlApi& api, LibraryFailure&) {
  api = staticXlApi();
  return true;
}

void writeBook(const fs::path& path, const std::vector<std::vector<const char*>>& rows) {
  lxw_workbook* wb = workbook_new(path.c_str());
  lxw_worksheet* ws = workbook_add_worksheet(wb, "表1");
  for (size_t r = 0; r < rows.size(); ++r)
    for (size_t c = 0; c < rows[r].size(); ++c)
      worksheet_write_string(ws, lxw_row_t(r), lxw_col_t(c), rows[r][c], nullptr);
  workbook_close(wb);
}

// Holds the worker after a file until the test lets it go or a stop comes.
struct Gate {
  std::atomic<int> filesPassed{0};
  std::atomic<int> holdAfter{-1};  // hold once this many hook calls went by
  std::atomic<bool> open{false};
  void hook() {
    int n = filesPassed.fetch_add(1);
    if (n != holdAfter.load()) return;
    for (int i = 0; i < 10000 && !open.load() && stopFlag.load() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};
}  // namespace

class TestSearchControl : public QObject {
  Q_OBJECT

  fs::path dir_, data_;
  std::unique_ptr<MainWindow> w_;
  SearchControl* control_ = nullptr;
  Gate gate_;

  Ui::MainWindow& f() { return w_->form(); }
  ResultsGrid& grid() { return control_->grid(); }
  QString status() { return statusText(f().状态条1); }
  QList<QWidget*> sevenInputs() {
    return {f().编辑框2, f().隐藏选择框, f().列名选择框, f().按钮1, f().按钮2, f().按钮3, f().目录按钮};
  }
  bool waitFinished(QSignalSpy& spy) { return spy.count() > 0 || spy.wait(20000); }
  // Run under a real X server (xvfb-run, QT_QPA_PLATFORM=xcb) with
  // QUORVANE_SCREENSHOT_DIR set, the screen is saved at the moments to look at.
  void screenshot(const char* name) {
    const QByteArray dir = qgetenv("QUORVANE_SCREENSHOT_DIR");
    if (dir.isEmpty()) return;
    QTest::qWait(300);
    QProcess::execute("import", {"-window", "root", QString::fromUtf8(dir) + "/" + name + ".png"});
  }

 private slots:
  void initTestCase() {
    dir_ = fs::path(QUORVANE_TEST_SCRATCH) / "search-control";
    fs::remove_all(dir_);
    data_ = dir_ / "data";
    fs::create_directories(data_ / "sub");
    fs::create_directories(data_ / ".old");
    writeBook(data_ / "a.xlsx", {{"名称", "数量"}, {"苹果", "1"}, {"梨", "2"}});
    writeBook(data_ / "b.xlsx", {{"苹果汁"}});
    writeBook(data_ / "sub" / "c.xlsx", {{"x"}, {"青苹果", "y"}});
    writeBook(data_ / ".old" / "d.xlsx", {{"苹果"}});
    std::ofstream(data_ / "broken.xls") << "no workbook";
  }

  void init() {
    setProgramDirectoryForTesting(dir_.string());
    gate_.filesPassed = 0;
    gate_.holdAfter = -1;
    gate_.open = false;
    SearchControl::setFileHookForTesting([this] { gate_.hook(); });
    w_ = std::make_unique<MainWindow>();
    QVERIFY(w_->onMainWindowCreated(useStaticLibrary));
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
    control_ = w_->findChild<SearchControl*>();
    QVERIFY(control_);
    // The search fills the grid the form's view shows.
    auto* view = qobject_cast<GridView*>(f().高级表格1);
    QVERIFY(view);
    QCOMPARE(&control_->grid(), view->grid());
    f().编辑框1->setText(QString::fromStdString(data_.string()));
  }

  void cleanup() {
    gate_.open = true;
    w_.reset();
    SearchControl::setFileHookForTesting(nullptr);
    setProgramDirectoryForTesting(std::nullopt);
  }

  void emptySearchTextDoesNothing() {
    grid().insertRow();
    grid().setCellText(1, 0, "earlier");
    setStatusText(f().状态条1, QStringLiteral("before"));
    f().编辑框2->clear();
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    QTest::keyClick(f().编辑框2, Qt::Key_Return);
    QCOMPARE(status(), QStringLiteral("before"));
    QCOMPARE(grid().rowCount(), 2);
    QVERIFY(!control_->stopWindow());
    QVERIFY(!control_->searching());
    for (QWidget* input : sevenInputs()) QVERIFY(input->isEnabled());
  }

  void searchFromTheButtonBlocksTheWindowUntilDone() {
    grid().insertColumn("old");
    f().分组框1->show();
    auto* probe = new QPushButton(QStringLiteral("probe"), f().centralwidget);
    probe->setGeometry(700, 20, 60, 20);
    probe->show();
    QSignalSpy probeClicks(probe, &QPushButton::clicked);
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    gate_.holdAfter = 0;  // hold after the count, so the window is seen mid-search

    f().编辑框2->setText(QStringLiteral("苹果"));
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    QVERIFY(control_->searching());
    QCOMPARE(status(), QStringLiteral("搜索中..."));
    QVERIFY(f().分组框1->isHidden());
    QCOMPARE(stopFlag.load(), 0);
    for (QWidget* input : sevenInputs()) QVERIFY(!input->isEnabled());
    QVERIFY(grid().disabled());
    QCOMPARE(grid().rowCount(), 1);
    QCOMPARE(grid().columnCount(), 3);  // the previous search's columns are gone
    StopWindow* stop = control_->stopWindow();
    QVERIFY(stop && stop->isVisible());
    QCOMPARE(QApplication::activeModalWidget(), stop);
    screenshot("searching");
    // The main window takes no input: a click as the window system delivers it.
    const QPoint probeAt = probe->mapTo(w_.get(), probe->rect().center());
    QTest::mouseClick(w_->windowHandle(), Qt::LeftButton, {}, probeAt);
    QCOMPARE(probeClicks.count(), 0);

    gate_.open = true;
    QVERIFY(waitFinished(finished));
    QCOMPARE(status(), QStringLiteral("搜索完成！"));
    QCOMPARE(stopFlag.load(), 1);
    for (QWidget* input : sevenInputs()) QVERIFY(input->isEnabled());
    QVERIFY(!grid().disabled());
    QTRY_VERIFY(!control_->stopWindow());
    // Five files counted (one in .old), four visited: a, b, broken, sub/c.
    QCOMPARE(progressMaximum(f().进度条1), 5);
    QCOMPARE(progressPosition(f().进度条1), 4);
    QCOMPARE(grid().rowCount(), 5);
    QCOMPARE(grid().cellText(1, 0), std::string("/a.xlsx"));
    QCOMPARE(grid().cellText(1, 2), std::string("A2"));
    QCOMPARE(grid().cellText(2, 0), std::string("/b.xlsx"));
    QCOMPARE(grid().cellText(3, 0), std::string("/broken.xls"));
    QCOMPARE(grid().cellText(3, 1), std::string("打开失败"));
    QCOMPARE(grid().cellText(4, 0), std::string("/sub/c.xlsx"));
    QCOMPARE(grid().cellText(4, 3), std::string("青苹果"));
    screenshot("done");
    QTest::mouseClick(w_->windowHandle(), Qt::LeftButton, {}, probeAt);
    QCOMPARE(probeClicks.count(), 1);
  }

  void enterReleasedInTheSearchBoxStartsWithTitles() {
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    f().列名选择框->setChecked(true);
    f().编辑框2->setText(QStringLiteral("苹果"));
    QTest::keyPress(f().编辑框2, Qt::Key_Home);
    QTest::keyRelease(f().编辑框2, Qt::Key_Home);
    QVERIFY(!control_->searching());  // other keys are the box's own
    QTest::keyPress(f().编辑框2, Qt::Key_Return);
    QVERIFY(!control_->searching());  // the search starts when the key goes up
    QTest::keyRelease(f().编辑框2, Qt::Key_Return);
    QVERIFY(control_->searching());
    QVERIFY(waitFinished(finished));
    QCOMPARE(status(), QStringLiteral("搜索完成！"));
    QCOMPARE(grid().cellText(1, 2), std::string("列标题"));
    QCOMPARE(grid().cellText(1, 3), std::string("名称"));
    QCOMPARE(grid().cellColour(1, 0), std::optional<Colour>(titleColour));
    QCOMPARE(grid().cellText(2, 2), std::string("A2"));
    screenshot("titles");
  }

  void stopButtonStopsAndKeepsWhatWasFound() {
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    gate_.holdAfter = 1;  // after the first file, a.xlsx
    f().编辑框2->setText(QStringLiteral("苹果"));
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    QTRY_COMPARE(gate_.filesPassed.load(), 2);
    StopWindow* stop = control_->stopWindow();
    QVERIFY(stop);
    QCOMPARE(stop->form().按钮1->text(), QStringLiteral("点击停止搜索"));
    QTest::mouseClick(stop->form().按钮1, Qt::LeftButton);
    QCOMPARE(stopFlag.load(), 1);
    QVERIFY(waitFinished(finished));
    QCOMPARE(status(), QStringLiteral("搜索停止！"));
    QCOMPARE(grid().rowCount(), 2);  // a.xlsx's row stays, nothing after it
    QCOMPARE(grid().cellText(1, 0), std::string("/a.xlsx"));
    QCOMPARE(progressPosition(f().进度条1), 4);  // skipped files still advance
    for (QWidget* input : sevenInputs()) QVERIFY(input->isEnabled());
    QVERIFY(!grid().disabled());
    QTRY_VERIFY(!control_->stopWindow());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
  }

  void closingTheWindowMidSearchEndsPromptly() {
    gate_.holdAfter = 1;
    f().编辑框2->setText(QStringLiteral("苹果"));
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    QTRY_COMPARE(gate_.filesPassed.load(), 2);
    QPointer<StopWindow> stop = control_->stopWindow();
    QElapsedTimer timer;
    timer.start();
    w_->close();
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(stopFlag.load(), 1);
    QVERIFY(!control_->searching());
    QTRY_VERIFY(stop.isNull() || !stop->isVisible());
  }
};

QTEST_MAIN(TestSearchControl)
#include "search_control_test.moc"
