// The chooser of the search folder: titled "选择文件夹", files shown beside
// folders, a field to type a name; a folder or a file may be chosen.
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QStandardPaths>

#include "platform/toolkit/user_dialogs.h"

namespace {

// QFileDialog can choose either a folder or a file, not both; this one takes
// whatever is selected (or typed) when the user confirms.
class FolderOrFileDialog : public QFileDialog {
 public:
  explicit FolderOrFileDialog(QWidget* parent) : QFileDialog(parent, QStringLiteral("选择文件夹")) {
    setOption(QFileDialog::DontUseNativeDialog, true);
    setFileMode(QFileDialog::AnyFile);
    setAcceptMode(QFileDialog::AcceptOpen);
    setLabelText(QFileDialog::Accept, QStringLiteral("选择"));
    // Qt's own captions are English unless its translations are installed.
    setLabelText(QFileDialog::LookIn, QStringLiteral("查找范围："));
    setLabelText(QFileDialog::FileName, QStringLiteral("名称："));
    setLabelText(QFileDialog::FileType, QStringLiteral("类型："));
    setLabelText(QFileDialog::Reject, QStringLiteral("取消"));
    setNameFilter(QStringLiteral("所有文件 (*)"));
    QString start = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!QFileInfo(start).isDir()) start = QDir::homePath();
    setDirectory(start);
    // The accept button stays disabled while nothing is selected, so the
    // folder being shown could otherwise not be chosen at all.
    if (auto* box = findChild<QDialogButtonBox*>()) {
      auto* here = box->addButton(QStringLiteral("选择当前文件夹"), QDialogButtonBox::ActionRole);
      here->setObjectName(QStringLiteral("chooseShownFolder"));
      connect(here, &QPushButton::clicked, this, [this] {
        chosen_ = QDir::cleanPath(directory().absolutePath());
        QDialog::accept();
      });
    }
  }

  QString chosen() const { return chosen_; }

  void accept() override {
    QString path = selectedFiles().value(0);
    if (path.isEmpty()) path = directory().absolutePath();
    // A typed name that names nothing is refused, as a missing folder would be.
    if (!QFileInfo::exists(path)) return;
    chosen_ = QDir::cleanPath(path);
    QDialog::accept();
  }

 private:
  QString chosen_;
};

}  // namespace

QString DesktopDialogs::folderOrFileDialog(QWidget* parent) {
  FolderOrFileDialog dialog(parent);
  dialog.setWindowModality(Qt::ApplicationModal);
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.chosen();
}
