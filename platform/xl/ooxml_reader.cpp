// Reads an .xlsx/.xlsm workbook: finds the workbook part through the package
// relationships, lists the sheets in workbook order, then reads the shared
// strings, the styles and every sheet part the workbook names.
#include "platform/xl/ooxml_reader.h"

#include "platform/xl/ascii.h"
#include "platform/xl/ooxml_internal.h"
#include "platform/xl/xlsb_reader.h"

namespace xl {

namespace ooxml {
namespace {

class WorkbookHandler : public SaxHandler {
 public:
  explicit WorkbookHandler(uint32_t maxSheets) : maxSheets_(maxSheets) {}
  std::vector<SheetEntry> sheets;
  bool date1904 = false;
  bool binary = false;

  void start(const char* name, const char** atts) override {
    if (eq(name, "workbookPr")) {
      for (int i = 0; atts[i]; i += 2)
        if (eq(localName(atts[i]), "date1904")) date1904 = isTrue(atts[i + 1]);
    } else if (eq(name, "sheets")) {
      inSheets_ = true;
    } else if (inSheets_ && eq(name, "sheet")) {
      if (sheets.size() >= maxSheets_) {
        fail(LoadCause::TooLargeSheets);
        return;
      }
      SheetEntry entry;
      std::string plainId;
      for (int i = 0; atts[i]; i += 2) {
        const char* key = atts[i];
        if (isNamespaceDecl(key)) continue;
        const char* local = localName(key);
        if (eq(local, "name")) {
          entry.name = atts[i + 1];
        } else if (eq(local, "id")) {
          // The relationship id is the prefixed one (r:id); a bare id is a fallback.
          if (local != key) entry.relId = atts[i + 1];
          else plainId = atts[i + 1];
        }
      }
      if (entry.relId.empty()) entry.relId = std::move(plainId);
      decodeEscapes(entry.name);
      sheets.push_back(std::move(entry));
    }
  }
  void end(const char* name) override {
    if (eq(name, "sheets")) inSheets_ = false;
  }

