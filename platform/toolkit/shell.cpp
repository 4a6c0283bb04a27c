#include "platform/toolkit/shell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace {
ShellOpenHook& hook() {
  static ShellOpenHook h;
  return h;
}
}  // namespace

void setShellOpenHookForTesting(ShellOpenHook h) { hook() = std::move(h); }

bool openWithShell(const QString& path) {
  if (path.isEmpty()) return false;
  const QString absolute = QFileInfo(path).absoluteFilePath();
  if (hook()) return hook()(absolute);
  // A file URL hands the path over as data (xdg-open), never through a shell.
  return QDesktopServices::openUrl(QUrl::fromLocalFile(absolute));
}
