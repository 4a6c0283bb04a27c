// Bytes as an .xlsx file through the whole load path (sniff, ZIP, XML parts),
// once with our tokenizer and once with expat, which reads parts that are
// not UTF-8. Input that is not a ZIP is taken as the XML parts themselves,
// separated by 0xFF bytes (no UTF-8 text holds one): sheet, shared strings,
// workbook, styles; they are packed into a workbook here, so mutations reach
// the XML readers instead of dying in the inflater.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "platform/xl/ooxml_reader.h"

namespace {

constexpr std::string_view kContentTypes =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Override PartName=\"/xl/workbook.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/></Types>";
constexpr std::string_view kRootRels =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"xl/workbook.xml\"/></Relationships>";
constexpr std::string_view kWorkbookRels =
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
    "Target=\"styles.xml\"/></Relationships>";
constexpr std::string_view kWorkbook =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><workbook "
    "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
    "<sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
constexpr std::string_view kStyles =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><styleSheet "
    "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><cellXfs count=\"1\">"
    "<xf numFmtId=\"0\"/></cellXfs></styleSheet>";
constexpr std::string_view kSharedStrings =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><sst "
    "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"1\" uniqueCount=\"1\">"
    "<si><t>文本</t></si></sst>";

// The parts packed into an (uncompressed) workbook; empty when libzip fails.
std::string packWorkbook(const uint8_t* data, size_t size) {
  std::vector<std::string_view> parts;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  while (parts.size() < 3) {
    size_t cut = in.find('\xFF');
    if (cut == std::string_view::npos) break;
    parts.push_back(in.substr(0, cut));
    in.remove_prefix(cut + 1);
  }
  parts.push_back(in);
  std::string_view sheet = parts[0];
  std::string_view sst = parts.size() > 1 ? parts[1] : kSharedStrings;
  std::string_view workbook = parts.size() > 2 ? parts[2] : kWorkbook;
  std::string_view styles = parts.size() > 3 ? parts[3] : kStyles;

  return fixtures::zipParts({{"[Content_Types].xml", kContentTypes},
                            {"_rels/.rels", kRootRels},
                            {"xl/workbook.xml", workbook},
                            {"xl/_rels/workbook.xml.rels", kWorkbookRels},
                            {"xl/worksheets/sheet1.xml", sheet},
                            {"xl/sharedStrings.xml", sst},
                            {"xl/styles.xml", styles}},
                           /*deflate=*/false);
}

// Everything a search reads from a book, to compare two reads.
std::string dump(bool ok, xl::Book& book) {
  if (!ok) return "failed: " + book.errorText();
  std::string out;
  for (xl::Sheet& s : book.sheets) {
    s.finish();
    out += s.name + "\n";
    for (const xl::CellRef& c : s.cells())
      out += std::to_string(c.row) + "," + std::to_string(c.col) + "=" + book.text(c) + "\n";
    for (int r = 0; r < s.lastRow(); ++r)
      if (s.rowHidden(static_cast<uint32_t>(r))) out += "h" + std::to_string(r) + "\n";
  }
  return out;
}

// A sheet read in tiny pieces on two threads must give what one thread gives.
void loadInPieces(const fuzz::MemFile& file) {
  xl::OoxmlLimits one, pieces;
  one.parallelBytes = ~0ull;
  pieces.parallelBytes = 0;
  pieces.pieceBytes = 64;
  pieces.pieceHelpers = 1;
  xl::Book a, b;
  const bool okA = xl::readOoxml(file.fd(), a, one);
  const bool okB = xl::readOoxml(file.fd(), b, pieces);
  // Both failing is enough: a damaged deflate stream yields a little more or
  // less before its error depending on how much is asked of it at a time,
  // so the error may be met as damage or as the XML it cut short.
  if ((okA || okB) && dump(okA, a) != dump(okB, b)) __builtin_trap();
}

void loadBoth(const uint8_t* data, size_t size) {
  fuzz::MemFile file(data, size);
  {
    xl::Book book;
    bool ok = book.load(file.path());
    fuzz::checkBook(book, ok);
  }
  loadInPieces(file);
  xl::Book book;
  xl::OoxmlLimits limits;
  limits.fastXml = false;
  if (xl::readOoxml(file.fd(), book, limits)) {
    for (xl::Sheet& s : book.sheets) s.finish();
    book.setError(xl::LoadCause::None);
    fuzz::checkBook(book, true);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::loadZipOrParts(data, size, packWorkbook, loadBoth);
  return 0;
}
