// Hostile and damaged .xlsx files: each loads to its small correct content or
// fails with a Chinese text, in bounded time and memory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "platform/xl/book.h"
#include "tests/hostile/hostile_util.h"

using hostile::loadResult;
using hostile::oneSheetPackage;
using hostile::worksheet;
using hostile::zipBytes;

namespace {

long peakRssMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void putLe16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
void putLe32(std::string& s, uint32_t v) {
  putLe16(s, v & 0xFFFF);
  putLe16(s, v >> 16);
}

// Raw deflate of `data`, ended by a full flush: such pieces are independent
// and byte-aligned, so they can be repeated one after another.
std::string deflatePiece(const std::string& data, bool last) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, last ? Z_FINISH : Z_FULL_FLUSH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

struct ZipEntry {
  std::string name;
  std::string deflated;
  uint32_t crc = 0;
  uint32_t size = 0;
};

// A ZIP written field by field, for entries far larger than memory holds.
std::string zipOf(const std::vector<ZipEntry>& entries) {
  std::string out, central;
  for (const ZipEntry& e : entries) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    std::string common;
    putLe16(common, 20);  // version needed
    putLe16(common, 0x0800);  // UTF-8 names
    putLe16(common, 8);   // deflate
    putLe16(common, 0);
    putLe16(common, 0x21);
    putLe32(common, e.crc);
    putLe32(common, static_cast<uint32_t>(e.deflated.size()));
    putLe32(common, e.size);
    putLe16(common, static_cast<unsigned>(e.name.size()));
    putLe16(common, 0);  // extra
    putLe32(out, 0x04034b50);
    out += common + e.name + e.deflated;
    putLe32(central, 0x02014b50);
    putLe16(central, 20);
    central += common;
    putLe16(central, 0);  // comment
    putLe16(central, 0);  // disk
    putLe16(central, 0);
    putLe32(central, 0);
    putLe32(central, offset);
    central += e.name;
  }
  const uint32_t centralOffset = static_cast<uint32_t>(out.size());
  out += central;
  putLe32(out, 0x06054b50);
  putLe16(out, 0);
  putLe16(out, 0);
  putLe16(out, static_cast<unsigned>(entries.size()));
  putLe16(out, static_cast<unsigned>(entries.size()));
  putLe32(out, static_cast<uint32_t>(central.size()));
  putLe32(out, centralOffset);
  putLe16(out, 0);
  return out;
}

ZipEntry smallEntry(const std::string& name, const std::string& data) {
  ZipEntry e{name, deflatePiece(data, true), 0, static_cast<uint32_t>(data.size())};
  e.crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  return e;
}

// A workbook of about 2 MB whose sheet part inflates to 2 GB of empty rows:
// valid XML all the way, cheap to parse and storing nothing, so only the
// limit on inflated bytes stops it.
std::string decompressionBomb() {
  const std::string head = worksheet("").substr(0, worksheet("").find("</sheetData>"));
  const std::string tail = "</sheetData></worksheet>";
  // Runs of one byte deflate best: the blanks sit inside empty row tags.
  const std::string row = "<row" + std::string(4000, ' ') + "/>";
  std::string block;
  while (block.size() < (1u << 20)) block += row;
  const uint32_t blocks = 2040;
  ZipEntry sheet{"xl/worksheets/sheet1.xml", deflatePiece(head, false), 0, 0};
  const std::string blockDeflated = deflatePiece(block, false);
  sheet.deflated.reserve(blockDeflated.size() * blocks + 4096);
  for (uint32_t i = 0; i < blocks; ++i) sheet.deflated += blockDeflated;
  sheet.deflated += deflatePiece(tail, true);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(head.data()), static_cast<uInt>(head.size()));
  const uLong blockCrc = crc32(0, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size()));
  for (uint32_t i = 0; i < blocks; ++i) crc = crc32_combine(crc, blockCrc, static_cast<z_off_t>(block.size()));
  crc = crc32_combine(crc, crc32(0, reinterpret_cast<const Bytef*>(tail.data()), static_cast<uInt>(tail.size())),
                      static_cast<z_off_t>(tail.size()));
  sheet.crc = static_cast<uint32_t>(crc);
  sheet.size = static_cast<uint32_t>(head.size() + uint64_t(block.size()) * blocks + tail.size());

  std::vector<ZipEntry> entries;
  for (const auto& [name, data] : oneSheetPackage(""))
    if (name != "xl/worksheets/sheet1.xml") entries.push_back(smallEntry(name, data));
  entries.push_back(std::move(sheet));
  return zipOf(entries);
}

