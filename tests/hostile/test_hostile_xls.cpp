// Hostile and damaged .xls files: BIFF records and OLE2 containers that lie.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "platform/xl/biff_parse.h"
#include "platform/xl/book.h"
#include "tests/hostile/hostile_util.h"

using namespace hostile;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A BIFF8 workbook stream: globals naming the sheets at the given offsets
// (nullopt = the real offset of that sheet's substream), then the sheets.
struct StreamLayout {
  std::vector<std::string> sheetCells;  // one sheet per entry: its cell records
  std::vector<int64_t> offsets;         // -1 = the real one
  std::string extraGlobals;
};

std::string workbookStream(const StreamLayout& layout) {
  const size_t n = layout.sheetCells.size();
  auto globalsWith = [&](const std::vector<uint32_t>& offs) {
    std::string g = bof(0x0005) + layout.extraGlobals;
    for (size_t i = 0; i < n; ++i) g += boundSheet(offs[i], "S" + std::to_string(i + 1));
    return g + eofRecord();
  };
  std::vector<uint32_t> real(n, 0);
  const size_t globalsSize = globalsWith(real).size();
  std::string sheets;
  for (size_t i = 0; i < n; ++i) {
    real[i] = static_cast<uint32_t>(globalsSize + sheets.size());
    sheets += bof(0x0010) + layout.sheetCells[i] + eofRecord();
  }
  std::vector<uint32_t> offs = real;
  for (size_t i = 0; i < n && i < layout.offsets.size(); ++i)
    if (layout.offsets[i] >= 0) offs[i] = static_cast<uint32_t>(layout.offsets[i]);
  return globalsWith(offs) + sheets;
}

