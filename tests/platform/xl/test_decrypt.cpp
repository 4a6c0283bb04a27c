// Workbooks encrypted with Excel's default password open like plain ones;
// any other password, and damaged encryption headers, fail cleanly. The
// encrypted files are made here from real plain workbooks (encrypt_fixtures),
// so every record kind of those files passes through the decryption.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/xl/biff_parse.h"
#include "platform/xl/book.h"
#include "platform/xl/decrypt_biff.h"
#include "tests/platform/xl/encrypt_fixtures.h"
#include "tests/platform/xl/xl_test_util.h"

namespace fs = std::filesystem;
using xltest::BiffScheme;
using xltest::OoxmlScheme;
using xltest::ByteVec;

namespace {

const std::string kNeedsPassword = xl::loadErrorText(xl::LoadCause::EncryptedNeedsPassword);

const BiffScheme kBiff8Schemes[] = {BiffScheme::Xor, BiffScheme::Rc4, BiffScheme::CryptoApi40,
                                    BiffScheme::CryptoApi128};

ByteVec readFile(const fs::path& p) {
  const std::string s = xltest::readBytes(p);
  return ByteVec(s.begin(), s.end());
}

// Everything the scan reads of a book, as one text to compare.
std::string dump(const xl::Book& book) {
  std::string out;
  for (const xl::Sheet& s : book.sheets) {
    out += "[" + s.name + (s.isChart ? " chart" : "") + "] " + std::to_string(s.lastRow()) + "x" +
           std::to_string(s.lastCol()) + "\n";
    for (const xl::CellRef& c : s.cells())
      out += std::to_string(c.row) + "," + std::to_string(c.col) + "=" + std::string(book.text(c), c.len) + "\n";
    for (int r = 0; r < s.lastRow(); ++r)
      if (s.rowHidden(static_cast<uint32_t>(r))) out += "hidden row " + std::to_string(r) + "\n";
    for (int c = 0; c < s.lastCol(); ++c)
      if (s.colHidden(static_cast<uint32_t>(c))) out += "hidden col " + std::to_string(c) + "\n";
  }
  return out;
}

class Decrypt : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = xltest::scratchDir("decrypt"); }

  fs::path write(const std::string& name, const ByteVec& bytes) {
    fs::path p = dir_ / name;
    xltest::writeBytes(p, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return p;
  }
  // The load's result: "ok" and the book's contents, or the error text.
  std::string load(const fs::path& p) {
    xl::Book book;
    if (!book.load(p.string())) return book.errorText();
    return "ok\n" + dump(book);
  }
  static fs::path corpus(const char* name) { return fs::path(QUORVANE_CORPUS_DIR) / name; }

  fs::path dir_;
};

// Plain .xls files of the corpus chosen for what they hold: shared strings
// over CONTINUE records, every sheet kind, charts with their own substreams,
// dates, and one large enough to span hundreds of RC4 blocks.
const char* kPlainXls[] = {"sst_continue.xls", "any_sheets.xls", "xls_cross_sheet_chart.xls",
                           "merged_range.xls", "date_1904.xls", "gh548_incorrect_sst_unique_count.xls"};

TEST_F(Decrypt, EveryBiff8SchemeWithTheDefaultPasswordReadsAsThePlainFile) {
  for (const char* name : kPlainXls) {
    if (!fs::exists(corpus(name))) GTEST_SKIP() << "corpus not found: " << corpus(name);
    const std::string plain = load(corpus(name));
    ASSERT_EQ(plain.substr(0, 3), "ok\n") << name << ": " << plain;
    const ByteVec stream = xltest::workbookStreamOf(readFile(corpus(name)));
    ASSERT_FALSE(stream.empty()) << name;
    for (BiffScheme scheme : kBiff8Schemes) {
      const ByteVec enc = xltest::encryptBiffStream(stream, scheme, xltest::kVelvet);
      ASSERT_FALSE(enc.empty());
      ASSERT_NE(enc, stream);
      const fs::path p = write(std::string(xltest::schemeName(scheme)) + "-" + name, xltest::ole2File({{"Workbook", enc}}));
      EXPECT_EQ(load(p), plain) << name << " " << xltest::schemeName(scheme);
    }
  }
}

