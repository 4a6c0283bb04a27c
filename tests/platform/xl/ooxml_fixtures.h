// Workbooks built by the tests: zips assembled part by part from XML text
// (for what no writer produces) and books read back for checking.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/xl/book.h"
#include "platform/xl/ooxml_reader.h"

namespace fixtures {

using Parts = std::vector<std::pair<std::string, std::string>>;  // name, content

// A fresh path ending in `name` under the scratch folder, unique per call.
std::string scratchPath(const std::string& name);

// Writes `parts` as a zip (deflated) and returns its path.
std::string writeZip(const std::string& name, const Parts& parts);

// The parts of a one-workbook package around the given sheets: _rels/.rels,
// [Content_Types].xml, xl/workbook.xml with its relationships, and
// xl/worksheets/sheetN.xml. sharedStrings/styles are added when not empty.
struct SheetSpec {
  std::string name;
  std::string xml;  // the whole worksheet part; "" leaves the part out
};
Parts package(const std::vector<SheetSpec>& sheets, const std::string& sharedStrings = "",
              const std::string& styles = "", const std::string& workbookPr = "");

// A worksheet part around the given <sheetData> content.
std::string worksheet(const std::string& sheetData, const std::string& before = "");
// A sharedStrings part around the given <si> items.
std::string sst(const std::string& items);

// Loads through the format sniffing of Book::load.
bool load(const std::string& path, xl::Book& book);
// Reads through the OOXML reader alone, with the given limits.
bool readDirect(const std::string& path, xl::Book& book, const xl::OoxmlLimits& limits = {});

// The whole book as one text (sheets, cells, hidden marks), or the error of
// a failed read: for comparing two reads of a file.
std::string describe(const xl::Book& book, bool ok);

// Text of a stored cell of `sheet`, "<none>" when none is stored there.
std::string at(const xl::Book& book, const xl::Sheet& sheet, uint32_t row, uint32_t col);
// Text of a cell, "<null>" when the cell holds nothing.
std::string cell(const xl::Book& book, size_t sheet, uint32_t row, uint32_t col);

}  // namespace fixtures
