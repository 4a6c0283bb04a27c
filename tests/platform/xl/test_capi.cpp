// The C entry points as the window uses them: read a loaded book, write an
// export, save it and read it back; handles across reloads; books on threads.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/xl/load_error.h"
#include "platform/xl/xlapi.h"
#include "tests/platform/xl/xl_test_util.h"

namespace fs = std::filesystem;

namespace {

const XlApi& api() { return staticXlApi(); }

std::string unzipPart(const fs::path& file, const char* part) {
  int err = 0;
  zip_t* z = zip_open(file.c_str(), ZIP_RDONLY, &err);
  if (!z) return {};
  std::string out;
  zip_stat_t st;
  if (zip_stat(z, part, 0, &st) == 0) {
    zip_file_t* f = zip_fopen(z, part, 0);
    out.resize(st.size);
    if (f) {
      zip_fread(f, out.data(), st.size);
      zip_fclose(f);
    }
  }
  zip_discard(z);
  return out;
}

// The export as the results window writes it: a header row and data rows
// with a thin border, widths, and every ignored-error kind over the range.
void writeExport(BookHandle book, int rows) {
  SheetHandle sheet = api().bookInsertSheet(book, api().bookSheetCount(book), "搜索结果", nullptr);
  ASSERT_NE(sheet, nullptr);
  FormatHandle fmt = api().bookAddFormat(book, nullptr);
  ASSERT_NE(fmt, nullptr);
  api().formatSetBorder(fmt, 1);
  const char* header[] = {"文件", "工作表", "行", "列", "内容"};
  for (int c = 0; c < 5; ++c) api().sheetWriteStr(sheet, 0, c, header[c], fmt);
  for (int r = 1; r <= rows; ++r) {
    api().sheetWriteStr(sheet, r, 0, ("/数据/" + std::to_string(r) + ".xlsx").c_str(), fmt);
    api().sheetWriteStr(sheet, r, 1, "Sheet1", fmt);
    api().sheetWriteStr(sheet, r, 2, std::to_string(r).c_str(), fmt);
    api().sheetWriteStr(sheet, r, 3, "", fmt);  // blank, keeps the border
    api().sheetWriteStr(sheet, r, 4, "0123", fmt);
  }
  for (int c = 0; c < 5; ++c) api().sheetSetCol(sheet, c, c, 19.0, nullptr, 0);
  api().sheetAddIgnoredError(sheet, 0, 0, rows, 4, 255);
}

class CApi : public ::testing::Test {
 protected:
  void SetUp() override { dir = xltest::scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
  fs::path dir;
};

}  // namespace

TEST_F(CApi, ExportRoundTripThroughSaveAndLoad) {
  BookHandle out = api().createXMLBook();
  writeExport(out, 3);
  EXPECT_EQ(api().bookSheetCount(out), 1);
  // A book being written reads back what was written.
  SheetHandle ws = api().bookGetSheet(out, 0);
  EXPECT_STREQ(api().sheetReadStr(ws, 2, 0, nullptr), "/数据/2.xlsx");
  EXPECT_EQ(api().sheetLastRow(ws), 4);
  const fs::path file = dir / "结果.xlsx";
  ASSERT_EQ(api().bookSave(out, file.c_str()), 1);
  api().bookRelease(out);

  BookHandle in = api().createXMLBook();
  ASSERT_EQ(api().bookLoad(in, file.c_str()), 1) << api().bookErrorMessage(in);
  EXPECT_STREQ(api().bookErrorMessage(in), "ok");
  ASSERT_EQ(api().bookSheetCount(in), 1);
  EXPECT_STREQ(api().bookGetSheetName(in, 0), "搜索结果");
  SheetHandle s = api().bookGetSheet(in, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(api().bookGetSheet(in, 1), nullptr);
  EXPECT_EQ(api().bookGetSheet(in, -1), nullptr);
  EXPECT_EQ(api().sheetLastRow(s), 4);
  EXPECT_EQ(api().sheetLastCol(s), 5);
  EXPECT_STREQ(api().sheetReadStr(s, 0, 4, nullptr), "内容");
  EXPECT_STREQ(api().sheetReadStr(s, 3, 0, nullptr), "/数据/3.xlsx");
  EXPECT_STREQ(api().sheetReadStr(s, 3, 4, nullptr), "0123");  // text stays text
  EXPECT_EQ(api().sheetReadStr(s, 3, 3, nullptr), nullptr);    // the blank cell holds no value
  EXPECT_EQ(api().sheetReadStr(s, 9, 9, nullptr), nullptr);
  EXPECT_EQ(api().sheetReadStr(s, -1, 0, nullptr), nullptr);
  // Stored cells: row-major, only the 4 x 4 written values plus the header row.
  EXPECT_EQ(api().sheetStoredCellCount(s), 5 + 3 * 4);
  int row = -2, col = -2, len = -2;
  const char* t = api().sheetStoredCell(s, 5, &row, &col, &len);
  EXPECT_STREQ(t, "/数据/1.xlsx");
  EXPECT_EQ(row, 1);
  EXPECT_EQ(col, 0);
  EXPECT_EQ(len, static_cast<int>(std::strlen(t)));
  EXPECT_EQ(api().sheetStoredCell(s, 17, &row, &col, &len), nullptr);
  EXPECT_EQ(api().sheetFirstCellOfRow(s, 2), 9);
  EXPECT_EQ(api().sheetFirstCellOfRow(s, 100), 17);
  api().bookRelease(in);

  // What the file says about borders, widths and ignored errors.
  const std::string sheetXml = unzipPart(file, "xl/worksheets/sheet1.xml");
  const std::string styles = unzipPart(file, "xl/styles.xml");
  EXPECT_NE(sheetXml.find("<col min=\"1\" max=\"1\" width=\"19.7109375\""), std::string::npos) << sheetXml;
  for (const char* kind : {"numberStoredAsText", "evalError", "formula", "formulaRange", "unlockedFormula",
                           "emptyCellReference", "listDataValidation", "calculatedColumn", "twoDigitTextYear"})
    EXPECT_NE(sheetXml.find(std::string(kind) + "=\"1\""), std::string::npos) << kind;
  EXPECT_NE(sheetXml.find("sqref=\"A1:E4\""), std::string::npos);
  EXPECT_NE(styles.find("<left style=\"thin\">"), std::string::npos) << styles;
  EXPECT_NE(styles.find("<bottom style=\"thin\">"), std::string::npos);
  // The blank cell exists and carries the bordered style.
  EXPECT_NE(sheetXml.find("<c r=\"D2\" s=\"1\"/>"), std::string::npos) << sheetXml;
}

TEST_F(CApi, IgnoredErrorRangeIsClippedToTheGrid) {
  BookHandle out = api().createXMLBook();
  SheetHandle s = api().bookInsertSheet(out, 0, "S", nullptr);
  api().sheetWriteStr(s, 0, 0, "1", nullptr);
  EXPECT_EQ(api().sheetAddIgnoredError(s, 0, 0, 5000000, 99999, 4), 1);
  EXPECT_EQ(api().sheetAddIgnoredError(s, 3, 3, 1, 1, 255), 0);  // reversed: nothing
  EXPECT_EQ(api().bookInsertSheet(out, 5, "too far", nullptr), nullptr);
  const fs::path file = dir / "clip.xlsx";
  ASSERT_EQ(api().bookSave(out, file.c_str()), 1);
  api().bookRelease(out);
  const std::string xml = unzipPart(file, "xl/worksheets/sheet1.xml");
  EXPECT_NE(xml.find("sqref=\"A1:XFD1048576\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("numberStoredAsText=\"1\""), std::string::npos);
  EXPECT_EQ(xml.find("evalError"), std::string::npos);
}

TEST_F(CApi, SheetsInsertedInFrontKeepTheirHandles) {
  BookHandle b = api().createXMLBook();
  SheetHandle second = api().bookInsertSheet(b, 0, "B", nullptr);
  api().sheetWriteStr(second, 0, 0, "in B", nullptr);
  SheetHandle first = api().bookInsertSheet(b, 0, "A", nullptr);
  api().sheetWriteStr(first, 1, 1, "in A", nullptr);
  EXPECT_STREQ(api().bookGetSheetName(b, 0), "A");
  EXPECT_STREQ(api().bookGetSheetName(b, 1), "B");
  EXPECT_STREQ(api().sheetReadStr(second, 0, 0, nullptr), "in B");
  const fs::path file = dir / "two.xlsx";
  ASSERT_EQ(api().bookSave(b, file.c_str()), 1);
  api().bookRelease(b);
  BookHandle in = api().createXMLBook();
  ASSERT_EQ(api().bookLoad(in, file.c_str()), 1) << api().bookErrorMessage(in);
  EXPECT_STREQ(api().sheetReadStr(api().bookGetSheet(in, 0), 1, 1, nullptr), "in A");
  EXPECT_STREQ(api().sheetReadStr(api().bookGetSheet(in, 1), 0, 0, nullptr), "in B");
  api().bookRelease(in);
}

TEST_F(CApi, TextsThatExcelCannotHoldAreMadeSafe) {
  BookHandle b = api().createXMLBook();
  SheetHandle s = api().bookInsertSheet(b, 0, "a/b:c*?[x]", nullptr);  // characters a sheet name cannot have
  api().sheetWriteStr(s, 0, 0, "bad \xFF byte", nullptr);
  api().sheetWriteStr(s, 0, 1, "ctl\x01" "char", nullptr);
  api().sheetWriteStr(s, 0, 2, std::string(40000, 'x').c_str(), nullptr);
  // Excel's limit counts UTF-16 units: 20,000 emoji (two units each) are cut
  // to 16,383 of them, between two characters.
  std::string emoji;
  for (int i = 0; i < 20000; ++i) emoji += "\xF0\x9F\x98\x80";
  api().sheetWriteStr(s, 0, 3, emoji.c_str(), nullptr);
  api().sheetWriteStr(s, 0, 0, "rewritten \xE4\xB8", nullptr);  // truncated UTF-8; the last write wins
  const fs::path file = dir / "safe.xlsx";
  ASSERT_EQ(api().bookSave(b, file.c_str()), 1) << api().bookErrorMessage(b);
  api().bookRelease(b);
  BookHandle in = api().createXMLBook();
  ASSERT_EQ(api().bookLoad(in, file.c_str()), 1) << api().bookErrorMessage(in);
  EXPECT_STREQ(api().bookGetSheetName(in, 0), "a_b_c___x_");
  SheetHandle r = api().bookGetSheet(in, 0);
  EXPECT_STREQ(api().sheetReadStr(r, 0, 0, nullptr), "rewritten \xEF\xBF\xBD\xEF\xBF\xBD");  // one per stray byte
  EXPECT_STREQ(api().sheetReadStr(r, 0, 1, nullptr), "ctl\x01" "char");
  EXPECT_EQ(std::strlen(api().sheetReadStr(r, 0, 2, nullptr)), 32767u);
  EXPECT_EQ(std::string(api().sheetReadStr(r, 0, 3, nullptr)), emoji.substr(0, 16383 * 4));
  api().bookRelease(in);
}

// A write leaves the sheet in order at once, so the read calls never have to
// sort it (and never change the book): cells written backwards, rewritten,
// and read between the writes.
TEST_F(CApi, ReadsBetweenWritesSeeEveryCellInOrder) {
  BookHandle b = api().createXMLBook();
  SheetHandle s = api().bookInsertSheet(b, 0, "S", nullptr);
  for (int r = 4; r >= 0; --r) {
    ASSERT_EQ(api().sheetWriteStr(s, r, 4 - r, std::to_string(r).c_str(), nullptr), 1);
    EXPECT_EQ(api().sheetStoredCellCount(s), 5 - r);
    EXPECT_EQ(api().sheetLastRow(s), 5);
    EXPECT_EQ(api().sheetLastCol(s), 5 - r);
  }
  api().sheetWriteStr(s, 2, 2, "again", nullptr);
  api().sheetWriteStr(s, 2, 0, "left", nullptr);
  std::vector<std::string> seen;
  int row = 0, col = 0;
  for (int k = 0; k < api().sheetStoredCellCount(s); ++k) {
    const char* text = api().sheetStoredCell(s, k, &row, &col, nullptr);
    seen.push_back(std::to_string(row) + "," + std::to_string(col) + "=" + text);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"0,4=0", "1,3=1", "2,0=left", "2,2=again", "3,1=3", "4,0=4"}));
  EXPECT_EQ(api().sheetFirstCellOfRow(s, 3), 4);
  EXPECT_STREQ(api().sheetReadStr(s, 2, 2, nullptr), "again");
  api().bookRelease(b);
}

