// Opening a result for real: LibreOffice Calc started headless through our
// helper, then asked over UNO which sheet is active and which cell selected.
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <unistd.h>

#include <filesystem>

#include "app/settings.h"
#include "platform/xl/xlapi.h"
#include "results/OpenResult.h"
#include "tests/scripted_dialogs.h"

namespace fs = std::filesystem;

class TestCalcIntegration : public QObject {
  Q_OBJECT

  fs::path dir_;
  QString helper_;
  QString pipe_;
  QString workbook_;

  // sheet position, sheet name, selection, visible — as the helper reports them.
  QStringList query() {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), {helper_, QStringLiteral("query"), QStringLiteral("--"), workbook_});
    if (!p.waitForFinished(30000)) return {QStringLiteral("timeout")};
    if (p.exitCode() != 0) return {QStringLiteral("exit %1").arg(p.exitCode())};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed().split(QLatin1Char('\t'));
  }

  // Runs the "打开文件" command on grid row `row` and waits for the helper.
  int openRow(OpenResult& open, ResultsGrid& grid, int row) {
    grid.setCurrentCell(row, 1);
    int code = -100;
    open.setLaunch([&](const std::vector<std::string>& args, std::function<void(int)> done) {
      OpenResult::runHelper(args, [&code, done](int c) {
        code = c;
        done(c);
      });
    });
    open.openResultWorkbook();
    QElapsedTimer t;
    t.start();
    // The helper gives up after 90 s of waiting for a first start.
    while (code == -100 && t.elapsed() < 120000) QTest::qWait(50);
    return code;
  }

 private slots:
  void initTestCase() {
    if (QStandardPaths::findExecutable(QStringLiteral("soffice")).isEmpty())
      QSKIP("LibreOffice (soffice) is not installed: install libreoffice-calc to run this test");
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral("import uno")}) != 0)
      QSKIP("python3-uno is not installed: install it to run this test");
    helper_ = QStringLiteral(QUORVANE_SOURCE_DIR "/platform/uno/quorvane_calc.py");
    dir_ = fs::path(QUORVANE_TEST_SCRATCH) / "calc_integration";
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "报表");
    // A private office for the test: its own pipe and profile, no window.
    pipe_ = QStringLiteral("quorvane-test-%1").arg(::getpid());
    qputenv("QUORVANE_CALC_PIPE", pipe_.toUtf8());
    qputenv("QUORVANE_CALC_HEADLESS", "1");
    qputenv("QUORVANE_CALC_PROFILE", QByteArray::fromStdString((dir_ / "profile").string()));

    // Three sheets, written by our own library.
    const XlApi& xl = staticXlApi();
    BookHandle book = xl.createXMLBook();
    int index = 0;
    for (const char* name : {"汇总", "明细", "备注"}) {
      SheetHandle s = xl.bookInsertSheet(book, index++, name, nullptr);
      xl.sheetWriteStr(s, 0, 0, name, nullptr);
      xl.sheetWriteStr(s, 11, 1, "合同", nullptr);
    }
    workbook_ = QString::fromStdString((dir_ / "报表" / "一月 数据.xlsx").string());
    QCOMPARE(xl.bookSave(book, workbook_.toStdString().c_str()), 1);
    xl.bookRelease(book);
  }

  void cleanupTestCase() {
    if (helper_.isEmpty()) return;
    QProcess::execute(QStringLiteral("/usr/bin/python3"), {helper_, QStringLiteral("quit")});
  }

  void opensTheRowsSheetAndCell() {
    ResultsGrid grid;
    for (int i = 0; i < 3; ++i) grid.insertRow();
    auto row = [&](int r, const char* c0, const char* c1, const char* c2) {
      grid.setCellText(r, 0, c0);
      grid.setCellText(r, 1, c1);
      grid.setCellText(r, 2, c2);
    };
    row(1, "/报表/一月 数据.xlsx", "2 明细", "B12");
    row(2, "/报表/一月 数据.xlsx", "3 备注", "列标题");
    row(3, "/报表/一月 数据.xlsx", "打开失败", "文件已损坏");
    QLineEdit folderBox(QString::fromStdString(dir_.string()));
    QMenu menu;
    ScriptedDialogs dialogs;
    OpenResult open(dialogs, [&] { return &grid; }, &folderBox, &menu, nullptr, nullptr);
    open.setHelperDirectory((dir_ / "no-helper-here").string());  // the source tree's helper

    // A match row: the second sheet active, B12 selected, the window shown.
    QCOMPARE(openRow(open, grid, 1), 0);
    QCOMPARE(query(), (QStringList{"2", "明细", "B12", "1"}));

    // A title row: its sheet comes forward; "列标题" selects nothing.
    QCOMPARE(openRow(open, grid, 2), 0);
    const QStringList title = query();
    QCOMPARE(title.value(0), QStringLiteral("3"));
    QCOMPARE(title.value(1), QStringLiteral("备注"));
    QVERIFY(title.value(2) != QStringLiteral("B12"));

    // A failure row: sheet 0 and an error text change nothing.
    QCOMPARE(openRow(open, grid, 3), 0);
    QCOMPARE(query(), title);
    QVERIFY(dialogs.messages.isEmpty());
  }
};

QTEST_MAIN(TestCalcIntegration)
#include "test_calc_integration.moc"
