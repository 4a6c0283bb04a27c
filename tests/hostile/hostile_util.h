// Helpers of the hostile-input tests: scratch folders, files built byte by
// byte (ZIP, OLE2, BIFF records), and a whole search through the real
// library whose result rows can be checked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/xl/book.h"
#include "tests/platform/xl/xl_test_util.h"

namespace hostile {

// A fresh, empty folder under the test scratch area.
std::string scratchDir(const std::string& name);
// Removes a scratch tree, also one with folders without permission or
// paths longer than PATH_MAX.
void removeTree(const std::string& dir);
void writeFile(const std::string& path, std::string_view bytes);

// The load's result: "ok" or the failure text.
std::string loadResult(const std::string& path);
// Why the load failed (LoadCause::None when it did not).
xl::LoadError loadFailure(const std::string& path);

// A ZIP of stored or deflated entries, written by libzip.
using Parts = std::vector<std::pair<std::string, std::string>>;
std::string zipBytes(const Parts& parts, bool deflate = true);
// The package parts of a one-sheet workbook around `sheetXml`; the other
// parts may be replaced by name.
Parts oneSheetPackage(const std::string& sheetXml, const Parts& replace = {});
std::string worksheet(const std::string& sheetData, const std::string& before = "");

// An OLE2 compound file holding the named streams.
std::string ole2Bytes(const std::vector<std::pair<std::string, std::string>>& streams);

// BIFF8 records.
std::string record(uint16_t type, std::string_view body);
std::string u16(unsigned v);
std::string u32(uint32_t v);
std::string bof(uint16_t kind);  // 0x0005 globals, 0x0010 worksheet
std::string eofRecord();
std::string boundSheet(uint32_t offset, const std::string& asciiName);
std::string labelCell(unsigned row, unsigned col, const std::string& latin1);  // LABEL, BIFF8 form

// One result row of a search: the grid's cells from column 0 on.
using Row = std::vector<std::string>;
struct SearchResult {
  std::vector<Row> rows;  // without the header row
  int progressMaximum = -1;
  double seconds = 0;
};
// Counts, walks and scans `folder` for `text` with the statically linked
// library, exactly as the window's worker does.
SearchResult searchFolder(const std::string& folder, const std::string& text);

// Whether a failure text is the Chinese one: the library tests' check.
using xltest::hasCjk;

}  // namespace hostile
