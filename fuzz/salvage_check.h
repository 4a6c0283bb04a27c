// The fallback compound-file reader on its own, and the stream it gives read
// through the record layer: shared by the .xls target and the container one.
#pragma once

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "platform/xl/biff_parse.h"
#include "platform/xl/ole2_salvage.h"

namespace fuzz {

inline void checkSalvagedStream(const uint8_t* data, size_t size) {
  std::vector<uint8_t> stream;
  // The search among the root's children alone, as the load makes it after
  // libgsf listed no workbook.
  if (xl::ole2::salvageWorkbookStream(data, size, stream, xl::ole2::Search::TopLevel) &&
      (stream.empty() || stream.size() > size))
    fail("top-level stream empty or larger than the file");
  if (!xl::ole2::salvageWorkbookStream(data, size, stream)) return;
  if (stream.empty() || stream.size() > size) fail("salvaged stream empty or larger than the file");
  xl::Book book;
  if (xl::biff::parseWorkbookStream(stream.data(), stream.size(), "Sheet1", book)) {
    for (xl::Sheet& s : book.sheets) s.finish();
    book.setError(xl::LoadCause::None);
    checkBook(book, true);
  }
}

}  // namespace fuzz
