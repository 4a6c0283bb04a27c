// The main window as the user first sees it, its start-up from the settings
// file, the option clicks and the close; the stop window's form.
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableView>
#include <QTest>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "app/FileDropHook.h"
#include "app/MainWindow.h"
#include "app/StopWindow.h"
#include "app/row_colours.h"
#include "app/settings.h"
#include "platform/toolkit/ColourPicker.h"
#include "platform/toolkit/progress_bar.h"
#include "search/stop_flag.h"
#include "ui_MainWindow.h"
#include "tests/scripted_dialogs.h"
#include "tests/static_library.h"
#include "tests/ui_test_folder.h"
#include "ui_StopWindow.h"

namespace fs = std::filesystem;

namespace {
// WCAG's contrast ratio of two colours: (L1 + 0.05) / (L2 + 0.05).
double contrast(QColor a, QColor b) {
  auto luminance = [](QColor c) {
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
  };
  double la = luminance(a), lb = luminance(b);
  if (la < lb) std::swap(la, lb);
  return (la + 0.05) / (lb + 0.05);
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

  fs::path dir_;
  std::unique_ptr<ScriptedDialogs> dialogs_;
  fs::path ini() const { return dir_ / "配置.ini"; }

  void writeIni(const std::string& content) {
    std::ofstream out(ini(), std::ios::binary);
    out << content;
  }

 private slots:
  void init() {
    dir_ = freshProgramFolder("mainwindow");
    dialogs_ = std::make_unique<ScriptedDialogs>();
    titleColour = 1;
    failureColour = 1;
  }
  void cleanup() { resetTestHooks(); }

  void everyControlAsDesigned() {
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QCOMPARE(w.windowTitle(), QStringLiteral("Quorvane"));
    QCOMPARE(w.centralWidget()->geometry(), QRect(0, 0, 800, 500));
    QVERIFY(!w.menuBar()->isVisible());

    struct Expected {
      const char* name;
      const char* kind;
      QRect geometry;
      const char* caption;  // text, title or nothing
      QWidget* parent;
    };
    QWidget* client = w.centralWidget();
    QWidget* panel = w.form().分组框1;
    const Expected controls[] = {
        {"编辑框1", "QLineEdit", {8, 8, 640, 40}, nullptr, client},
        {"目录按钮", "QPushButton", {656, 11, 80, 32}, "目录", client},
        {"编辑框2", "QLineEdit", {8, 60, 384, 40}, "", client},
        {"隐藏选择框", "QCheckBox", {395, 56, 112, 24}, "忽略隐藏单元格", client},
        {"列名选择框", "QCheckBox", {395, 80, 120, 24}, "获取第一行为标题", client},
        {"按钮1", "QPushButton", {520, 50, 80, 32}, "开始搜索", client},
        {"按钮2", "QPushButton", {520, 88, 80, 25}, "导出结果", client},
        {"状态条1", "QStatusBar", {613, 54, 168, 26}, nullptr, client},
        {"进度条1", "QProgressBar", {613, 87, 168, 16}, nullptr, client},
        {"按钮3", "QPushButton", {766, 8, 20, 20}, "", client},
        {"高级表格1", "GridView", {0, 115, 800, 385}, nullptr, client},
        {"分组框1", "QGroupBox", {272, 144, 176, 120}, "颜色设置", client},
        {"标签2", "QLabel", {16, 24, 56, 24}, "标题颜色", panel},
        {"颜色选择器1", "ColourPicker", {72, 24, 72, 24}, nullptr, panel},
        {"标签3", "QLabel", {16, 56, 56, 24}, "失败颜色", panel},
        {"颜色选择器2", "ColourPicker", {72, 56, 72, 24}, nullptr, panel},
        {"按钮4", "QPushButton", {24, 84, 64, 24}, "保存", panel},
        {"按钮5", "QPushButton", {96, 84, 64, 24}, "取消", panel},
    };
    for (const Expected& e : controls) {
      const QString name = QString::fromUtf8(e.name);
      QWidget* widget = w.findChild<QWidget*>(name);
      QVERIFY2(widget != nullptr, e.name);
      QVERIFY2(widget->inherits(e.kind), e.name);
      QVERIFY2(widget->parentWidget() == e.parent, e.name);
      QCOMPARE(widget->geometry(), e.geometry);
      if (e.caption == nullptr) continue;
      QString caption;
      if (auto* b = qobject_cast<QAbstractButton*>(widget)) caption = b->text();
      else if (auto* l = qobject_cast<QLabel*>(widget)) caption = l->text();
      else if (auto* g = qobject_cast<QGroupBox*>(widget)) caption = g->title();
      else if (auto* t = qobject_cast<QLineEdit*>(widget)) caption = t->text();
      QCOMPARE(caption, QString::fromUtf8(e.caption));
    }

    Ui::MainWindow& f = w.form();
    QVERIFY(!f.编辑框1->isEnabled());
    QVERIFY(f.编辑框2->isEnabled() && f.按钮1->isEnabled() && f.高级表格1->isEnabled());
    QVERIFY(f.分组框1->isHidden());
    QVERIFY(!f.标签2->isVisible());
    QVERIFY(f.标签2->isVisibleTo(f.分组框1));
    QVERIFY(f.状态条1->isVisible());
    QCOMPARE(statusText(f.状态条1), QString());
    QCOMPARE(progressMaximum(f.进度条1), 100);
    QCOMPARE(progressPosition(f.进度条1), 0);
    QCOMPARE(f.进度条1->minimum(), 0);
    QVERIFY(!f.按钮3->icon().isNull());
    QVERIFY(f.按钮3->icon().availableSizes().contains(QSize(256, 256)));
    QCOMPARE(f.颜色选择器1->colour(), 0x808080u);
    QCOMPARE(f.颜色选择器2->colour(), 0xC080FFu);

    // The "文件" menu exists for the pop-up but shows nowhere.
    QMenu* menu = w.fileMenu();
    QVERIFY(menu != nullptr);
    QCOMPARE(menu->title(), QStringLiteral("文件"));
    QVERIFY(!menu->menuAction()->isVisible());
    const QList<QAction*> items = menu->actions();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items[0]->text(), QStringLiteral("打开文件夹"));
    QCOMPARE(items[1]->text(), QStringLiteral("打开文件"));
    QVERIFY(items[0]->isEnabled() && items[1]->isEnabled());

    // The folder box cannot be typed into.
    f.编辑框1->setFocus();
    QTest::keyClicks(f.编辑框1, "abc");
    QCOMPARE(f.编辑框1->text(), QString::fromStdString(dir_.string() + "/"));
  }

