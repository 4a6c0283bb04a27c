// Drops, the browse button, the colour panel, the resize rule, the export
// action and the "文件" menu, on real widgets (offscreen).
#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QPushButton>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <filesystem>
#include <memory>
#include <fstream>

#include "app/ColourPanel.h"
#include "app/FileDropHook.h"
#include "app/FolderInput.h"
#include "app/MainWindowLayout.h"
#include "app/path_text.h"
#include "app/settings.h"
#include "platform/toolkit/ColourPicker.h"
#include "platform/toolkit/dialogs.h"
#include "platform/toolkit/message_box.h"
#include "platform/toolkit/progress_bar.h"
#include "platform/toolkit/shell.h"
#include "platform/toolkit/window_ops.h"
#include "platform/xl/book.h"
#include "results/ExportAction.h"
#include "results/OpenResult.h"

namespace fs = std::filesystem;

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

// Sends a drag of `data` over `target` and drops it; true when the drop was
// accepted by whoever handled it. Takes the data.
bool dragAndDrop(QWidget* target, QMimeData* data, QPoint at = {10, 10}) {
  const std::unique_ptr<QMimeData> owned(data);
  QMimeData* mime = owned.get();
  QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  if (!enter.isAccepted()) return false;
  QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &move);
  QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  return drop.isAccepted();
}

QMimeData* urlsMime(const QStringList& paths) {
  auto* mime = new QMimeData;
  QList<QUrl> urls;
  for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
  mime->setUrls(urls);
  return mime;
}

// A stand-in for MainWindow's resized event.
class ResizingWindow : public QWidget {
 public:
  QWidget* grid = new QWidget(this);
  QWidget* button = new QWidget(this);
  ResizingWindow() {
    grid->setGeometry(0, 115, 800, 385);
    button->setGeometry(766, 8, 20, 20);
    applyMinimumWindowSize(*this);
  }

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    onMainWindowResized(*this, *grid);
  }
};

}  // namespace

class TestExtrasUi : public QObject {
  Q_OBJECT

  fs::path dir_;
  std::string ini() const { return (dir_ / "配置.ini").string(); }
  std::string savedFolder() const { return readProfileString(ini(), "目录", "目录", "<none>"); }

 private slots:
  void init() {
    static int n = 0;
    dir_ = fs::path(QUORVANE_TEST_SCRATCH) / "extras_ui" / std::to_string(++n);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setProgramDirectoryForTesting(dir_.string());
  }
  void cleanup() {
    setProgramDirectoryForTesting(std::nullopt);
    setDirectoryWritableCheckForTesting(nullptr);
    setMessageBoxHookForTesting({});
    setSaveFileDialogHookForTesting({});
    setShellOpenHookForTesting({});
    setPopupMenuHookForTesting({});
    ColourPicker::setDialogHookForTesting({});
  }