TEST_F(CApi, HandlesSurviveReloadsAndBooksWorkOnSeparateThreads) {
  BookHandle b = api().createXMLBook();
  writeExport(b, 50);
  const fs::path big = dir / "big.xlsx";
  ASSERT_EQ(api().bookSave(b, big.c_str()), 1);
  api().bookRelease(b);
  BookHandle two = api().createXMLBook();
  api().bookInsertSheet(two, 0, "X", nullptr);
  api().bookInsertSheet(two, 1, "Y", nullptr);
  const fs::path twoSheets = dir / "two.xlsx";
  ASSERT_EQ(api().bookSave(two, twoSheets.c_str()), 1);
  api().bookRelease(two);

  BookHandle scan = api().createXMLBook();
  ASSERT_EQ(api().bookLoad(scan, twoSheets.c_str()), 1);
  SheetHandle stale = api().bookGetSheet(scan, 1);
  ASSERT_EQ(api().bookLoad(scan, big.c_str()), 1);
  // The old second sheet is gone: its handle reads as empty instead of crashing.
  EXPECT_EQ(api().sheetLastRow(stale), 0);
  EXPECT_EQ(api().sheetReadStr(stale, 0, 0, nullptr), nullptr);
  EXPECT_EQ(api().sheetStoredCellCount(stale), 0);
  EXPECT_EQ(api().bookLoad(scan, (dir / "none.xlsx").c_str()), 0);
  EXPECT_STREQ(api().bookErrorMessage(scan), "无法打开文件：文件不存在");
  EXPECT_EQ(api().bookSheetCount(scan), 0);
  api().bookRelease(scan);

  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      BookHandle mine = api().createXMLBook();
      for (int i = 0; i < 20; ++i) {
        if (api().bookLoad(mine, (i % 2 ? big : twoSheets).c_str()) != 1) ++mismatches[t];
        SheetHandle s = api().bookGetSheet(mine, 0);
        if ((i % 2) && std::string(api().sheetReadStr(s, 50, 0, nullptr)) != "/数据/50.xlsx") ++mismatches[t];
        if (!(i % 2) && api().bookSheetCount(mine) != 2) ++mismatches[t];
      }
      api().bookRelease(mine);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST_F(CApi, DumpPrintsTheBookAsJson) {
  BookHandle b = api().createXMLBook();
  SheetHandle s = api().bookInsertSheet(b, 0, "表\"1", nullptr);
  api().sheetWriteStr(s, 0, 0, "a\"b\\c\nd\te\x01", nullptr);
  api().sheetWriteStr(s, 2, 1, "中文", nullptr);
  const fs::path file = dir / "dump.xlsx";
  ASSERT_EQ(api().bookSave(b, file.c_str()), 1);
  api().bookRelease(b);
  const std::string cli = std::string(QUORVANE_BINARY_DIR) + "/cli/quorvane-search";
  const fs::path out = dir / "out.json";
  int rc = std::system(("'" + cli + "' --dump '" + file.string() + "' > '" + out.string() + "'").c_str());
  ASSERT_EQ(WEXITSTATUS(rc), 0);
  EXPECT_EQ(xltest::readBytes(out),
            "{\"sheets\":[{\"name\":\"表\\\"1\",\"lastRow\":3,\"lastCol\":2,\"hiddenRows\":[],\"hiddenCols\":[],"
            "\"cells\":[[0,0,\"a\\\"b\\\\c\\nd\\te\\u0001\"],[2,1,\"中文\"]]}]}\n");
  xltest::writeBytes(dir / "empty.xls", "");
  rc = std::system(("'" + cli + "' --dump '" + (dir / "empty.xls").string() + "' > '" + out.string() + "'").c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 2);
  EXPECT_EQ(xltest::readBytes(out), "{\"error\":\"文件为空\"}\n");
}

TEST_F(CApi, SharedLibraryLoadsByAbsolutePathWithEveryEntryPoint) {
  const std::string lib = std::string(QUORVANE_BINARY_DIR) + "/platform/libxl.so";
  XlApi dyn;
  std::string missing;
  ASSERT_TRUE(loadXlApi(lib, dyn, missing)) << missing;
  EXPECT_TRUE(missing.empty());
  // The loaded copy reads what the linked one wrote.
  BookHandle out = api().createXMLBook();
  writeExport(out, 2);
  const fs::path file = dir / "via-dl.xlsx";
  ASSERT_EQ(api().bookSave(out, file.c_str()), 1);
  api().bookRelease(out);
  BookHandle in = dyn.createXMLBook();
  ASSERT_EQ(dyn.bookLoad(in, file.c_str()), 1) << dyn.bookErrorMessage(in);
  EXPECT_STREQ(dyn.sheetReadStr(dyn.bookGetSheet(in, 0), 2, 0, nullptr), "/数据/2.xlsx");
  ASSERT_NE(dyn.bookSetCancelFlag, nullptr);  // optional in the table, but this build has it
  const int cancel = 1;
  dyn.bookSetCancelFlag(in, &cancel);
  EXPECT_EQ(dyn.bookLoad(in, file.c_str()), XL_LOAD_CANCELLED);
  ASSERT_NE(dyn.bookErrorCause, nullptr);
  EXPECT_EQ(dyn.bookErrorCause(in), static_cast<int>(xl::LoadCause::Cancelled));
  dyn.bookRelease(in);

  XlApi none;
  EXPECT_FALSE(loadXlApi("libxl.so", none, missing));  // never through the search path
  EXPECT_FALSE(missing.empty());
  EXPECT_EQ(none.createXMLBook, nullptr);
  EXPECT_FALSE(loadXlApi((dir / "absent.so").string(), none, missing));
  EXPECT_FALSE(missing.empty());

  // A foreign library of that name: the first entry point is named.
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&zlibVersion), &info), 0);
  ASSERT_NE(info.dli_fname, nullptr);
  fs::copy_file(info.dli_fname, dir / "libxl.so");
  EXPECT_FALSE(loadXlApi((dir / "libxl.so").string(), none, missing));
  EXPECT_EQ(missing, "xlCreateXMLBookCA");
  EXPECT_EQ(none.bookLoad, nullptr);
}

