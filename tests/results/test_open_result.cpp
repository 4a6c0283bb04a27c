// Opening a result from the "文件" menu on real widgets (offscreen): the row
// selection, the folder, the helper's arguments, its failures.
#include <QAction>
#include <QCursor>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include <filesystem>
#include <memory>
#include <optional>

#include "results/OpenResult.h"
#include "tests/scripted_dialogs.h"
#include "tests/ui_test_folder.h"

namespace fs = std::filesystem;

class TestOpenResult : public QObject {
  Q_OBJECT

  fs::path dir_;

 private slots:
  void init() { dir_ = freshProgramFolder("open_result"); }
  void cleanup() { resetTestHooks(); }

  void fileMenuForColumnsZeroAndOne() {
    ResultsGrid grid;
    for (int i = 0; i < 2; ++i) grid.insertRow();
    grid.setCellText(1, 0, "/2023/一月.xlsx");
    grid.setCellText(1, 1, "2 明细");
    grid.setCellText(1, 2, "B12");
    grid.setCellText(2, 0, "/坏.xls");
    grid.setCellText(2, 1, "打开失败");
    grid.setCellText(2, 2, "文件已损坏");
    QLineEdit folderBox(QStringLiteral("/数据"));
    QMenu menu(QStringLiteral("文件"));
    QAction* openFolder = menu.addAction(QStringLiteral("打开文件夹"));
    QAction* openFile = menu.addAction(QStringLiteral("打开文件"));
    ScriptedDialogs dialogs;
    OpenResult open(dialogs, [&] { return &grid; }, &folderBox, &menu, openFolder, openFile);

    QAction* choose = nullptr;
    dialogs.menuChoice = [&](QMenu& m) { return &m == &menu ? choose : nullptr; };
    auto popups = [&] { return dialogs.menuPositions.size(); };
    auto opened = [&] { return dialogs.openedPaths(); };
    std::vector<std::vector<std::string>> launched;
    int exitCode = 0;
    open.setLaunch([&](const std::vector<std::string>& args, std::function<void(int)> done) {
      launched.push_back(args);
      done(exitCode);
    });
    auto messages = [&] { return dialogs.messageTexts(); };

    // Column 2: the row is selected, no menu.
    grid.setCurrentCell(1, 2);
    open.onCurrentCellChanged();
    QCOMPARE(popups(), 0);
    QVERIFY(grid.selection().has_value());
    QCOMPARE(grid.selection()->firstRow, 1);
    QCOMPARE(grid.selection()->lastRow, 1);
    QCOMPARE(grid.selection()->firstCol, 0);
    QCOMPARE(grid.selection()->lastCol, grid.columnCount() - 1);

    // Column 0: the menu at the pointer plus 3; "打开文件夹" opens the folder.
    choose = openFolder;
    grid.setCurrentCell(1, 0);
    open.onCurrentCellChanged();
    QCOMPARE(popups(), 1);
    QCOMPARE(dialogs.menuPositions.last(), QCursor::pos() + QPoint(3, 3));
    QCOMPARE(opened().size(), 1);
    QCOMPARE(opened().front(), QStringLiteral("/数据/2023/"));

    // Column 1, "打开文件": the helper gets the path, the sheet number, the cell.
    choose = openFile;
    grid.setCurrentCell(1, 1);
    open.onCurrentCellChanged();
    QCOMPARE(popups(), 2);
    QCOMPARE(launched.size(), size_t(1));
    const auto& args = launched.front();
    QCOMPARE(args.size(), size_t(6));
    QVERIFY(QString::fromStdString(args[0]).endsWith(QStringLiteral("quorvane_calc.py")));
    QCOMPARE(args[3], std::string("/数据/2023/一月.xlsx"));
    QCOMPARE(args[4], std::string("2"));
    QCOMPARE(args[5], std::string("B12"));
    QVERIFY(messages().isEmpty());

    // Without LibreOffice: the desktop's own program for the workbook.
    exitCode = kCalcExitNoOffice;
    grid.setCurrentCell(2, 0);
    open.onCurrentCellChanged();
    QCOMPARE(launched.size(), size_t(2));
    QCOMPARE(launched.back()[4], std::string("0"));
    QVERIFY(messages().isEmpty());
    QCOMPARE(opened().last(), QStringLiteral("/数据/坏.xls"));
    // Nothing can open it: the message once, not twice.
    dialogs.desktopAnswer = false;
    open.openResultWorkbook();
    QCOMPARE(messages(), QStringList{QStringLiteral("你的计算机上没有 EXCEL 程序")});
    QCOMPARE(dialogs.messages[0].flags, kMessageBoxOk);
    // Another failure of the helper (say, a file it could not load) is quiet.
    exitCode = 5;
    open.openResultWorkbook();
    QCOMPARE(messages().size(), 1);
    // No file browser for 打开文件夹: said, with the folder.
    choose = openFolder;
    grid.setCurrentCell(1, 0);
    open.onCurrentCellChanged();
    QCOMPARE(messages().size(), 2);
    QVERIFY(messages().last().contains(QStringLiteral("/数据/2023/")));
  }