class HostileXls : public ::testing::Test {
 protected:
  void SetUp() override { dir = scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
  void TearDown() override { removeTree(dir); }
  // Loads the stream inside an OLE2 file; "ok: <cells>" or the error.
  std::string load(const std::string& stream, const std::string& name = "Workbook") {
    const std::string path = dir + "/book.xls";
    writeFile(path, ole2Bytes({{name, stream}}));
    xl::Book book;
    if (!book.load(path)) return book.errorText();
    std::string out = "ok:";
    for (const xl::Sheet& s : book.sheets) {
      out += " [" + s.name + "]";
      for (const xl::CellRef& c : s.cells()) out += " " + std::string(book.text(c));
    }
    return out;
  }
  std::string dir;
};

void expectCleanFailure(const std::string& result, const std::string& what) {
  EXPECT_EQ(result.rfind("ok:", 0), std::string::npos) << what << ": " << result;
  EXPECT_TRUE(hasCjk(result)) << what << ": " << result;
}

TEST_F(HostileXls, AGoodStreamReadsAsBuilt) {
  StreamLayout layout{{labelCell(0, 0, "alpha"), labelCell(2, 1, "beta")}, {}, ""};
  EXPECT_EQ(load(workbookStream(layout)), "ok: [S1] alpha [S2] beta");
}

TEST_F(HostileXls, RecordsRunningPastTheStream) {
  const std::string good = workbookStream({{labelCell(0, 0, "alpha")}, {}, ""});
  // A last record whose length runs past the end, in the globals and in a sheet.
  for (const std::string& stream :
       {bof(0x0005) + u16(0x0085) + u16(0x2000) + "abc",
        good.substr(0, good.size() - 4) + u16(0x0204) + u16(0x00FF) + "xy",
        good + u16(0x00FC) + u16(0x2020)}) {
    const std::string result = load(stream);
    if (result.rfind("ok:", 0) != 0) {
      EXPECT_TRUE(hasCjk(result)) << result;
    }
  }
  // A cell record whose own fields say more than its length holds.
  const std::string lyingLabel = record(0x0204, u16(0) + u16(0) + u16(0x0F) + u16(5000) + std::string(1, '\0') + "ab");
  const std::string result = load(workbookStream({{lyingLabel + labelCell(1, 0, "after")}, {}, ""}));
  if (result.rfind("ok:", 0) == 0)
    EXPECT_NE(result.find("after"), std::string::npos) << result;
  else
    EXPECT_TRUE(hasCjk(result)) << result;
  // The same streams straight through the record layer.
  for (size_t len = 0; len <= good.size(); ++len) {
    xl::Book book;
    if (!xl::biff::parseWorkbookStream(reinterpret_cast<const uint8_t*>(good.data()), len, "x", book)) {
      EXPECT_FALSE(book.error().empty()) << len;
    }
  }
}

TEST_F(HostileXls, SheetOffsetsPointingAnywhere) {
  const std::vector<std::string> cells{labelCell(0, 0, "one"), labelCell(0, 0, "two")};
  const std::string real = workbookStream({cells, {}, ""});
  for (int64_t offset : {int64_t(0), int64_t(1), int64_t(3), int64_t(20), int64_t(real.size()),
                         int64_t(real.size() - 1), int64_t(0x7FFFFFFF), int64_t(0xFFFFFFFF)}) {
    const auto start = std::chrono::steady_clock::now();
    const std::string result = load(workbookStream({cells, {offset, offset}, ""}));
    EXPECT_LT(secondsSince(start), 5.0) << offset;
    if (result.rfind("ok:", 0) == 0) {
      // Whatever the offsets say, no sheet shows another sheet's or the
      // globals' records as cells twice over.
      EXPECT_LE(result.size(), std::string("ok: [S1] one [S2] two").size() + 20) << offset << ": " << result;
    } else {
      EXPECT_TRUE(hasCjk(result)) << offset << ": " << result;
    }
  }
}

TEST_F(HostileXls, ThousandsOfSheetsWithoutSubstreams) {
  std::string globals = bof(0x0005);
  for (int i = 0; i < 20000; ++i) globals += boundSheet(0x00FFFFFF + i, "S" + std::to_string(i));
  globals += eofRecord();
  const auto start = std::chrono::steady_clock::now();
  const std::string result = load(globals);
  EXPECT_LT(secondsSince(start), 20.0);
  if (result.rfind("ok:", 0) != 0) {
    EXPECT_TRUE(hasCjk(result)) << result;
  }
}

TEST_F(HostileXls, ANulInsideACellIsSearchedAndShownWithTheRest) {
  // Texts carry their length from the reader through the scan to the grid:
  // the NUL is kept, the text after it is still found, and nothing matches
  // across it as if it were not there.
  const std::string nul("ab\0cd", 5);
  writeFile(dir + "/nul.xls", ole2Bytes({{"Workbook", workbookStream({{labelCell(0, 0, nul) + labelCell(0, 1, "next")}, {}, ""})}}));
  SearchResult found = searchFolder(dir, "CD");
  ASSERT_EQ(found.rows.size(), 1u);
  ASSERT_GE(found.rows[0].size(), 5u);
  EXPECT_EQ(found.rows[0][2], "A1");
  EXPECT_EQ(found.rows[0][3], nul);
  EXPECT_EQ(found.rows[0][4], "next");
  EXPECT_EQ(searchFolder(dir, "ab").rows.size(), 1u);
  EXPECT_TRUE(searchFolder(dir, "bc").rows.empty());
}

// A word past Excel's 32,767 characters is found, in an .xls (a LABEL that
// goes on in CONTINUE records) and an .xlsx (a shared string three rows
// show), and the rows hold the whole texts.
TEST_F(HostileXls, WordsPastExcelsCellLimitAreFound) {
  const std::string head(40'000, 'q');
  std::string label = u16(0) + u16(0) + u16(0x0F) + u16(40'006) + std::string(1, '\0') + head.substr(0, 8'000);
  std::string cells = record(0x0204, label);
  for (size_t at = 8'000; at < head.size(); at += 8'000)
    cells += record(0x003C, std::string(1, '\0') + head.substr(at, 8'000) + (at + 8'000 >= head.size() ? " tail." : ""));
  writeFile(dir + "/long.xls", ole2Bytes({{"Workbook", workbookStream({{cells + labelCell(1, 0, "short")}, {}, ""})}}));
  const std::string shared = head + " 尾巴";
  std::string rows;
  for (int r = 1; r <= 3; ++r)
    rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"B" + std::to_string(r) + "\" t=\"s\"><v>0</v></c></row>";
  writeFile(dir + "/long.xlsx",
            zipBytes(oneSheetPackage(worksheet(rows), {{"xl/sharedStrings.xml",
                                                        "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/"
                                                        "2006/main\"><si><t>" + shared + "</t></si></sst>"}})));
  SearchResult found = searchFolder(dir, "TAIL");
  ASSERT_EQ(found.rows.size(), 1u);
  EXPECT_EQ(found.rows[0][0], "/long.xls");
  EXPECT_EQ(found.rows[0][3], head + " tail.");
  found = searchFolder(dir, "尾巴");
  ASSERT_EQ(found.rows.size(), 3u);
  for (const Row& row : found.rows) {
    EXPECT_EQ(row[0], "/long.xlsx");
    EXPECT_EQ(row[4], shared);
  }
  EXPECT_EQ(searchFolder(dir, "qqqqq").rows.size(), 4u);
}

TEST_F(HostileXls, EncryptedForeignTruncatedAndRandomFiles) {
  // FILEPASS right after the globals' BOF: RC4 encryption of a version no
  // Excel writes.
  const std::string filepass = record(0x002F, u16(1) + u16(1) + u16(2) + std::string(48, '\x11'));
  StreamLayout layout{{labelCell(0, 0, "secret")}, {}, filepass};
  EXPECT_EQ(load(workbookStream(layout)), xl::loadErrorText(xl::LoadCause::EncryptedUnsupported));
  // An OLE2 file that holds no workbook stream (a Word file, or nothing).
  expectCleanFailure(load("\x01\x02\x03", "WordDocument"), "no workbook");
  writeFile(dir + "/empty-ole.xls", ole2Bytes({}));
  expectCleanFailure(loadResult(dir + "/empty-ole.xls"), "empty OLE2");
  // Cut at many lengths: a clean failure, or (once the container's
  // directory and the stream's sectors are in) the one cell built, salvaged.
  const std::string whole = ole2Bytes({{"Workbook", workbookStream({{labelCell(0, 0, "alpha")}, {}, ""})}});
  for (size_t len = 0; len < whole.size(); len += (len < 600 ? 7 : 61)) {
    writeFile(dir + "/cut.xls", whole.substr(0, len));
    xl::Book book;
    if (book.load(dir + "/cut.xls")) {
      for (const xl::Sheet& s : book.sheets)
        for (const xl::CellRef& c : s.cells()) EXPECT_EQ(std::string(book.text(c), c.len), "alpha") << len;
    } else {
      expectCleanFailure(book.errorText(), "cut at " + std::to_string(len));
    }
  }
  std::mt19937 rng(11);
  for (int i = 0; i < 50; ++i) {
    std::string noise(1 + rng() % 8000, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    if (i % 2) noise.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    writeFile(dir + "/noise.xls", noise);
    expectCleanFailure(loadResult(dir + "/noise.xls"), "noise " + std::to_string(i));
  }
  writeFile(dir + "/empty.xls", "");
  EXPECT_EQ(hostile::loadFailure(dir + "/empty.xls"), xl::LoadCause::Empty);
}

}  // namespace