class HostileXlsx : public ::testing::Test {
 protected:
  void SetUp() override { dir = hostile::scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
  void TearDown() override { hostile::removeTree(dir); }
  std::string file(const std::string& name, const std::string& bytes) {
    std::string path = dir + "/" + name;
    hostile::writeFile(path, bytes);
    return path;
  }
  // Loads; returns the cells of sheet 0 as "A1=text" lines, or the error.
  std::string cellsOf(const std::string& path) {
    xl::Book book;
    if (!book.load(path)) return "error: " + book.errorText();
    std::string out;
    for (const xl::CellRef& c : book.sheets.at(0).cells())
      out += std::to_string(c.row) + "," + std::to_string(c.col) + "=" + book.text(c) + "\n";
    return out;
  }
  std::string dir;
};

void expectCleanFailure(const std::string& result, const std::string& what) {
  EXPECT_NE(result, "ok") << what;
  EXPECT_TRUE(hostile::hasCjk(result)) << what << ": " << result;
}

TEST_F(HostileXlsx, DecompressionBombFailsAsTooLargeInBoundedTimeAndMemory) {
  const std::string bytes = decompressionBomb();
  ASSERT_LT(bytes.size(), 3u << 20);
  const std::string path = file("bomb.xlsx", bytes);
  const long rssBefore = peakRssMb();
  const auto start = std::chrono::steady_clock::now();
  const xl::LoadError failure = hostile::loadFailure(path);
  const double seconds = secondsSince(start);
  EXPECT_EQ(failure.cause, xl::LoadCause::TooLargePart) << failure;
  // It must stop long before inflating 2 GB and never hold the part.
  EXPECT_LT(seconds, 120.0);
  EXPECT_LT(peakRssMb() - rssBefore, 512) << "peak RSS grew from " << rssBefore << " MB";

  // The same file in a search is one failure row.
  const auto found = hostile::searchFolder(dir, "x");
  ASSERT_EQ(found.rows.size(), 1u);
  EXPECT_EQ(found.rows[0][1], "打开失败");
  EXPECT_EQ(found.rows[0][2].rfind("文件过大", 0), 0u) << found.rows[0][2];
}

TEST_F(HostileXlsx, DoctypeAndEntityExpansionInEveryPartAreNeverExpanded) {
  const std::string laughs =
      "<!DOCTYPE lolz [<!ENTITY lol \"lol\">"
      "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      "<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">"
      "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
      "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
      "<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
      "<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
      "<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
      "<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
      "<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">"
      "<!ENTITY ext SYSTEM \"file:///etc/passwd\">]>";
  const std::string external = "<!DOCTYPE x [<!ENTITY ext SYSTEM \"file:///etc/passwd\">]>";
  const std::string sheet =
      worksheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>&lol9;&ext;</t></is></c>"
                "<c r=\"B1\" t=\"s\"><v>0</v></c></row>");
  const hostile::Parts base = oneSheetPackage(sheet);
  for (const auto& [partName, partXml] : base) {
    for (const std::string& dtd : {laughs, external, std::string("<!DOCTYPE worksheet>")}) {
      std::string xml = partXml;
      // The DOCTYPE goes after the declaration, before the root element.
      const size_t root = xml.find("?>") + 2;
      xml.insert(root, dtd);
      hostile::Parts parts = base;
      for (auto& p : parts)
        if (p.first == partName) p.second = xml;
      const auto start = std::chrono::steady_clock::now();
      const std::string path = file("dtd.xlsx", zipBytes(parts));
      xl::Book book;
      const bool ok = book.load(path);
      EXPECT_LT(secondsSince(start), 10.0) << partName;
      // Declarations are read, never expanded: a sheet whose DTD declares
      // every entity it refers to loads.
      if (partName == "xl/worksheets/sheet1.xml" && dtd == laughs) {
        EXPECT_TRUE(ok) << book.error();
      }
      if (ok) {
        // A part the reader can do without may be passed over, but nothing
        // of an entity may ever reach a cell.
        for (const xl::Sheet& s : book.sheets)
          for (const xl::CellRef& c : s.cells()) {
            EXPECT_EQ(std::string(book.text(c)).find("lol"), std::string::npos) << partName;
            EXPECT_EQ(std::string(book.text(c)).find("root:"), std::string::npos) << partName;
          }
      } else {
        EXPECT_TRUE(hostile::hasCjk(book.errorText())) << partName << ": " << book.error();
      }
    }
  }
}

