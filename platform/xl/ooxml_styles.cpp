// Number formats of the cell styles: all the reader needs from styles.xml is
// which styles show a number as a date or a time.
#include <map>

#include "platform/xl/ooxml_internal.h"

namespace xl::ooxml {

namespace {

// Excel caps a workbook at 64,000 cell styles; beyond a generous bound the
// rest show numbers in general form.
constexpr size_t kMaxCellStyles = 1u << 20;
constexpr size_t kMaxNumberFormats = 1u << 16;

}  // namespace

void StyleTable::addFormat(int id, std::string_view code) {
  if (id >= 0 && codes_.size() < kMaxNumberFormats) codes_[id] = code;
}

void StyleTable::addCellFormat(int numFmtId) {
  if (xfFormats_.size() < kMaxCellStyles) xfFormats_.push_back(std::max(0, numFmtId));
}

void StyleTable::addFontCharset(int charset) {
  if (!localeKnown_) localeKnown_ = formatLocaleOfCharset(charset, locale_);
}

void StyleTable::classify(Styles& styles) const {
  std::map<int, NumberKind> byId;  // many styles share few formats
  styles.cellKinds.clear();
  styles.cellKinds.reserve(xfFormats_.size());
  for (int id : xfFormats_) {
    auto known = byId.find(id);
    if (known == byId.end()) {
      auto code = codes_.find(id);
      NumberKind kind = classifyNumberFormat(id, code == codes_.end() ? std::string_view() : code->second, locale_);
      known = byId.emplace(id, kind).first;
    }
    styles.cellKinds.push_back(known->second);
  }
}

namespace {

class StylesHandler : public SaxHandler {
 public:
  StyleTable table;

  void start(const char* name, const char** atts) override {
    if (eq(name, "charset")) {  // of a font
      for (int i = 0; atts[i]; i += 2)
        if (eq(localName(atts[i]), "val")) table.addFontCharset(idOf(atts[i + 1]));
    } else if (eq(name, "numFmts")) {
      inNumFmts_ = true;
    } else if (eq(name, "cellXfs")) {
      inCellXfs_ = true;
    } else if (inNumFmts_ && eq(name, "numFmt")) {
      int id = -1;
      const char* code = "";
      for (int i = 0; atts[i]; i += 2) {
        const char* key = localName(atts[i]);
        if (eq(key, "numFmtId")) id = idOf(atts[i + 1]);
        else if (eq(key, "formatCode")) code = atts[i + 1];
      }
      table.addFormat(id, code);
    } else if (inCellXfs_ && eq(name, "xf") && xfDepth_ == 0) {
      ++xfDepth_;
      int id = 0;
      for (int i = 0; atts[i]; i += 2)
        if (eq(localName(atts[i]), "numFmtId")) id = idOf(atts[i + 1]);
      table.addCellFormat(id);
    }
  }

  void end(const char* name) override {
    if (eq(name, "numFmts")) inNumFmts_ = false;
    else if (eq(name, "cellXfs")) inCellXfs_ = false;
    else if (eq(name, "xf") && xfDepth_ > 0) --xfDepth_;
  }

 private:
  static int idOf(const char* v) {
    uint64_t n = 0;
    return parseUint(v, n) && n < 1'000'000 ? static_cast<int>(n) : -1;
  }
  bool inNumFmts_ = false;
  bool inCellXfs_ = false;
  int xfDepth_ = 0;
};

}  // namespace

bool readStyles(Package& pkg, const std::string& part, Styles& styles, LoadError& error) {
  StylesHandler handler;
  if (!pkg.parse(part, handler, error)) return false;
  handler.table.classify(styles);
  return true;
}

}  // namespace xl::ooxml
