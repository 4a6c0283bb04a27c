// The book-level parts of an .xlsb: workbook.bin (sheet list, date system),
// sharedStrings.bin and styles.bin.
#include "platform/xl/xlsb_reader.h"

#include <algorithm>

#include "platform/xl/xlsb_records.h"

namespace xl::xlsb {

bool readWorkbook(ooxml::Package& pkg, const std::string& part, const Book& book, uint32_t maxSheets,
                  std::vector<ooxml::SheetEntry>& sheets, bool& date1904, LoadError& error) {
  return readRecords(pkg, part, book, error, [&](const Record& r) {
    Fields f(r);
    if (r.type == kWbProp) {
      uint32_t flags = 0;
      if (f.u32(flags)) date1904 = flags & 1;
    } else if (r.type == kBundleSh) {
      // Hidden and very hidden sheets are listed like visible ones.
      uint32_t state = 0, tabId = 0;
      ooxml::SheetEntry entry;
      if (!f.u32(state) || !f.u32(tabId) || !f.wideString(entry.relId, true) || !f.wideString(entry.name))
        return true;  // a damaged entry names no part
      if (sheets.size() >= maxSheets) {
        error = LoadCause::TooLargeSheets;
        return false;
      }
      sheets.push_back(std::move(entry));
    }
    return true;
  });
}

bool readSharedStrings(ooxml::Package& pkg, const std::string& part, Book& book, ooxml::SharedStrings& sst,
                       LoadError& error) {
  std::string text;
  return readRecords(pkg, part, book, error, [&](const Record& r) {
    Fields f(r);
    if (r.type == kBeginSst) {
      // The counts are hints only: they may lie, so they bound the reservation.
      uint32_t total = 0, unique = 0;
      if (f.u32(total) && f.u32(unique)) sst.items.reserve(std::min<uint32_t>(unique, 1u << 16));
    } else if (r.type == kSstItem) {
      if (sst.items.size() >= ooxml::kMaxSharedStrings) {
        error = LoadError{LoadCause::TooLargePartStrings, part};
        return false;
      }
      // A damaged item still takes its place, so later indexes stay right.
      text.clear();
      if (!f.richString(text)) text.clear();
      if (text.size() > ooxml::kMaxTextBytes) {
        error = LoadError{LoadCause::TooLargePartText, part};
        return false;
      }
      uint32_t off = Book::kEmptyText, len = 0;
      if (!text.empty() && !book.addCellText(text, off, len)) {
        error = LoadCause::TooLargeCellText;
        return false;
      }
      sst.items.emplace_back(off, len);
    }
    return true;
  });
}

bool readStyles(ooxml::Package& pkg, const std::string& part, const Book& book, ooxml::Styles& styles,
                LoadError& error) {
  ooxml::StyleTable table;
  bool inCellXfs = false;
  std::string code;
  const bool ok = readRecords(pkg, part, book, error, [&](const Record& r) {
    Fields f(r);
    switch (r.type) {
      case kFmt: {
        uint16_t id = 0;
        code.clear();
        if (f.u16(id) && f.wideString(code)) table.addFormat(id, code);
        break;
      }
      case kFont: {  // height, flags, weight, escapement, underline, family, character set
        uint8_t charset = 0;
        if (f.skip(10) && f.u8(charset)) table.addFontCharset(charset);
        break;
      }
      case kBeginCellXfs:
        inCellXfs = true;
        break;
      case kEndCellXfs:
        inCellXfs = false;
        break;
      case kXf: {
        // Cell style formats use the same record outside the cell formats.
        uint16_t parent = 0, format = 0;
        if (inCellXfs) table.addCellFormat(f.u16(parent) && f.u16(format) ? format : 0);
        break;
      }
      default:
        break;
    }
    return true;
  });
  if (ok) table.classify(styles);
  return ok;
}

}  // namespace xl::xlsb
