// Program entry: the toolkit, the process-wide objects, the exit routine,
// then the main window until it is gone.
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <memory>

#include "app/FileDropHook.h"
#include "app/MainWindow.h"
#include "app/library_deploy.h"
#include "app/library_image.h"
#include "app/settings.h"
#include "platform/toolkit/user_dialogs.h"

namespace {
// Run once when the program ends, after the main window is gone.
struct ExitRoutine {
  std::unique_ptr<FileDropHook>& dropHook;
  ~ExitRoutine() {
    // The hook gives the window its own drop handling back (a no-op once the
    // window is gone). The library table needs no tear-down, and scanBook
    // goes with the process.
    if (dropHook) dropHook->detach();
    dropHook.reset();
  }
};
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // Qt's own dialogs (the folder chooser, the colour dialog) speak the
  // window's language when Qt's translations are installed.
  QTranslator qtTranslator;
  if (qtTranslator.load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    app.installTranslator(&qtTranslator);

  // Process-wide objects: the drop hook, not yet attached; the library table
  // lives in library_deploy.cpp and is filled when the window is created.
  auto dropHook = std::make_unique<FileDropHook>();
  ExitRoutine exitRoutine{dropHook};

  DesktopDialogs dialogs;
  MainWindow window(dialogs);
  const bool started = window.onMainWindowCreated([](XlApi& api, LibraryFailure& failure) {
    return startSpreadsheetLibrary(embeddedLibraryImage(), programDirectory(),
                                   libraryCacheDirectory(), api, failure);
  }, dropHook.get());
  if (!started) return 1;
  window.show();
  return app.exec();
}