TEST_F(Decrypt, Biff5XorObfuscationWithTheDefaultPassword) {
  for (const char* name : {"biff5_write.xls", "misc_biff5_parsing.xls"}) {
    if (!fs::exists(corpus(name))) GTEST_SKIP() << "corpus not found: " << corpus(name);
    const std::string plain = load(corpus(name));
    ASSERT_EQ(plain.substr(0, 3), "ok\n") << name << ": " << plain;
    const ByteVec file = readFile(corpus(name));
    const ByteVec stream = xltest::workbookStreamOf(file);
    const ByteVec enc = xltest::encryptBiffStream(stream, BiffScheme::Xor, xltest::kVelvet);
    ASSERT_FALSE(enc.empty()) << name;
    EXPECT_EQ(load(write(std::string("xor5-") + name, xltest::ole2File({{"Book", enc}}))), plain) << name;
    EXPECT_EQ(load(write(std::string("xor5-secret-") + name,
                         xltest::ole2File({{"Book", xltest::encryptBiffStream(stream, BiffScheme::Xor, "secret")}}))),
              kNeedsPassword);
  }
}

TEST_F(Decrypt, AnyOtherPasswordNeedsThePassword) {
  const fs::path src = corpus("sst_continue.xls");
  if (!fs::exists(src)) GTEST_SKIP() << "corpus not found: " << src;
  const ByteVec stream = xltest::workbookStreamOf(readFile(src));
  // Passwords that differ from the default one only a little, too.
  for (const char* password : {"secret", "velvetsweatshop", "VelvetSweatshop1", "密码"}) {
    for (BiffScheme scheme : kBiff8Schemes) {
      if (scheme == BiffScheme::Xor && std::string(password) == "密码") continue;  // XOR takes ASCII only
      const ByteVec enc = xltest::encryptBiffStream(stream, scheme, password);
      const fs::path p = write(std::string("pw-") + xltest::schemeName(scheme) + ".xls", xltest::ole2File({{"Workbook", enc}}));
      EXPECT_EQ(load(p), kNeedsPassword) << password << " " << xltest::schemeName(scheme);
    }
  }
}

// Byte for byte: every record Excel leaves in the clear (BOF, INTERFACEHDR,
// ...) and BOUNDSHEET's stream offset come out as they went in, which the
// cell comparisons above cannot show (the reader finds sheets without the
// offsets when they are wrong). msoffcrypto-tool is held to the same bytes
// in lo_encrypted.py.
TEST_F(Decrypt, DecryptedStreamIsTheStreamBeforeEncryption) {
  const fs::path src = corpus("any_sheets.xls");
  if (!fs::exists(src)) GTEST_SKIP() << "corpus not found: " << src;
  const ByteVec stream = xltest::workbookStreamOf(readFile(src));
  for (BiffScheme scheme : kBiff8Schemes) {
    ByteVec clear;
    ByteVec enc = xltest::encryptBiffStream(stream, scheme, xltest::kVelvet, &clear);
    const size_t filepass = 4 + (stream[2] | (stream[3] << 8));
    xl::Book book;
    xl::LoadError error;
    ASSERT_TRUE(xl::biff::decryptStream(enc.data(), enc.size(), filepass, true, book, error)) << error;
    EXPECT_EQ(enc, clear) << xltest::schemeName(scheme);
  }
}

// The stream parser is also reached without a container (a raw BIFF file,
// the fuzzer): the caller's bytes are const and must stay as they were.
TEST_F(Decrypt, StreamParserDecryptsACopyAndLeavesTheInputAlone) {
  const fs::path src = corpus("any_sheets.xls");
  if (!fs::exists(src)) GTEST_SKIP() << "corpus not found: " << src;
  const ByteVec stream = xltest::workbookStreamOf(readFile(src));
  xl::Book plain;
  ASSERT_TRUE(xl::biff::parseWorkbookStream(stream.data(), stream.size(), "x", plain)) << plain.error();
  const ByteVec enc = xltest::encryptBiffStream(stream, BiffScheme::CryptoApi128, xltest::kVelvet);
  const ByteVec before = enc;
  xl::Book book;
  ASSERT_TRUE(xl::biff::parseWorkbookStream(enc.data(), enc.size(), "x", book)) << book.error();
  EXPECT_EQ(enc, before);
  for (xl::Sheet& s : plain.sheets) s.finish();
  for (xl::Sheet& s : book.sheets) s.finish();
  EXPECT_EQ(dump(book), dump(plain));
}

