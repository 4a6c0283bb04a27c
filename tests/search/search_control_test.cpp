// The search in the offscreen window, end to end: start from the button and
// from Enter, StopWindow shown and the main window blocked, the inputs
// disabled and enabled again, stop, completion texts, and a close mid-search.
#include <QApplication>
#include <QCloseEvent>
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

#include <sys/resource.h>

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
#include "tests/scripted_dialogs.h"
#include "tests/slow_book.h"
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

  fs::path dir_, data_, slow_;
  std::unique_ptr<ScriptedDialogs> dialogs_;  // outlives the window
  std::unique_ptr<MainWindow> w_;
  SearchControl* control_ = nullptr;
  Gate gate_;

  Ui::MainWindow& f() { return w_->form(); }
  ResultsGrid& grid() { return control_->grid(); }
  QString status() { return statusText(f().状态条1); }
  QList<QWidget*> sevenInputs() {
    return {f().编辑框2, f().隐藏选择框, f().列名选择框, f().按钮1, f().按钮2, f().按钮3, f().目录按钮};
  }
  bool waitFinished(QSignalSpy& spy, int ms = 20000) { return spy.count() > 0 || spy.wait(ms); }
  // Run under a real X server (xvfb-run, QT_QPA_PLATFORM=xcb) with
  // QUORVANE_SCREENSHOT_DIR set, the screen is saved at the moments to look at.
  void screenshot(const char* name) {
    const QByteArray dir = qgetenv("QUORVANE_SCREENSHOT_DIR");
    if (dir.isEmpty()) return;
    QTest::qWait(300);
    QProcess::execute("import", {"-window", "root", QString::fromUtf8(dir) + "/" + name + ".png"});
  }

  // Files that take a second to load: a stop, a close or the window's end
  // during the load cancels it, and the scan drops the file (no failure row).
  void slowBookFolder() {
    static bool written = false;
    slow_ = dir_ / "slow";
    if (!written) {
      fs::create_directories(slow_);
      writeBook(slow_ / "a.xlsx", {{"needle here"}});
      slowbook::writeXlsx((slow_ / "b-slow.xlsx").string(), slowbook::kSlowXlsxRows);
      // A quiet machine reads one slow book faster than the tests wait: more
      // of them keep the search inside a load when the stop or close comes.
      for (const char* name : {"c-slow.xlsx", "d-slow.xlsx", "e-slow.xlsx"})
        fs::create_hard_link(slow_ / "b-slow.xlsx", slow_ / name);
      written = true;
    }
    f().编辑框1->setText(QString::fromStdString(slow_.string()));
    f().编辑框2->setText(QStringLiteral("needle"));
    // Every load is a real one: nothing comes from the cell cache.
    qputenv("QUORVANE_CACHE", "0");
  }
  // The tests that run out of memory on purpose do so in a child process
  // (this program again, running only that test function) whose address
  // space is limited.
  static bool inChild() { return qEnvironmentVariableIsSet("QUORVANE_TEST_CHILD"); }
  void runInChild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    QSKIP("address-space limits do not work under the sanitizers");