  // A row whose column 0 shows a GBK name decoded opens the file by its
  // bytes; once the user edits the cell, the edited text is the path.
  void aDecodedNameOpensByItsBytes() {
    ResultsGrid grid;
    grid.insertRow();
    grid.setCellText(1, 0, "/报表/一月.xlsx");
    grid.setRowPath(1, "/\xB1\xA8\xB1\xED/\xD2\xBB\xD4\xC2.xlsx");
    grid.setCellText(1, 1, "1 Sheet1");
    grid.setCellText(1, 2, "A1");
    grid.setCurrentCell(1, 0);
    QLineEdit folderBox(QStringLiteral("/数据"));
    ScriptedDialogs dialogs;
    OpenResult open(dialogs, [&] { return &grid; }, &folderBox, nullptr, nullptr, nullptr);
    std::vector<std::string> args;
    open.setLaunch([&](const std::vector<std::string>& a, std::function<void(int)> done) {
      args = a;
      done(kCalcExitNoOffice);
    });
    open.openResultFolder();
    QCOMPARE(dialogs.opened.last().toEncoded(), QByteArray("file:///%E6%95%B0%E6%8D%AE/%B1%A8%B1%ED/"));
    open.openResultWorkbook();
    QCOMPARE(args.at(3), std::string("file:///%E6%95%B0%E6%8D%AE/%B1%A8%B1%ED/%D2%BB%D4%C2.xlsx"));
    QCOMPARE(dialogs.opened.last().toEncoded(), QByteArray("file:///%E6%95%B0%E6%8D%AE/%B1%A8%B1%ED/%D2%BB%D4%C2.xlsx"));
    grid.setCellText(1, 0, "/其他.xlsx");
    open.openResultWorkbook();
    QCOMPARE(args.at(3), std::string("/数据/其他.xlsx"));
  }

  // Moved by the keyboard, the menu appears where the window says (the
  // cell's corner), not at the pointer.
  void keyboardMovesShowTheMenuAtTheAnchor() {
    ResultsGrid grid;
    grid.insertRow();
    grid.setCellText(1, 0, "/一月.xlsx");
    QLineEdit folderBox(QStringLiteral("/数据"));
    QMenu menu(QStringLiteral("文件"));
    ScriptedDialogs dialogs;
    OpenResult open(dialogs, [&] { return &grid; }, &folderBox, &menu, nullptr, nullptr);
    std::optional<QPoint> anchor = QPoint(321, 234);
    open.setKeyboardAnchor([&] { return anchor; });
    grid.setCurrentCell(1, 0);
    open.onCurrentCellChanged();
    QCOMPARE(dialogs.menuPositions.last(), QPoint(321, 234));
    anchor.reset();
    grid.setCurrentCell(1, 1);
    open.onCurrentCellChanged();
    QCOMPARE(dialogs.menuPositions.last(), QCursor::pos() + QPoint(3, 3));
  }

  void aHelperAnsweringAfterTheWindowHasGoneIsNotHeard() {
    ResultsGrid grid;
    grid.insertRow();
    grid.setCellText(1, 0, "/一月.xlsx");
    grid.setCurrentCell(1, 1);
    QLineEdit folderBox(QStringLiteral("/数据"));
    ScriptedDialogs dialogs;
    std::function<void(int)> answerLater;
    auto open = std::make_unique<OpenResult>(dialogs, [&] { return &grid; }, &folderBox, nullptr, nullptr, nullptr);
    open->setLaunch([&](const std::vector<std::string>&, std::function<void(int)> done) { answerLater = done; });
    open->openResultWorkbook();
    QVERIFY(answerLater);
    open.reset();  // the window closed while the office was starting
    answerLater(kCalcExitNoOffice);
    QVERIFY(dialogs.messages.isEmpty());
  }

  void helperThatCannotStartReportsNoCalc() {
    int code = 1;
    bool finished = false;
    // A helper script path that python cannot run: exit code is python's own.
    OpenResult::runHelper({(dir_ / "missing.py").string()}, [&](int c) {
      code = c;
      finished = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(finished, 20000);
    QVERIFY(code != kCalcExitOk);
    QVERIFY(code != kCalcExitNoOffice);
  }
};

QTEST_MAIN(TestOpenResult)
#include "test_open_result.moc"