// A FILEPASS cut short at every length, or with its sizes and versions
// changed, is a clean failure; so is a stream cut anywhere after it.
TEST_F(Decrypt, DamagedOrTruncatedFilepassFailsCleanly) {
  const fs::path src = corpus("sst_continue.xls");
  if (!fs::exists(src)) GTEST_SKIP() << "corpus not found: " << src;
  const ByteVec stream = xltest::workbookStreamOf(readFile(src));
  const size_t bofEnd = 4 + (stream[2] | (stream[3] << 8));
  for (BiffScheme scheme : kBiff8Schemes) {
    const ByteVec enc = xltest::encryptBiffStream(stream, scheme, xltest::kVelvet);
    const size_t bodyLen = enc[bofEnd + 2] | (enc[bofEnd + 3] << 8);
    // The FILEPASS record declares fewer bytes than its scheme needs.
    for (size_t len = 0; len < bodyLen; ++len) {
      ByteVec cut = enc;
      cut[bofEnd + 2] = static_cast<uint8_t>(len);
      cut[bofEnd + 3] = static_cast<uint8_t>(len >> 8);
      const std::string r = load(write("cut.xls", xltest::ole2File({{"Workbook", cut}})));
      EXPECT_NE(r.substr(0, 2), "ok") << xltest::schemeName(scheme) << " len " << len;
      EXPECT_TRUE(xltest::hasCjk(r)) << r;
    }
    // Every byte of the header changed in turn: a failure or, where the
    // byte is not checked (a reserved field), the same cells.
    const std::string good = load(write("good.xls", xltest::ole2File({{"Workbook", enc}})));
    ASSERT_EQ(good.substr(0, 3), "ok\n") << xltest::schemeName(scheme) << ": " << good;
    for (size_t i = 0; i < bodyLen; ++i) {
      ByteVec bad = enc;
      bad[bofEnd + 4 + i] ^= 0x5A;
      const std::string r = load(write("bad.xls", xltest::ole2File({{"Workbook", bad}})));
      if (r != good) {
        EXPECT_TRUE(xltest::hasCjk(r)) << r;
        EXPECT_NE(r.substr(0, 2), "ok") << xltest::schemeName(scheme) << " byte " << i;
      }
    }
    // The stream cut after the FILEPASS record, at many places.
    for (size_t len = bofEnd + 4 + bodyLen; len < enc.size(); len += 97) {
      const ByteVec cut(enc.begin(), enc.begin() + static_cast<long>(len));
      xl::Book book;
      const bool ok = xl::biff::parseWorkbookStream(cut.data(), cut.size(), "x", book);
      if (!ok) {
        EXPECT_TRUE(xltest::hasCjk(book.errorText())) << book.error();
      }
    }
  }
  // A FILEPASS of a scheme no Excel writes.
  ByteVec unknown = xltest::encryptBiffStream(stream, BiffScheme::Rc4, xltest::kVelvet);
  unknown[bofEnd + 4] = 7;
  EXPECT_EQ(load(write("unknown.xls", xltest::ole2File({{"Workbook", unknown}}))), xl::loadErrorText(xl::LoadCause::EncryptedUnsupported));
}

// ---- encrypted OOXML packages ------------------------------------------------

const OoxmlScheme kOoxmlSchemes[] = {OoxmlScheme::Standard128, OoxmlScheme::Standard256,
                                     OoxmlScheme::AgileSha1Aes128, OoxmlScheme::AgileSha256Aes256, OoxmlScheme::AgileSha384Aes192,
                                     OoxmlScheme::AgileSha512Aes256};

// Shared and inline strings, dates, several sheets, and packages of 4 KB to
// 180 KB (one to many Agile segments, the last one cut short or not); an
// .xlsb package is encrypted the same way.
const char* kPlainXlsx[] = {"inlineStr_cdata.xlsx", "date_1904.xlsx", "rph.xlsx", "issue_174.xlsx",
                            "picture_richdata.xlsx", "issues.xlsb"};

