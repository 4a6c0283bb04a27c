// The library starter the window tests hand to onMainWindowCreated: the
// spreadsheet library linked into the test, so no libxl.so is written or
// loaded.
#pragma once

#include "app/library_deploy.h"
#include "platform/xl/xlapi.h"

inline bool useStaticLibrary(XlApi& api, LibraryFailure&) {
  api = staticXlApi();
  return true;
}
