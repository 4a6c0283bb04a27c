// The two ways the search folder changes: the browse button 目录按钮 and
// paths dropped on the window. Each change goes into 编辑框1 and is saved.
#pragma once

#include <QPointer>
#include <QString>

#include <functional>
#include <string>

#include "app/folder_of_path.h"

class QLineEdit;
class QWidget;

class FolderInput {
 public:
  // Shows the chooser and returns the chosen path, empty on cancel.
  using FolderDialog = std::function<QString(QWidget* parent)>;

  // `folderBox` is 编辑框1; `dialogParent` owns the chooser.
  FolderInput(QLineEdit* folderBox, QWidget* dialogParent, FolderDialog dialog = {});

  // A dropped path: its folder (folderOfPath), or defaultSearchFolder()
  // when it reduces to nothing.
  void onPathDropped(const std::string& path);
  // 目录按钮 clicked: the chosen folder or file unchanged; a cancelled
  // chooser gives defaultSearchFolder().
  void on目录按钮Clicked();

  // The folder box's text as path bytes, and the way in: the box shows the
  // path readably (readablePath) and keeps its bytes beside the text, so a
  // name that is not UTF-8 reaches the search, the export and the commands
  // unchanged. A text set any other way is read as it stands.
  static void showFolder(QLineEdit* folderBox, const std::string& folder);
  static std::string folderText(const QLineEdit* folderBox);

  // The chooser the button shows: titled "选择文件夹", files shown beside
  // folders, a field to type a name; a folder or a file may be chosen.
  static QString runFolderDialog(QWidget* parent);

 private:
  void setFolder(const std::string& folder);

  QPointer<QLineEdit> folderBox_;
  QPointer<QWidget> dialogParent_;
  FolderDialog dialog_;
};
