// Bytes as an .xls: an OLE2 file goes through the whole load path and
// through the fallback container reader alone; anything
// else is taken as a workbook stream three ways: parsed directly, loaded as a
// raw BIFF file, and loaded wrapped in an OLE2 container as Excel writes it.
#include <gsf/gsf.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "fuzz/salvage_check.h"
#include "platform/xl/biff_parse.h"
#include "platform/xl/ole2_salvage.h"
#include "tests/platform/xl/ole2_parts.h"

namespace {

void loadBytes(const uint8_t* data, size_t size) {
  fuzz::MemFile file(data, size);
  xl::Book book;
  bool ok = book.load(file.path());
  fuzz::checkBook(book, ok);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool inited = [] {
    gsf_init();
    return true;
  }();
  (void)inited;
  loadBytes(data, size);
  if (size >= 8 && std::memcmp(data, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0) {
    // The fallback container reader on its own, whether libgsf took the
    // file or not, and the stream it gives through the record layer.
    fuzz::checkSalvagedStream(data, size);
    return 0;
  }
  {
    xl::Book book;
    bool ok = xl::biff::parseWorkbookStream(data, size, "Sheet1", book);
    if (ok) {
      for (xl::Sheet& s : book.sheets) s.finish();
      book.setError(xl::LoadCause::None);
      fuzz::checkBook(book, true);
    }
  }
  const std::string ole =
      fixtures::ole2Parts({{"Workbook", std::string_view(reinterpret_cast<const char*>(data), size)}});
  if (!ole.empty()) loadBytes(reinterpret_cast<const uint8_t*>(ole.data()), ole.size());
  return 0;
}
