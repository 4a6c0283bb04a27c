// The Excel binary workbook (.xlsb): the same zip package and relationships
// as an .xlsx, with BIFF12 records ([MS-XLSB]) in place of the XML parts.
// The package reader (ooxml_reader.cpp) finds the workbook part and, when
// it is binary, reads each part through these instead of the XML readers;
// cells end in the same book model with the same texts.
#pragma once

#include <string>
#include <vector>

#include "platform/xl/ooxml_internal.h"

namespace xl::xlsb {

// workbook.bin: the sheets in workbook order and the date system.
bool readWorkbook(ooxml::Package& pkg, const std::string& part, const Book& book, uint32_t maxSheets,
                  std::vector<ooxml::SheetEntry>& sheets, bool& date1904, LoadError& error);
// sharedStrings.bin: each item's text (rich runs joined, phonetic runs left out).
bool readSharedStrings(ooxml::Package& pkg, const std::string& part, Book& book, ooxml::SharedStrings& sst,
                       LoadError& error);
// styles.bin: the number format of each cell format.
bool readStyles(ooxml::Package& pkg, const std::string& part, const Book& book, ooxml::Styles& styles,
                LoadError& error);
// A worksheet or macro sheet part: cells, hidden rows, hidden columns.
// Every reader here gives up with LoadCause::Cancelled once the book's cancel
// flag is set.
bool readWorksheet(ooxml::Package& pkg, const std::string& part, Sheet& sheet, ooxml::SheetContext& ctx,
                   LoadError& error);

}  // namespace xl::xlsb
