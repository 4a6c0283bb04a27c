// The folder input on real widgets (offscreen): drops, the browse button,
// names that are not UTF-8.
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <memory>

#include "app/FileDropHook.h"
#include "app/FolderInput.h"
#include "platform/path_text.h"
#include "app/settings.h"
#include "results/OpenResult.h"
#include "tests/scripted_dialogs.h"
#include "tests/ui_test_folder.h"

namespace fs = std::filesystem;

namespace {

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

}  // namespace

class TestFolderInput : public QObject {
  Q_OBJECT

  fs::path dir_;
  std::unique_ptr<ScriptedDialogs> dialogs_;
  std::string ini() const { return (dir_ / "配置.ini").string(); }
  std::string savedFolder() const { return readProfileString(ini(), "目录", "目录", "<none>"); }

 private slots:
  void init() {
    dir_ = freshProgramFolder("folder_input");
    dialogs_ = std::make_unique<ScriptedDialogs>();
  }
  void cleanup() { resetTestHooks(); }

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
    FolderInput input(folderBox, &window, *dialogs_);
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
    FolderInput input(folderBox, &window, *dialogs_);
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
    OpenResult open(*dialogs_, [&] { return &grid; }, folderBox, &menu, nullptr, nullptr);
    const QList<QUrl>& shown = dialogs_->opened;
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
    QString& answer = dialogs_->folderChoice;
    FolderInput input(&folderBox, nullptr, *dialogs_);
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
    FolderInput input(&folderBox, nullptr, *dialogs_);
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
};

QTEST_MAIN(TestFolderInput)
#include "test_folder_input.moc"
