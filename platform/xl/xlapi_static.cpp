// The table of the statically linked library.
#include "platform/xl/xlapi.h"

namespace {

XlApi makeStaticApi() {
  XlApi api;
  api.createXMLBook = &xlCreateXMLBookCA;
  api.bookLoad = &xlBookLoadA;
  api.bookErrorMessage = &xlBookErrorMessageA;
  api.bookSheetCount = &xlBookSheetCountA;
  api.bookGetSheet = &xlBookGetSheetA;
  api.bookGetSheetName = &xlBookGetSheetNameA;
  api.sheetLastRow = &xlSheetLastRowA;
  api.sheetLastCol = &xlSheetLastColA;
  api.sheetReadStr = &xlSheetReadStrA;
  api.sheetRowHidden = &xlSheetRowHiddenA;
  api.sheetColHidden = &xlSheetColHiddenA;
  api.bookInsertSheet = &xlBookInsertSheetA;
  api.bookAddFormat = &xlBookAddFormatA;
  api.formatSetBorder = &xlFormatSetBorderA;
  api.sheetWriteStr = &xlSheetWriteStrA;
  api.sheetAddIgnoredError = &xlSheetAddIgnoredErrorA;
  api.sheetSetCol = &xlSheetSetColA;
  api.bookSave = &xlBookSaveA;
  api.bookRelease = &xlBookReleaseA;
  api.sheetStoredCellCount = &xlSheetStoredCellCountA;
  api.sheetStoredCell = &xlSheetStoredCellA;
  api.sheetFirstCellOfRow = &xlSheetFirstCellOfRowA;
  api.bookMemoryBytes = &xlBookMemoryBytesA;
  api.bookSetCancelFlag = &xlBookSetCancelFlagA;
  api.bookErrorCause = &xlBookErrorCauseA;
  api.bookDiagnosticCount = &xlBookDiagnosticCountA;
  api.bookDiagnostic = &xlBookDiagnosticA;
  return api;
}

}  // namespace

const XlApi& staticXlApi() {
  static const XlApi api = makeStaticApi();
  return api;
}