  void readyToTypeTheSearchTextAndTheFolderReadable() {
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    Ui::MainWindow& f = w.form();
    // The first keys typed go into the search box.
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(f.编辑框2));
    QTest::keyClicks(QApplication::focusWidget(), "abc");
    QCOMPARE(f.编辑框2->text(), QStringLiteral("abc"));

    // The disabled folder box as painted: its text at least 4.5:1 against its
    // background (measured inside the frame, left of where the text ends).
    QVERIFY(!f.编辑框1->isEnabled());
    f.编辑框1->setText(QStringLiteral("/home/用户/数据/报表"));
    const QImage shot = f.编辑框1->grab().toImage();
    const int textEnd = f.编辑框1->fontMetrics().horizontalAdvance(f.编辑框1->text());
    const QColor background = shot.pixelColor(shot.width() - 8, shot.height() / 2);
    QColor ink = background;
    for (int y = shot.height() / 2 - 6; y <= shot.height() / 2 + 6; ++y)
      for (int x = 6; x < std::min(textEnd, shot.width() - 8); ++x)
        if (contrast(shot.pixelColor(x, y), background) > contrast(ink, background)) ink = shot.pixelColor(x, y);
    QVERIFY2(contrast(ink, background) >= 4.5,
             qPrintable(QStringLiteral("%1 on %2: %3").arg(ink.name(), background.name()).arg(contrast(ink, background))));
  }

  void firstStartUsesDefaultsAndWritesNothing() {
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    QCOMPARE(w.form().编辑框1->text(), QString::fromStdString(dir_.string() + "/"));
    QVERIFY(!w.form().列名选择框->isChecked());
    QVERIFY(!w.form().隐藏选择框->isChecked());
    QCOMPARE(titleColour, 0x808080u);
    QCOMPARE(failureColour, 0xC080FFu);
    QVERIFY(scanBook != nullptr);
    QVERIFY(!fs::exists(ini()));
  }

  void anInstalledCopyStartsInTheHomeFolder() {
    const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", QByteArray::fromStdString((dir_ / "home").string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((dir_ / "config").string()));
    setDirectoryWritableCheckForTesting([](const std::string&) { return false; });
    {
      MainWindow w(*dialogs_);
      QVERIFY(w.onMainWindowCreated(useStaticLibrary));
      QCOMPARE(w.form().编辑框1->text(), QString::fromStdString((dir_ / "home").string() + "/"));
    }
    setDirectoryWritableCheckForTesting(nullptr);
    qputenv("HOME", oldHome);
    if (oldConfig.isNull()) qunsetenv("XDG_CONFIG_HOME");
    else qputenv("XDG_CONFIG_HOME", oldConfig);
  }

  void settingsFillTheControls() {
    // Full-width digits read as ASCII; a hexadecimal text stops at the x.
    writeIni(
        "[目录]\n目录=/no/such/folder\n"
        "[选择框]\n列名=真\n"
        "[颜色]\n标题=２５５\n失败=0xFF\n");
    const std::string before = slurp(ini());
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    QCOMPARE(w.form().编辑框1->text(), QStringLiteral("/no/such/folder"));
    QVERIFY(w.form().列名选择框->isChecked());
    QVERIFY(!w.form().隐藏选择框->isChecked());
    QCOMPARE(titleColour, 255u);
    QCOMPARE(failureColour, 0u);
    QCOMPARE(slurp(ini()), before);  // setting the boxes is not a click
  }

  void onlyTrueTextChecksABox_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("checked");
    QTest::newRow("真") << "真" << true;
    QTest::newRow("quoted 真") << "\"真\"" << true;
    QTest::newRow("假") << "假" << false;
    QTest::newRow("true") << "true" << false;
    QTest::newRow("1") << "1" << false;
    QTest::newRow("真的") << "真的" << false;
    QTest::newRow("empty") << "" << false;
  }
  void onlyTrueTextChecksABox() {
    QFETCH(QString, value);
    QFETCH(bool, checked);
    writeIni("[选择框]\n隐藏=" + value.toStdString() + "\n");
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    QCOMPARE(w.form().隐藏选择框->isChecked(), checked);
    QVERIFY(!w.form().列名选择框->isChecked());
  }

  void clicksWriteTheOptionAtOnce() {
    writeIni("[其他]\nk=v\n");
    MainWindow w(*dialogs_);
    QVERIFY(w.onMainWindowCreated(useStaticLibrary));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCheckBox* columns = w.form().列名选择框;
    QCheckBox* hidden = w.form().隐藏选择框;

    QTest::mouseClick(columns, Qt::LeftButton);
    QCOMPARE(readSetting("选择框", "列名", "-"), std::string("真"));
    QCOMPARE(readSetting("选择框", "隐藏", "-"), std::string("-"));
    QTest::mouseClick(columns, Qt::LeftButton);
    QCOMPARE(readSetting("选择框", "列名", "-"), std::string("假"));

    // The keyboard's click counts as well.
    hidden->setFocus();
    QTest::keyClick(hidden, Qt::Key_Space);
    QVERIFY(hidden->isChecked());
    QCOMPARE(readSetting("选择框", "隐藏", "-"), std::string("真"));
    QCOMPARE(readSetting("其他", "k", "-"), std::string("v"));

    // A state set by the program writes nothing.
    hidden->setChecked(false);
    QCOMPARE(readSetting("选择框", "隐藏", "-"), std::string("真"));
  }

  void closeAndDestroySetTheStopFlag() {
    auto* w = new MainWindow(*dialogs_);
    QVERIFY(w->onMainWindowCreated(useStaticLibrary));
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QSignalSpy closing(w, &MainWindow::closeRequested);
    stopFlag = 0;
    QVERIFY(w->close());
    QCOMPARE(stopFlag.load(), 1);
    QCOMPARE(closing.count(), 1);
    QVERIFY(!w->isVisible());

    stopFlag = 0;
    delete w;
    QCOMPARE(stopFlag.load(), 1);
  }

  void featuresGoBeforeTheControls() {
    // A feature object (search, export) filters and reaches the controls;
    // it must never outlive them while the window is torn down.
    struct Feature : QObject {
      QPointer<QLineEdit> box;
      bool* controlsAlive = nullptr;
      ~Feature() override { *controlsAlive = !box.isNull(); }
    };
    bool controlsAlive = false;
    auto* w = new MainWindow(*dialogs_);
    auto* feature = new Feature;
    feature->box = w->form().编辑框2;
    feature->controlsAlive = &controlsAlive;
    feature->setParent(w);
    delete w;
    QVERIFY(controlsAlive);
  }

  void createdAttachesTheDropHook() {
    FileDropHook hook;
    {
      MainWindow w(*dialogs_);
      QVERIFY(w.onMainWindowCreated(useStaticLibrary, &hook));
      QVERIFY(hook.attached());
      QVERIFY(w.acceptDrops());
    }
    QVERIFY(!hook.attached());  // the window is gone
    hook.detach();              // as the exit routine does: harmless now
  }

  void libraryFailureIsShownAndReported() {
    MainWindow w(*dialogs_);
    const bool started = w.onMainWindowCreated([](XlApi&, LibraryFailure& failure) {
      failure = {"/opt/quorvane/libxl.so", "xlBookLoadA", "入口不存在"};
      return false;
    });
    QVERIFY(!started);
    QCOMPARE(dialogs_->messages.size(), 1);
    QCOMPARE(dialogs_->messages[0].flags, kMessageBoxOk);
    const QString shown = dialogs_->messages[0].text;
    QVERIFY2(shown.contains("/opt/quorvane/libxl.so"), qPrintable(shown));
    QVERIFY2(shown.contains("xlBookLoadA"), qPrintable(shown));
  }

  void stopWindowAsDesigned() {
    StopWindow s;
    s.show();
    QVERIFY(QTest::qWaitForWindowExposed(&s));
    QCOMPARE(s.size(), QSize(369, 115));
    // Framed, with its caption, so it reads as this program's window; no
    // close box (only its button and the search's end close it).
    QVERIFY(!(s.windowFlags() & Qt::FramelessWindowHint));
    QVERIFY(s.windowFlags() & Qt::WindowTitleHint);
    QVERIFY(!(s.windowFlags() & Qt::WindowCloseButtonHint));
    QCOMPARE(s.windowTitle(), QStringLiteral("Quorvane"));
    QVERIFY(s.windowFlags() & Qt::WindowStaysOnTopHint);
    QPushButton* button = s.form().按钮1;
    QCOMPARE(button->objectName(), QStringLiteral("按钮1"));
    QCOMPARE(button->geometry(), QRect(40, 32, 296, 48));
    QCOMPARE(button->text(), QStringLiteral("点击停止搜索"));
    // With no window to go over, in the middle of the screen.
    const QPoint centre = s.screen()->availableGeometry().center();
    QVERIFY(qAbs(s.frameGeometry().center().x() - centre.x()) <= 1);
    QVERIFY(qAbs(s.frameGeometry().center().y() - centre.y()) <= 1);
  }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
