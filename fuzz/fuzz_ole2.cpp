// Bytes as an OLE2 compound file through the fallback container reader
// alone (the one used when libgsf refuses a file), then the stream it gives
// through the record layer: all in memory, so the container's tolerant
// paths (short sectors, missing FAT sectors, loops, broken trees) get many
// more runs than the whole load path gives them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/salvage_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::checkSalvagedStream(data, size);
  return 0;
}
