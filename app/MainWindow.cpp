#include "app/MainWindow.h"

#include <QCloseEvent>
#include <QIcon>
#include <QLayout>
#include <QMenuBar>
#include <QPalette>
#include <QResizeEvent>

#include <cstdio>

#include "app/FileDropHook.h"
#include "app/FolderInput.h"
#include "app/MainWindowExtras.h"
#include "app/row_colours.h"
#include "app/settings.h"
#include "platform/path_text.h"
#include "platform/toolkit/input_blocker.h"
#include "platform/toolkit/ColourPicker.h"
#include "platform/toolkit/user_dialogs.h"
#include "platform/toolkit/window_ops.h"
#include "search/SearchControl.h"
#include "search/stop_flag.h"
#include "ui_MainWindow.h"

namespace {
// The check boxes store their state as these two texts; only "真" reads as
// checked.
constexpr const char* kTrueText = "真";
constexpr const char* kFalseText = "假";

QIcon colourPanelIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/icons/colours_%1.png").arg(size), QSize(size, size));
  return icon;
}

QString fromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

// A disabled edit box is greyed to about 1.6:1 by the styles; the folder box
// is disabled only so nobody types into it, and its text must stay readable
// (at least 4.5:1 against its background).
void keepReadableWhenDisabled(QWidget* box) {
  QPalette palette = box->palette();
  const bool lightBackground = palette.color(QPalette::Disabled, QPalette::Base).lightness() >= 128;
  palette.setColor(QPalette::Disabled, QPalette::Text, lightBackground ? QColor(0x50, 0x50, 0x50) : QColor(0xD0, 0xD0, 0xD0));
  box->setPalette(palette);
}
}  // namespace

MainWindow::MainWindow(UserDialogs& dialogs, QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs), form_(std::make_unique<Ui::MainWindow>()) {
  Q_INIT_RESOURCE(resources);
  form_->setupUi(this);
  form_->颜色选择器1->setDialogs(dialogs_);
  form_->颜色选择器2->setDialogs(dialogs_);
  folderInput_ = std::make_unique<FolderInput>(form_->编辑框1, this, dialogs_);
  // The menu bar holds only the hidden "文件" menu, so it takes no room and
  // the form's geometry is the client area's.
  form_->文件->menuAction()->setVisible(false);
  menuBar()->hide();
  resize(800, 500);
  centreOnScreen(this);

  const QIcon icon = colourPanelIcon();
  form_->按钮3->setIcon(icon);
  setWindowIcon(icon);

  keepReadableWhenDisabled(form_->编辑框1);
  // The search text is what a user types first: it has the focus at start.
  form_->编辑框2->setFocus();

  connectHandlers();
}

MainWindow::~MainWindow() {
  stopFlag = 1;
  // The features' objects (search, export, ...) reach the controls through
  // form() and filter their events; they go first, while the form and every
  // control still exist, rather than while the controls are being deleted.
  const QObjectList children = this->children();
  for (QObject* child : children)
    if (!child->isWidgetType() && !qobject_cast<QLayout*>(child) && !qobject_cast<QAction*>(child))
      delete child;
  extras_ = nullptr;
  inputBlocker_ = nullptr;
}

QMenu* MainWindow::fileMenu() const { return form_->文件; }

void MainWindow::setInputBlocked(bool blocked) {
  if (!inputBlocker_) {
    if (!blocked) return;
    inputBlocker_ = new InputBlocker(this, this);
  }
  inputBlocker_->setBlocked(blocked);
}

bool MainWindow::inputBlocked() const { return inputBlocker_ && inputBlocker_->blocked(); }

bool MainWindow::onMainWindowCreated(const LibraryStarter& startLibrary, FileDropHook* dropHook) {
  readStartupSettings();

  XlApi api;
  LibraryFailure failure;
  if (!startLibrary || !startLibrary(api, failure)) {
    const std::string message = libraryFailureMessage(failure);
    // The program ends with a failure status next: whoever started it from
    // a terminal or a script reads why there as well.
    std::fprintf(stderr, "信息：%s\n", message.c_str());
    dialogs_.messageBox(fromUtf8(message), kMessageBoxOk);
    return false;
  }
  // One book per process; a window created again in the same process (the
  // tests do) gives the earlier one back through the table that made it.
  if (scanBook != nullptr && xlApi().bookRelease != nullptr) xlApi().bookRelease(scanBook);
  scanBook = nullptr;
  setXlApi(api);
  // The first call into the library; a null book is kept as it is.
  scanBook = createXmlBook();

  if (dropHook != nullptr)
    dropHook->attach(this, [this](const std::string& path) { folderInput_->onPathDropped(path); });
  return true;
}

void MainWindow::readStartupSettings() {
  FolderInput::showFolder(form_->编辑框1, folderOfStoredText(readSetting("目录", "目录", defaultSearchFolder())));
  // setChecked is not a click: nothing is written back.
  form_->列名选择框->setChecked(readSetting("选择框", "列名", "") == kTrueText);
  form_->隐藏选择框->setChecked(readSetting("选择框", "隐藏", "") == kTrueText);
  titleColour = uint32_t(integerFromText(readSetting("颜色", "标题", "8421504")));
  failureColour = uint32_t(integerFromText(readSetting("颜色", "失败", "12615935")));
}

// ---------------------------------------------------------------------------
// Handlers of the form's controls. Each feature connects its own here, one
// block per feature.
void MainWindow::connectHandlers() {
  // Options: saved at every click.
  connect(form_->列名选择框, &QCheckBox::clicked, this, &MainWindow::on列名选择框Clicked);
  connect(form_->隐藏选择框, &QCheckBox::clicked, this, &MainWindow::on隐藏选择框Clicked);

  // Folder: the browse button (drops come through the FileDropHook).
  connect(form_->目录按钮, &QPushButton::clicked, this, [this] { folderInput_->on目录按钮Clicked(); });

  // Colour panel, resize rule, export and the "文件" menu.
  extras_ = new MainWindowExtras(*this);

  // Search: 按钮1 and Enter released in 编辑框2.
  new SearchControl(*this);
}
// ---------------------------------------------------------------------------

void MainWindow::on列名选择框Clicked() {
  writeSetting("选择框", "列名", form_->列名选择框->isChecked() ? kTrueText : kFalseText);
}

void MainWindow::on隐藏选择框Clicked() {
  writeSetting("选择框", "隐藏", form_->隐藏选择框->isChecked() ? kTrueText : kFalseText);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  stopFlag = 1;
  emit closeRequested();
  // During a search the window stays until the search has returned (within
  // moments: the stop cancels its loads), which then closes it; the program
  // ends with it.
  if (auto* search = findChild<SearchControl*>(); search && search->deferClose()) {
    event->ignore();
    return;
  }
  event->accept();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  emit resized();
}
