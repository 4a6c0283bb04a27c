#include "tests/hostile/hostile_util.h"

#include <gsf/gsf.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/xl/xlapi.h"
#include "results/results_grid.h"
#include "search/search_run.h"
#include "search/workbook_scan.h"
#include "tests/platform/xl/ole2_parts.h"
#include "tests/platform/xl/zip_parts.h"

namespace hostile {

void removeTree(const std::string& dir) {
  // rm copes with any depth; chmod first for folders left without permission.
  const std::string cmd = "chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

std::string scratchDir(const std::string& name) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(QUORVANE_TEST_SCRATCH) / "hostile" / (name + "-" + std::to_string(::getpid()));
  removeTree(dir.string());
  fs::create_directories(dir);
  return dir.string();
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string loadResult(const std::string& path) {
  xl::Book book;
  if (book.load(path)) return "ok";
  return book.errorText();
}

xl::LoadError loadFailure(const std::string& path) {
  xl::Book book;
  book.load(path);
  return book.error();
}

std::string zipBytes(const Parts& parts, bool deflate) {
  std::string out = fixtures::zipParts(fixtures::ZipEntries(parts.begin(), parts.end()), deflate);
  if (out.empty()) throw std::runtime_error("zip failed");
  return out;
}

std::string worksheet(const std::string& sheetData, const std::string& before) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" +
         before + "<sheetData>" + sheetData + "</sheetData></worksheet>";
}

Parts oneSheetPackage(const std::string& sheetXml, const Parts& replace) {
  Parts parts{
      {"[Content_Types].xml",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
       "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
       "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
       "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
       "<Override PartName=\"/xl/workbook.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/></Types>"},
      {"_rels/.rels",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
       "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
       "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
       "Target=\"xl/workbook.xml\"/></Relationships>"},
      {"xl/workbook.xml",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><workbook "
       "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
       "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
       "<sheets><sheet name=\"数据\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
      {"xl/_rels/workbook.xml.rels",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
       "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
       "<Relationship Id=\"rId1\" "
       "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
       "Target=\"worksheets/sheet1.xml\"/>"
       "<Relationship Id=\"rId2\" "
       "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings\" "
       "Target=\"sharedStrings.xml\"/>"
       "<Relationship Id=\"rId3\" "
       "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
       "Target=\"styles.xml\"/></Relationships>"},
      {"xl/styles.xml",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><styleSheet "
       "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><cellXfs count=\"1\">"
       "<xf numFmtId=\"0\"/></cellXfs></styleSheet>"},
      {"xl/sharedStrings.xml",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><sst "
       "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"2\" uniqueCount=\"2\">"
       "<si><t>共享甲</t></si><si><t>共享乙</t></si></sst>"},
      {"xl/worksheets/sheet1.xml", sheetXml},
  };
  for (const auto& [name, data] : replace) {
    bool found = false;
    for (auto& p : parts)
      if (p.first == name) {
        p.second = data;
        found = true;
      }
    if (!found) parts.emplace_back(name, data);
  }
  return parts;
}

std::string ole2Bytes(const std::vector<std::pair<std::string, std::string>>& streams) {
  fixtures::Ole2Streams views(streams.begin(), streams.end());
  return fixtures::ole2Parts(views);
}

std::string u16(unsigned v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}
std::string u32(uint32_t v) { return u16(v & 0xFFFF) + u16(v >> 16); }

std::string record(uint16_t type, std::string_view body) {
  return u16(type) + u16(static_cast<unsigned>(body.size())) + std::string(body);
}

std::string bof(uint16_t kind) {
  // BIFF8, build 0x0DBB, year 1996, file history and lowest version fields.
  return record(0x0809, u16(0x0600) + u16(kind) + u16(0x0DBB) + u16(0x07CC) + u32(0) + u32(0x0006));
}
std::string eofRecord() { return record(0x000A, ""); }

std::string boundSheet(uint32_t offset, const std::string& asciiName) {
  return record(0x0085, u32(offset) + u16(0) + std::string(1, static_cast<char>(asciiName.size())) +
                            std::string(1, '\0') + asciiName);
}

std::string labelCell(unsigned row, unsigned col, const std::string& latin1) {
  return record(0x0204, u16(row) + u16(col) + u16(0x0F) + u16(static_cast<unsigned>(latin1.size())) +
                            std::string(1, '\0') + latin1);
}

SearchResult searchFolder(const std::string& folder, const std::string& text) {
  const XlApi& api = staticXlApi();
  BookHandle book = api.createXMLBook();
  ScanBookSource source(api, book);
  SearchSettings settings;
  settings.searchText = text;
  settings.folderText = folder;
  std::atomic<int> stop{0};
  ResultsGrid grid;
  SearchResult result;
  auto start = std::chrono::steady_clock::now();
  runSearch(settings, api, source, stop, [&](ScanOutput& pending, bool) {
    pending.applyTo(grid, [&](int, int maximum, std::string_view) { result.progressMaximum = maximum; });
    pending.clear();
  });
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  api.bookRelease(book);
  for (int r = 1; r < grid.rowCount(); ++r) {
    Row row;
    for (int c = 0; c < grid.columnCount(); ++c) row.push_back(grid.cellText(r, c));
    result.rows.push_back(std::move(row));
  }
  return result;
}

}  // namespace hostile
