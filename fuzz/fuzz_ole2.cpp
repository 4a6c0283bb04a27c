// Bytes as an OLE2 compound file through the fallback container reader
// alone (the one used when libgsf refuses a file), then the stream it gives
// through the record layer: all in memory, so the container's tolerant
// paths (short sectors, missing FAT sectors, loops, broken trees) get many
// more runs than the whole load path gives them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "platform/xl/biff_parse.h"
#include "platform/xl/ole2_salvage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> stream;
  if (!xl::ole2::salvageWorkbookStream(data, size, stream)) return 0;
  if (stream.empty() || stream.size() > size) fuzz::fail("salvaged stream empty or larger than the file");
  xl::Book book;
  if (xl::biff::parseWorkbookStream(stream.data(), stream.size(), "Sheet1", book)) {
    for (xl::Sheet& s : book.sheets) s.finish();
    book.setError("ok");
    fuzz::checkBook(book, true);
  }
  return 0;
}