TEST_F(Decrypt, EveryOoxmlSchemeWithTheDefaultPasswordReadsAsThePlainFile) {
  for (const char* name : kPlainXlsx) {
    if (!fs::exists(corpus(name))) GTEST_SKIP() << "corpus not found: " << corpus(name);
    const std::string plain = load(corpus(name));
    ASSERT_EQ(plain.substr(0, 3), "ok\n") << name << ": " << plain;
    const ByteVec package = readFile(corpus(name));
    for (OoxmlScheme scheme : kOoxmlSchemes) {
      const fs::path p = write(std::string(xltest::schemeName(scheme)) + "-" + name,
                               xltest::ole2File(xltest::encryptPackage(package, scheme, xltest::kVelvet)));
      EXPECT_EQ(load(p), plain) << name << " " << xltest::schemeName(scheme);
    }
  }
}

TEST_F(Decrypt, OoxmlWithAnyOtherPasswordNeedsThePassword) {
  const fs::path src = corpus("date_1904.xlsx");
  if (!fs::exists(src)) GTEST_SKIP() << "corpus not found: " << src;
  const ByteVec package = readFile(src);
  for (OoxmlScheme scheme : kOoxmlSchemes) {
    const fs::path p = write(std::string("pw-") + xltest::schemeName(scheme) + ".xlsx",
                             xltest::ole2File(xltest::encryptPackage(package, scheme, "Secret")));
    EXPECT_EQ(load(p), kNeedsPassword) << xltest::schemeName(scheme);
  }
}

// A Standard header cut at every length or changed byte by byte, a package
// whose size field claims more than it holds, and Agile descriptors with
// each value missing, out of range or hostile: clean failures every one.
TEST_F(Decrypt, DamagedOoxmlEncryptionFailsCleanly) {
  const fs::path src = corpus("date_1904.xlsx");
  if (!fs::exists(src)) GTEST_SKIP() << "corpus not found: " << src;
  const ByteVec package = readFile(src);
  auto loadStreams = [&](const ByteVec& info, const ByteVec& data) {
    return load(write("damaged.xlsx", xltest::ole2File({{"EncryptionInfo", info}, {"EncryptedPackage", data}})));
  };
  auto expectFailure = [&](const std::string& r, const std::string& what) {
    EXPECT_NE(r.substr(0, 2), "ok") << what;
    EXPECT_TRUE(xltest::hasCjk(r)) << what << ": " << r;
  };

  const xltest::Streams standard = xltest::encryptPackage(package, OoxmlScheme::Standard128, xltest::kVelvet);
  const ByteVec& info = standard[0].second;
  const ByteVec& data = standard[1].second;
  const std::string good = loadStreams(info, data);
  ASSERT_EQ(good.substr(0, 3), "ok\n") << good;
  for (size_t len = 0; len < info.size(); ++len)
    expectFailure(loadStreams(ByteVec(info.begin(), info.begin() + static_cast<long>(len)), data),
                  "info cut at " + std::to_string(len));
  for (size_t i = 0; i < info.size(); ++i) {
    ByteVec bad = info;
    bad[i] ^= 0x41;
    const std::string r = loadStreams(bad, data);
    if (r != good) expectFailure(r, "info byte " + std::to_string(i));
  }
  // The plain size beyond the ciphertext, and the ciphertext cut short.
  ByteVec big = data;
  big[5] = 0x01;
  EXPECT_EQ(loadStreams(info, big), xl::loadErrorText(xl::LoadCause::DamagedEncryptionInfo));
  for (size_t len : {size_t{0}, size_t{7}, size_t{8}, data.size() / 2, data.size() - 16})
    expectFailure(loadStreams(info, ByteVec(data.begin(), data.begin() + static_cast<long>(len))),
                  "package cut at " + std::to_string(len));
  // Only one of the two streams.
  expectFailure(load(write("half.xlsx", xltest::ole2File({{"EncryptionInfo", info}}))), "no package");

  const xltest::Streams agile = xltest::encryptPackage(package, OoxmlScheme::AgileSha512Aes256, xltest::kVelvet);
  const std::string xml(agile[0].second.begin() + 8, agile[0].second.end());
  auto withXml = [&](const std::string& text) {
    ByteVec v(agile[0].second.begin(), agile[0].second.begin() + 8);
    v.insert(v.end(), text.begin(), text.end());
    return loadStreams(v, agile[1].second);
  };
  ASSERT_EQ(withXml(xml), loadStreams(info, data));
  // Each attribute of both elements renamed away in turn, then given
  // values no file may hold.
  for (const char* attr : {"saltSize=", "blockSize=", "keyBits=", "hashSize=", "cipherAlgorithm=", "cipherChaining=",
                           "hashAlgorithm=", "saltValue=", "spinCount=", "encryptedVerifierHashInput=",
                           "encryptedVerifierHashValue=", "encryptedKeyValue="}) {
    for (size_t at = xml.find(attr); at != std::string::npos; at = xml.find(attr, at + 1)) {
      std::string t = xml;
      t.replace(at, 1, "x");
      expectFailure(withXml(t), std::string("without ") + attr);
      const size_t q = t.find('"', at);
      const size_t end = t.find('"', q + 1);
      for (const char* value : {"", "-1", "4294967296", "99999999999", "abc", "0", "7", "!!!!", "QUJD"}) {
        std::string v = xml;
        v.replace(q, end - q, std::string("\"") + value);
        expectFailure(withXml(v), std::string(attr) + value);
      }
    }
  }
  expectFailure(withXml(""), "empty descriptor");
  expectFailure(withXml(xml.substr(0, xml.size() / 2)), "half a descriptor");
  expectFailure(withXml("<!DOCTYPE e [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
                        "<encryption><keyData saltValue=\"&b;\"/></encryption>"),
                "entity declarations");
  std::string noPassword = xml;
  noPassword.replace(noPassword.find("p:encryptedKey"), 14, "p:otherKey");
  EXPECT_EQ(withXml(noPassword), xl::loadErrorText(xl::LoadCause::EncryptedUnsupported));
  // A spin count far above any real file's is refused before any work.
  std::string spins = xml;
  spins.replace(spins.find("spinCount=\"100000\""), 18, "spinCount=\"4000000000\"");
  expectFailure(withXml(spins), "spin count");
  // Extensible encryption, which no Excel writes to disk.
  ByteVec extensible = info;
  extensible[2] = 3;
  EXPECT_EQ(loadStreams(extensible, data), xl::loadErrorText(xl::LoadCause::EncryptedUnsupported));
}

