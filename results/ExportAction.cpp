#include "results/ExportAction.h"

#include <QLineEdit>

#include "app/FolderInput.h"
#include "app/folder_of_path.h"
#include "platform/toolkit/shell.h"
#include "platform/toolkit/user_dialogs.h"

void ExportAction::on按钮2Clicked() {
  const ResultsGrid* grid = in_.grid ? in_.grid() : nullptr;
  if (grid == nullptr || in_.xl == nullptr || in_.dialogs == nullptr) return;
  UserDialogs& dialogs = *in_.dialogs;
  const std::string folderText = FolderInput::folderText(in_.folderBox);
  const std::string searchText = in_.searchBox ? in_.searchBox->text().toStdString() : std::string();
  fileName_ = QString::fromStdString(proposedExportName(folderText, searchText));

  const std::optional<QString> chosen = dialogs.saveFileDialog(
      {QString::fromUtf8(kFilter), QString::fromUtf8(kDefaultExtension), fileName_}, in_.dialogParent);
  if (!chosen || chosen->isEmpty()) return;
  fileName_ = *chosen;

  const std::vector<std::string> titles = gridColumnTitles(*grid);
  const std::string path = fileName_.toStdString();
  std::vector<int> widths;
  const bool saved = writeResultsWorkbook(*in_.xl, *grid, in_.progress, titles, kExportSheetName,
                                          widths, false, path);
  if (!saved) {
    dialogs.messageBox(QStringLiteral("导出失败！"), kMessageBoxOk);
    return;
  }
  if (dialogs.messageBox(QStringLiteral("导出成功！是否打开文件夹？"), kMessageBoxYesNo) == kAnswerYes)
    showFolder(dialogs, folderOfPath(path));
}
