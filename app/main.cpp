// Program entry: the toolkit, the process-wide objects, the exit routine,
// then the main window until it is gone.
#include <QApplication>

#include "app/MainWindow.h"
#include "app/library_deploy.h"
#include "app/library_image.h"
#include "app/settings.h"

namespace {
// Run once when the program ends, after the main window is gone.
struct ExitRoutine {
  ~ExitRoutine() {
    // The FileDropHook is detached and destroyed here once the folder input
    // brings it; the library table needs no tear-down, and scanBook goes
    // with the process.
  }
};
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);

  // Process-wide objects: the library table lives in library_deploy.cpp and
  // is filled when the window is created; the FileDropHook joins here.
  ExitRoutine exitRoutine;

  MainWindow window;
  const bool started = window.onMainWindowCreated([](XlApi& api, LibraryFailure& failure) {
    return startSpreadsheetLibrary(embeddedLibraryImage(), programDirectory(),
                                   libraryCacheDirectory(), api, failure);
  });
  if (!started) return 1;
  window.show();
  return app.exec();
}
