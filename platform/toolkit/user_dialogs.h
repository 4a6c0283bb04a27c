// Every question the window puts to its user, and every hand-off to the
// desktop, goes through one UserDialogs: `main` gives the window the desktop's
// own (DesktopDialogs), tests give it a scripted one. No window code opens a
// dialog, a menu or the file browser by itself.
#pragma once

#include <QPoint>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/toolkit/dialogs.h"
#include "platform/toolkit/message_box.h"

class QAction;
class QMenu;
class QWidget;

class UserDialogs {
 public:
  virtual ~UserDialogs() = default;

  // The message box (see message_box.h): `flags` kMessageBoxOk or
  // kMessageBoxYesNo; returns kAnswerOk, kAnswerYes or kAnswerNo.
  virtual int messageBox(const QString& text, int flags) = 0;
  // The save-file dialog: the chosen full path, or nothing on cancel.
  virtual std::optional<QString> saveFileDialog(const SaveFileRequest& request, QWidget* parent) = 0;
  // The chooser of the search folder: a folder or a file, empty on cancel.
  virtual QString folderOrFileDialog(QWidget* parent) = 0;
  // Shows `menu` at `position` (global); the chosen action has been
  // triggered when this returns, and is returned (null for none).
  virtual QAction* popupMenu(QMenu& menu, QPoint position) = 0;
  // Hands a file URL to the desktop's own program; `done` (may be empty)
  // hears whether it was opened, maybe after this has returned.
  virtual void openUrl(const QUrl& url, std::function<void(bool opened)> done) = 0;
  // The colour dialog, starting at `current` (0x00BBGGRR): the chosen
  // colour, or nothing on cancel.
  virtual std::optional<uint32_t> colourDialog(uint32_t current, QWidget* parent) = 0;
};

// The real ones: Qt's dialogs and menus shown to the user, and the desktop's
// URL handler. Each is defined beside the rest of its dialog: message_box.cpp,
// dialogs.cpp, folder_dialog.cpp, window_ops.cpp, shell.cpp, ColourPicker.cpp.
class DesktopDialogs final : public UserDialogs {
 public:
  int messageBox(const QString& text, int flags) override;
  std::optional<QString> saveFileDialog(const SaveFileRequest& request, QWidget* parent) override;
  QString folderOrFileDialog(QWidget* parent) override;
  QAction* popupMenu(QMenu& menu, QPoint position) override;
  void openUrl(const QUrl& url, std::function<void(bool opened)> done) override;
  std::optional<uint32_t> colourDialog(uint32_t current, QWidget* parent) override;
};
