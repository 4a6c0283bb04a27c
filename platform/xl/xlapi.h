// The library's entry points as a table of function pointers, so the same
// scan and export code runs against the statically linked library (CLI,
// tests) or against libxl.so loaded from the program directory (window).
#pragma once

#include <atomic>
#include <string>

#include "platform/xl/libxl.h"

struct XlApi {
  BookHandle (*createXMLBook)(void) = nullptr;
  int (*bookLoad)(BookHandle, const char*) = nullptr;
  const char* (*bookErrorMessage)(BookHandle) = nullptr;
  int (*bookSheetCount)(BookHandle) = nullptr;
  SheetHandle (*bookGetSheet)(BookHandle, int) = nullptr;
  const char* (*bookGetSheetName)(BookHandle, int) = nullptr;
  int (*sheetLastRow)(SheetHandle) = nullptr;
  int (*sheetLastCol)(SheetHandle) = nullptr;
  const char* (*sheetReadStr)(SheetHandle, int, int, FormatHandle*) = nullptr;
  int (*sheetRowHidden)(SheetHandle, int) = nullptr;
  int (*sheetColHidden)(SheetHandle, int) = nullptr;
  SheetHandle (*bookInsertSheet)(BookHandle, int, const char*, SheetHandle) = nullptr;
  FormatHandle (*bookAddFormat)(BookHandle, FormatHandle) = nullptr;
  void (*formatSetBorder)(FormatHandle, int) = nullptr;
  int (*sheetWriteStr)(SheetHandle, int, int, const char*, FormatHandle) = nullptr;
  int (*sheetAddIgnoredError)(SheetHandle, int, int, int, int, int) = nullptr;
  int (*sheetSetCol)(SheetHandle, int, int, double, FormatHandle, int) = nullptr;
  int (*bookSave)(BookHandle, const char*) = nullptr;
  void (*bookRelease)(BookHandle) = nullptr;
  int (*sheetStoredCellCount)(SheetHandle) = nullptr;
  const char* (*sheetStoredCell)(SheetHandle, int, int*, int*, int*) = nullptr;
  int (*sheetFirstCellOfRow)(SheetHandle, int) = nullptr;
  // May stay null: a library written by an older build lacks it.
  long long (*bookMemoryBytes)(BookHandle) = nullptr;
  // May stay null too: loads through an older library cannot be cancelled.
  void (*bookSetCancelFlag)(BookHandle, const int*) = nullptr;
  // May stay null too: then no failure is taken for the file's own.
  int (*bookErrorCause)(BookHandle) = nullptr;
  // May stay null too: then a load shows no diagnostics.
  int (*bookDiagnosticCount)(BookHandle) = nullptr;
  const char* (*bookDiagnostic)(BookHandle, int) = nullptr;
  // Null but for books read from the cell cache: the stored cells of a sheet
  // whose text holds the search text (`text`, `length` bytes), ascending in
  // *cells, and their count; -1 when they were not found for that text.
  int (*sheetStoredCellHits)(SheetHandle, const char* text, int length, const int** cells) = nullptr;
};

// A std::atomic<int> as the plain int the C interface reads atomically.
inline const int* cancelFlagOf(const std::atomic<int>& flag) {
  static_assert(sizeof(std::atomic<int>) == sizeof(int) && alignof(std::atomic<int>) == alignof(int) &&
                std::atomic<int>::is_always_lock_free);
  return reinterpret_cast<const int*>(&flag);
}

// Sets `flag` as the cancel flag of `book` when the library offers it.
inline void setCancelFlag(const XlApi& api, BookHandle book, const std::atomic<int>& flag) {
  if (api.bookSetCancelFlag && book) api.bookSetCancelFlag(book, cancelFlagOf(flag));
}

// The table of the statically linked library (defined in xl_static only).
const XlApi& staticXlApi();

// Loads the shared library at `absolutePath` (never from the system's search
// path) and resolves every entry point. On failure returns false and names
// the entry point that could not be had in `missing` (or the dlerror text).
bool loadXlApi(const std::string& absolutePath, XlApi& out, std::string& missing);
