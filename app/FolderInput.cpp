#include "app/FolderInput.h"

#include <QLineEdit>

#include "platform/path_text.h"
#include "app/settings.h"
#include "platform/toolkit/user_dialogs.h"

FolderInput::FolderInput(QLineEdit* folderBox, QWidget* dialogParent, UserDialogs& dialogs)
    : folderBox_(folderBox), dialogParent_(dialogParent), dialogs_(dialogs) {}

namespace {
constexpr const char* kFolderBytes = "folderBytes";
}  // namespace

void FolderInput::showFolder(QLineEdit* folderBox, const std::string& folder) {
  if (folderBox == nullptr) return;
  folderBox->setProperty(kFolderBytes, QByteArray::fromStdString(folder));
  folderBox->setText(QString::fromStdString(readablePath(folder)));
}

std::string FolderInput::folderText(const QLineEdit* folderBox) {
  if (folderBox == nullptr) return {};
  const QByteArray bytes = folderBox->property(kFolderBytes).toByteArray();
  if (!bytes.isEmpty() && folderBox->text() == QString::fromStdString(readablePath(bytes.toStdString())))
    return bytes.toStdString();
  return folderBox->text().toStdString();
}

void FolderInput::setFolder(const std::string& folder) {
  showFolder(folderBox_.data(), folder);
  writeSetting("目录", "目录", storedFolderText(folder));
}

void FolderInput::onPathDropped(const std::string& path) {
  const std::string copy = path;  // the caller's text may go away during the write
  std::string folder = folderOfPath(copy);
  if (folder.empty()) folder = defaultSearchFolder();
  setFolder(folder);
}

void FolderInput::on目录按钮Clicked() {
  std::string chosen = dialogs_.folderOrFileDialog(dialogParent_.data()).toStdString();
  if (chosen.empty()) chosen = defaultSearchFolder();
  setFolder(chosen);
}
