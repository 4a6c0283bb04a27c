// Bytes as an .xlsb through the whole load path, and once more with every
// part streamed a few bytes at a time: a book both reads must be the same.
// Input that is not a ZIP is taken as the binary parts themselves, split at
// the marker "\xFExlsb": sheet, shared strings, workbook, styles (defaults
// for the ones left out); they are packed into a workbook here, so
// mutations reach the record readers instead of dying in the inflater.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "platform/xl/ooxml_reader.h"

namespace {

constexpr std::string_view kMarker = "\xFExlsb";

constexpr std::string_view kContentTypes =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"bin\" ContentType=\"application/vnd.ms-excel.sheet.binary.macroEnabled.main\"/>"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "</Types>";
constexpr std::string_view kRootRels =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"xl/workbook.bin\"/></Relationships>";
constexpr std::string_view kWorkbookRels =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
    "Target=\"worksheets/sheet1.bin\"/>"
    "<Relationship Id=\"rId2\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings\" "
    "Target=\"sharedStrings.bin\"/>"
    "<Relationship Id=\"rId3\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
    "Target=\"styles.bin\"/></Relationships>";

// BIFF12 records for the default parts.
struct Records {
  std::string b;
  Records& rec(uint32_t type, const std::string& body = {}) {
    do {
      b.push_back(static_cast<char>((type & 0x7F) | (type > 0x7F ? 0x80 : 0)));
      type >>= 7;
    } while (type);
    uint32_t n = static_cast<uint32_t>(body.size());
    do {
      b.push_back(static_cast<char>((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
      n >>= 7;
    } while (n);
    b += body;
    return *this;
  }
};

std::string u16(uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string u32(uint32_t v) { return u16(static_cast<uint16_t>(v & 0xFFFF)) + u16(static_cast<uint16_t>(v >> 16)); }
std::string wide(std::string_view ascii) {
  std::string out = u32(static_cast<uint32_t>(ascii.size()));
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

// One sheet (rId1) in the 1900 date system.
std::string defaultWorkbook() {
  Records r;
  r.rec(131).rec(153, u32(0) + u32(0) + wide("")).rec(143);
  r.rec(156, u32(0) + u32(1) + wide("rId1") + wide("Sheet1"));
  return r.rec(144).rec(132).b;
}

// Cell formats: General, a date, a custom date and time, elapsed hours.
std::string defaultStyles() {
  Records r;
  r.rec(278).rec(615, u32(2)).rec(44, u16(164) + wide("yyyy-mm-dd hh:mm")).rec(44, u16(165) + wide("[h]:mm"));
  r.rec(616).rec(617, u32(4));
  for (uint16_t fmt : {0, 14, 164, 165}) r.rec(47, u16(0) + u16(fmt) + std::string(12, '\0'));
  return r.rec(618).rec(279).b;
}

std::string defaultSharedStrings() {
  Records r;
  r.rec(159, u32(2) + u32(2)).rec(19, std::string(1, '\0') + wide("text")).rec(19, std::string(1, '\1') + wide("rich") + u32(0));
  return r.rec(160).b;
}

std::string packWorkbook(const uint8_t* data, size_t size) {
  static const std::string workbook = defaultWorkbook(), styles = defaultStyles(), sst = defaultSharedStrings();
  std::vector<std::string_view> parts;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  while (parts.size() < 3) {
    const void* at = memmem(in.data(), in.size(), kMarker.data(), kMarker.size());
    if (!at) break;
    const size_t cut = static_cast<size_t>(static_cast<const char*>(at) - in.data());
    parts.push_back(in.substr(0, cut));
    in.remove_prefix(cut + kMarker.size());
  }
  parts.push_back(in);
  return fixtures::zipParts({{"[Content_Types].xml", kContentTypes},
                            {"_rels/.rels", kRootRels},
                            {"xl/workbook.bin", parts.size() > 2 ? parts[2] : workbook},
                            {"xl/_rels/workbook.bin.rels", kWorkbookRels},
                            {"xl/worksheets/sheet1.bin", parts[0]},
                            {"xl/sharedStrings.bin", parts.size() > 1 ? parts[1] : sst},
                            {"xl/styles.bin", parts.size() > 3 ? parts[3] : styles}},
                           /*deflate=*/false);
}

std::string cellsOf(const xl::Book& b) {
  std::string out;
  for (const xl::Sheet& s : b.sheets) {
    out += s.name + '\n';
    for (const xl::CellRef& c : s.cells()) {
      out += std::to_string(c.row) + ',' + std::to_string(c.col) + '=';
      out.append(b.text(c), c.len);
      out += '\n';
    }
  }
  return out;
}

void loadBoth(const uint8_t* data, size_t size) {
  fuzz::MemFile file(data, size);
  xl::Book whole;
  const bool ok = whole.load(file.path());
  fuzz::checkBook(whole, ok);

  // Every part streamed in pieces of a few bytes: records straddle them.
  // (Only for .xlsb: the XML tokenizer refuses pieces that small.)
  if (!memmem(data, size, "workbook.bin", 12)) return;
  xl::Book streamed;
  xl::OoxmlLimits limits;
  limits.maxTokenBytes = 16;  // no part inflated whole
  limits.chunkBytes = 1 + size % 13;
  if (xl::readOoxml(file.fd(), streamed, limits)) {
    for (xl::Sheet& s : streamed.sheets) s.finish();
    streamed.setError(xl::LoadCause::None);
    fuzz::checkBook(streamed, true);
    if (ok && cellsOf(whole) != cellsOf(streamed)) fuzz::fail("streamed read differs from the whole read");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::loadZipOrParts(data, size, packWorkbook, loadBoth);
  return 0;
}
