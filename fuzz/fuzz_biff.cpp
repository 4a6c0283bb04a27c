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

namespace {

std::vector<uint8_t> wrapInOle2(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  GsfOutput* mem = gsf_output_memory_new();
  GsfOutfile* ole = gsf_outfile_msole_new(mem);
  if (ole) {
    GsfOutput* stream = gsf_outfile_new_child(ole, "Workbook", FALSE);
    if (stream) {
      if (size) gsf_output_write(stream, size, data);
      gsf_output_close(stream);
      g_object_unref(stream);
    }
    gsf_output_close(GSF_OUTPUT(ole));
    g_object_unref(ole);
    const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(mem));
    out.assign(bytes, bytes + gsf_output_size(mem));
  }
  gsf_output_close(mem);
  g_object_unref(mem);
  return out;
}

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
  std::vector<uint8_t> ole = wrapInOle2(data, size);
  if (!ole.empty()) loadBytes(ole.data(), ole.size());
  return 0;
}
