// Loading libxl.so at run time: by its absolute path only, so a library of
// the same name elsewhere on the system can never be picked up instead.
#include <dlfcn.h>

#include "platform/xl/xlapi.h"

namespace {

template <typename F>
bool resolve(void* lib, const char* name, F& slot, std::string& missing) {
  void* sym = dlsym(lib, name);
  if (!sym) {
    missing = name;
    return false;
  }
  slot = reinterpret_cast<F>(sym);
  return true;
}

}  // namespace

bool loadXlApi(const std::string& absolutePath, XlApi& out, std::string& missing) {
  missing.clear();
  if (absolutePath.empty() || absolutePath[0] != '/') {
    missing = "libxl.so: not an absolute path: " + absolutePath;
    return false;
  }
  // RTLD_LOCAL keeps its symbols out of the global namespace; RTLD_NOW finds
  // an unresolvable library here rather than in the middle of a search.
  void* lib = dlopen(absolutePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = dlerror();
    missing = why ? why : absolutePath;
    return false;
  }
  XlApi api;
  const bool ok =
      resolve(lib, "xlCreateXMLBookCA", api.createXMLBook, missing) &&
      resolve(lib, "xlBookLoadA", api.bookLoad, missing) &&
      resolve(lib, "xlBookErrorMessageA", api.bookErrorMessage, missing) &&
      resolve(lib, "xlBookSheetCountA", api.bookSheetCount, missing) &&
      resolve(lib, "xlBookGetSheetA", api.bookGetSheet, missing) &&
      resolve(lib, "xlBookGetSheetNameA", api.bookGetSheetName, missing) &&
      resolve(lib, "xlSheetLastRowA", api.sheetLastRow, missing) &&
      resolve(lib, "xlSheetLastColA", api.sheetLastCol, missing) &&
      resolve(lib, "xlSheetReadStrA", api.sheetReadStr, missing) &&
      resolve(lib, "xlSheetRowHiddenA", api.sheetRowHidden, missing) &&
      resolve(lib, "xlSheetColHiddenA", api.sheetColHidden, missing) &&
      resolve(lib, "xlBookInsertSheetA", api.bookInsertSheet, missing) &&
      resolve(lib, "xlBookAddFormatA", api.bookAddFormat, missing) &&
      resolve(lib, "xlFormatSetBorderA", api.formatSetBorder, missing) &&
      resolve(lib, "xlSheetWriteStrA", api.sheetWriteStr, missing) &&
      resolve(lib, "xlSheetAddIgnoredErrorA", api.sheetAddIgnoredError, missing) &&
      resolve(lib, "xlSheetSetColA", api.sheetSetCol, missing) &&
      resolve(lib, "xlBookSaveA", api.bookSave, missing) &&
      resolve(lib, "xlBookReleaseA", api.bookRelease, missing) &&
      resolve(lib, "xlSheetStoredCellCountA", api.sheetStoredCellCount, missing) &&
      resolve(lib, "xlSheetStoredCellA", api.sheetStoredCell, missing) &&
      resolve(lib, "xlSheetFirstCellOfRowA", api.sheetFirstCellOfRow, missing);
  if (!ok) {
    dlclose(lib);
    return false;
  }
  // Optional: without it the caller estimates a book's memory from its file.
  api.bookMemoryBytes = reinterpret_cast<long long (*)(BookHandle)>(dlsym(lib, "xlBookMemoryBytesA"));
  api.bookSetCancelFlag = reinterpret_cast<void (*)(BookHandle, const int*)>(dlsym(lib, "xlBookSetCancelFlagA"));
  api.bookErrorCause = reinterpret_cast<int (*)(BookHandle)>(dlsym(lib, "xlBookErrorCauseA"));
  api.bookDiagnosticCount = reinterpret_cast<int (*)(BookHandle)>(dlsym(lib, "xlBookDiagnosticCountA"));
  api.bookDiagnostic = reinterpret_cast<const char* (*)(BookHandle, int)>(dlsym(lib, "xlBookDiagnosticA"));
  out = api;  // the library stays loaded for the life of the process
  return true;
}
