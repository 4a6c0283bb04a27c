// The .xlsx/.xlsm reader with its limits spelled out, so tests can exercise
// the limits on small files. xl::readOoxml (book.h) uses the defaults.
#pragma once

#include <cstdint>
#include <string>

#include "platform/xl/book.h"
#include "platform/xl/cellformat.h"

namespace xl {

struct OoxmlLimits {
  uint64_t maxPartBytes = kMaxPartBytes;  // inflated bytes of one part
  int maxDepth = 256;                     // element nesting
  uint64_t maxTokenBytes = 64u << 20;     // one tag or attribute value held by the parser
  // A part this large that inflates to more than maxRatio times its
  // compressed size is a decompression bomb, not a sheet: real sheets
  // compress 5 to 50 times.
  uint64_t ratioCheckBytes = 256u << 20;
  uint64_t maxRatio = 250;
  uint64_t maxCells = kMaxCells;
  uint32_t maxSheets = 100'000;
  size_t chunkBytes = 256u << 10;         // inflated bytes parsed at a time
  bool fastXml = true;                    // our tokenizer for UTF-8 parts; expat for the rest
  // A sheet part at least this large is cut into pieces of about
  // pieceBytes at row ends, parsed on the cores other loads leave idle.
  uint64_t parallelBytes = 16u << 20;
  size_t pieceBytes = 256u << 10;
  unsigned pieceHelpers = 0;              // threads beside the loader; 0: the idle cores
};

// The content decides what is read, never the file's name.
bool readOoxml(int fd, Book& book, const OoxmlLimits& limits);

}  // namespace xl
