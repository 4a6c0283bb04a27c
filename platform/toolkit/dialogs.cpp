#include "platform/toolkit/dialogs.h"

#include <QFileDialog>
#include <QStringList>

#include "platform/toolkit/user_dialogs.h"

QString qtNameFilters(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    entries << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
  }
  if (entries.isEmpty()) entries << QStringLiteral("* (*)");
  return entries.join(QStringLiteral(";;"));
}

std::optional<QString> DesktopDialogs::saveFileDialog(const SaveFileRequest& request, QWidget* parent) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // The description already names the pattern; showing it twice is noise.
  dialog.setOption(QFileDialog::HideNameFilterDetails, true);
  dialog.setNameFilter(qtNameFilters(request.filter));
  QString suffix = request.defaultExtension;
  if (suffix.startsWith(QStringLiteral("*."))) suffix.remove(0, 2);
  else if (suffix.startsWith(QLatin1Char('.'))) suffix.remove(0, 1);
  dialog.setDefaultSuffix(suffix);
  if (!request.fileName.isEmpty()) dialog.selectFile(request.fileName);

  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.front().isEmpty()) return std::nullopt;
  return chosen.front();
}