TEST_F(HostileXlsx, NestingHundredsOfThousandsDeepFailsWithoutExhaustingTheStack) {
  const int depth = 300000;
  std::string open, close;
  open.reserve(depth * 3);
  for (int i = 0; i < depth; ++i) open += "<x>";
  for (int i = 0; i < depth; ++i) close += "</x>";
  const hostile::Parts variants[] = {
      oneSheetPackage(worksheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is>" + open + close + "</is></c></row>")),
      oneSheetPackage(worksheet(open + close)),
      oneSheetPackage(worksheet(""), {{"xl/sharedStrings.xml",
                                       "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><si>" +
                                           open + close + "</si></sst>"}}),
      oneSheetPackage(worksheet(""), {{"xl/workbook.xml", "<workbook>" + open + close + "</workbook>"}}),
      // Never closed at all.
      oneSheetPackage(worksheet("<row r=\"1\">" + open)),
  };
  for (size_t i = 0; i < std::size(variants); ++i) {
    const auto start = std::chrono::steady_clock::now();
    const std::string result = loadResult(file("deep.xlsx", zipBytes(variants[i])));
    EXPECT_LT(secondsSince(start), 10.0) << i;
    if (result != "ok") {
      EXPECT_TRUE(hostile::hasCjk(result)) << i << ": " << result;
    }
  }
}

TEST_F(HostileXlsx, LyingIndicesReferencesAndCountsGiveTheSmallTrueContent) {
  // Shared-string indices out of range, negative, huge or not numbers: the
  // cell holds no shared text; the good ones still read.
  const std::string sstLies = worksheet(
      "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>2</v></c>"
      "<c r=\"C1\" t=\"s\"><v>-1</v></c><c r=\"D1\" t=\"s\"><v>4294967297</v></c>"
      "<c r=\"E1\" t=\"s\"><v>abc</v></c><c r=\"F1\" t=\"s\"><v>1</v></c>"
      "<c r=\"G1\" t=\"s\"><v>99999999999999999999999</v></c><c r=\"H1\" t=\"s\"></c></row>");
  {
    const std::string cells = cellsOf(file("sst.xlsx", zipBytes(oneSheetPackage(sstLies))));
    EXPECT_NE(cells.find("0,0=共享甲\n"), std::string::npos) << cells;
    EXPECT_NE(cells.find("0,5=共享乙\n"), std::string::npos) << cells;
    // Only the two good indices may give a shared text.
    size_t shared = 0;
    for (size_t p = cells.find("共享"); p != std::string::npos; p = cells.find("共享", p + 1)) ++shared;
    EXPECT_EQ(shared, 2u) << cells;
  }
  // Cell references out of the grid or garbage: never a cell outside it.
  const std::string refLies = worksheet(
      "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>好</t></is></c>"
      "<c r=\"XFE1\" t=\"inlineStr\"><is><t>列外</t></is></c>"
      "<c r=\"ZZZZZZZZ1\" t=\"inlineStr\"><is><t>长列</t></is></c>"
      "<c r=\"A0\" t=\"inlineStr\"><is><t>零行</t></is></c>"
      "<c r=\"A1048577\" t=\"inlineStr\"><is><t>行外</t></is></c>"
      "<c r=\"A99999999999999\" t=\"inlineStr\"><is><t>大行</t></is></c>"
      "<c r=\"1A\" t=\"inlineStr\"><is><t>反</t></is></c><c r=\"\"><v>7</v></c>"
      "<c r=\"\xE4\xB8\xAD\"><v>8</v></c></row>"
      "<row r=\"-5\"><c><v>9</v></c></row><row r=\"99999999999\"><c><v>10</v></c></row>");
  {
    xl::Book book;
    ASSERT_TRUE(book.load(file("refs.xlsx", zipBytes(oneSheetPackage(refLies))))) << book.error();
    ASSERT_EQ(book.sheets.size(), 1u);
    EXPECT_STREQ(book.sheets[0].find(0, 0) ? book.text(*book.sheets[0].find(0, 0)) : "", "好");
    for (const xl::CellRef& c : book.sheets[0].cells()) {
      EXPECT_LT(c.row, xl::kMaxRows);
      EXPECT_LT(c.col, xl::kMaxCols);
    }
    EXPECT_LE(book.sheets[0].lastRow(), static_cast<int>(xl::kMaxRows));
    EXPECT_LE(book.sheets[0].lastCol(), static_cast<int>(xl::kMaxCols));
  }
  // A dimension of the whole sheet with two stored cells: loads at once, and
  // the search over it finds the far cell without visiting the grid.
  {
    const std::string corners = worksheet(
        "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>左上</t></is></c></row>"
        "<row r=\"1048576\"><c r=\"XFD1048576\" t=\"inlineStr\"><is><t>右下角的值</t></is></c></row>",
        "<dimension ref=\"A1:XFD1048576\"/>");
    const std::string path = file("corners.xlsx", zipBytes(oneSheetPackage(corners)));
    xl::Book book;
    ASSERT_TRUE(book.load(path)) << book.error();
    EXPECT_EQ(book.sheets[0].cells().size(), 2u);
    EXPECT_EQ(book.sheets[0].lastRow(), 1048576);
    EXPECT_EQ(book.sheets[0].lastCol(), 16384);
    const auto found = hostile::searchFolder(dir, "右下角");
    ASSERT_EQ(found.rows.size(), 1u);
    EXPECT_EQ(found.rows[0][2], "XFD1048576");
    EXPECT_LT(found.seconds, 30.0);
  }
  // Counts far beyond the data: nothing is reserved for them.
  {
    const long rssBefore = peakRssMb();
    const std::string path = file("counts.xlsx", zipBytes(oneSheetPackage(
        worksheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>1</v></c></row>", "<dimension ref=\"A1:XFD1048576\"/>"),
        {{"xl/sharedStrings.xml",
          "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"4294967295\" "
          "uniqueCount=\"2000000000\"><si><t>一</t></si><si><t>二</t></si></sst>"},
         {"xl/styles.xml",
          "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
          "<numFmts count=\"2000000000\"/><cellXfs count=\"2000000000\"><xf numFmtId=\"0\"/></cellXfs>"
          "</styleSheet>"}})));
    EXPECT_EQ(cellsOf(path), "0,0=二\n");
    EXPECT_LT(peakRssMb() - rssBefore, 256);
  }
}

