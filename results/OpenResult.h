// Opening a result row: a click on its workbook or sheet column offers the
// "文件" menu; "打开文件夹" shows the workbook's folder in the file browser,
// "打开文件" opens the workbook in LibreOffice Calc at the row's sheet and cell,
// or, without LibreOffice, with whatever program the desktop opens it with.
#pragma once

#include <QObject>
#include <QPointer>

#include <QPoint>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "results/open_result.h"

class QAction;
class QLineEdit;
class QMenu;
class UserDialogs;

class OpenResult : public QObject {
  Q_OBJECT

 public:
  // Runs the helper with `arguments` without blocking; `done` gets its exit
  // code, or -1 when it could not run at all.
  using Launch = std::function<void(const std::vector<std::string>& arguments,
                                    std::function<void(int exitCode)> done)>;

  // The grid the window shows at the moment of the call.
  using GridSource = std::function<ResultsGrid*()>;

  // `menu` is the "文件" menu; its two actions are bound to the commands here.
  // `dialogs` shows the menu, the folder and the messages.
  OpenResult(UserDialogs& dialogs, GridSource grid, QLineEdit* folderBox, QMenu* menu, QAction* openFolderAction,
             QAction* openFileAction, QObject* parent = nullptr);

  void setLaunch(Launch launch) { launch_ = std::move(launch); }
  // Where the menu goes when the keyboard moved the current cell (global);
  // nothing for a move by the mouse, whose menu goes to the pointer.
  void setKeyboardAnchor(std::function<std::optional<QPoint>()> anchor) { keyboardAnchor_ = std::move(anchor); }
  // Where the helper script is looked for first (the program directory).
  void setHelperDirectory(std::string directory) { helperDirectory_ = std::move(directory); }

  // The grid's current cell moved: select its row; offer the menu for
  // columns 0 and 1.
  void onCurrentCellChanged();
  void openResultFolder();
  void openResultWorkbook();

  static void runHelper(const std::vector<std::string>& arguments, std::function<void(int)> done);

 private:
  std::string folderText() const;
  // Without LibreOffice: the desktop's own program for the file.
  void openWithDesktop(const std::string& workbook);

  UserDialogs& dialogs_;
  GridSource grid_;
  QPointer<QLineEdit> folderBox_;
  QPointer<QMenu> menu_;
  Launch launch_;
  std::function<std::optional<QPoint>()> keyboardAnchor_;
  std::string helperDirectory_;
};
