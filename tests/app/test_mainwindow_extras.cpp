// The folder input, the colour panel and the resize rule on the real main
// window, as the program wires them.
#include <QApplication>
#include <QDropEvent>
#include <QGroupBox>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <memory>

#include "app/FileDropHook.h"
#include "app/MainWindow.h"
#include "app/row_colours.h"
#include "app/settings.h"
#include "platform/toolkit/ColourPicker.h"
#include "platform/xl/book.h"
#include "results/GridView.h"
#include "tests/scripted_dialogs.h"
#include "tests/static_library.h"
#include "tests/ui_test_folder.h"
#include "ui_MainWindow.h"

namespace fs = std::filesystem;

class TestMainWindowExtras : public QObject {
  Q_OBJECT

  fs::path dir_;
  std::unique_ptr<ScriptedDialogs> dialogs_;
  std::string ini() const { return (dir_ / "配置.ini").string(); }

 private slots:
  void init() {
    dir_ = freshProgramFolder("mainwindow_extras");
    dialogs_ = std::make_unique<ScriptedDialogs>();
    titleColour = kDefaultTitleColour;
    failureColour = kDefaultFailureColour;
  }
  void cleanup() { resetTestHooks(); }

  void fileMenuThroughGridClicks() {
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    w.form().编辑框1->setText(QStringLiteral("/数据"));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* view = qobject_cast<GridView*>(w.form().高级表格1);
    QVERIFY(view != nullptr);
    ResultsGrid& grid = *view->grid();
    for (int r = 1; r <= 2; ++r) {
      grid.insertRow();
      grid.setCellText(r, 0, r == 1 ? "/2023/一月.xlsx" : "/2024/二月.xlsx");
      grid.setCellText(r, 1, "1 表");
      grid.setCellText(r, 2, "C7");
    }
    QApplication::processEvents();

    QAction* choose = nullptr;
    dialogs_->menuChoice = [&](QMenu& menu) { return &menu == w.fileMenu() ? choose : nullptr; };
    auto popups = [&] { return dialogs_->menuPositions.size(); };
    // Grid row 0 is the view's header, so grid row r is model row r - 1.
    auto click = [&](int row, int col) {
      const QRect rect = view->visualRect(view->model()->index(row - 1, col));
      QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
      QApplication::processEvents();
    };
    auto selectedRow = [&]() -> int {
      auto s = grid.selection();
      if (!s || s->firstRow != s->lastRow || s->firstCol != 0 || s->lastCol != grid.columnCount() - 1) return -1;
      return s->firstRow;
    };

    click(1, 2);  // column 2: the row, no menu
    QCOMPARE(popups(), 0);
    QCOMPARE(selectedRow(), 1);
    click(2, 0);  // column 0: the menu
    QCOMPARE(popups(), 1);
    QCOMPARE(selectedRow(), 2);
    click(2, 0);  // the same cell again: it did not move, no menu
    QCOMPARE(popups(), 1);
    choose = w.form().打开文件夹;
    click(1, 1);  // column 1: the menu; 打开文件夹 on that row
    QCOMPARE(popups(), 2);
    QCOMPARE(dialogs_->openedPaths(), QStringList{QStringLiteral("/数据/2023/")});
  }

  void exportThroughTheButton() {
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    w.form().编辑框1->setText(QString::fromStdString(dir_.string()));
    w.form().编辑框2->setText(QStringLiteral("abc"));
    w.show();
    auto* view = qobject_cast<GridView*>(w.form().高级表格1);
    QVERIFY(view != nullptr);
    view->grid()->insertRow();
    view->grid()->setCellText(1, 0, "/x.xlsx");

    const std::string target = (dir_ / "导出.xlsx").string();
    dialogs_->saveAs = QString::fromStdString(target);
    dialogs_->answer = [](const ScriptedDialogs::Message&) { return kAnswerNo; };
    QTest::mouseClick(w.form().按钮2, Qt::LeftButton);
    QCOMPARE(dialogs_->saveRequests.size(), 1);
    QCOMPARE(dialogs_->saveRequests[0].fileName, QString::fromStdString(dir_.string() + "abc搜索结果.xlsx"));
    QCOMPARE(dialogs_->messageTexts(), QStringList{QStringLiteral("导出成功！是否打开文件夹？")});
    QVERIFY(dialogs_->opened.isEmpty());
    xl::Book book;
    QVERIFY(book.load(target));
    const xl::CellRef* cell = book.sheets.at(0).find(1, 0);
    QVERIFY(cell != nullptr);
    QCOMPARE(std::string(book.text(*cell)), std::string("/x.xlsx"));
  }

