#include "platform/toolkit/shell.h"

#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "platform/path_text.h"
#include "platform/toolkit/user_dialogs.h"

namespace {

// xdg-open in a desktop without one of the known environments runs the
// program itself and returns only when it ends; one still running after this
// has found a program.
constexpr int kOpenerSettleMs = 5000;

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

struct Opener {
  QString program;
  QStringList arguments;
};

// Runs the openers in turn until one opens `url`.
void tryOpeners(std::shared_ptr<std::vector<Opener>> openers, size_t next, OpenedFn done) {
  if (next >= openers->size()) {
    if (done) done(false);
    return;
  }
  const Opener& opener = (*openers)[next];
  // Not parented: a file browser xdg-open waits for outlives the window.
  auto* process = new QProcess;
  process->setProgram(opener.program);
  process->setArguments(opener.arguments);
  process->setStandardOutputFile(QProcess::nullDevice());
  process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  auto answered = std::make_shared<bool>(false);
  auto answer = [answered, done](bool opened) {
    if (*answered) return;
    *answered = true;
    if (done) done(opened);
  };
  QObject::connect(process, &QProcess::finished, process,
                   [process, answered, answer, openers, next, done](int code, QProcess::ExitStatus status) {
                     process->deleteLater();
                     if (*answered) return;
                     if (status == QProcess::NormalExit && code == 0) answer(true);
                     else {
                       *answered = true;
                       tryOpeners(openers, next + 1, done);
                     }
                   });
  QObject::connect(process, &QProcess::errorOccurred, process,
                   [process, answered, openers, next, done](QProcess::ProcessError error) {
                     if (error != QProcess::FailedToStart || *answered) return;
                     *answered = true;
                     process->deleteLater();
                     tryOpeners(openers, next + 1, done);
                   });
  QTimer::singleShot(kOpenerSettleMs, process, [answer] { answer(true); });
  process->start();
}

}  // namespace

bool openWithShell(UserDialogs& dialogs, const std::string& path, OpenedFn done) {
  if (path.empty()) return false;
  // Percent-encoded byte for byte, so a name that is not UTF-8 reaches the
  // file browser (through xdg-open, never a shell) as it is on disk.
  const std::string encoded = fileUrlOfPath(absolutePath(path));
  const QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(encoded), QUrl::StrictMode);
  dialogs.openUrl(url, std::move(done));
  return true;
}

QString noFileBrowserMessage(const std::string& folder) {
  return QStringLiteral("无法打开文件夹：%1\n这台计算机上没有可以打开文件夹的文件管理器。")
      .arg(QString::fromStdString(readablePath(folder)));
}

void showFolder(UserDialogs& dialogs, const std::string& folder) {
  UserDialogs* d = &dialogs;
  const bool asked = openWithShell(dialogs, folder, [d, folder](bool opened) {
    if (!opened) d->messageBox(noFileBrowserMessage(folder), kMessageBoxOk);
  });
  if (!asked) dialogs.messageBox(noFileBrowserMessage(folder), kMessageBoxOk);
}

void openWithDesktopProgram(const QUrl& url, OpenedFn done) {
  const QString target = QString::fromLatin1(url.toEncoded());
  auto openers = std::make_shared<std::vector<Opener>>(std::vector<Opener>{
      {QStringLiteral("xdg-open"), {target}},
      {QStringLiteral("gio"), {QStringLiteral("open"), target}},
  });
  tryOpeners(std::move(openers), 0, std::move(done));
}

void DesktopDialogs::openUrl(const QUrl& url, std::function<void(bool)> done) {
  openWithDesktopProgram(url, std::move(done));
}
