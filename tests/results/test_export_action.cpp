// The export action on real widgets (offscreen): the save dialog, the
// messages, the progress bar, a refused cell.
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>
#include <QUrl>

#include <filesystem>

#include "platform/toolkit/dialogs.h"
#include "platform/toolkit/message_box.h"
#include "platform/toolkit/progress_bar.h"
#include "platform/toolkit/shell.h"
#include "platform/xl/book.h"
#include "results/ExportAction.h"
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
    ExportAction action({&folderBox, &searchBox, [&]() -> const ResultsGrid* { return &grid; }, &staticXlApi(),
                         {[&](int p) { setProgressPosition(&bar, p); }, [&](int m) { setProgressMaximum(&bar, m); }},
                         nullptr});

    QString proposed, filter, suffix;
    std::optional<QString> choice;
    setSaveFileDialogHookForTesting([&](QFileDialog& dialog) {
      proposed = dialog.selectedFiles().value(0);
      filter = dialog.nameFilters().join(QStringLiteral(";;"));
      suffix = dialog.defaultSuffix();
      return choice;
    });
    QStringList messages;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    setMessageBoxHookForTesting([&](const QMessageBox& box) {
      messages << box.text();
      return box.standardButtons().testFlag(QMessageBox::Yes) ? answer : QMessageBox::Ok;
    });
    QStringList opened;
    setShellOpenHookForTesting([&](const QUrl& url) {
      opened << url.toLocalFile();
      return true;
    });

    // Cancel: no file, no message.
    action.on按钮2Clicked();
    QCOMPARE(proposed, q(dir_.string() + "合同搜索结果.xlsx"));
    QVERIFY(filter.contains(QStringLiteral("*.xlsx")));
    QCOMPARE(suffix, QStringLiteral("xlsx"));
    QVERIFY(messages.isEmpty());
    QVERIFY(!fs::exists(dir_.string() + "合同搜索结果.xlsx"));

    // Saved, Yes: the folder that holds the file opens.
    const std::string target = (dir_ / "出口" / "结果.xlsx").string();
    fs::create_directories(dir_ / "出口");
    choice = q(target);
    action.on按钮2Clicked();
    QCOMPARE(messages, QStringList{QStringLiteral("导出成功！是否打开文件夹？")});
    QCOMPARE(opened.size(), 1);
    QCOMPARE(QDir::cleanPath(opened.front()), q((dir_ / "出口").string()));
    QCOMPARE(action.fileName(), q(target));
    QCOMPARE(progressMaximum(&bar), 2);
    QCOMPARE(progressPosition(&bar), 2);
    xl::Book book;
    QVERIFY(book.load(target));
    QCOMPARE(book.sheets.at(0).name, std::string("搜索结果"));
    QCOMPARE(book.sheets[0].lastRow(), 2);

    // Saved, No: nothing more.
    messages.clear();
    answer = QMessageBox::No;
    action.on按钮2Clicked();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(opened.size(), 1);

    // A folder that does not exist: the failure message, OK only.
    messages.clear();
    choice = q((dir_ / "无" / "x.xlsx").string());
    action.on按钮2Clicked();
    QCOMPARE(messages, QStringList{QStringLiteral("导出失败！")});
    QCOMPARE(opened.size(), 1);
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
    ExportAction action({&folderBox, &searchBox, [&]() -> const ResultsGrid* { return &grid; }, &refusing, {}, nullptr});
    const std::string target = (dir_ / "结果.xlsx").string();
    setSaveFileDialogHookForTesting([&](QFileDialog&) -> std::optional<QString> { return q(target); });
    QStringList messages;
    setMessageBoxHookForTesting([&](const QMessageBox& box) {
      messages << box.text();
      return QMessageBox::Ok;
    });
    action.on按钮2Clicked();
    QVERIFY(writes > 0);
    QCOMPARE(messages, QStringList{QStringLiteral("导出失败！")});
    QVERIFY(!fs::exists(target));
  }
};

QTEST_MAIN(TestExportAction)
#include "test_export_action.moc"
