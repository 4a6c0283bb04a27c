// The record layer of the BIFF reader: turns a workbook stream (the OLE2
// "Workbook"/"Book" stream, or a whole BIFF2-4 file) into a Book.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/xl/book.h"

namespace xl::biff {

// Fills `book` from the stream at data[0, size). A BIFF2-4 worksheet file has
// no sheet names; its one sheet is called `singleSheetName`. Returns false
// with book.setError(...) when the stream is encrypted, damaged or too large.
bool parseWorkbookStream(const uint8_t* data, size_t size, const std::string& singleSheetName,
                         Book& book);

}  // namespace xl::biff