// The key stretching of a hostile descriptor (the most rounds the format
// allows) stops soon after the load is cancelled instead of running to the
// end: a stop never waits for it.
TEST_F(Decrypt, CancelStopsTheKeyStretching) {
  const fs::path src = corpus("date_1904.xlsx");
  if (!fs::exists(src)) GTEST_SKIP() << "corpus not found: " << src;
  const xltest::Streams agile =
      xltest::encryptPackage(readFile(src), OoxmlScheme::AgileSha1Aes128, xltest::kVelvet);
  std::string xml(agile[0].second.begin() + 8, agile[0].second.end());
  xml.replace(xml.find("spinCount=\"100000\""), 18, "spinCount=\"10000000\"");
  ByteVec info(agile[0].second.begin(), agile[0].second.begin() + 8);
  info.insert(info.end(), xml.begin(), xml.end());
  const fs::path p = write("spin.xlsx", xltest::ole2File({{"EncryptionInfo", info}, {"EncryptedPackage", agile[1].second}}));

  auto timed = [&](int cancelAfterMs, xl::Book& book) {
    int flag = 0;
    book.setCancelFlag(&flag);
    std::thread stopper;
    if (cancelAfterMs >= 0)
      stopper = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(cancelAfterMs));
        __atomic_store_n(&flag, 1, __ATOMIC_RELAXED);
      });
    const auto start = std::chrono::steady_clock::now();
    const bool ok = book.load(p.string());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (stopper.joinable()) stopper.join();
    EXPECT_FALSE(ok);
    return seconds;
  };
  xl::Book whole, cancelled;
  const double full = timed(-1, whole);
  EXPECT_EQ(whole.error(), xl::LoadCause::EncryptedNeedsPassword);  // ten million rounds, then the verifier does not match
  const double cut = timed(20, cancelled);
  EXPECT_TRUE(cancelled.loadCancelled());
  EXPECT_LT(cut, full / 3) << "cancelled after " << cut << " s; the whole stretching takes " << full << " s";
}

}  // namespace