 private:
  uint32_t maxSheets_;
  bool inSheets_ = false;
};

// [Content_Types].xml, used only when the package relationships do not name
// the workbook.
class ContentTypesHandler : public SaxHandler {
 public:
  std::string workbookPart;
  void start(const char* name, const char** atts) override {
    if (!workbookPart.empty() || !eq(name, "Override")) return;
    const char* part = nullptr;
    const char* type = nullptr;
    for (int i = 0; atts[i]; i += 2) {
      if (eq(atts[i], "PartName")) part = atts[i + 1];
      else if (eq(atts[i], "ContentType")) type = atts[i + 1];
    }
    if (!part || !type) return;
    std::string t(type);
    if (typeIs(t, ".main+xml") && (t.find("spreadsheetml") != std::string::npos || t.find("ms-excel") != std::string::npos))
      workbookPart = resolveTarget("", part);
  }
  void end(const char*) override {}
};

const Relationship* findRel(const std::vector<Relationship>& rels, const char* typeSuffix) {
  for (const Relationship& r : rels)
    if (typeIs(r.type, typeSuffix)) return &r;
  return nullptr;
}

bool findWorkbookPart(Package& pkg, std::string& part, LoadError& error) {
  std::vector<Relationship> rels;
  if (!readRelationships(pkg, "_rels/.rels", rels, error)) return false;
  if (const Relationship* r = findRel(rels, "/officeDocument"); r && pkg.has(r->target)) {
    part = r->target;
    return true;
  }
  const bool isPackage = pkg.has("[Content_Types].xml");
  if (isPackage) {
    ContentTypesHandler types;
    if (!pkg.parse("[Content_Types].xml", types, error)) return false;
    if (!types.workbookPart.empty() && pkg.has(types.workbookPart)) {
      part = types.workbookPart;
      return true;
    }
  }
  if (pkg.has("xl/workbook.xml")) {
    part = "xl/workbook.xml";
    return true;
  }
  if (!isPackage && rels.empty()) {
    error = LoadCause::NotWorkbookPlainZip;
    return false;
  }
  const Relationship* r = findRel(rels, "/officeDocument");
  error = {LoadCause::PartMissing, r && !r->target.empty() ? r->target : std::string("xl/workbook.xml")};
  return false;
}

// A part of an .xlsb holds BIFF12 records in place of XML. Decided part by
// part: the name says what the part holds, whatever the workbook is.
bool isBinaryPart(const std::string& part) {
  if (part.size() < 4) return false;
  return equalsFoldedAscii(std::string_view(part).substr(part.size() - 4), ".bin");
}

bool readBook(Package& pkg, Book& book, const OoxmlLimits& limits, LoadError& error) {
  std::string workbookPart;
  if (!findWorkbookPart(pkg, workbookPart, error)) return false;
  // An .xlsb: the same package and relationships, records in place of XML.
  const bool binary = isBinaryPart(workbookPart);

  std::vector<SheetEntry> sheets;
  bool date1904 = false;
  if (binary) {
    if (!xlsb::readWorkbook(pkg, workbookPart, book, limits.maxSheets, sheets, date1904, error)) return false;
  } else {
    WorkbookHandler workbook(limits.maxSheets);
    if (!pkg.parse(workbookPart, workbook, error)) return false;
    sheets = std::move(workbook.sheets);
    date1904 = workbook.date1904;
  }

  std::vector<Relationship> rels;
  if (!readRelationships(pkg, relsPartFor(workbookPart), rels, error)) return false;
  std::unordered_map<std::string, const Relationship*> byId;
  byId.reserve(rels.size());
  for (const Relationship& r : rels) byId.emplace(r.id, &r);

  // Parts the relationships do not name may still sit at their usual place.
  auto partOf = [&](const char* typeSuffix, const char* usual) -> std::string {
    if (const Relationship* r = findRel(rels, typeSuffix); r && pkg.has(r->target)) return r->target;
    std::string fallback = resolveTarget(workbookPart, usual);
    return pkg.has(fallback) ? fallback : std::string();
  };

  Styles styles;
  if (std::string part = partOf("/styles", binary ? "styles.bin" : "styles.xml"); !part.empty())
    if (!(isBinaryPart(part) ? xlsb::readStyles(pkg, part, book, styles, error) : readStyles(pkg, part, styles, error)))
      return false;

  SharedStrings sst;
  if (std::string part = partOf("/sharedStrings", binary ? "sharedStrings.bin" : "sharedStrings.xml"); !part.empty())
    if (!(isBinaryPart(part) ? xlsb::readSharedStrings(pkg, part, book, sst, error)
                 : readSharedStrings(pkg, part, book, sst, error)))
      return false;

  uint64_t cellCount = 0;
  SheetContext ctx{book, sst, styles, date1904, cellCount, limits.maxCells};
  // A sheet whose part is missing is kept, without cells, so that sheet
  // positions still match the workbook's.
  book.sheets.reserve(sheets.size());
  for (SheetEntry& entry : sheets) {
    Sheet& sheet = book.sheets.emplace_back();
    sheet.name = std::move(entry.name);
    auto it = byId.find(entry.relId);
    if (it != byId.end()) {
      const Relationship& rel = *it->second;
      if (typeIs(rel.type, "/chartsheet") || typeIs(rel.type, "/dialogsheet")) {
        sheet.isChart = true;
      } else if (typeIs(rel.type, "sheet") && pkg.has(rel.target)) {
        // Worksheets and macro sheets hold cells; a sheet pointing at any
        // other kind of part (an image, say) is left without cells.
        if (!(isBinaryPart(rel.target) ? xlsb::readWorksheet(pkg, rel.target, sheet, ctx, error)
                     : readWorksheet(pkg, rel.target, sheet, ctx, error)))
          return false;
      }
    }
    sheet.finish();
  }
  return true;
}

}  // namespace
}  // namespace ooxml

bool readOoxml(int fd, Book& book, const OoxmlLimits& limits) {
  ooxml::Package pkg(limits);
  pkg.cancelWith(&book);
  LoadError error;
  if (!pkg.open(fd, error) || !ooxml::readBook(pkg, book, limits, error)) {
    book.clear();
    book.setError(error.empty() ? LoadError{LoadCause::Damaged} : std::move(error));
    return false;
  }
  book.diagnostics = pkg.notes().take();
  return true;
}

bool readOoxml(int fd, Book& book) { return readOoxml(fd, book, OoxmlLimits()); }

}  // namespace xl
