// The toolkit layer: progress-bar storage, the desktop's own dialogs as
// they are set up and answered (the folder chooser too), the pop-up menu,
// topmost windows, shell opening and the colour picker.
#include <QAction>
#include <QApplication>
#include <QColorDialog>
#include <QCursor>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QScreen>
#include <QCloseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/toolkit/ColourPicker.h"
#include "platform/toolkit/input_blocker.h"
#include "platform/toolkit/progress_bar.h"
#include "platform/toolkit/shell.h"
#include "platform/toolkit/user_dialogs.h"
#include "platform/toolkit/window_ops.h"
#include "tests/scratch_folder.h"
#include "tests/scripted_dialogs.h"

namespace fs = std::filesystem;

namespace {
// Runs `answer` on the dialog of type T once it is the modal widget shown
// (from inside its own event loop).
template <class T>
void whenShown(std::function<void(T&)> answer) {
  QTimer::singleShot(0, [answer] {
    auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    QVERIFY(dialog != nullptr);
    answer(*dialog);
  });
}
}  // namespace

class TestToolkit : public QObject {
  Q_OBJECT

 private slots:

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
    QStringList buttonTexts;
    int buttons = 0;
    QMessageBox::Icon icon = QMessageBox::Critical;
    Qt::WindowModality modality = Qt::NonModal;
    whenShown<QMessageBox>([&](QMessageBox& box) {
      caption = box.windowTitle();
      text = box.text();
      buttons = int(box.standardButtons());
      for (QAbstractButton* b : box.buttons()) buttonTexts << b->text();
      icon = box.icon();
      modality = box.windowModality();
      if (QAbstractButton* button = box.button(QMessageBox::StandardButton(press))) button->click();
      else box.reject();
    });
    DesktopDialogs dialogs;
    QCOMPARE(dialogs.messageBox(QStringLiteral("导出成功！是否打开文件夹？"), flags), answer);
    QCOMPARE(caption, QStringLiteral("信息："));
    QCOMPARE(text, QStringLiteral("导出成功！是否打开文件夹？"));
    QCOMPARE(icon, QMessageBox::NoIcon);
    QCOMPARE(modality, Qt::ApplicationModal);
    QCOMPARE(buttons, flags == 4 ? int(QMessageBox::Yes | QMessageBox::No) : int(QMessageBox::Ok));
    buttonTexts.sort();
    const QStringList expected = flags == 4 ? QStringList{QStringLiteral("否(&N)"), QStringLiteral("是(&Y)")}
                                            : QStringList{QStringLiteral("确定")};
    QCOMPARE(buttonTexts, expected);
  }

  void saveDialogIsSetUpFromTheRequest() {
    QCOMPARE(qtNameFilters(QStringLiteral("表格文件（*.xlsx）|*.xlsx")),
             QStringLiteral("表格文件（*.xlsx） (*.xlsx)"));
    QCOMPARE(qtNameFilters(QStringLiteral("A|*.a;*.b|B|*.c")), QStringLiteral("A (*.a *.b);;B (*.c)"));

    const QString folder = QStringLiteral(QUORVANE_TEST_SCRATCH);
    QFile::remove(folder + QStringLiteral("/结果.xlsx"));
    bool seen = false;
    QString suffix, filter;
    QStringList selected;
    bool confirms = false;
    whenShown<QFileDialog>([&](QFileDialog& dialog) {
      seen = true;
      suffix = dialog.defaultSuffix();
      filter = dialog.nameFilters().join(";;");
      selected = dialog.selectedFiles();
      confirms = dialog.acceptMode() == QFileDialog::AcceptSave &&
                 !dialog.testOption(QFileDialog::DontConfirmOverwrite);
      // A name without its extension: the dialog adds the default one.
      dialog.selectFile(folder + QStringLiteral("/结果"));
      QMetaObject::invokeMethod(&dialog, "accept");
    });
    DesktopDialogs dialogs;
    const auto chosen = dialogs.saveFileDialog(
        {QStringLiteral("表格文件（*.xlsx）|*.xlsx"), QStringLiteral("*.xlsx"),
         folder + QStringLiteral("/资料表搜索结果.xlsx")}, nullptr);
    QVERIFY(seen);
    QCOMPARE(chosen.value_or(QString()), folder + QStringLiteral("/结果.xlsx"));
    QCOMPARE(suffix, QStringLiteral("xlsx"));
    QCOMPARE(filter, QStringLiteral("表格文件（*.xlsx） (*.xlsx)"));
    QVERIFY(confirms);
    QCOMPARE(selected.value(0), folder + QStringLiteral("/资料表搜索结果.xlsx"));

    whenShown<QFileDialog>([](QFileDialog& dialog) { dialog.reject(); });
    QVERIFY(!dialogs.saveFileDialog({QStringLiteral("A|*.a"), QStringLiteral("*.a"), QString()}, nullptr));
  }

  void popupMenuAppearsBesideThePointer() {
    QMenu menu;
    QAction* folder = menu.addAction(QStringLiteral("打开文件夹"));
    QAction* file = menu.addAction(QStringLiteral("打开文件"));
    QSignalSpy folderRuns(folder, &QAction::triggered);
    QSignalSpy fileRuns(file, &QAction::triggered);
    QCursor::setPos(QPoint(100, 120));
    ScriptedDialogs scripted;
    scripted.menuChoice = [&](QMenu& shown) { return &shown == &menu ? file : nullptr; };
    popupMenu(scripted, &menu);
    QCOMPARE(scripted.menuPositions, QList<QPoint>{QCursor::pos() + QPoint(3, 3)});
    QCOMPARE(fileRuns.count(), 1);
    QCOMPARE(folderRuns.count(), 0);

    // The real menu: at the position asked, the item chosen triggered once
    // and returned; Escape chooses nothing.
    DesktopDialogs dialogs;
    QPoint shownAt;
    auto choose = [&](int key, QAction* item) {
      QTimer::singleShot(0, [&, key, item] {
        auto* shown = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(shown == &menu);
        shownAt = shown->pos();
        if (item) shown->setActiveAction(item);
        QTest::keyClick(shown, Qt::Key(key));
      });
    };
    choose(Qt::Key_Return, folder);
    QCOMPARE(dialogs.popupMenu(menu, QPoint(40, 50)), folder);
    QCOMPARE(shownAt, QPoint(40, 50));
    QCOMPARE(folderRuns.count(), 1);
    choose(Qt::Key_Escape, nullptr);
    QCOMPARE(dialogs.popupMenu(menu, QPoint(40, 50)), nullptr);
    QCOMPARE(fileRuns.count() + folderRuns.count(), 2);
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
    ScriptedDialogs desktop;
    QVERIFY(openWithShell(desktop, "/tmp/a b/资料"));
    QVERIFY(!openWithShell(desktop, ""));
    QCOMPARE(desktop.openedPaths(), QStringList{QStringLiteral("/tmp/a b/资料")});
    // A GBK name ("报表") goes to the desktop byte for byte.
    QVERIFY(openWithShell(desktop, "/tmp/\xB1\xA8\xB1\xED/"));
    QCOMPARE(desktop.opened.last().toEncoded(), QByteArray("file:///tmp/%B1%A8%B1%ED/"));
    QVERIFY(openWithShell(desktop, "relative/dir"));
    QVERIFY(desktop.openedPaths().last().startsWith(QLatin1Char('/')));
    QVERIFY(desktop.openedPaths().last().endsWith(QStringLiteral("/relative/dir")));
    // The desktop's refusal is the caller's answer.
    desktop.desktopAnswer = false;
    std::optional<bool> answer;
    QVERIFY(openWithShell(desktop, "/tmp", [&](bool opened) { answer = opened; }));
    QCOMPARE(answer, std::optional<bool>(false));
  }

  // A desktop without LibreOffice's helpers: a PATH with only stub openers
  // that note their arguments. xdg-open first, `gio open` when it fails, and
  // a failure only when neither opens the file.
  void desktopProgramOpensWithXdgOpenElseGio() {
    const fs::path dir = freshScratchFolder("toolkit", "fake-desktop");
    const fs::path log = dir / "log";
    auto stub = [&](const std::string& name, int exitCode) {
      const fs::path file = dir / name;
      std::ofstream(file) << "#!/bin/sh\necho \"" << name << " $*\" >> '" << log.string() << "'\nexit " << exitCode
                          << "\n";
      fs::permissions(file, fs::perms::owner_all);
    };
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(dir.string()));
    auto open = [&](const std::string& path) -> std::pair<bool, std::string> {
      std::optional<bool> answer;
      fs::remove(log);
      const QUrl url = QUrl::fromEncoded(QByteArray::fromStdString("file://" + path));
      openWithDesktopProgram(url, [&](bool opened) { answer = opened; });
      if (!QTest::qWaitFor([&] { return answer.has_value(); }, 20000)) return {false, "no answer"};
      std::ifstream in(log);
      std::string lines((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      return std::make_pair(*answer, lines);
    };

    auto [none, noneLog] = open("/tmp/a.xlsx");  // nothing on PATH at all
    QVERIFY(!none);
    QCOMPARE(noneLog, std::string());

    stub("xdg-open", 0);
    auto [xdg, xdgLog] = open("/tmp/%B1%A8%B1%ED.xlsx");  // a GBK name, byte for byte
    QVERIFY(xdg);
    QCOMPARE(xdgLog, std::string("xdg-open file:///tmp/%B1%A8%B1%ED.xlsx\n"));

    stub("xdg-open", 3);  // "no method available for opening"
    auto [failed, failedLog] = open("/tmp/a.xlsx");
    QVERIFY(!failed);
    QCOMPARE(failedLog, std::string("xdg-open file:///tmp/a.xlsx\n"));

    stub("gio", 0);
    auto [gio, gioLog] = open("/tmp/a.xlsx");
    QVERIFY(gio);
    QCOMPARE(gioLog, std::string("xdg-open file:///tmp/a.xlsx\ngio open file:///tmp/a.xlsx\n"));
    qputenv("PATH", oldPath);
  }

  // The folder that no program can show is named in the message, readably.
  void folderWithoutAFileBrowserIsSaid() {
    ScriptedDialogs desktop;
    desktop.desktopAnswer = false;
    showFolder(desktop, "/tmp/\xB1\xA8\xB1\xED/");
    QCOMPARE(desktop.messageTexts(),
             QStringList{QStringLiteral("无法打开文件夹：/tmp/报表/\n这台计算机上没有可以打开文件夹的文件管理器。")});
    desktop.desktopAnswer = true;
    showFolder(desktop, "/tmp/");
    QCOMPARE(desktop.messages.size(), 1);
  }

  // While blocked, a window takes no input but is drawn enabled; the window
  // system's close still reaches it.
  void blockedWindowTakesNoInputAndStaysEnabled() {
    QWidget window;
    window.resize(300, 200);
    auto* button = new QPushButton(QStringLiteral("按钮"), &window);
    button->setGeometry(10, 10, 100, 30);
    auto* edit = new QLineEdit(&window);
    edit->setGeometry(10, 50, 100, 30);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy clicks(button, &QPushButton::clicked);
    InputBlocker blocker(&window);
    blocker.setBlocked(true);
    const QPoint at = button->geometry().center();
    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, at);
    edit->setFocus();
    QTest::keyClicks(edit, QStringLiteral("abc"));
    QCOMPARE(clicks.count(), 0);
    QCOMPARE(edit->text(), QString());
    QVERIFY(window.isEnabled() && button->isEnabled() && edit->isEnabled());
    QWidget other;  // another window is not blocked
    auto* otherButton = new QPushButton(&other);
    QSignalSpy otherClicks(otherButton, &QPushButton::clicked);
    QTest::mouseClick(otherButton, Qt::LeftButton);
    QCOMPARE(otherClicks.count(), 1);
    blocker.setBlocked(false);
    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, at);
    QCOMPARE(clicks.count(), 1);
    blocker.setBlocked(true);
    QCloseEvent close;
    QApplication::sendEvent(window.windowHandle(), &close);
    QVERIFY(!window.isVisible());
  }

  void centredOverAnotherWindow() {
    QWidget main;
    main.setGeometry(200, 150, 800, 500);
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    QWidget small(nullptr, Qt::Window);
    small.resize(369, 115);
    centreOver(&small, &main);
    QVERIFY((small.frameGeometry().center() - main.frameGeometry().center()).manhattanLength() <= 2);
    main.hide();  // nothing to centre over: the screen's middle
    centreOver(&small, &main);
    const QRect screen = small.screen()->availableGeometry();
    QVERIFY((small.frameGeometry().center() - screen.center()).manhattanLength() <= 2);
  }

  void colourPickerKeepsBgrColours() {
    QCOMPARE(colourToQColor(0xC080FF), QColor(255, 128, 192));
    QCOMPARE(qcolorToColour(QColor(128, 128, 128)), 0x808080u);
    QCOMPARE(qcolorToColour(colourToQColor(0x123456)), 0x123456u);

    ColourPicker picker;
    picker.resize(72, 24);
    picker.setColour(0x808080);
    QSignalSpy changes(&picker, &ColourPicker::colourChanged);
    ScriptedDialogs scripted;
    picker.setDialogs(scripted);
    scripted.colourChoice = [](uint32_t) -> std::optional<uint32_t> { return 0x0000FF; };
    QTest::mouseClick(&picker, Qt::LeftButton);
    QCOMPARE(scripted.colourOffers, QList<uint32_t>{0x808080u});
    QCOMPARE(picker.colour(), 0x0000FFu);
    QCOMPARE(changes.count(), 1);

    scripted.colourChoice = nullptr;  // cancelled
    QTest::mouseClick(&picker, Qt::LeftButton);
    QCOMPARE(picker.colour(), 0x0000FFu);
    QCOMPARE(changes.count(), 1);
    QCOMPARE(picker.property("colour").toUInt(), 0x0000FFu);
  }

  void colourDialogStartsAtTheColourAndGivesItBack() {
    DesktopDialogs dialogs;
    QColor offered;
    whenShown<QColorDialog>([&](QColorDialog& dialog) {
      offered = dialog.currentColor();
      dialog.setCurrentColor(QColor(0, 0, 255));
      dialog.accept();
    });
    QCOMPARE(dialogs.colourDialog(0x0080FF, nullptr), std::optional<uint32_t>(0xFF0000u));
    QCOMPARE(offered, QColor(255, 128, 0));
    whenShown<QColorDialog>([](QColorDialog& dialog) { dialog.reject(); });
    QCOMPARE(dialogs.colourDialog(0x0080FF, nullptr), std::optional<uint32_t>());
  }

  void folderDialogChoosesFoldersAndFiles() {
    const fs::path dir = freshScratchFolder("toolkit", "folder_dialog");
    auto q = [](const fs::path& p) { return QString::fromStdString(p.string()); };
    fs::create_directories(dir / "子目录");
    const QString file = q(dir / "表.xlsx");
    std::ofstream(file.toStdString()) << "x";

    DesktopDialogs dialogs;
    auto answerWith = [](const QString& path, bool cancel) {
      QTimer::singleShot(0, [path, cancel] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog != nullptr);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("选择文件夹"));
        if (cancel) return dialog->reject();
        dialog->setDirectory(QFileInfo(path).absolutePath());
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept");
      });
    };
    answerWith(file, false);
    QCOMPARE(dialogs.folderOrFileDialog(nullptr), file);
    answerWith(q(dir / "子目录"), false);
    QCOMPARE(dialogs.folderOrFileDialog(nullptr), q(dir / "子目录"));
    answerWith(file, true);
    QCOMPARE(dialogs.folderOrFileDialog(nullptr), QString());

    // The folder being shown, with nothing selected in it.
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog != nullptr);
      dialog->setDirectory(q(dir / "子目录"));
      auto* here = dialog->findChild<QPushButton*>(QStringLiteral("chooseShownFolder"));
      QVERIFY(here != nullptr);
      QVERIFY(here->isEnabled());
      here->click();
    });
    QCOMPARE(dialogs.folderOrFileDialog(nullptr), q(dir / "子目录"));
  }
};

QTEST_MAIN(TestToolkit)
#include "test_toolkit.moc"
