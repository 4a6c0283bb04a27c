// Zips built in memory from named parts, for the tests and the fuzz targets
// alike: workbooks no writer produces (damaged, odd names, fuzzed parts).
// Header-only, so the fuzz build takes it without the test sources.
#pragma once

#include <zip.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fixtures {

using ZipEntries = std::vector<std::pair<std::string_view, std::string_view>>;  // name, bytes

// The zip's bytes, each entry deflated or stored; empty when libzip fails.
inline std::string zipParts(const ZipEntries& entries, bool deflate = true) {
  std::string out;
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* buf = zip_source_buffer_create(nullptr, 0, 0, &err);
  if (!buf) return out;
  zip_t* z = zip_open_from_source(buf, ZIP_TRUNCATE, &err);
  if (!z) {
    zip_source_free(buf);
    return out;
  }
  zip_source_keep(buf);  // the bytes are read back from it after the close
  bool ok = true;
  for (const auto& [name, data] : entries) {
    const std::string n(name);
    zip_source_t* s = zip_source_buffer(z, data.data(), data.size(), 0);
    const zip_int64_t idx = s ? zip_file_add(z, n.c_str(), s, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) : -1;
    if (idx < 0) {
      if (s) zip_source_free(s);
      ok = false;
      break;
    }
    zip_set_file_compression(z, static_cast<zip_uint64_t>(idx), deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
  }
  // The entries' bytes are read here, while `entries` is still alive.
  if (!ok || zip_close(z) != 0) {
    zip_discard(z);
    zip_source_free(buf);
    return out;
  }
  if (zip_source_open(buf) == 0) {
    char chunk[65536];
    zip_int64_t n;
    while ((n = zip_source_read(buf, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
    zip_source_close(buf);
  }
  zip_source_free(buf);
  return out;
}

}  // namespace fixtures
