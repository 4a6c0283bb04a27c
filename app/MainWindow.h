// The main window: its form, its start-up (settings into the controls, the
// spreadsheet library, scanBook) and its close. The features wire their
// handlers in connectHandlers().
#pragma once

#include <QMainWindow>

#include <functional>
#include <memory>

#include "app/library_deploy.h"

class FileDropHook;
class FolderInput;
class MainWindowExtras;
namespace Ui {
class MainWindow;
}
class QMenu;
class InputBlocker;
class UserDialogs;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Every dialog, message box and pop-up of the window and of what it
  // creates goes through `dialogs`, which outlives the window.
  explicit MainWindow(UserDialogs& dialogs, QWidget* parent = nullptr);
  ~MainWindow() override;  // destroyed: stops a running search

  // Every control of the form under its form name (form().编辑框1, ...).
  Ui::MainWindow& form() { return *form_; }
  // The "文件" menu; never shown in the menu bar, only as a pop-up.
  QMenu* fileMenu() const;

  // Readies the library and fills `api` (writing libxl.so beside the program
  // and loading it, in the program); false with `failure` filled when it
  // cannot.
  using LibraryStarter = std::function<bool(XlApi& api, LibraryFailure& failure)>;

  // The created event, run once before the window is first shown: folder,
  // check boxes and colours from the settings, then the library and
  // scanBook, then `dropHook` (when given) attached so paths dropped on the
  // window become the search folder. Returns false after telling the user
  // when the library cannot be used; the program then ends with a failure
  // status.
  bool onMainWindowCreated(const LibraryStarter& startLibrary, FileDropHook* dropHook = nullptr);

  FolderInput& folderInput() { return *folderInput_; }

  // While a search's StopWindow is up the window takes no input, yet is
  // drawn as usual (a disabled window is greyed, and the user watches its
  // status and progress); the window system's close still reaches it.
  void setInputBlocked(bool blocked);
  bool inputBlocked() const;
  UserDialogs& dialogs() const { return dialogs_; }

 signals:
  // After the close request has set stopFlag; the window closes next, or
  // once a running search has returned.
  void closeRequested();
  // After every size change.
  void resized();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void readStartupSettings();
  void connectHandlers();

  void on列名选择框Clicked();
  void on隐藏选择框Clicked();

  UserDialogs& dialogs_;
  std::unique_ptr<Ui::MainWindow> form_;
  std::unique_ptr<FolderInput> folderInput_;
  MainWindowExtras* extras_ = nullptr;  // colour panel, resize, export, open result; a child
  InputBlocker* inputBlocker_ = nullptr;  // a child
};
