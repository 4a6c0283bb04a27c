// Why a load failed, as a typed cause: the readers report a LoadCause (with a
// detail, such as the part of the package, where the text names one) and the
// Chinese text the user sees is made only at the library's edge, from the one
// table in load_error.cpp.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>

namespace xl {

enum class LoadCause : uint8_t {
  None,
  Cancelled,

  // The file could not be opened or read.
  OpenDenied,
  OpenNotFound,
  OpenPathNotFolder,
  OpenPathTooLong,
  OpenLinkLoop,
  OpenTooManyFiles,
  OpenNotRegular,
  OpenErrno,            // detail: the error number
  ReadIoError,
  ReadFailed,
  ZipReadFailed,
  ZipNoMemory,
  PartNoMemory,         // detail: the part

  // Not a workbook, or a workbook format we do not read.
  Empty,
  NotWorkbook,
  NotWorkbookEmpty,
  NotWorkbookFolder,
  NotWorkbookNotRegular,
  NotWorkbookPdf,
  NotWorkbookWordDoc,
  NotWorkbookPowerPointPpt,
  NotWorkbookOle2NoStream,
  NotWorkbookNoBof,
  NotWorkbookOpenDocument,
  NotWorkbookWordDocx,
  NotWorkbookPowerPointPptx,
  NotWorkbookEmptyZip,
  NotWorkbookPlainZip,
  UnsupportedRtf,
  UnsupportedSylk,
  UnsupportedMhtml,
  UnsupportedXmlSpreadsheet,
  UnsupportedHtml,
  UnsupportedXml,
  UnsupportedUtf16Text,
  UnsupportedTabText,
  UnsupportedCsv,
  UnsupportedPlainText,
  UnsupportedXlsb,
  UnsupportedOds,
  EncryptedNeedsPassword,
  EncryptedUnsupported,
  DecryptNoMemory,
  DecryptAllocFailed,

  // Damaged.
  Damaged,
  DamagedReadError,
  DamagedOle2,
  DamagedStreamUnreadable,
  DamagedStreamPastFile,
  DamagedRecordOverrun,
  DamagedZip,
  DamagedEncryptionInfo,
  PartMissing,          // detail: the part, as for every Part... cause
  PartNotXml,
  PartTagTooLong,
  PartDoctype,
  PartEntity,
  PartTooDeep,
  PartBadCompression,
  PartInflateFailed,
  PartBadEncoding,

  // Beyond what we hold.
  TooLarge,
  TooLargeNoMemory,
  TooLargeSheets,
  TooLargeCells,
  TooLargeCellLimit,
  TooLargeCellText,
  TooLargePart,         // detail: the part, as for every TooLargePart... cause
  TooLargePartStrings,
  TooLargePartText,

  // Internal to the parallel parse of a big sheet: this piece has to be read
  // in order after all. Never left in a book.
  PieceNeedsOrder,  // keep last: causeFromNumber bounds on it
};

// The cause a number from the C interface names; None for a number this
// build does not know (it says nothing about the file).
inline LoadCause causeFromNumber(int n) {
  return n > 0 && n <= static_cast<int>(LoadCause::PieceNeedsOrder) ? static_cast<LoadCause>(n) : LoadCause::None;
}

struct LoadError {
  LoadError() = default;
  LoadError(LoadCause c, std::string d = {}) : cause(c), detail(std::move(d)) {}

  LoadCause cause = LoadCause::None;
  std::string detail;  // what the text names: a part, an error number; else empty

  bool empty() const { return cause == LoadCause::None; }
  bool operator==(const LoadError&) const = default;
};

// The text of a failure row ("ok" for None).
std::string loadErrorText(const LoadError& error);
// The cause's text as the table holds it, "{}" where the detail goes.
const char* loadCauseText(LoadCause cause);
// The same text, so test failures and logs read as the user would.
std::ostream& operator<<(std::ostream& out, const LoadError& error);
std::ostream& operator<<(std::ostream& out, LoadCause cause);

}  // namespace xl
