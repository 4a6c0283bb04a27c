// The toolkit layer: progress-bar storage, message-box answers, the save
// dialog's set-up, the pop-up menu, topmost windows, shell opening and the
// colour picker.
#include <QAction>
#include <QCursor>
#include <QFileDialog>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

#include "platform/toolkit/ColourPicker.h"
#include "platform/toolkit/dialogs.h"
#include "platform/toolkit/message_box.h"
#include "platform/toolkit/progress_bar.h"
#include "platform/toolkit/shell.h"
#include "platform/toolkit/window_ops.h"

class TestToolkit : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() {
    setMessageBoxHookForTesting(nullptr);
    setSaveFileDialogHookForTesting(nullptr);
    setPopupMenuHookForTesting(nullptr);
    setShellOpenHookForTesting(nullptr);
    ColourPicker::setDialogHookForTesting(nullptr);
  }

  void progressValuesAreStoredClamped() {
    QProgressBar bar;
    setProgressMaximum(&bar, 40000);
    QCOMPARE(progressMaximum(&bar), 32767);
    setProgressPosition(&bar, -5);
    QCOMPARE(progressPosition(&bar), 0);
    setProgressMaximum(&bar, -1);
    QCOMPARE(progressMaximum(&bar), 0);

    // A position beyond the maximum is kept as written but drawn clipped,
    // and shows fully once the maximum grows.
    setProgressMaximum(&bar, 20);
    setProgressPosition(&bar, 50);
    QCOMPARE(progressPosition(&bar), 50);
    QCOMPARE(bar.value(), 20);
    setProgressMaximum(&bar, 120);
    QCOMPARE(bar.value(), 50);
    setProgressPosition(&bar, 99999);
    QCOMPARE(progressPosition(&bar), 32767);
    QCOMPARE(bar.value(), 120);
    QCOMPARE(bar.minimum(), 0);

    // A zero maximum draws an empty bar, not the busy animation of 0..0.
    setProgressMaximum(&bar, 0);
    setProgressPosition(&bar, 0);
    QVERIFY(bar.maximum() > bar.minimum());
    QCOMPARE(bar.value(), 0);
  }

  void statusTextIsThePartText() {
    QStatusBar bar;
    setStatusText(&bar, QStringLiteral("搜索中...3/120"));
    QCOMPARE(statusText(&bar), QStringLiteral("搜索中...3/120"));
    setStatusText(&bar, QString());
    QCOMPARE(statusText(&bar), QString());
  }

  void messageBoxAnswers_data() {
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("press");
    QTest::addColumn<int>("answer");
    QTest::newRow("OK") << 0 << int(QMessageBox::Ok) << 0;
    QTest::newRow("Yes") << 4 << int(QMessageBox::Yes) << 5;
    QTest::newRow("No") << 4 << int(QMessageBox::No) << 6;
    // Escape, or a box closed without a button.
    QTest::newRow("Yes/No dismissed") << 4 << int(QMessageBox::NoButton) << 6;
    QTest::newRow("OK dismissed") << 0 << int(QMessageBox::NoButton) << 0;
  }
  void messageBoxAnswers() {
    QFETCH(int, flags);
    QFETCH(int, press);
    QFETCH(int, answer);
    QString caption, text;
    int buttons = 0;
    QMessageBox::Icon icon = QMessageBox::Critical;
    Qt::WindowModality modality = Qt::NonModal;
    setMessageBoxHookForTesting([&](const QMessageBox& box) {
      caption = box.windowTitle();
      text = box.text();
      buttons = int(box.standardButtons());
      icon = box.icon();
      modality = box.windowModality();
      return QMessageBox::StandardButton(press);
    });
    QCOMPARE(messageBox(QStringLiteral("导出成功！是否打开文件夹？"), flags), answer);
    QCOMPARE(caption, QStringLiteral("信息："));
    QCOMPARE(text, QStringLiteral("导出成功！是否打开文件夹？"));
    QCOMPARE(icon, QMessageBox::NoIcon);
    QCOMPARE(modality, Qt::ApplicationModal);
    QCOMPARE(buttons, flags == 4 ? int(QMessageBox::Yes | QMessageBox::No) : int(QMessageBox::Ok));
  }

  void saveDialogIsSetUpFromTheRequest() {
    QCOMPARE(qtNameFilters(QStringLiteral("表格文件（*.xlsx）|*.xlsx")),
             QStringLiteral("表格文件（*.xlsx） (*.xlsx)"));
    QCOMPARE(qtNameFilters(QStringLiteral("A|*.a;*.b|B|*.c")), QStringLiteral("A (*.a *.b);;B (*.c)"));

    const QString folder = QStringLiteral(QUORVANE_TEST_SCRATCH);
    QFileDialog* seen = nullptr;
    QString suffix, filter;
    QStringList selected;
    bool confirms = false;
    setSaveFileDialogHookForTesting([&](QFileDialog& dialog) -> std::optional<QString> {
      seen = &dialog;
      suffix = dialog.defaultSuffix();
      filter = dialog.nameFilters().join(";;");
      selected = dialog.selectedFiles();
      confirms = dialog.acceptMode() == QFileDialog::AcceptSave &&
                 !dialog.testOption(QFileDialog::DontConfirmOverwrite);
      return folder + QStringLiteral("/结果.xlsx");
    });
    const auto chosen = showSaveFileDialog(
        {QStringLiteral("表格文件（*.xlsx）|*.xlsx"), QStringLiteral("*.xlsx"),
         folder + QStringLiteral("/资料表搜索结果.xlsx")});
    QVERIFY(seen != nullptr);
    QCOMPARE(chosen.value_or(QString()), folder + QStringLiteral("/结果.xlsx"));
    QCOMPARE(suffix, QStringLiteral("xlsx"));
    QCOMPARE(filter, QStringLiteral("表格文件（*.xlsx） (*.xlsx)"));
    QVERIFY(confirms);
    QCOMPARE(selected.value(0), folder + QStringLiteral("/资料表搜索结果.xlsx"));

    setSaveFileDialogHookForTesting([](QFileDialog&) { return std::optional<QString>(); });
    QVERIFY(!showSaveFileDialog({QStringLiteral("A|*.a"), QStringLiteral("*.a"), QString()}));
  }

  void popupMenuAppearsBesideThePointer() {
    QMenu menu;
    QAction* folder = menu.addAction(QStringLiteral("打开文件夹"));
    QAction* file = menu.addAction(QStringLiteral("打开文件"));
    QSignalSpy folderRuns(folder, &QAction::triggered);
    QSignalSpy fileRuns(file, &QAction::triggered);
    QCursor::setPos(QPoint(100, 120));
    QPoint at;
    setPopupMenuHookForTesting([&](QMenu* shown, QPoint position) -> QAction* {
      at = position;
      return shown == &menu ? file : nullptr;
    });
    popupMenu(&menu);
    QCOMPARE(at, QCursor::pos() + QPoint(3, 3));
    QCOMPARE(fileRuns.count(), 1);
    QCOMPARE(folderRuns.count(), 0);

    setPopupMenuHookForTesting([](QMenu*, QPoint) -> QAction* { return nullptr; });
    popupMenu(&menu);
    QCOMPARE(fileRuns.count() + folderRuns.count(), 1);
  }

  void topmostTogglesWithoutMoving() {
    QWidget window;
    window.resize(300, 200);
    window.move(120, 90);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect before = window.geometry();

    setWindowTopmost(&window, true);
    QVERIFY(window.windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(window.windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    QVERIFY(window.isVisible());
    QCOMPARE(window.geometry(), before);

    setWindowTopmost(&window, false);
    QVERIFY(!(window.windowFlags() & Qt::WindowStaysOnTopHint));
    QVERIFY(!(window.windowHandle()->flags() & Qt::WindowStaysOnTopHint));
    QCOMPARE(window.geometry(), before);

    // A hidden window is shown.
    window.hide();
    setWindowTopmost(&window, false);
    QVERIFY(window.isVisible());
  }

  void shellOpensAbsolutePaths() {
    QStringList opened;
    QList<QUrl> urls;
    setShellOpenHookForTesting([&](const QUrl& url) {
      urls << url;
      opened << url.toLocalFile();
      return true;
    });
    QVERIFY(openWithShell("/tmp/a b/资料"));
    QVERIFY(!openWithShell(""));
    QCOMPARE(opened, QStringList{QStringLiteral("/tmp/a b/资料")});
    // A GBK name ("报表") goes to the desktop byte for byte.
    QVERIFY(openWithShell("/tmp/\xB1\xA8\xB1\xED/"));
    QCOMPARE(urls.last().toEncoded(), QByteArray("file:///tmp/%B1%A8%B1%ED/"));
    QVERIFY(openWithShell("relative/dir"));
    QVERIFY(opened.last().startsWith(QLatin1Char('/')));
    QVERIFY(opened.last().endsWith(QStringLiteral("/relative/dir")));
  }

  void colourPickerKeepsBgrColours() {
    QCOMPARE(colourToQColor(0xC080FF), QColor(255, 128, 192));
    QCOMPARE(qcolorToColour(QColor(128, 128, 128)), 0x808080u);
    QCOMPARE(qcolorToColour(colourToQColor(0x123456)), 0x123456u);

    ColourPicker picker;
    picker.resize(72, 24);
    picker.setColour(0x808080);
    QSignalSpy changes(&picker, &ColourPicker::colourChanged);
    uint32_t offered = 0;
    ColourPicker::setDialogHookForTesting([&](uint32_t current) -> std::optional<uint32_t> {
      offered = current;
      return 0x0000FF;
    });
    QTest::mouseClick(&picker, Qt::LeftButton);
    QCOMPARE(offered, 0x808080u);
    QCOMPARE(picker.colour(), 0x0000FFu);
    QCOMPARE(changes.count(), 1);

    ColourPicker::setDialogHookForTesting([](uint32_t) { return std::optional<uint32_t>(); });
    QTest::mouseClick(&picker, Qt::LeftButton);
    QCOMPARE(picker.colour(), 0x0000FFu);
    QCOMPARE(changes.count(), 1);
    QCOMPARE(picker.property("colour").toUInt(), 0x0000FFu);
  }
};

QTEST_MAIN(TestToolkit)
#include "test_toolkit.moc"
