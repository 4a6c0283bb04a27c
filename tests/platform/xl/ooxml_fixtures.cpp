#include "tests/platform/xl/ooxml_fixtures.h"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/platform/xl/zip_parts.h"

namespace fixtures {

namespace {
// One folder per test process, removed when the process ends.
struct ScratchDir {
  std::filesystem::path path =
      std::filesystem::path(QUORVANE_TEST_SCRATCH) / "ooxml" / std::to_string(getpid());
  ScratchDir() { std::filesystem::create_directories(path); }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};
}  // namespace

std::string scratchPath(const std::string& name) {
  static ScratchDir dir;
  static std::atomic<int> counter{0};
  // A folder per call keeps the name as given: the oldest .xls files name
  // their one sheet after the file.
  const std::filesystem::path folder = dir.path / std::to_string(counter++);
  std::filesystem::create_directories(folder);
  return (folder / name).string();
}

std::string writeZip(const std::string& name, const Parts& parts) {
  const std::string bytes = zipParts(ZipEntries(parts.begin(), parts.end()));
  if (bytes.empty()) throw std::runtime_error("zip of " + name + " failed");
  const std::string path = scratchPath(name);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

namespace {
const char* kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const char* kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
}  // namespace

Parts package(const std::vector<SheetSpec>& sheets, const std::string& sharedStrings,
              const std::string& styles, const std::string& workbookPr) {
  Parts parts;
  parts.emplace_back("[Content_Types].xml",
                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                     "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                     "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                     "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                     "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
                     "</Types>");
  parts.emplace_back("_rels/.rels",
                     std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                                 "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                                 "<Relationship Id=\"rId1\" Type=\"") +
                         kRel + "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
  std::string wb = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><workbook xmlns=\"") + kMain +
                   "\" xmlns:r=\"" + kRel + "\">" + workbookPr + "<sheets>";
  std::string rels = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                     "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
  for (size_t i = 0; i < sheets.size(); ++i) {
    std::string id = "rId" + std::to_string(i + 10);
    wb += "<sheet name=\"" + sheets[i].name + "\" sheetId=\"" + std::to_string(i + 1) + "\" r:id=\"" + id + "\"/>";
    rels += "<Relationship Id=\"" + id + "\" Type=\"" + kRel + "/worksheet\" Target=\"worksheets/sheet" +
            std::to_string(i + 1) + ".xml\"/>";
    if (!sheets[i].xml.empty())
      parts.emplace_back("xl/worksheets/sheet" + std::to_string(i + 1) + ".xml", sheets[i].xml);
  }
  wb += "</sheets></workbook>";
  if (!sharedStrings.empty()) {
    rels += std::string("<Relationship Id=\"rId1\" Type=\"") + kRel + "/sharedStrings\" Target=\"sharedStrings.xml\"/>";
    parts.emplace_back("xl/sharedStrings.xml", sharedStrings);
  }
  if (!styles.empty()) {
    rels += std::string("<Relationship Id=\"rId2\" Type=\"") + kRel + "/styles\" Target=\"styles.xml\"/>";
    parts.emplace_back("xl/styles.xml", styles);
  }
  rels += "</Relationships>";
  parts.emplace_back("xl/workbook.xml", wb);
  parts.emplace_back("xl/_rels/workbook.xml.rels", rels);
  return parts;
}

std::string worksheet(const std::string& sheetData, const std::string& before) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><worksheet xmlns=\"") + kMain + "\">" + before +
         "<sheetData>" + sheetData + "</sheetData></worksheet>";
}

std::string sst(const std::string& items) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><sst xmlns=\"") + kMain + "\">" + items + "</sst>";
}

bool load(const std::string& path, xl::Book& book) { return book.load(path); }

bool readDirect(const std::string& path, xl::Book& book, const xl::OoxmlLimits& limits) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  book.clear();
  bool ok = xl::readOoxml(fd, book, limits);
  close(fd);
  return ok;
}

std::string describe(const xl::Book& b, bool ok) {
  if (!ok) return "error: " + b.errorText();
  std::string out;
  for (const xl::Sheet& s : b.sheets) {
    out += "[" + s.name + "] chart=" + std::to_string(s.isChart) + " " + std::to_string(s.lastRow()) + "x" +
           std::to_string(s.lastCol()) + "\n";
    for (const xl::CellRef& c : s.cells()) {
      out += std::to_string(c.row) + "," + std::to_string(c.col) + (s.rowHidden(c.row) ? "h" : "") +
             (s.colHidden(c.col) ? "H" : "") + "=" + std::string(b.text(c), c.len) + "\n";
    }
  }
  return out;
}

std::string at(const xl::Book& book, const xl::Sheet& sheet, uint32_t row, uint32_t col) {
  const xl::CellRef* c = sheet.find(row, col);
  return c ? std::string(book.text(*c), c->len) : std::string("<none>");
}

std::string cell(const xl::Book& book, size_t sheet, uint32_t row, uint32_t col) {
  if (sheet >= book.sheets.size()) return "<no sheet>";
  const xl::CellRef* ref = book.sheets[sheet].find(row, col);
  return ref ? std::string(book.text(*ref), ref->len) : std::string("<null>");
}

}  // namespace fixtures
