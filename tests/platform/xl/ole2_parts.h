// OLE2 compound files built in memory from named streams, for the tests and
// the fuzz targets alike: .xls files, encrypted packages, fuzzed workbook
// streams in the container Excel writes. Header-only, so the fuzz build
// takes it without the test sources.
#pragma once

#include <gsf/gsf.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fixtures {

using Ole2Streams = std::vector<std::pair<std::string_view, std::string_view>>;  // name, bytes

// The compound file's bytes; empty when libgsf fails.
inline std::string ole2Parts(const Ole2Streams& streams) {
  gsf_init();
  std::string out;
  GsfOutput* mem = gsf_output_memory_new();
  GsfOutfile* ole = gsf_outfile_msole_new(mem);
  if (ole) {
    for (const auto& [name, data] : streams) {
      GsfOutput* child = gsf_outfile_new_child(ole, std::string(name).c_str(), FALSE);
      if (!child) continue;
      if (!data.empty()) gsf_output_write(child, data.size(), reinterpret_cast<const guint8*>(data.data()));
      gsf_output_close(child);
      g_object_unref(child);
    }
    gsf_output_close(GSF_OUTPUT(ole));
    g_object_unref(ole);
    const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(mem));
    out.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(gsf_output_size(mem)));
  }
  gsf_output_close(mem);
  g_object_unref(mem);
  return out;
}

}  // namespace fixtures