#endif
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORVANE_TEST_CHILD", "1");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(QTest::currentTestFunction())});
    const bool ended = child.waitForFinished(180000);
    if (!ended) child.kill();
    const QByteArray out = child.readAll();
    qInfo("%s", out.constData());
    QVERIFY2(ended && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, "the child failed");
  }
  static void limitAddressSpace(rlim_t bytes) {
    qInfo("address space in use: %llu MB, limit %llu MB", (unsigned long long)(addressSpaceInUse() >> 20),
          (unsigned long long)(bytes >> 20));
    struct rlimit lim {bytes, bytes};
    if (::setrlimit(RLIMIT_AS, &lim) != 0) qFatal("setrlimit failed");
  }
  static rlim_t addressSpaceInUse() { return statusValue("VmSize:"); }
  static rlim_t statusValue(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind(key, 0) == 0) return rlim_t(std::stoull(line.substr(key.size()))) << 10;
    return 0;
  }

  // Starts a search and waits while it is held after the first file, a.xlsx
  // (b-slow.xlsx being read ahead meanwhile).
  void startAndHoldAfterTheFirstFile() {
    gate_.holdAfter = 1;
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    QTRY_COMPARE(gate_.filesPassed.load(), 2);
  }

  // Waits until the slow book has been loading for a while.
  void startAndWaitIntoTheLoad() {
    startAndHoldAfterTheFirstFile();
    gate_.open = true;
    QTest::qWait(300);
    QVERIFY(control_->searching());
  }

 private slots:
  void initTestCase() {
    dir_ = fs::path(QUORVANE_TEST_SCRATCH) / (inChild() ? "search-control-child" : "search-control");
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
    dialogs_ = std::make_unique<ScriptedDialogs>();
    w_ = std::make_unique<MainWindow>(*dialogs_);
    QVERIFY(w_->onMainWindowCreated(useStaticLibrary));
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
    control_ = w_->findChild<SearchControl*>();
    QVERIFY(control_);
    control_->setFileHook([this] { gate_.hook(); });
    // The search fills the grid the form's view shows.
    auto* view = qobject_cast<GridView*>(f().高级表格1);
    QVERIFY(view);
    QCOMPARE(&control_->grid(), view->grid());
    f().编辑框1->setText(QString::fromStdString(data_.string()));
  }

  void cleanup() {
    qunsetenv("QUORVANE_CACHE");
    gate_.open = true;
    w_.reset();
    dialogs_.reset();
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
    setProgressMaximum(f().进度条1, 7);  // the last search's full bar
    setProgressPosition(f().进度条1, 7);

    f().编辑框2->setText(QStringLiteral("苹果"));
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    QVERIFY(control_->searching());
    QCOMPARE(status(), QStringLiteral("搜索中..."));
    QCOMPARE(progressPosition(f().进度条1), 0);
    QVERIFY(f().分组框1->isHidden());
    QCOMPARE(stopFlag.load(), 0);
    for (QWidget* input : sevenInputs()) QVERIFY(!input->isEnabled());
    QVERIFY(grid().disabled());
    QCOMPARE(grid().rowCount(), 1);
    QCOMPARE(grid().columnCount(), 3);  // the previous search's columns are gone
    StopWindow* stop = control_->stopWindow();
    QVERIFY(stop && stop->isVisible());
    // The main window takes no input, but is neither disabled (which would
    // grey the status and progress the user watches) nor blocked by a modal
    // window: the window system's close requests must still reach it.
    QVERIFY(w_->isEnabled() && w_->inputBlocked());
    QVERIFY(f().状态条1->isEnabled() && f().进度条1->isEnabled() && f().高级表格1->isEnabled());
    QCOMPARE(QGuiApplication::modalWindow(), nullptr);
    // StopWindow: over the main window, framed, with a caption but no close box.
    QTRY_VERIFY((stop->frameGeometry().center() - w_->frameGeometry().center()).manhattanLength() <= 2);
    QVERIFY(!(stop->windowFlags() & Qt::FramelessWindowHint));
    QVERIFY(stop->windowFlags() & Qt::WindowTitleHint);
    QVERIFY(!(stop->windowFlags() & Qt::WindowCloseButtonHint));
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
    QVERIFY(w_->isEnabled() && !w_->inputBlocked());
    QTest::mouseClick(w_->windowHandle(), Qt::LeftButton, {}, probeAt);
    QCOMPARE(probeClicks.count(), 1);
  }

  // The bar and 搜索中...k/N move when file k's scan begins, not once its
  // rows reach the window: held before the second file, the first shows.
  void progressShowsTheFileWhoseScanBegan() {
    f().编辑框2->setText(QStringLiteral("苹果"));
    gate_.holdAfter = 1;
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    QTRY_COMPARE(gate_.filesPassed.load(), 2);
    QTRY_COMPARE(status(), QStringLiteral("搜索中...1/5"));
    QCOMPARE(progressPosition(f().进度条1), 1);
    QCOMPARE(progressMaximum(f().进度条1), 5);
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    gate_.open = true;
    QVERIFY(waitFinished(finished));
    QCOMPARE(status(), QStringLiteral("搜索完成！"));
    QCOMPARE(progressPosition(f().进度条1), 4);
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
    f().编辑框2->setText(QStringLiteral("苹果"));
    startAndHoldAfterTheFirstFile();
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
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    f().编辑框2->setText(QStringLiteral("苹果"));
    startAndHoldAfterTheFirstFile();
    QPointer<StopWindow> stop = control_->stopWindow();
    QElapsedTimer timer;
    timer.start();
    // The close the window system sends (not the widget's own close()).
    QCloseEvent close;
    QApplication::sendEvent(w_->windowHandle(), &close);
    QVERIFY(timer.elapsed() < 300);  // the UI thread waits for nothing
    QCOMPARE(stopFlag.load(), 1);
    // The window stays until the search has returned, then closes.
    QVERIFY(waitFinished(finished));
    QCOMPARE(status(), QStringLiteral("搜索停止！"));
    QTRY_VERIFY(!w_->isVisible());
    QTRY_VERIFY(stop.isNull());
  }

  void stopDuringASlowLoad() {
    slowBookFolder();
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    startAndWaitIntoTheLoad();
    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(control_->stopWindow()->form().按钮1, Qt::LeftButton);
    QVERIFY(timer.elapsed() < 300);
    QVERIFY(waitFinished(finished));
    qInfo("stop to the end of the search: %lld ms", static_cast<long long>(timer.elapsed()));
    // Far sooner than the second the load would have taken.
    QVERIFY2(timer.elapsed() < 1200, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(status(), QStringLiteral("搜索停止！"));
    QCOMPARE(grid().rowCount(), 2);  // a.xlsx's match; the cancelled load left no failure row
    QCOMPARE(grid().cellText(1, 0), std::string("/a.xlsx"));
  }

  void closeWithStopWindowShownDuringASlowLoad() {
    slowBookFolder();
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    startAndWaitIntoTheLoad();
    QVERIFY(control_->stopWindow() && control_->stopWindow()->isVisible());
    QElapsedTimer timer;
    timer.start();
    QCloseEvent close;
    QApplication::sendEvent(w_->windowHandle(), &close);
    QVERIFY(timer.elapsed() < 300);
    QVERIFY(waitFinished(finished));
    QTRY_VERIFY_WITH_TIMEOUT(!w_->isVisible(), 1000);
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(status(), QStringLiteral("搜索停止！"));
    QCOMPARE(grid().rowCount(), 2);
  }

  void closeWithoutStopWindowDuringASlowLoad() {
    slowBookFolder();
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    startAndWaitIntoTheLoad();
    control_->stopWindow()->hide();  // minimized or hidden by the window manager
    w_->setEnabled(true);
    QVERIFY(!w_->close());  // the search must return first
    QCOMPARE(stopFlag.load(), 1);
    QVERIFY(waitFinished(finished));
    QTRY_VERIFY_WITH_TIMEOUT(!w_->isVisible(), 1000);
    QCOMPARE(status(), QStringLiteral("搜索停止！"));
  }

  void windowDestroyedDuringASlowLoad() {
    slowBookFolder();
    startAndWaitIntoTheLoad();
    QElapsedTimer timer;
    timer.start();
    w_.reset();  // the loaders and the worker are joined, the process goes on
    QVERIFY2(timer.elapsed() < 1200, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(stopFlag.load(), 1);
  }

  // StopWindow closes only through its button or at the end of the search;
  // if it goes any other way, that is a stop.
  void stopWindowRefusesOtherCloses() {
    f().编辑框2->setText(QStringLiteral("苹果"));
    startAndHoldAfterTheFirstFile();
    QPointer<StopWindow> stop = control_->stopWindow();
    QCloseEvent altF4;
    QApplication::sendEvent(stop->windowHandle(), &altF4);
    QVERIFY(!stop.isNull() && stop->isVisible());
    QVERIFY(!stop->close());
    QCOMPARE(stopFlag.load(), 0);
    QVERIFY(control_->searching());
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    delete stop.data();  // torn down all the same
    QCOMPARE(stopFlag.load(), 1);
    QVERIFY(w_->isEnabled());
    gate_.open = true;
    QVERIFY(waitFinished(finished));
    QCOMPARE(status(), QStringLiteral("搜索停止！"));
  }

  // A 100 KB file whose 12,000 cells all refer to one 1 MB shared string
  // fills the grid in a window that has less than a gigabyte to spare: each
  // row holds the whole text, the grid holds it once and shows 32,767
  // characters of it.
  void amplifiedSharedStringFillsTheGridWithinAGigabyte() {
    if (!inChild()) return runInChild();
    const fs::path dir = dir_ / "amplified";
    fs::create_directories(dir);
    slowbook::writeAmplified((dir / "ascii.xlsx").string(), 12'000, 1u << 20);
    slowbook::writeAmplified((dir / "chinese.xlsx").string(), 12'000, 1u << 20, slowbook::Script::Chinese);
    limitAddressSpace(rlim_t(1) << 30);
    qputenv("QUORVANE_CACHE", "0");
    f().编辑框1->setText(QString::fromStdString(dir.string()));
    struct Case {
      const char* text;
      int rows;
      const char* lastBook;
    };
    for (const Case& c : {Case{"放大", 24'000, "/chinese.xlsx"}, Case{"amplify", 12'000, "/ascii.xlsx"},
                          Case{"斑马", 0, ""}}) {
      QSignalSpy finished(control_, &SearchControl::searchFinished);
      f().编辑框2->setText(QString::fromUtf8(c.text));
      QTest::mouseClick(f().按钮1, Qt::LeftButton);
      QVERIFY(waitFinished(finished, 90000));  // gigabytes of text to match on a busy machine
      QVERIFY2(status() == QStringLiteral("搜索完成！"), c.text);
      QCOMPARE(grid().rowCount(), 1 + c.rows);
      if (c.rows) {
        const int last = grid().rowCount() - 1;
        QCOMPARE(grid().cellTextView(last, 0), std::string_view(c.lastBook));
        const std::string_view whole = grid().cellTextView(last, 3);
        QVERIFY(whole.size() >= size_t(1) << 20);
        const std::string_view shown = ResultsGrid::shownPart(whole);
        QCOMPARE(QString::fromUtf8(shown.data(), qsizetype(shown.size())).size(), 32'767);
      }
    }
    qInfo("peak address space %llu MB, peak resident %llu MB", (unsigned long long)(statusValue("VmPeak:") >> 20),
          (unsigned long long)(statusValue("VmHWM:") >> 20));
  }

  // Running out of memory while the grid fills stops the search: what the
  // grid holds stays, the user is told the results are incomplete and the
  // window lives on (and can paint: memory was kept aside for it).
  void gridOutOfMemoryStopsTheSearch() {
    if (!inChild()) return runInChild();
    const fs::path dir = dir_ / "wide";
    fs::create_directories(dir);
    // 12,000 match rows of 50 cells of a 1,000-byte text: 600 MB of grid.
    // Whichever side asks first when memory runs out (the grid applying
    // rows, or the scan writing them) stops the search the same way.
    slowbook::writeAmplified((dir / "wide.xlsx").string(), 12'000, 1000, slowbook::Script::MostlyAscii, 50);
    limitAddressSpace(addressSpaceInUse() + (rlim_t(300) << 20));
    qputenv("QUORVANE_CACHE", "0");
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    f().编辑框1->setText(QString::fromStdString(dir.string()));
    f().编辑框2->setText(QStringLiteral("amplify"));
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    QVERIFY(waitFinished(finished, 90000));  // gigabytes of text to match on a busy machine
    QCOMPARE(status(), QStringLiteral("搜索停止！"));
    QTRY_COMPARE(dialogs_->messageTexts(), QStringList{QStringLiteral("内存不足，搜索已停止，结果不完整。")});
    QVERIFY(grid().rowCount() > 1 && grid().rowCount() < 12'001);
    QVERIFY(w_->isVisible() && w_->isEnabled() && !grid().disabled());
    QTRY_VERIFY(!control_->stopWindow());
    // The window goes on working: a search after it is a whole one.
    QSignalSpy again(control_, &SearchControl::searchFinished);
    f().编辑框2->setText(QStringLiteral("斑马"));
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    QVERIFY(waitFinished(again, 90000));
    QCOMPARE(status(), QStringLiteral("搜索完成！"));
  }

  // A stop pressed after the worker has finished but before the window has
  // applied its last rows: the status says stopped, every row found stays.
  void stopWhileTheLastRowsAreAppliedIsAStop() {
    QSignalSpy finished(control_, &SearchControl::searchFinished);
    f().编辑框2->setText(QStringLiteral("苹果"));
    QTest::mouseClick(f().按钮1, Qt::LeftButton);
    // No events are processed here: the worker runs to its end (the count
    // and four files pass the hook), its rows wait for the window.
    for (int i = 0; i < 10000 && gate_.filesPassed.load() < 5; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    QCOMPARE(gate_.filesPassed.load(), 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    QCOMPARE(grid().rowCount(), 1);  // nothing applied yet
    stopFlag = 1;
    QVERIFY(waitFinished(finished));
    QCOMPARE(status(), QStringLiteral("搜索停止！"));
    QCOMPARE(grid().rowCount(), 5);
  }
};

QTEST_MAIN(TestSearchControl)
#include "search_control_test.moc"
