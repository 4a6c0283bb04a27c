// The export action on real widgets (offscreen): the save dialog, the
// messages, the progress bar, a refused cell.
#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>

#include <filesystem>

#include "platform/toolkit/progress_bar.h"
#include "platform/xl/book.h"
#include "results/ExportAction.h"
#include "tests/scripted_dialogs.h"
#include "tests/ui_test_folder.h"

namespace fs = std::filesystem;

class TestExportAction : public QObject {
  Q_OBJECT

  fs::path dir_;

 private slots:
  void init() { dir_ = freshProgramFolder("export_action"); }
  void cleanup() { resetTestHooks(); }

  void exportAction() {
    ResultsGrid grid;
    grid.insertRow();
    grid.setCellText(1, 0, "/a/一.xlsx");
    grid.setCellText(1, 1, "1 表");
    grid.setCellText(1, 2, "A1");
    QLineEdit folderBox(q(dir_.string()));
    QLineEdit searchBox(QStringLiteral("合同"));
    QProgressBar bar;
    ScriptedDialogs dialogs;
    ExportAction action({&folderBox, &searchBox, [&]() -> const ResultsGrid* { return &grid; }, &staticXlApi(),
                         {[&](int p) { setProgressPosition(&bar, p); }, [&](int m) { setProgressMaximum(&bar, m); }},
                         nullptr, &dialogs});

    std::optional<QString>& choice = dialogs.saveAs;
    QStringList messages;
    int answer = kAnswerYes;
    dialogs.answer = [&](const ScriptedDialogs::Message& m) {
      // The question is Yes/No; the failure is told with OK alone.
      messages << m.text + (m.flags == kMessageBoxYesNo ? QStringLiteral(" [是/否]") : QStringLiteral(" [确定]"));
      return m.flags == kMessageBoxYesNo ? answer : kAnswerOk;
    };
    auto opened = [&] { return dialogs.openedPaths(); };

    // Cancel: no file, no message.
    action.on按钮2Clicked();
    QCOMPARE(dialogs.saveRequests.size(), 1);
    QCOMPARE(dialogs.saveRequests[0].fileName, q(dir_.string() + "合同搜索结果.xlsx"));
    QCOMPARE(dialogs.saveRequests[0].filter, QStringLiteral("表格文件（*.xlsx）|*.xlsx"));
    QCOMPARE(dialogs.saveRequests[0].defaultExtension, QStringLiteral("*.xlsx"));
    QVERIFY(messages.isEmpty());
    QVERIFY(!fs::exists(dir_.string() + "合同搜索结果.xlsx"));

    // Saved, Yes: the folder that holds the file opens.
    const std::string target = (dir_ / "出口" / "结果.xlsx").string();
    fs::create_directories(dir_ / "出口");
    choice = q(target);
    action.on按钮2Clicked();
    QCOMPARE(messages, QStringList{QStringLiteral("导出成功！是否打开文件夹？ [是/否]")});
    QCOMPARE(opened().size(), 1);
    QCOMPARE(QDir::cleanPath(opened().front()), q((dir_ / "出口").string()));
    QCOMPARE(action.fileName(), q(target));
    QCOMPARE(progressMaximum(&bar), 2);
    QCOMPARE(progressPosition(&bar), 2);
    xl::Book book;
    QVERIFY(book.load(target));
    QCOMPARE(book.sheets.at(0).name, std::string("搜索结果"));
    QCOMPARE(book.sheets[0].lastRow(), 2);

    // Saved, No: nothing more.
    messages.clear();
    answer = kAnswerNo;
    action.on按钮2Clicked();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(opened().size(), 1);

    // A folder that does not exist: the failure message, OK only.
    messages.clear();
    choice = q((dir_ / "无" / "x.xlsx").string());
    action.on按钮2Clicked();
    QCOMPARE(messages, QStringList{QStringLiteral("导出失败！ [确定]")});
    QCOMPARE(opened().size(), 1);
  }

  void aRefusedCellFailsTheExportAndSavesNothing() {
    ResultsGrid grid;
    for (int r = 1; r <= 3; ++r) {
      grid.insertRow();
      grid.setCellText(r, 0, "/a/" + std::to_string(r) + ".xlsx");
    }
    // The library refuses one cell in the middle (a write it cannot store).
    static int writes;
    writes = 0;
    XlApi refusing = staticXlApi();
    refusing.sheetWriteStr = [](SheetHandle sheet, int row, int col, const char* text, FormatHandle format) {
      if (row == 2 && col == 1) return 0;
      ++writes;
      return staticXlApi().sheetWriteStr(sheet, row, col, text, format);
    };
    QLineEdit folderBox(q(dir_.string())), searchBox(QStringLiteral("x"));
    ScriptedDialogs dialogs;
    ExportAction action({&folderBox, &searchBox, [&]() -> const ResultsGrid* { return &grid; }, &refusing, {}, nullptr,
                         &dialogs});
    const std::string target = (dir_ / "结果.xlsx").string();
    dialogs.saveAs = q(target);
    action.on按钮2Clicked();
    QVERIFY(writes > 0);
    QCOMPARE(dialogs.messageTexts(), QStringList{QStringLiteral("导出失败！")});
    QVERIFY(!fs::exists(target));
  }
};

QTEST_MAIN(TestExportAction)
#include "test_export_action.moc"
