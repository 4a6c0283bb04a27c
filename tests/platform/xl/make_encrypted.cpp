// Writes encrypted copies of a plain .xls and a plain .xlsx in every scheme
// Excel writes, with the default password, and a manifest of them:
//   make_encrypted OUTDIR PLAIN.xls PLAIN.xlsx [PASSWORD]
// Each manifest line is "plain<TAB>encrypted<TAB>scheme". Used by the check
// against LibreOffice and msoffcrypto-tool (lo_encrypted.py) and for the
// fuzzers' seeds.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/platform/xl/encrypt_fixtures.h"

namespace fs = std::filesystem;
using namespace xltest;

namespace {

ByteVec readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return ByteVec(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeAll(const fs::path& p, const ByteVec& v) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: make_encrypted OUTDIR PLAIN.xls PLAIN.xlsx [PASSWORD]\n");
    return 2;
  }
  const fs::path out = argv[1];
  const std::string password = argc > 4 ? argv[4] : kVelvet;
  fs::create_directories(out);
  std::ofstream manifest(out / "manifest.tsv", std::ios::trunc);
  const fs::path xls = fs::absolute(argv[2]), xlsx = fs::absolute(argv[3]);
  const ByteVec stream = workbookStreamOf(readAll(xls));
  if (stream.empty()) {
    std::fprintf(stderr, "make_encrypted: no workbook stream in %s\n", argv[2]);
    return 1;
  }
  for (BiffScheme s : {BiffScheme::Xor, BiffScheme::Rc4, BiffScheme::CryptoApi40, BiffScheme::CryptoApi128}) {
    const fs::path p = fs::absolute(out / (std::string(schemeName(s)) + ".xls"));
    ByteVec clear;
    if (!writeAll(p, ole2File({{"Workbook", encryptBiffStream(stream, s, password, &clear)}}))) return 1;
    // The stream as it was before the encryption, for a byte-exact check.
    if (!writeAll(p.string() + ".clear", clear)) return 1;
    manifest << xls.string() << '\t' << p.string() << '\t' << schemeName(s) << '\n';
  }
  const ByteVec package = readAll(xlsx);
  for (OoxmlScheme s : {OoxmlScheme::Standard128, OoxmlScheme::Standard256, OoxmlScheme::AgileSha1Aes128,
                        OoxmlScheme::AgileSha256Aes256, OoxmlScheme::AgileSha384Aes192, OoxmlScheme::AgileSha512Aes256}) {
    const fs::path p = fs::absolute(out / (std::string(schemeName(s)) + ".xlsx"));
    if (!writeAll(p, ole2File(encryptPackage(package, s, password)))) return 1;
    manifest << xlsx.string() << '\t' << p.string() << '\t' << schemeName(s) << '\n';
  }
  return 0;
}
