// The two ways the search folder changes: the browse button 目录按钮 and
// paths dropped on the window. Each change goes into 编辑框1 and is saved.
#pragma once

#include <QPointer>

#include <string>

#include "app/folder_of_path.h"

class QLineEdit;
class QWidget;
class UserDialogs;

class FolderInput {
 public:
  // `folderBox` is 编辑框1; `dialogParent` owns the chooser, which
  // `dialogs` shows.
  FolderInput(QLineEdit* folderBox, QWidget* dialogParent, UserDialogs& dialogs);

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

 private:
  void setFolder(const std::string& folder);

  QPointer<QLineEdit> folderBox_;
  QPointer<QWidget> dialogParent_;
  UserDialogs& dialogs_;
};
