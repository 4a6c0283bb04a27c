// Builders of BIFF record streams and OLE2 containers for the .xls tests:
// record bodies byte by byte, whole streams with their offsets, and the
// container libgsf writes around them.
#pragma once

#include <gsf/gsf.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace xltest::biff {

struct Bytes {
  std::vector<uint8_t> b;
  Bytes& u8(unsigned v) {
    b.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Bytes& u16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
  Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  Bytes& f64(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return u32(static_cast<uint32_t>(bits)).u32(static_cast<uint32_t>(bits >> 32));
  }
  Bytes& raw(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& wide(const std::u16string& s) {
    for (char16_t c : s) u16(c);
    return *this;
  }
  Bytes& zeros(size_t n) {
    b.insert(b.end(), n, 0);
    return *this;
  }
  // BIFF8 XLUnicodeString, 16-bit length, stored wide.
  Bytes& ustr(const std::u16string& s) { return u16(static_cast<unsigned>(s.size())).u8(1).wide(s); }
  // ... stored compressed (one byte per character, Latin-1).
  Bytes& cstr(const std::string& latin1) {
    return u16(static_cast<unsigned>(latin1.size())).u8(0).raw(latin1);
  }
  Bytes& cell(unsigned row, unsigned col, unsigned xf) { return u16(row).u16(col).u16(xf); }
};

struct Stream {
  std::vector<uint8_t> d;
  size_t add(uint16_t id, const Bytes& body) {
    size_t pos = d.size();
    Bytes h;
    h.u16(id).u16(static_cast<unsigned>(body.b.size()));
    d.insert(d.end(), h.b.begin(), h.b.end());
    d.insert(d.end(), body.b.begin(), body.b.end());
    return pos;
  }
  size_t add(uint16_t id) { return add(id, Bytes()); }
  void patch32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
};

inline Bytes bof8(unsigned dt) {
  Bytes b;
  return b.u16(0x0600).u16(dt).u16(0x0DBB).u16(0x07CC).u32(0x41).u32(0x06);
}
inline Bytes bof5(unsigned dt) {
  Bytes b;
  return b.u16(0x0500).u16(dt).u16(0x0DBB).u16(0x07CC);
}
inline Bytes xf8(unsigned ifmt) {
  Bytes b;
  return b.u16(0).u16(ifmt).zeros(16);
}
inline uint32_t rkInt(int v) { return (static_cast<uint32_t>(v) << 2) | 2; }

// Writes an OLE2 compound file holding the given streams.
inline void writeOle2(const std::string& path, const std::vector<std::pair<std::string, std::vector<uint8_t>>>& streams) {
  gsf_init();
  GError* err = nullptr;
  GsfOutput* out = gsf_output_stdio_new(path.c_str(), &err);
  ASSERT_NE(out, nullptr);
  GsfOutfile* ole = gsf_outfile_msole_new(out);
  ASSERT_NE(ole, nullptr);
  for (const auto& [name, data] : streams) {
    GsfOutput* child = gsf_outfile_new_child(ole, name.c_str(), FALSE);
    ASSERT_NE(child, nullptr);
    if (!data.empty()) {
      ASSERT_TRUE(gsf_output_write(child, data.size(), data.data()));
    }
    gsf_output_close(child);
    g_object_unref(child);
  }
  gsf_output_close(GSF_OUTPUT(ole));
  g_object_unref(ole);
  g_object_unref(out);
}

}  // namespace xltest::biff