  void dropOnTheWindowSetsTheFolder() {
    FileDropHook hook;
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary, &hook));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(hook.attached());

    fs::create_directories(dir_ / "报表");
    const std::string file = (dir_ / "报表" / "一月.xls").string();
    std::ofstream(file) << "x";
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(file))});
    // Over the results grid, which takes no drops itself: Qt hands the drag
    // to the nearest ancestor that does, the window.
    QWidget* under = w.childAt(QPoint(50, 200));
    QVERIFY(under != nullptr);
    while (under != nullptr && !under->acceptDrops()) under = under->parentWidget();
    QCOMPARE(under, static_cast<QWidget*>(&w));
    const QPoint at(50, 200);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &drop);
    QVERIFY(drop.isAccepted());
    const std::string folder = (dir_ / "报表").string() + "/";
    QCOMPARE(w.form().编辑框1->text(), QString::fromStdString(folder));
    QCOMPARE(readProfileString(ini(), "目录", "目录", ""), folder);
    hook.detach();
  }

  void colourButtonsOnTheForm() {
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Ui::MainWindow& f = w.form();
    QVERIFY(!f.分组框1->isVisible());

    QTest::mouseClick(f.按钮3, Qt::LeftButton);
    QVERIFY(f.分组框1->isVisible());
    QCOMPARE(f.颜色选择器1->colour(), kDefaultTitleColour);
    QCOMPARE(f.颜色选择器2->colour(), kDefaultFailureColour);

    dialogs_->colourChoice = [](uint32_t) -> std::optional<uint32_t> { return 0x0000FF; };
    QTest::mouseClick(f.颜色选择器1, Qt::LeftButton);
    QTest::mouseClick(f.按钮5, Qt::LeftButton);  // cancel
    QVERIFY(!f.分组框1->isVisible());
    QCOMPARE(titleColour, kDefaultTitleColour);
    QVERIFY(!fs::exists(ini()));

    QTest::mouseClick(f.按钮3, Qt::LeftButton);
    QCOMPARE(f.颜色选择器1->colour(), kDefaultTitleColour);  // the stored colour again
    QTest::mouseClick(f.颜色选择器1, Qt::LeftButton);
    QTest::mouseClick(f.按钮4, Qt::LeftButton);  // save
    QVERIFY(!f.分组框1->isVisible());
    QCOMPARE(titleColour, 0x0000FFu);
    QCOMPARE(failureColour, kDefaultFailureColour);
    QCOMPARE(readProfileString(ini(), "颜色", "标题", ""), std::string("255"));
    QCOMPARE(readProfileString(ini(), "颜色", "失败", ""), std::string("12615935"));
    QCOMPARE(dialogs_->colourOffers, (QList<uint32_t>{kDefaultTitleColour, kDefaultTitleColour}));
  }

  void folderButtonOnTheForm() {
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    fs::create_directories(dir_ / "报表");
    dialogs_->folderChoice = QString::fromStdString((dir_ / "报表").string());
    QTest::mouseClick(w.form().目录按钮, Qt::LeftButton);
    QCOMPARE(dialogs_->folderDialogs, 1);
    QCOMPARE(w.form().编辑框1->text(), dialogs_->folderChoice);
    QCOMPARE(readProfileString(ini(), "目录", "目录", ""), (dir_ / "报表").string());
  }

  void gridFollowsTheMainWindow() {
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget* grid = w.form().高级表格1;
    QWidget* client = w.centralWidget();
    const QRect button = w.form().按钮3->geometry();
    QTRY_COMPARE(grid->geometry(), QRect(0, 115, 800, 385));

    // At every size the grid ends where the client area ends, right and bottom.
    for (const QSize size : {QSize(1024, 768), QSize(801, 501), QSize(1280, 720), QSize(800, 500)}) {
      w.resize(size);
      QTRY_COMPARE(w.size(), size);
      QTRY_COMPARE(grid->geometry(), QRect(0, 115, size.width(), size.height() - 115));
      QCOMPARE(client->geometry(), QRect(QPoint(0, 0), size));
      QCOMPARE(w.form().按钮3->geometry(), button);
      QCOMPARE(w.form().分组框1->geometry(), QRect(272, 144, 176, 120));
    }

    w.resize(640, 300);
    QTRY_COMPARE(w.size(), QSize(800, 500));
    QTRY_COMPARE(grid->geometry(), QRect(0, 115, 800, 385));
    QCOMPARE(w.minimumSize(), QSize(800, 500));
  }
};

QTEST_MAIN(TestMainWindowExtras)
#include "test_mainwindow_extras.moc"
