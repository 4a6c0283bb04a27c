// Writes seeds for fuzz_cache_entry: every workbook given, loaded by the
// library and kept as the cell cache keeps it, once as the bare byte form and
// once compressed with a stand-in file identity, as an entry lies on disk.
//   make_cache_seeds OUT-DIR WORKBOOK...
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/xl/xlapi.h"
#include "search/cached_book.h"
#include "search/cell_codec.h"
#include "search/trigram_summary.h"

namespace {

bool writeFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT-DIR WORKBOOK...\n", argv[0]);
    return 2;
  }
  const XlApi& api = staticXlApi();
  const std::string out = argv[1];
  int written = 0;
  for (int i = 2; i < argc; ++i) {
    BookHandle book = api.createXMLBook();
    if (api.bookLoad(book, argv[i]) == 1) {
      std::string form;
      TrigramSummaryBuilder summary;
      encodeBook(api, book, [&](const char* p, size_t n) { form.append(p, n); }, &summary);
      summary.finish();
      if (!form.empty() && form.size() < (1u << 20)) {
        std::string identity = "seed" + std::string(40, '\0');
        const auto length = static_cast<uint32_t>(identity.size());
        identity.append(reinterpret_cast<const char*>(&length), 4);
        const std::string raw = form + identity;
        std::vector<std::string> pieces;
        EntryCompressor compressor(pieces);
        compressor.add(raw.data(), raw.size());
        if (compressor.finish()) {
          const auto rawSize = static_cast<uint32_t>(raw.size());
          std::string framed = std::string(1, '\1') + std::string(reinterpret_cast<const char*>(&rawSize), 4) + '\xff';
          for (const std::string& p : pieces) framed += p;
          const std::string name = out + "/seed" + std::to_string(i);
          written += writeFile(name + ".form", std::string(1, '\0') + form) && writeFile(name + ".entry", framed);
        }
      }
    }
    api.bookRelease(book);
  }
  std::printf("%d seeds\n", written);
  return 0;
}
