#include "results/OpenResult.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QTimer>

#include <memory>

#include "app/FolderInput.h"
#include "app/folder_of_path.h"
#include "app/settings.h"
#include "platform/toolkit/shell.h"
#include "platform/toolkit/user_dialogs.h"
#include "platform/toolkit/window_ops.h"

#ifndef QUORVANE_CALC_HELPER_SOURCE
#define QUORVANE_CALC_HELPER_SOURCE ""
#endif

namespace {

// A helper still running after this is stuck (the office itself hangs).
constexpr int kHelperTimeoutMs = 120'000;
constexpr int kHelperDidNotStart = -1;
constexpr int kHelperKilled = -2;

void noCalcMessage(UserDialogs& dialogs) {
  dialogs.messageBox(QStringLiteral("你的计算机上没有 EXCEL 程序"), kMessageBoxOk);
}

}  // namespace

OpenResult::OpenResult(UserDialogs& dialogs, GridSource grid, QLineEdit* folderBox, QMenu* menu,
                       QAction* openFolderAction, QAction* openFileAction, QObject* parent)
    : QObject(parent), dialogs_(dialogs), grid_(std::move(grid)), folderBox_(folderBox), menu_(menu),
      launch_(&OpenResult::runHelper), helperDirectory_(programDirectory()) {
  if (openFolderAction) connect(openFolderAction, &QAction::triggered, this, &OpenResult::openResultFolder);
  if (openFileAction) connect(openFileAction, &QAction::triggered, this, &OpenResult::openResultWorkbook);
}

std::string OpenResult::folderText() const {
  return FolderInput::folderText(folderBox_.data());
}

void OpenResult::onCurrentCellChanged() {
  ResultsGrid* grid = grid_ ? grid_() : nullptr;
  if (grid == nullptr) return;
  const int row = grid->currentRow();
  grid->selectWholeRow(row);
  if (grid->currentColumn() >= 2) return;
  // Moved by the keyboard, the pointer may be anywhere: the menu goes to the
  // cell it is about.
  if (const auto at = keyboardAnchor_ ? keyboardAnchor_() : std::nullopt) popupMenuAt(dialogs_, menu_, *at);
  else popupMenu(dialogs_, menu_);
}

void OpenResult::openResultFolder() {
  ResultsGrid* grid = grid_ ? grid_() : nullptr;
  if (grid == nullptr) return;
  const std::string path = workbookPathOfRow(*grid, grid->currentRow(), folderText());
  showFolder(dialogs_, folderOfPath(path));
}

void OpenResult::openWithDesktop(const std::string& workbook) {
  // Another spreadsheet program (WPS Office, OnlyOffice, Gnumeric) opens
  // the workbook, though not at the row's sheet and cell.
  const bool asked = openWithShell(dialogs_, workbook, [self = QPointer<OpenResult>(this)](bool opened) {
    if (self && !opened) noCalcMessage(self->dialogs_);
  });
  if (!asked) noCalcMessage(dialogs_);
}

void OpenResult::openResultWorkbook() {
  ResultsGrid* grid = grid_ ? grid_() : nullptr;
  if (grid == nullptr) return;
  const CalcRequest request = calcRequestForRow(*grid, grid->currentRow(), folderText());
  const std::string helper = findCalcHelper(helperDirectory_, QUORVANE_CALC_HELPER_SOURCE);
  if (helper.empty()) {
    openWithDesktop(request.workbook);
    return;
  }
  // The helper may take seconds to start the office; the window stays free
  // and hears back only when there is no office to talk to.
  // The helper may answer after the window (and this) has gone.
  launch_(calcHelperArguments(helper, request),
          [self = QPointer<OpenResult>(this), workbook = request.workbook](int exitCode) {
            if (self && (exitCode == kCalcExitNoOffice || exitCode == kHelperDidNotStart))
              self->openWithDesktop(workbook);
          });
}

void OpenResult::runHelper(const std::vector<std::string>& arguments, std::function<void(int)> done) {
  auto* process = new QProcess;
  process->setProgram(QString::fromLatin1(kCalcPython));
  QStringList args;
  for (const std::string& a : arguments) args << QString::fromStdString(a);
  process->setArguments(args);
  process->setStandardOutputFile(QProcess::nullDevice());
  process->setProcessChannelMode(QProcess::ForwardedErrorChannel);

  auto finished = std::make_shared<bool>(false);
  auto finish = [process, done, finished](int code) {
    if (*finished) return;
    *finished = true;
    process->deleteLater();
    if (done) done(code);
  };
  QObject::connect(process, &QProcess::finished, process, [finish](int code, QProcess::ExitStatus status) {
    finish(status == QProcess::NormalExit ? code : kHelperKilled);
  });
  QObject::connect(process, &QProcess::errorOccurred, process, [finish](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) finish(kHelperDidNotStart);
  });
  QTimer::singleShot(kHelperTimeoutMs, process, [process] { process->kill(); });
  process->start();
}