// A cancelled load is its own outcome: not loaded, not a failure of the file,
// and the book is left empty rather than holding the previous workbook.
TEST_F(CApi, CancelledLoadIsNeitherLoadedNorFailed) {
  BookHandle out = api().createXMLBook();
  writeExport(out, 2);
  const fs::path file = dir / "cancel.xlsx";
  ASSERT_EQ(api().bookSave(out, file.c_str()), 1);
  api().bookRelease(out);

  std::atomic<int> stop{0};
  BookHandle in = api().createXMLBook();
  setCancelFlag(api(), in, stop);
  ASSERT_EQ(api().bookLoad(in, file.c_str()), 1) << api().bookErrorMessage(in);
  EXPECT_EQ(api().bookSheetCount(in), 1);
  stop = 1;
  EXPECT_EQ(api().bookLoad(in, file.c_str()), XL_LOAD_CANCELLED);
  EXPECT_STREQ(api().bookErrorMessage(in), "读取已取消");
  EXPECT_EQ(api().bookErrorCause(in), static_cast<int>(xl::LoadCause::Cancelled));
  EXPECT_EQ(api().bookSheetCount(in), 0);
  // A missing file under a set flag is dropped the same way: the caller no
  // longer wants it, so it must not become a failure row either.
  EXPECT_EQ(api().bookLoad(in, (dir / "absent.xlsx").c_str()), XL_LOAD_CANCELLED);
  stop = 0;
  EXPECT_EQ(api().bookLoad(in, (dir / "absent.xlsx").c_str()), 0);
  EXPECT_EQ(api().bookErrorCause(in), static_cast<int>(xl::LoadCause::OpenNotFound));
  EXPECT_EQ(api().bookLoad(in, file.c_str()), 1);
  EXPECT_EQ(api().bookErrorCause(in), 0);
  api().bookSetCancelFlag(in, nullptr);  // off again
  stop = 1;
  EXPECT_EQ(api().bookLoad(in, file.c_str()), 1);
  api().bookRelease(in);
}

TEST_F(CApi, InsertedSheetCanStartAsACopy) {
  BookHandle b = api().createXMLBook();
  SheetHandle a = api().bookInsertSheet(b, 0, "A", nullptr);
  for (int r = 0; r < 300; ++r) api().sheetWriteStr(a, r, r % 3, ("行" + std::to_string(r)).c_str(), nullptr);
  SheetHandle copy = api().bookInsertSheet(b, 1, "A copy", a);  // from the same book
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(api().sheetStoredCellCount(copy), 300);
  EXPECT_STREQ(api().sheetReadStr(copy, 299, 2, nullptr), "行299");
  BookHandle other = api().createXMLBook();
  SheetHandle far = api().bookInsertSheet(other, 0, "B", a);  // from another book
  api().bookRelease(b);
  EXPECT_STREQ(api().sheetReadStr(far, 10, 1, nullptr), "行10");
  api().bookRelease(other);
}
