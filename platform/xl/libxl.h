// C entry points of our spreadsheet library (libxl.so). Texts are UTF-8.
// Handles are opaque.
//
// Threads: a book, with its sheets and formats, is used by one thread at a
// time; different books may be used on different threads at once (they share
// nothing). The read calls do not change a book.
//
// Returned texts point into the book; copy them before any of these:
// - xlBookLoadA and xlBookReleaseA free every text the book returned;
// - a write to any sheet of the book (xlSheetWriteStrA, xlBookInsertSheetA)
//   may move the book's cell texts (xlSheetReadStrA, xlSheetStoredCellA);
// - xlBookInsertSheetA may move the sheet names (xlBookGetSheetNameA);
// - a failed xlBookSaveA replaces the text of xlBookErrorMessageA.
// Nothing else frees a returned text.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define XLAPI __attribute__((visibility("default")))

typedef struct XlBookTag* BookHandle;
typedef struct XlSheetTag* SheetHandle;
typedef struct XlFormatTag* FormatHandle;

XLAPI BookHandle xlCreateXMLBookCA(void);
XLAPI int xlBookLoadA(BookHandle book, const char* path);              // 1 = loaded, XL_LOAD_CANCELLED, 0 = failed
XLAPI const char* xlBookErrorMessageA(BookHandle book);                // "ok" after a good load
XLAPI int xlBookSheetCountA(BookHandle book);
XLAPI SheetHandle xlBookGetSheetA(BookHandle book, int index);         // null when out of range
XLAPI const char* xlBookGetSheetNameA(BookHandle book, int index);
XLAPI int xlSheetLastRowA(SheetHandle sheet);                          // one past the last row with a value
XLAPI int xlSheetLastColA(SheetHandle sheet);                          // one past the last column with a value
XLAPI const char* xlSheetReadStrA(SheetHandle sheet, int row, int col, FormatHandle* format); // null = empty
XLAPI int xlSheetRowHiddenA(SheetHandle sheet, int row);
XLAPI int xlSheetColHiddenA(SheetHandle sheet, int col);

XLAPI SheetHandle xlBookInsertSheetA(BookHandle book, int index, const char* name, SheetHandle initSheet);
XLAPI FormatHandle xlBookAddFormatA(BookHandle book, FormatHandle initFormat);
XLAPI void xlFormatSetBorderA(FormatHandle format, int style);
XLAPI int xlSheetWriteStrA(SheetHandle sheet, int row, int col, const char* value, FormatHandle format);
XLAPI int xlSheetAddIgnoredErrorA(SheetHandle sheet, int rowFirst, int colFirst, int rowLast, int colLast, int iError);
XLAPI int xlSheetSetColA(SheetHandle sheet, int colFirst, int colLast, double width, FormatHandle format, int hidden);
XLAPI int xlBookSaveA(BookHandle book, const char* path);              // 1 = saved
XLAPI void xlBookReleaseA(BookHandle book);

// Extensions for the scan: visit only the stored cells of a sheet, in row-major
// order, so no caller ever loops over empty cells.
XLAPI int xlSheetStoredCellCountA(SheetHandle sheet);
// Cell number `index` (0 .. count-1): fills row, col and (when not null) the
// text's byte length; returns its text (never null for a stored cell).
XLAPI const char* xlSheetStoredCellA(SheetHandle sheet, int index, int* row, int* col, int* length);
// Index of the first stored cell at or after (row, 0); count when there is none.
XLAPI int xlSheetFirstCellOfRowA(SheetHandle sheet, int row);
// Cancelling loads: after this call every load into `book` (one in progress
// included) reads *flag now and then and gives up soon after it becomes
// non-zero (within milliseconds), leaving the book empty; xlBookLoadA then
// returns XL_LOAD_CANCELLED and xlBookErrorMessageA a text saying so. A
// cancelled load is not a fault of the file. The flag is read with relaxed
// atomic loads, so another thread may set it at any time with an atomic store
// (a C++ std::atomic<int> qualifies); it must outlive every load of the book.
// A null flag turns cancelling off.
#define XL_LOAD_CANCELLED (-1)
XLAPI void xlBookSetCancelFlagA(BookHandle book, const int* flag);
// Bytes of memory the loaded workbook holds (0 for a null book), so a caller
// reading several books ahead can keep them under a budget.
XLAPI long long xlBookMemoryBytesA(BookHandle book);
// Why the last load failed, as the number of its cause (0 after a good load;
// the numbers of xl::LoadCause in load_error.h), so a caller can tell a
// damaged file from a moment's trouble (no permission, no memory, a cancel)
// without reading the text.
XLAPI int xlBookErrorCauseA(BookHandle book);
// What the last good load read past instead of failing on (a part whose
// checksum did not match, entities left unexpanded): a count, and each note
// as a short text (null out of range). Not failures: a diagnostic aid.
XLAPI int xlBookDiagnosticCountA(BookHandle book);
XLAPI const char* xlBookDiagnosticA(BookHandle book, int index);

#ifdef __cplusplus
}
#endif
