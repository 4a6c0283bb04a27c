// The window's dialogs for tests: every question is noted as it was asked
// and answered as the test scripted it, without a dialog on screen.
// Unscripted, a message box is answered OK (or No), every dialog and the
// menu are cancelled, and the desktop accepts every URL.
#pragma once

#include <QList>
#include <QPoint>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/toolkit/user_dialogs.h"

class ScriptedDialogs final : public UserDialogs {
 public:
  struct Message {
    QString text;
    int flags = kMessageBoxOk;
  };

  // The answers.
  std::function<int(const Message&)> answer;  // kAnswerOk / kAnswerYes / kAnswerNo
  std::optional<QString> saveAs;              // every save-file dialog
  QString folderChoice;                       // every folder chooser; empty: cancelled
  // The item chosen in a pop-up menu (null: none); it is triggered as a
  // real menu would.
  std::function<QAction*(QMenu& menu)> menuChoice;
  std::function<std::optional<uint32_t>(uint32_t current)> colourChoice;
  bool desktopAnswer = true;

  // What was asked, in order.
  QList<Message> messages;
  QList<SaveFileRequest> saveRequests;
  int folderDialogs = 0;
  QList<QPoint> menuPositions;
  QList<QUrl> opened;
  QList<uint32_t> colourOffers;

  // The texts of `messages`.
  QStringList messageTexts() const;
  // The local paths of `opened`.
  QStringList openedPaths() const;

  int messageBox(const QString& text, int flags) override;
  std::optional<QString> saveFileDialog(const SaveFileRequest& request, QWidget* parent) override;
  QString folderOrFileDialog(QWidget* parent) override;
  QAction* popupMenu(QMenu& menu, QPoint position) override;
  void openUrl(const QUrl& url, std::function<void(bool opened)> done) override;
  std::optional<uint32_t> colourDialog(uint32_t current, QWidget* parent) override;
};