TEST_F(HostileXlsx, ThousandsOfSheetsWhosePartsAreMissing) {
  std::string sheets, rels;
  for (int i = 1; i <= 5000; ++i) {
    const std::string n = std::to_string(i);
    sheets += "<sheet name=\"表" + n + "\" sheetId=\"" + n + "\" r:id=\"rId" + n + "\"/>";
    rels += "<Relationship Id=\"rId" + n +
            "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
            "Target=\"worksheets/missing" + n + ".xml\"/>";
  }
  const hostile::Parts parts = oneSheetPackage(
      worksheet(""),
      {{"xl/workbook.xml",
        "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>" +
            sheets + "</sheets></workbook>"},
       {"xl/_rels/workbook.xml.rels",
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" + rels +
            "</Relationships>"}});
  const auto start = std::chrono::steady_clock::now();
  xl::Book book;
  const bool ok = book.load(file("many.xlsx", zipBytes(parts)));
  EXPECT_LT(secondsSince(start), 20.0);
  if (ok) {
    EXPECT_LE(book.sheets.size(), 5000u);
    for (const xl::Sheet& s : book.sheets) EXPECT_TRUE(s.cells().empty());
  } else {
    EXPECT_TRUE(hostile::hasCjk(book.errorText())) << book.error();
  }
}

TEST_F(HostileXlsx, DamagedAndForeignFilesFailWithAChineseText) {
  const std::string good = zipBytes(oneSheetPackage(
      worksheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\"><v>3.5</v></c></row>")));
  ASSERT_EQ(cellsOf(file("good.xlsx", good)), "0,0=共享甲\n0,1=3.5\n");
  // Truncated at every length up to 300 bytes and then at many more.
  for (size_t len = 0; len < good.size(); len += (len < 300 ? 1 : 37)) {
    const std::string result = loadResult(file("cut.xlsx", good.substr(0, len)));
    expectCleanFailure(result, "cut at " + std::to_string(len));
  }
  EXPECT_EQ(hostile::loadFailure(file("empty.xlsx", "")), xl::LoadCause::Empty);
  std::mt19937 rng(7);
  for (int i = 0; i < 50; ++i) {
    std::string noise(1 + rng() % 5000, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    if (i % 2) noise.replace(0, 4, "PK\x03\x04", 4);  // random bytes behind a ZIP signature
    expectCleanFailure(loadResult(file("noise.xlsx", noise)), "noise " + std::to_string(i));
  }
  expectCleanFailure(loadResult(file("plain.xlsx", zipBytes({{"readme.txt", "hello"}, {"a/b.bin", "xyz"}}))),
                     "plain zip");
  // A password-protected workbook is an OLE2 file around the encrypted package.
  const std::string encrypted = hostile::ole2Bytes(
      {{"EncryptionInfo", std::string("\x04\x00\x04\x00\x40\x00\x00\x00", 8) + std::string(200, 'e')},
       {"EncryptedPackage", std::string(4096, '\x5A')}});
  // Its descriptor here is no XML: the header is damaged.
  EXPECT_EQ(hostile::loadFailure(file("secret.xlsx", encrypted)), xl::LoadCause::DamagedEncryptionInfo);
  EXPECT_EQ(hostile::loadFailure(file("secret.xls", encrypted)), xl::LoadCause::DamagedEncryptionInfo);
}

}  // namespace
