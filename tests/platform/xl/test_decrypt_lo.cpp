// Encrypted workbooks from LibreOffice, and our own encrypted fixtures judged
// by LibreOffice and msoffcrypto-tool (lo_encrypted.py): the decryption is
// checked against programs other than the generator it shares our reading of
// the format with. Skipped, with a message, where LibreOffice or its Python
// bridge is missing (the install scripts bring both).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/xl/book.h"
#include "tests/platform/xl/xl_test_util.h"

namespace fs = std::filesystem;

namespace {

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string dump(const fs::path& p) {
  xl::Book book;
  if (!book.load(p.string())) return book.errorText();
  std::string out = "ok\n";
  for (const xl::Sheet& s : book.sheets) {
    out += "[" + s.name + "]\n";
    for (const xl::CellRef& c : s.cells())
      out += std::to_string(c.row) + "," + std::to_string(c.col) + "=" + std::string(book.text(c), c.len) + "\n";
  }
  return out;
}

TEST(DecryptLibreOffice, DefaultPasswordFilesAgreeWithLibreOfficeAndMsoffcrypto) {
  if (run("command -v soffice >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "LibreOffice (soffice) is not installed: install libreoffice-calc to run this test";
  if (run("/usr/bin/python3 -c 'import uno' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3-uno is not installed: install it to run this test";
  const fs::path dir = xltest::scratchDir("decrypt-lo");
  const std::string script = std::string(QUORVANE_SOURCE_DIR) + "/tests/platform/xl/lo_encrypted.py";
  const std::string log = (dir / "lo.log").string();
  // LibreOffice's own files: plain, default password, a real password.
  int rc = run("/usr/bin/python3 " + script + " " + dir.string() + " >" + log + " 2>&1");
  if (rc == 77) GTEST_SKIP() << "LibreOffice could not be used: " << xltest::readBytes(log);
  ASSERT_EQ(rc, 0) << xltest::readBytes(log);
  for (const char* ext : {".xls", ".xlsx"}) {
    const std::string plain = dump(dir / (std::string("plain") + ext));
    ASSERT_EQ(plain.substr(0, 3), "ok\n") << plain;
    EXPECT_NE(plain.find("VelvetSweatshop 测试"), std::string::npos) << plain;
    // LibreOffice 7.4 driven through UNO saves .xlsx unencrypted whatever
    // password it is given; its Agile files are then judged below instead.
    if (xltest::readBytes(dir / (std::string("velvet") + ext)).substr(0, 2) == "PK") {
      std::printf("note: LibreOffice saved %s without encryption\n", ext);
      continue;
    }
    EXPECT_EQ(dump(dir / (std::string("velvet") + ext)), plain) << ext;
    EXPECT_EQ(dump(dir / (std::string("secret") + ext)), xl::loadErrorText(xl::LoadCause::EncryptedNeedsPassword)) << ext;
  }
  // Our generator's files of every scheme, made from LibreOffice's plain
  // files, as LibreOffice and msoffcrypto-tool read them.
  const fs::path gen = dir / "generated";
  ASSERT_EQ(run(std::string(QUORVANE_BINARY_DIR) + "/tests/platform/xl/make_encrypted " + gen.string() + " " +
                (dir / "plain.xls").string() + " " + (dir / "plain.xlsx").string()),
            0);
  rc = run("/usr/bin/python3 " + script + " " + (dir / "again").string() + " " + (gen / "manifest.tsv").string() +
           " >" + log + " 2>&1");
  EXPECT_EQ(rc, 0) << xltest::readBytes(log);
  EXPECT_NE(xltest::readBytes(log).find("checked xor.xls"), std::string::npos) << xltest::readBytes(log);
}

}  // namespace
