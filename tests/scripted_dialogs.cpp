#include "tests/scripted_dialogs.h"

#include <QAction>
#include <QMenu>

QStringList ScriptedDialogs::messageTexts() const {
  QStringList texts;
  for (const Message& m : messages) texts << m.text;
  return texts;
}

QStringList ScriptedDialogs::openedPaths() const {
  QStringList paths;
  for (const QUrl& url : opened) paths << url.toLocalFile();
  return paths;
}

int ScriptedDialogs::messageBox(const QString& text, int flags) {
  messages.append({text, flags});
  if (answer) return answer(messages.last());
  return flags == kMessageBoxYesNo ? kAnswerNo : kAnswerOk;
}

std::optional<QString> ScriptedDialogs::saveFileDialog(const SaveFileRequest& request, QWidget*) {
  saveRequests.append(request);
  return saveAs;
}

QString ScriptedDialogs::folderOrFileDialog(QWidget*) {
  ++folderDialogs;
  return folderChoice;
}

QAction* ScriptedDialogs::popupMenu(QMenu& menu, QPoint position) {
  menuPositions.append(position);
  QAction* chosen = menuChoice ? menuChoice(menu) : nullptr;
  if (chosen != nullptr) chosen->trigger();
  return chosen;
}

void ScriptedDialogs::openUrl(const QUrl& url, std::function<void(bool opened)> done) {
  opened.append(url);
  if (done) done(desktopAnswer);
}

std::optional<uint32_t> ScriptedDialogs::colourDialog(uint32_t current, QWidget*) {
  colourOffers.append(current);
  return colourChoice ? colourChoice(current) : std::nullopt;
}
