#include "platform/toolkit/shell.h"

#include <QDesktopServices>

#include <unistd.h>

#include <cerrno>

#include <vector>

#include "platform/path_text.h"
#include "platform/toolkit/user_dialogs.h"

namespace {

std::string absolutePath(const std::string& path) {
  if (path.starts_with('/')) return path;
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return path;
    buf.resize(buf.size() * 2);
  }
  std::string cwd = buf.data();
  if (!cwd.ends_with('/')) cwd += '/';
  return cwd + path;
}
}  // namespace

bool openWithShell(UserDialogs& dialogs, const std::string& path) {
  if (path.empty()) return false;
  // Percent-encoded byte for byte, so a name that is not UTF-8 reaches the
  // file browser (through xdg-open, never a shell) as it is on disk.
  const std::string encoded = fileUrlOfPath(absolutePath(path));
  const QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(encoded), QUrl::StrictMode);
  return dialogs.openUrl(url);
}

bool DesktopDialogs::openUrl(const QUrl& url) { return QDesktopServices::openUrl(url); }