  void dropsSetTheFolderOncePerPathInOrder() {
    fs::create_directories(dir_ / "数据 报表");
    const std::string file = (dir_ / "数据 报表" / "一月 ☃.xlsx").string();
    std::ofstream(file) << "x";
    const std::string folder = (dir_ / "数据 报表").string();

    QWidget window;
    window.resize(800, 500);
    auto* folderBox = new QLineEdit(&window);
    folderBox->setEnabled(false);
    auto* searchBox = new QLineEdit(&window);
    searchBox->setGeometry(8, 60, 384, 40);
    window.show();
    FolderInput input(folderBox, &window, [](QWidget*) { return QString(); });
    std::vector<std::string> seen;
    FileDropHook hook;
    hook.attach(&window, [&](const std::string& p) {
      seen.push_back(p);
      input.onPathDropped(p);
    });

    // One workbook (non-ASCII name): its folder with the trailing "/".
    QVERIFY(dragAndDrop(&window, urlsMime({q(file)})));
    QCOMPARE(seen, std::vector<std::string>{file});
    QCOMPARE(folderBox->text(), q(folder + "/"));
    QCOMPARE(savedFolder(), folder + "/");

    // A folder and a file together: each in turn, the last one decides.
    seen.clear();
    QVERIFY(dragAndDrop(&window, urlsMime({q(dir_.string()), q(file)})));
    QCOMPARE(seen, (std::vector<std::string>{dir_.string(), file}));
    QCOMPARE(folderBox->text(), q(folder + "/"));
    // The folder alone stays as it is.
    QVERIFY(dragAndDrop(&window, urlsMime({q(folder)})));
    QCOMPARE(folderBox->text(), q(folder));
    QCOMPARE(savedFolder(), folder);

    // A path that names nothing: up to its last "/".
    QVERIFY(dragAndDrop(&window, urlsMime({QStringLiteral("/gone/深处/x.xls")})));
    QCOMPARE(folderBox->text(), QStringLiteral("/gone/深处/"));
    QCOMPARE(savedFolder(), std::string("/gone/深处/"));

    // Dropped on the search box, files still go to the hook, not into the box.
    QVERIFY(dragAndDrop(searchBox, urlsMime({q(file)})));
    QCOMPARE(folderBox->text(), q(folder + "/"));
    QVERIFY(searchBox->text().isEmpty());

    // Text and remote URLs are not ours: the search box takes the text itself.
    seen.clear();
    auto* text = new QMimeData;
    text->setText(QStringLiteral("合同"));
    dragAndDrop(searchBox, text);
    QCOMPARE(searchBox->text(), QStringLiteral("合同"));
    auto* remote = new QMimeData;
    remote->setUrls({QUrl(QStringLiteral("https://example.org/a.xlsx"))});
    QVERIFY(!dragAndDrop(&window, remote));
    QVERIFY(seen.empty());

    // Detached: the window takes no drops any more.
    hook.detach();
    QVERIFY(!window.acceptDrops());
    QVERIFY(!dragAndDrop(&window, urlsMime({q(file)})));
    QVERIFY(seen.empty());
    QVERIFY(searchBox->acceptDrops());  // its own handling is back
  }

  void namesThatAreNotUtf8KeepTheirBytes() {
    // "报表" and "一月" in GBK, as archives made on Chinese Windows unpack.
    const std::string gbkFolder = dir_.string() + "/\xB1\xA8\xB1\xED";
    const std::string gbkFile = gbkFolder + "/\xD2\xBB\xD4\xC2.xlsx";
    fs::create_directories(fs::path(gbkFolder));
    std::ofstream(fs::path(gbkFile)) << "x";

    QWidget window;
    auto* folderBox = new QLineEdit(&window);
    folderBox->setEnabled(false);
    window.show();
    FolderInput input(folderBox, &window, [](QWidget*) { return QString(); });
    FileDropHook hook;
    hook.attach(&window, [&](const std::string& p) { input.onPathDropped(p); });

    // The file manager's text/uri-list: the name's bytes percent-encoded.
    auto* mime = new QMimeData;
    mime->setData(QStringLiteral("text/uri-list"),
                  QByteArray::fromStdString("# dropped\r\n" + fileUrlOfPath(gbkFile) + "\r\n"));
    QVERIFY(dragAndDrop(&window, mime));
    QCOMPARE(FolderInput::folderText(folderBox), gbkFolder + "/");
    QCOMPARE(folderBox->text(), q(dir_.string() + "/报表/"));  // shown decoded
    // The settings file stays UTF-8 and gives the same bytes back.
    const std::string stored = savedFolder();
    QVERIFY(isUtf8(stored));
    QCOMPARE(folderOfStoredText(stored), gbkFolder + "/");
    QLineEdit restarted;
    FolderInput::showFolder(&restarted, folderOfStoredText(stored));
    QCOMPARE(FolderInput::folderText(&restarted), gbkFolder + "/");
    // The folder itself, dropped: an existing folder is kept as it is.
    mime = new QMimeData;
    mime->setData(QStringLiteral("text/uri-list"), QByteArray::fromStdString(fileUrlOfPath(gbkFolder) + "/\r\n"));
    QVERIFY(dragAndDrop(&window, mime));
    QCOMPARE(FolderInput::folderText(folderBox), gbkFolder);
    // Bytes that are no text at all show as replacement marks, still kept.
    FolderInput::showFolder(folderBox, "/x/\xFF\xFE");
    QCOMPARE(folderBox->text(), QStringLiteral("/x/\uFFFD\uFFFD"));
    QCOMPARE(FolderInput::folderText(folderBox), std::string("/x/\xFF\xFE"));
    // A text put into the box any other way is read as it stands.
    folderBox->setText(QStringLiteral("/别处"));
    QCOMPARE(FolderInput::folderText(folderBox), std::string("/别处"));

    // The commands of a result row under that folder: the file browser and
    // Calc get the bytes as file URLs.
    FolderInput::showFolder(folderBox, gbkFolder);
    ResultsGrid grid;
    grid.insertRow();
    grid.setCellText(1, 0, "/\xD2\xBB\xD4\xC2.xlsx");
    grid.setCellText(1, 1, "1 表");
    grid.setCellText(1, 2, "A1");
    grid.setCurrentCell(1, 0);
    QMenu menu;
    OpenResult open([&] { return &grid; }, folderBox, &menu, nullptr, nullptr);
    QList<QUrl> shown;
    setShellOpenHookForTesting([&](const QUrl& url) {
      shown << url;
      return true;
    });
    open.openResultFolder();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].toEncoded().toStdString(), fileUrlOfPath(gbkFolder + "/"));
    std::vector<std::string> args;
    open.setLaunch([&](const std::vector<std::string>& a, std::function<void(int)>) { args = a; });
    open.openResultWorkbook();
    QCOMPARE(args.size(), size_t(6));
    QCOMPARE(args[3], fileUrlOfPath(gbkFile));
    QCOMPARE(pathOfFileUrl(args[3]).value_or(""), gbkFile);
    hook.detach();
  }

  void browseButtonPaths() {
    QLineEdit folderBox;
    QString answer;
    FolderInput input(&folderBox, nullptr, [&](QWidget*) { return answer; });
    const std::string file = (dir_ / "一月.xls").string();

    answer = q(dir_.string());
    input.on目录按钮Clicked();
    QCOMPARE(folderBox.text(), q(dir_.string()));
    QCOMPARE(savedFolder(), dir_.string());

    // A chosen file is kept as it is, not reduced to its folder.
    answer = q(file);
    input.on目录按钮Clicked();
    QCOMPARE(folderBox.text(), q(file));
    QCOMPARE(savedFolder(), file);

    // Cancel: the program directory with "/", saved as well.
    answer.clear();
    input.on目录按钮Clicked();
    QCOMPARE(folderBox.text(), q(dir_.string() + "/"));
    QCOMPARE(savedFolder(), dir_.string() + "/");
  }

  void anInstalledCopyOffersTheHomeFolder() {
    // Settings beside an unwritable program folder move to $XDG_CONFIG_HOME;
    // then the home folder, not the program's, is what a user gets offered.
    const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
    fs::create_directories(dir_ / "家");
    qputenv("HOME", QByteArray::fromStdString((dir_ / "家").string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((dir_ / "config").string()));
    setDirectoryWritableCheckForTesting([](const std::string&) { return false; });
    const std::string home = (dir_ / "家").string() + "/";

    QLineEdit folderBox;
    FolderInput input(&folderBox, nullptr, [](QWidget*) { return QString(); });
    input.on目录按钮Clicked();  // cancelled
    QCOMPARE(folderBox.text(), q(home));
    folderBox.clear();
    input.onPathDropped("一月.xls");  // a bare name
    QCOMPARE(folderBox.text(), q(home));
    QCOMPARE(readProfileString((dir_ / "config" / "quorvane" / "配置.ini").string(), "目录", "目录", ""), home);

    // A copy whose settings file sits beside it keeps its own folder.
    std::ofstream(ini()) << "";
    input.onPathDropped("一月.xls");
    QCOMPARE(folderBox.text(), q(dir_.string() + "/"));

    setDirectoryWritableCheckForTesting(nullptr);
    qputenv("HOME", oldHome);
    if (oldConfig.isNull()) qunsetenv("XDG_CONFIG_HOME");
    else qputenv("XDG_CONFIG_HOME", oldConfig);
  }

  void folderDialogChoosesFoldersAndFiles() {
    fs::create_directories(dir_ / "子目录");
    const QString file = q((dir_ / "表.xlsx").string());
    std::ofstream(file.toStdString()) << "x";

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
    QCOMPARE(FolderInput::runFolderDialog(nullptr), file);
    answerWith(q((dir_ / "子目录").string()), false);
    QCOMPARE(FolderInput::runFolderDialog(nullptr), q((dir_ / "子目录").string()));
    answerWith(file, true);
    QCOMPARE(FolderInput::runFolderDialog(nullptr), QString());

    // The folder being shown, with nothing selected in it.
    QTimer::singleShot(0, [this] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog != nullptr);
      dialog->setDirectory(q((dir_ / "子目录").string()));
      auto* here = dialog->findChild<QPushButton*>(QStringLiteral("chooseShownFolder"));
      QVERIFY(here != nullptr);
      QVERIFY(here->isEnabled());
      here->click();
    });
    QCOMPARE(FolderInput::runFolderDialog(nullptr), q((dir_ / "子目录").string()));
  }

  void colourPanelSaveAndCancel() {
    QWidget window;
    auto* panel = new QGroupBox(&window);
    auto* title = new ColourPicker(panel);
    auto* failure = new ColourPicker(panel);
    panel->hide();
    window.show();
    uint32_t titleColour = 0x808080, failureColour = 0xC080FF;
    ColourPanel colours(panel, title, failure, titleColour, failureColour);

    colours.on按钮3Clicked();
    QVERIFY(panel->isVisible());
    QCOMPARE(title->colour(), 0x808080u);
    QCOMPARE(failure->colour(), 0xC080FFu);

    // Cancel: nothing stored, nothing written; reopening drops the choice.
    title->setColour(0x0000FF);
    colours.on按钮5Clicked();
    QVERIFY(!panel->isVisible());
    QCOMPARE(titleColour, 0x808080u);
    QVERIFY(!fs::exists(ini()));
    colours.on按钮3Clicked();
    QCOMPARE(title->colour(), 0x808080u);

    // Save through the pickers' own dialog: decimal texts in the file.
    ColourPicker::setDialogHookForTesting([](uint32_t current) -> std::optional<uint32_t> {
      return current == 0x808080 ? 0x0000FF : 0x00FF00;
    });
    QTest::mouseClick(title, Qt::LeftButton);
    QTest::mouseClick(failure, Qt::LeftButton);
    QCOMPARE(title->colour(), 0x0000FFu);
    QCOMPARE(failure->colour(), 0x00FF00u);
    colours.on按钮4Clicked();
    QVERIFY(!panel->isVisible());
    QCOMPARE(titleColour, 0x0000FFu);
    QCOMPARE(failureColour, 0x00FF00u);
    QCOMPARE(readProfileString(ini(), "颜色", "标题", ""), std::string("255"));
    QCOMPARE(readProfileString(ini(), "颜色", "失败", ""), std::string("65280"));
  }

  void gridFollowsTheWindow() {
    ResizingWindow window;
    window.resize(800, 500);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(window.grid->size(), QSize(800, 385));

    window.resize(1024, 768);
    QTRY_COMPARE(window.size(), QSize(1024, 768));
    QTRY_COMPARE(window.grid->size(), QSize(1024, 653));
    QCOMPARE(window.grid->pos(), QPoint(0, 115));
    QCOMPARE(window.button->geometry(), QRect(766, 8, 20, 20));

    // Below the minimum: the window's own minimum size holds it at 800 x 500.
    window.resize(600, 400);
    QTRY_COMPARE(window.size(), QSize(800, 500));
    QTRY_COMPARE(window.grid->size(), QSize(800, 385));
    window.resize(700, 900);
    QTRY_COMPARE(window.size(), QSize(800, 900));
    QTRY_COMPARE(window.grid->size(), QSize(800, 785));
    QCOMPARE(window.minimumSize(), QSize(800, 500));
  }

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
    OpenResult open([&] { return &grid; }, &folderBox, &menu, openFolder, openFile);

    int popups = 0;
    QPoint at;
    QAction* choose = nullptr;
    setPopupMenuHookForTesting([&](QMenu* m, QPoint p) {
      ++popups;
      at = p;
      return m == &menu ? choose : nullptr;
    });
    QStringList opened;
    setShellOpenHookForTesting([&](const QUrl& url) {
      opened << url.toLocalFile();
      return true;
    });
    std::vector<std::vector<std::string>> launched;
    int exitCode = 0;
    open.setLaunch([&](const std::vector<std::string>& args, std::function<void(int)> done) {
      launched.push_back(args);
      done(exitCode);
    });
    QStringList messages;
    setMessageBoxHookForTesting([&](const QMessageBox& box) {
      messages << box.text();
      return QMessageBox::Ok;
    });

    // Column 2: the row is selected, no menu.
    grid.setCurrentCell(1, 2);
    open.onCurrentCellChanged();
    QCOMPARE(popups, 0);
    QVERIFY(grid.selection().has_value());
    QCOMPARE(grid.selection()->firstRow, 1);
    QCOMPARE(grid.selection()->lastRow, 1);
    QCOMPARE(grid.selection()->firstCol, 0);
    QCOMPARE(grid.selection()->lastCol, grid.columnCount() - 1);

    // Column 0: the menu at the pointer plus 3; "打开文件夹" opens the folder.
    choose = openFolder;
    grid.setCurrentCell(1, 0);
    open.onCurrentCellChanged();
    QCOMPARE(popups, 1);
    QCOMPARE(at, QCursor::pos() + QPoint(3, 3));
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened.front(), QStringLiteral("/数据/2023/"));

    // Column 1, "打开文件": the helper gets the path, the sheet number, the cell.
    choose = openFile;
    grid.setCurrentCell(1, 1);
    open.onCurrentCellChanged();
    QCOMPARE(popups, 2);
    QCOMPARE(launched.size(), size_t(1));
    const auto& args = launched.front();
    QCOMPARE(args.size(), size_t(6));
    QVERIFY(QString::fromStdString(args[0]).endsWith(QStringLiteral("quorvane_calc.py")));
    QCOMPARE(args[3], std::string("/数据/2023/一月.xlsx"));
    QCOMPARE(args[4], std::string("2"));
    QCOMPARE(args[5], std::string("B12"));
    QVERIFY(messages.isEmpty());

    // Without LibreOffice: the message once, not twice.
    exitCode = kCalcExitNoOffice;
    grid.setCurrentCell(2, 0);
    open.onCurrentCellChanged();
    QCOMPARE(launched.size(), size_t(2));
    QCOMPARE(launched.back()[4], std::string("0"));
    QCOMPARE(messages, QStringList{QStringLiteral("你的计算机上没有 EXCEL 程序")});
    // Another failure of the helper (say, a file it could not load) is quiet.
    messages.clear();
    exitCode = 5;
    open.openResultWorkbook();
    QVERIFY(messages.isEmpty());
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

QTEST_MAIN(TestExtrasUi)
#include "test_extras_ui.moc"
