// The .xls reader: hand-built BIFF record streams in OLE2 containers, xlwt
// fixtures from make_xls.py, and workbooks from the real-world corpus.
#include <gsf/gsf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/xl/biff_parse.h"
#include "platform/xl/book.h"
#include "tests/platform/xl/biff_builder.h"
#include "tests/platform/xl/ooxml_fixtures.h"

namespace fs = std::filesystem;
using namespace xltest::biff;

namespace {

using fixtures::at;
using fixtures::scratchPath;

void writeFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

bool isChinese(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return true;
  return false;
}

// ---- the hand-built BIFF8 workbook ------------------------------------------

// Shared strings split over CONTINUE records in every way a writer may split
// them: characters changing width at a break, rich-text runs and phonetic
// data running over a break, a string starting right at a break, and one
// whose characters all sit after the break.
void addSst(Stream& s) {
  Bytes a;
  a.u32(10).u32(6);
  a.u16(5).u8(0).raw("Hello");
  a.u16(6).u8(0x08).u16(2).raw("abc");  // rich, 2 runs; characters go on wide
  s.add(0x00FC, a);
  Bytes b;
  b.u8(1).wide(u"中文X").zeros(5);  // new width flag, characters, runs...
  s.add(0x003C, b);
  Bytes c;
  c.zeros(3);                                               // ...rest of the runs
  c.u16(2).u8(0x05).u32(10).wide(u"日本").u8(1).u8(2).u8(3).u8(4);  // phonetic, 10 bytes
  s.add(0x003C, c);
  Bytes d;
  d.zeros(6);                                       // rest of the phonetic data
  d.u16(3).u8(0x0C).u16(1).u32(2).raw("xyz").zeros(4).zeros(2);
  s.add(0x003C, d);
  Bytes e;
  e.u16(2).u8(0).raw("ok");  // starts at a break: no extra flag byte
  e.u16(3).u8(1);            // header only; the characters follow the break
  s.add(0x003C, e);
  Bytes f;
  f.u8(0).raw("end");
  s.add(0x003C, f);
}

struct Handmade {
  bool garbageOffsets = false;
  bool filepass = false;
  bool truncateLast = false;
  bool date1904 = false;
  bool noGlobalsEof = false;
  bool swapFirstAndLast = false;  // the directory lists the sheets out of stream order
};

std::vector<uint8_t> handmadeBiff8(const Handmade& opt) {
  Stream s;
  s.add(0x0809, bof8(0x0005));
  if (opt.filepass) s.add(0x002F, Bytes().u16(1).zeros(52));
  s.add(0x0042, Bytes().u16(1200));
  if (opt.date1904) s.add(0x0022, Bytes().u16(1));
  s.add(0x041E, Bytes().u16(164).ustr(u"yyyy/mm/dd"));
  s.add(0x041E, Bytes().u16(165).ustr(u"0.00\"日\""));  // a quoted d is no date
  s.add(0x00E0, xf8(0));    // 0: General
  s.add(0x00E0, xf8(164));  // 1: custom date
  s.add(0x00E0, xf8(14));   // 2: built-in date
  s.add(0x00E0, xf8(165));  // 3: number with a quoted text
  std::vector<size_t> sheetPos;
  auto boundsheet = [&](uint8_t state, uint8_t type, const std::u16string& name) {
    Bytes b;
    b.u32(0).u8(state).u8(type).u8(static_cast<unsigned>(name.size())).u8(1).wide(name);
    sheetPos.push_back(s.add(0x0085, b) + 4);
  };
  boundsheet(0, 0, u"表一");
  boundsheet(0, 6, u"Module1");  // BIFF5-style module sheet: not shown
  boundsheet(0, 2, u"图表1");
  boundsheet(1, 0, u"Hidden");
  addSst(s);
  if (!opt.noGlobalsEof) s.add(0x000A);

  std::vector<size_t> starts;
  // Sheet 1.
  starts.push_back(s.add(0x0809, bof8(0x0010)));
  s.add(0x0208, Bytes().u16(0).u16(0).u16(6).u16(0xFF).u16(0).u16(0).u16(0x0100).u16(0x0F));
  s.add(0x0208, Bytes().u16(2).u16(0).u16(6).u16(0xFF).u16(0).u16(0).u16(0x0120).u16(0x0F));
  s.add(0x007D, Bytes().u16(3).u16(4).u16(0x0900).u16(0x0F).u16(1).u16(0));
  s.add(0x007D, Bytes().u16(5).u16(5).u16(0x0900).u16(0x0F).u16(0).u16(0));
  s.add(0x00FD, Bytes().cell(0, 0, 0).u32(1));
  s.add(0x0203, Bytes().cell(0, 1, 0).f64(3.5));
  s.add(0x027E, Bytes().cell(0, 2, 0).u32(rkInt(42)));
  s.add(0x027E, Bytes().cell(0, 3, 0).u32((1234u << 2) | 3));  // 12.34
  s.add(0x027E, Bytes().cell(0, 4, 0).u32(0x3FE00000));        // 0.5 as a float RK
  s.add(0x00BD, Bytes().u16(1).u16(0).u16(1).u32(rkInt(45000)).u16(0).u32(rkInt(-7)).u16(2).u32(rkInt(45000))
                    .u16(3).u32(rkInt(45000)).u16(3));
  Bytes numFormula;
  numFormula.cell(2, 0, 0).f64(2.5).u16(0).u32(0).u16(3).u8(0x1E).u16(2);
  s.add(0x0006, numFormula);
  Bytes strFormula;
  strFormula.cell(2, 1, 0).u8(0).zeros(5).u16(0xFFFF).u16(0).u32(0).u16(0);
  s.add(0x0006, strFormula);
  s.add(0x04BC, Bytes().zeros(10));  // a shared formula between FORMULA and STRING
  s.add(0x0207, Bytes().u16(5).u8(1).wide(u"公式"));
  s.add(0x003C, Bytes().u8(0).raw("abc"));
  Bytes boolFormula, errFormula, emptyFormula;
  boolFormula.cell(2, 2, 0).u8(1).u8(0).u8(1).zeros(3).u16(0xFFFF).u16(0).u32(0).u16(0);
  errFormula.cell(2, 3, 0).u8(2).u8(0).u8(0x07).zeros(3).u16(0xFFFF).u16(0).u32(0).u16(0);
  emptyFormula.cell(2, 4, 0).u8(3).zeros(5).u16(0xFFFF).u16(0).u32(0).u16(0);
  s.add(0x0006, boolFormula);
  s.add(0x0006, errFormula);
  s.add(0x0006, emptyFormula);
  s.add(0x0205, Bytes().cell(3, 0, 0).u8(0).u8(0));
  s.add(0x0205, Bytes().cell(3, 1, 0).u8(0x2A).u8(1));
  s.add(0x0207, Bytes().cstr("orphan"));  // no formula before it: no cell
  s.add(0x0204, Bytes().cell(3, 2, 0).ustr(u"标签"));
  s.add(0x0204, Bytes().cell(3, 3, 0).cstr("\xC4-\xE9"));
  s.add(0x00FD, Bytes().cell(3, 4, 0).u32(99));  // past the table
  s.add(0x0203, Bytes().cell(4, 0, 999).f64(45000));  // unknown XF: General
  s.add(0x0203, Bytes().cell(4, 1, 3).f64(7));
  for (unsigned i = 0; i < 6; ++i) s.add(0x00FD, Bytes().cell(5, i, 0).u32(5 - i));
  s.add(0x00FD, Bytes().cell(6, 20000, 0).u32(0));  // outside any grid
  s.add(0x0201, Bytes().cell(9, 9, 0));
  s.add(0x00BE, Bytes().u16(10).u16(0).u16(0).u16(0).u16(0).u16(2));
  // An embedded chart: its records are not cells of the sheet.
  s.add(0x0809, bof8(0x0020));
  s.add(0x00FD, Bytes().cell(8, 0, 0).u32(0));
  s.add(0x000A);
  s.add(0x000A);
  // The module sheet, the chart sheet and the hidden sheet.
  starts.push_back(s.add(0x0809, bof5(0x0006)));
  s.add(0x000A);
  starts.push_back(s.add(0x0809, bof8(0x0020)));
  s.add(0x00FD, Bytes().cell(0, 0, 0).u32(0));
  s.add(0x000A);
  starts.push_back(s.add(0x0809, bof8(0x0010)));
  s.add(0x00FD, Bytes().cell(0, 0, 0).u32(0));
  s.add(0x000A);

  if (opt.swapFirstAndLast) std::swap(starts.front(), starts.back());
  for (size_t i = 0; i < sheetPos.size(); ++i)
    s.patch32(sheetPos[i], opt.garbageOffsets ? static_cast<uint32_t>(0xFFFFFF00u - i * 7) : starts[i]);
  if (opt.truncateLast) s.d.erase(s.d.end() - 6, s.d.end());  // the last LABELSST runs past the end
  return s.d;
}

xl::Book loadHandmade(const std::string& name, const Handmade& opt, const std::string& streamName = "Workbook") {
  std::string path = scratchPath(name);
  writeOle2(path, {{streamName, handmadeBiff8(opt)}});
  xl::Book book;
  book.load(path);
  return book;
}

void expectHandmadeCells(const xl::Book& book) {
  ASSERT_EQ(book.sheets.size(), 3u) << book.error();
  EXPECT_EQ(book.sheets[0].name, "表一");
  EXPECT_EQ(book.sheets[1].name, "图表1");
  EXPECT_EQ(book.sheets[2].name, "Hidden");
  EXPECT_FALSE(book.sheets[0].isChart);
  EXPECT_TRUE(book.sheets[1].isChart);
  EXPECT_TRUE(book.sheets[1].cells().empty());
  EXPECT_EQ(at(book, book.sheets[2], 0, 0), "Hello");

  const xl::Sheet& s = book.sheets[0];
  EXPECT_EQ(at(book, s, 0, 0), "abc中文X");
  EXPECT_EQ(at(book, s, 0, 1), "3.5");
  EXPECT_EQ(at(book, s, 0, 2), "42");
  EXPECT_EQ(at(book, s, 0, 3), "12.34");
  EXPECT_EQ(at(book, s, 0, 4), "0.5");
  EXPECT_EQ(at(book, s, 1, 0), "2023-03-15");  // custom date format
  EXPECT_EQ(at(book, s, 1, 1), "-7");
  EXPECT_EQ(at(book, s, 1, 2), "2023-03-15");  // built-in date format
  EXPECT_EQ(at(book, s, 1, 3), "45000");       // quoted "日" is not a day
  EXPECT_EQ(at(book, s, 2, 0), "2.5");
  EXPECT_EQ(at(book, s, 2, 1), "公式abc");
  EXPECT_EQ(at(book, s, 2, 2), "TRUE");
  EXPECT_EQ(at(book, s, 2, 3), "#DIV/0!");
  EXPECT_EQ(at(book, s, 2, 4), "");
  EXPECT_EQ(at(book, s, 3, 0), "FALSE");
  EXPECT_EQ(at(book, s, 3, 1), "#N/A");
  EXPECT_EQ(at(book, s, 3, 2), "标签");
  EXPECT_EQ(at(book, s, 3, 3), "Ä-é");
  EXPECT_EQ(at(book, s, 3, 4), "");
  EXPECT_EQ(at(book, s, 4, 0), "45000");
  EXPECT_EQ(at(book, s, 4, 1), "7");
  const char* sst[] = {"Hello", "abc中文X", "日本", "xyz", "ok", "end"};
  for (unsigned i = 0; i < 6; ++i) EXPECT_EQ(at(book, s, 5, i), sst[5 - i]) << i;
  EXPECT_EQ(at(book, s, 8, 0), "<none>");  // inside the embedded chart
  EXPECT_EQ(at(book, s, 9, 9), "<none>");  // blank cells are not values
  EXPECT_EQ(s.lastRow(), 6);
  EXPECT_EQ(s.lastCol(), 6);

  EXPECT_TRUE(s.rowHidden(2));
  EXPECT_FALSE(s.rowHidden(0));
  EXPECT_FALSE(s.rowHidden(1));
  EXPECT_FALSE(s.colHidden(2));
  EXPECT_TRUE(s.colHidden(3));
  EXPECT_TRUE(s.colHidden(4));
  EXPECT_FALSE(s.colHidden(5));
}

TEST(BiffHandmade, EveryCellKindSheetKindAndVisibility) {
  xl::Book book = loadHandmade("handmade.xls", {});
  expectHandmadeCells(book);
}

TEST(BiffHandmade, GarbageSheetOffsetsFallBackToSubstreamOrder) {
  xl::Book book = loadHandmade("garbage_offsets.xls", {.garbageOffsets = true});
  expectHandmadeCells(book);
}

TEST(BiffHandmade, SheetsFollowTheirOffsetsNotTheStreamOrder) {
  xl::Book book = loadHandmade("swapped_offsets.xls", {.swapFirstAndLast = true});
  ASSERT_EQ(book.sheets.size(), 3u) << book.error();
  EXPECT_EQ(book.sheets[0].cells().size(), 1u);
  EXPECT_EQ(at(book, book.sheets[0], 0, 0), "Hello");
  EXPECT_EQ(at(book, book.sheets[2], 0, 0), "abc中文X");
  EXPECT_EQ(at(book, book.sheets[2], 2, 1), "公式abc");
  EXPECT_EQ(book.sheets[2].lastRow(), 6);
}

TEST(BiffHandmade, GlobalsWithoutEofEndAtTheFirstSheet) {
  xl::Book book = loadHandmade("no_globals_eof.xls", {.noGlobalsEof = true});
  expectHandmadeCells(book);
  book = loadHandmade("no_globals_eof_garbage.xls", {.garbageOffsets = true, .noGlobalsEof = true});
  expectHandmadeCells(book);
}

TEST(BiffHandmade, StreamNameMatchedWithoutCase) {
  for (const char* name : {"WORKBOOK", "workbook", "Book", "BOOK"}) {
    xl::Book book = loadHandmade(std::string("name_") + name + ".xls", {}, name);
    ASSERT_EQ(book.sheets.size(), 3u) << name << ": " << book.error();
    EXPECT_EQ(at(book, book.sheets[0], 0, 0), "abc中文X") << name;
  }
}

TEST(BiffHandmade, Date1904) {
  xl::Book book = loadHandmade("date1904.xls", {.date1904 = true});
  ASSERT_EQ(book.sheets.size(), 3u) << book.error();
  EXPECT_EQ(at(book, book.sheets[0], 1, 0), "2027-03-16");
  EXPECT_EQ(at(book, book.sheets[0], 1, 1), "-7");
}

// ---- failures ------------------------------------------------------------------

TEST(BiffFailures, EncryptedDamagedAndForeignContainers) {
  // A FILEPASS of no scheme Excel writes (RC4 version 0.0).
  xl::Book book = loadHandmade("filepass.xls", {.filepass = true});
  EXPECT_EQ(book.error(), xl::LoadCause::EncryptedUnsupported);
  EXPECT_TRUE(book.sheets.empty());

  // The last record cut short: what was read before it stays.
  book = loadHandmade("truncated.xls", {.truncateLast = true});
  ASSERT_EQ(book.sheets.size(), 3u) << book.error();
  EXPECT_EQ(at(book, book.sheets[0], 2, 1), "公式abc");
  EXPECT_EQ(at(book, book.sheets[0], 5, 5), "Hello");
  EXPECT_TRUE(book.sheets[2].cells().empty());

  std::string path = scratchPath("encrypted_package.xls");
  writeOle2(path, {{"EncryptionInfo", std::vector<uint8_t>(64, 1)}, {"EncryptedPackage", std::vector<uint8_t>(600, 2)}});
  EXPECT_FALSE(book.load(path));
  EXPECT_EQ(book.error(), xl::LoadCause::EncryptedUnsupported);

  path = scratchPath("no_workbook.xls");
  writeOle2(path, {{"Something", std::vector<uint8_t>(100, 0)}});
  EXPECT_FALSE(book.load(path));
  EXPECT_EQ(book.error(), xl::LoadCause::NotWorkbookOle2NoStream);

  // A workbook stream that is not BIFF.
  path = scratchPath("not_biff.xls");
  writeOle2(path, {{"Workbook", std::vector<uint8_t>(5000, 0x41)}});
  EXPECT_FALSE(book.load(path));
  EXPECT_TRUE(isChinese(book.errorText())) << book.error();

  // A cut-off container.
  path = scratchPath("handmade_cut.xls");
  writeOle2(path, {{"Workbook", handmadeBiff8({})}});
  std::vector<uint8_t> whole;
  {
    std::ifstream f(path, std::ios::binary);
    whole.assign(std::istreambuf_iterator<char>(f), {});
  }
  for (size_t keep : {size_t(600), whole.size() / 2, whole.size() - 100}) {
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(keep));
    std::string cutPath = scratchPath("cut.xls");
    writeFile(cutPath, cut);
    if (!book.load(cutPath)) {
      EXPECT_TRUE(isChinese(book.errorText())) << keep << ": " << book.error();
    }
  }
}

TEST(BiffFailures, LyingCountsAndIndices) {
  // An SST that claims four billion strings but holds two, XF and format
  // indices past their tables, and records shorter than their kind needs.
  Stream s;
  s.add(0x0809, bof8(0x0005));
  s.add(0x00E0, xf8(0xFFFF));
  size_t bs = s.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(1).u8(0).raw("S")) + 4;
  s.add(0x00FC, Bytes().u32(0xFFFFFFFF).u32(0xFFFFFFFF).cstr("one").cstr("two"));
  s.add(0x000A);
  s.patch32(bs, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof8(0x0010));
  s.add(0x00FD, Bytes().cell(0, 0, 0).u32(1));
  s.add(0x00FD, Bytes().cell(0, 1, 0).u32(0xFFFFFFFF));
  s.add(0x0203, Bytes().cell(0, 2, 0).f64(1.25));   // XF 0 names format 0xFFFF
  s.add(0x0203, Bytes().cell(0, 3, 60000).f64(2));  // no such XF
  s.add(0x0203, Bytes().cell(0, 4, 0));             // too short: ignored
  s.add(0x00BD, Bytes().u16(1).u16(16380).u16(0).u32(rkInt(1)).u16(0).u32(rkInt(2)).u16(0).u32(rkInt(3))
                    .u16(0).u32(rkInt(4)).u16(0).u32(rkInt(5)).u16(16384));  // runs off the grid
  s.add(0x007D, Bytes().u16(200).u16(0xFFFF).u16(0).u16(0).u16(1).u16(0));    // hidden to the end
  s.add(0x0208, Bytes().u16(0xFFFF).u16(0).u16(0).u16(0).u16(0).u16(0).u16(0x20).u16(0));
  s.add(0x000A);

  xl::Book book;
  ASSERT_TRUE(xl::biff::parseWorkbookStream(s.d.data(), s.d.size(), "x", book)) << book.error();
  ASSERT_EQ(book.sheets.size(), 1u);
  const xl::Sheet& sh = book.sheets[0];
  EXPECT_EQ(at(book, sh, 0, 0), "two");
  EXPECT_EQ(at(book, sh, 0, 1), "");
  EXPECT_EQ(at(book, sh, 0, 2), "1.25");
  EXPECT_EQ(at(book, sh, 0, 3), "2");
  EXPECT_EQ(at(book, sh, 0, 4), "<none>");
  EXPECT_EQ(at(book, sh, 1, 16383), "4");
  EXPECT_EQ(at(book, sh, 1, 16384), "<none>");
  EXPECT_EQ(sh.lastCol(), 16384);
  EXPECT_TRUE(sh.colHidden(200));
  EXPECT_TRUE(sh.colHidden(16383));
  EXPECT_TRUE(sh.rowHidden(65535));
}

// Texts longer than Excel's 32,767 characters are kept whole, as
// LibreOffice shows them. They run over CONTINUE records, each of which
// starts again with a flags byte (wide or Latin-1): in the SST, in a LABEL
// and in the STRING after a formula.
TEST(BiffHandmade, TextsPastExcelsLimitOverContinueRecordsAreKeptWhole) {
  std::u16string wide;
  for (int i = 0; i < 17'000; ++i) wide += u"长句";
  const std::string wideUtf8 = [] {
    std::string t;
    for (int i = 0; i < 17'000; ++i) t += "长句";
    return t;
  }();
  const std::string latin(40'000, 'y');
  // `head`, then the string's count and flags, then as many characters as
  // the record holds; the rest in CONTINUE records of 8,224 bytes.
  auto addContinued = [](Stream& s, uint16_t id, Bytes head, const std::u16string& text, bool asWide) {
    const size_t unit = asWide ? 2 : 1;
    head.u16(static_cast<unsigned>(text.size())).u8(asWide ? 1 : 0);
    size_t at = 0;
    auto put = [&](Bytes& b) {
      while (at < text.size() && b.b.size() + unit <= 8224) {
        if (asWide) b.u16(text[at]);
        else b.u8(text[at] & 0xFF);
        ++at;
      }
    };
    put(head);
    s.add(id, head);
    while (at < text.size()) {
      Bytes c;
      c.u8(asWide ? 1 : 0);
      put(c);
      s.add(0x003C, c);
    }
  };
  const std::u16string tailWide = wide + u" 共享的尾巴";
  const std::u16string tailLatin(latin.begin(), latin.end());
  Stream s;
  s.add(0x0809, bof8(0x0005));
  s.add(0x00E0, xf8(0));
  const size_t bs = s.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(1).u8(0).raw("S")) + 4;
  // An SST of two strings: each string's characters go on in its CONTINUEs.
  {
    Stream sst;
    Bytes head;
    head.u32(2).u32(2);
    addContinued(sst, 0x00FC, head, tailWide, true);
    // The second string starts in a CONTINUE of its own (a record boundary
    // between strings carries no flags byte).
    Stream rest;
    addContinued(rest, 0x003C, Bytes(), tailLatin + u" tail", false);
    s.d.insert(s.d.end(), sst.d.begin(), sst.d.end());
    s.d.insert(s.d.end(), rest.d.begin(), rest.d.end());
  }
  s.add(0x000A);
  s.patch32(bs, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof8(0x0010));
  s.add(0x00FD, Bytes().cell(0, 0, 0).u32(0));
  s.add(0x00FD, Bytes().cell(0, 1, 0).u32(1));
  addContinued(s, 0x0204, Bytes().cell(1, 0, 0), wide + u" 标签的尾巴", true);
  s.add(0x0006, Bytes().cell(2, 0, 0).u8(0).zeros(5).u16(0xFFFF).u16(0).u32(0).u16(0));
  addContinued(s, 0x0207, Bytes(), wide + u" 公式的尾巴", true);
  s.add(0x00FD, Bytes().cell(3, 0, 0).u32(1));  // the records after them are read as before
  s.add(0x000A);

  xl::Book book;
  ASSERT_TRUE(xl::biff::parseWorkbookStream(s.d.data(), s.d.size(), "x", book)) << book.error();
  ASSERT_EQ(book.sheets.size(), 1u);
  const xl::Sheet& sh = book.sheets[0];
  EXPECT_EQ(at(book, sh, 0, 0), wideUtf8 + " 共享的尾巴");
  EXPECT_EQ(at(book, sh, 0, 1), latin + " tail");
  EXPECT_EQ(at(book, sh, 1, 0), wideUtf8 + " 标签的尾巴");
  EXPECT_EQ(at(book, sh, 2, 0), wideUtf8 + " 公式的尾巴");
  EXPECT_EQ(at(book, sh, 3, 0), latin + " tail");
  EXPECT_EQ(sh.cells().size(), 5u);
}

TEST(BiffFailures, ThousandsOfSheetsWithoutSubstreams) {
  // The directory names 5000 sheets; the stream holds two substreams. Every
  // sheet keeps its place; the two found are read in order, the rest are empty.
  Stream s;
  s.add(0x0809, bof8(0x0005));
  for (unsigned i = 0; i < 5000; ++i) {
    std::string name = "S" + std::to_string(i);
    s.add(0x0085, Bytes().u32(0x7FFFFFF0u + i).u8(0).u8(0).u8(static_cast<unsigned>(name.size())).u8(0).raw(name));
  }
  s.add(0x000A);
  for (const char* text : {"first", "second"}) {
    s.add(0x0809, bof8(0x0010));
    s.add(0x0204, Bytes().cell(0, 0, 0).cstr(text));
    s.add(0x000A);
  }
  xl::Book book;
  ASSERT_TRUE(xl::biff::parseWorkbookStream(s.d.data(), s.d.size(), "x", book)) << book.error();
  ASSERT_EQ(book.sheets.size(), 5000u);
  EXPECT_EQ(book.sheets[4999].name, "S4999");
  EXPECT_EQ(at(book, book.sheets[0], 0, 0), "first");
  EXPECT_EQ(at(book, book.sheets[1], 0, 0), "second");
  EXPECT_TRUE(book.sheets[2].cells().empty());
  EXPECT_TRUE(book.sheets[4999].cells().empty());
}

TEST(BiffFailures, MutatedStreamsNeverCrashOrHang) {
  // Random damage to a valid stream: every result is a book or a Chinese
  // error text, and the whole run stays fast.
  const std::vector<uint8_t> good = handmadeBiff8({});
  std::mt19937 rng(20240611);
  auto start = std::chrono::steady_clock::now();
  int loaded = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> d = good;
    int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      size_t pos = rng() % d.size();
      switch (rng() % 4) {
        case 0: d[pos] = static_cast<uint8_t>(rng()); break;
        case 1: d[pos] = 0xFF; break;
        case 2: d.resize(pos + 1); break;
        default: d.insert(d.begin() + static_cast<long>(pos), static_cast<uint8_t>(rng())); break;
      }
    }
    xl::Book book;
    if (xl::biff::parseWorkbookStream(d.data(), d.size(), "x", book)) {
      ++loaded;
      for (xl::Sheet& s : book.sheets) {
        for (const xl::CellRef& c : s.cells()) ASSERT_EQ(book.text(c)[c.len], '\0');
      }
    } else {
      ASSERT_TRUE(isChinese(book.errorText())) << round << ": " << book.error();
    }
  }
  EXPECT_GT(loaded, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

// ---- BIFF5 and BIFF2 ---------------------------------------------------------------

TEST(BiffOlder, Biff5CodePageTextsAndFormats) {
  Stream s;
  s.add(0x0809, bof5(0x0005));
  s.add(0x0042, Bytes().u16(936));
  s.add(0x041E, Bytes().u16(170).u8(10).raw("yyyy-mm-dd"));
  s.add(0x00E0, Bytes().u16(0).u16(0).zeros(12));
  s.add(0x00E0, Bytes().u16(0).u16(170).zeros(12));
  size_t bs = s.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(4).raw("\xCA\xFD\xBE\xDD")) + 4;  // 数据
  s.add(0x000A);
  s.patch32(bs, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof5(0x0010));
  s.add(0x0204, Bytes().cell(0, 0, 0).u16(4).raw("\xD6\xD0\xCE\xC4"));  // 中文
  s.add(0x00D6, Bytes().cell(0, 1, 0).u16(6).raw("rich \xC8").u8(1).u8(0).u8(0));  // 8-bit GBK cut off
  s.add(0x0203, Bytes().cell(1, 0, 1).f64(45000));
  Bytes f;
  f.cell(1, 1, 0).u8(0).zeros(5).u16(0xFFFF).u16(0).u32(0).u16(0);
  s.add(0x0006, f);
  s.add(0x0207, Bytes().u16(4).raw("\xC8\xD5\xC6\xDA"));  // 日期
  s.add(0x000A);

  std::string path = scratchPath("biff5.xls");
  writeOle2(path, {{"Book", s.d}});
  xl::Book book;
  ASSERT_TRUE(book.load(path)) << book.error();
  ASSERT_EQ(book.sheets.size(), 1u);
  EXPECT_EQ(book.sheets[0].name, "数据");
  const xl::Sheet& sh = book.sheets[0];
  EXPECT_EQ(at(book, sh, 0, 0), "中文");
  EXPECT_EQ(at(book, sh, 0, 1), "rich \xEF\xBF\xBD");  // the lone lead byte is marked, not dropped silently
  EXPECT_EQ(at(book, sh, 1, 0), "2023-03-15");
  EXPECT_EQ(at(book, sh, 1, 1), "日期");
}

TEST(BiffOlder, Biff2WorksheetFileNamedAfterTheFile) {
  // BIFF2: no container, one sheet, formats numbered by order and chosen by
  // the cell's attribute bytes.
  Stream s;
  s.add(0x0009, Bytes().u16(2).u16(0x0010));
  s.add(0x001E, Bytes().u8(7).raw("General"));
  s.add(0x001E, Bytes().u8(6).raw("d/m/yy"));
  s.add(0x0004, Bytes().u16(0).u16(0).u8(0).u8(0).u8(0).u8(5).raw("Caf\xE9!"));
  s.add(0x0002, Bytes().u16(0).u16(1).u8(0).u8(0).u8(0).u16(321));
  s.add(0x0003, Bytes().u16(1).u16(0).u8(0).u8(1).u8(0).f64(45000));
  s.add(0x0003, Bytes().u16(1).u16(1).u8(0).u8(0).u8(0).f64(-2.75));
  s.add(0x0005, Bytes().u16(2).u16(0).u8(0).u8(0).u8(0).u8(1).u8(0));
  Bytes f;
  f.u16(2).u16(1).u8(0).u8(0).u8(0).f64(9.5).u8(0).u8(0);
  s.add(0x0006, f);
  s.add(0x000A);
  s.d.insert(s.d.end(), 300, 0);  // padding after the end

  std::string path = scratchPath("老格式.xls");
  writeFile(path, s.d);
  xl::Book book;
  ASSERT_TRUE(book.load(path)) << book.error();
  ASSERT_EQ(book.sheets.size(), 1u);
  EXPECT_EQ(book.sheets[0].name, "老格式");
  const xl::Sheet& sh = book.sheets[0];
  EXPECT_EQ(at(book, sh, 0, 0), "Café!");
  EXPECT_EQ(at(book, sh, 0, 1), "321");
  EXPECT_EQ(at(book, sh, 1, 0), "2023-03-15");
  EXPECT_EQ(at(book, sh, 1, 1), "-2.75");
  EXPECT_EQ(at(book, sh, 2, 0), "TRUE");
  EXPECT_EQ(at(book, sh, 2, 1), "9.5");
}

TEST(BiffOlder, Biff3And4WorksheetFiles) {
  // BIFF3 and BIFF4: XFs name formats by their order; BIFF4 FORMAT records
  // carry two unused bytes before the text.
  for (int version : {3, 4}) {
    Stream s;
    s.add(version == 3 ? 0x0209 : 0x0409, Bytes().u16(0).u16(0x0010).u16(0));
    for (const char* code : {"General", "yyyy-mm-dd hh:mm"}) {
      Bytes f;
      if (version == 4) f.u16(0);
      f.u8(static_cast<unsigned>(std::strlen(code))).raw(code);
      s.add(version == 3 ? 0x001E : 0x041E, f);
    }
    s.add(version == 3 ? 0x0243 : 0x0443, Bytes().u8(0).u8(0).zeros(10));
    s.add(version == 3 ? 0x0243 : 0x0443, Bytes().u8(0).u8(1).zeros(10));
    s.add(0x0208, Bytes().u16(1).u16(0).u16(2).u16(0xFF).u16(0).u16(0).u16(0x20).u16(0));
    s.add(0x007D, Bytes().u16(2).u16(2).u16(0).u16(0).u16(1).u16(0));
    s.add(0x0204, Bytes().cell(0, 0, 0).u16(3).raw("abc"));
    s.add(0x0203, Bytes().cell(0, 1, 1).f64(45000.5));
    s.add(0x027E, Bytes().cell(1, 0, 0).u32(rkInt(-3)));
    Bytes f;
    f.cell(1, 1, 1).f64(45001).u16(0).u16(0);
    s.add(version == 3 ? 0x0206 : 0x0406, f);
    s.add(0x000A);

    std::string path = scratchPath("biff" + std::to_string(version) + ".xls");
    writeFile(path, s.d);
    xl::Book book;
    ASSERT_TRUE(book.load(path)) << version << ": " << book.error();
    ASSERT_EQ(book.sheets.size(), 1u);
    const xl::Sheet& sh = book.sheets[0];
    EXPECT_EQ(sh.name, "biff" + std::to_string(version));
    EXPECT_EQ(at(book, sh, 0, 0), "abc") << version;
    EXPECT_EQ(at(book, sh, 0, 1), "2023-03-15 12:00:00") << version;
    EXPECT_EQ(at(book, sh, 1, 0), "-3") << version;
    EXPECT_EQ(at(book, sh, 1, 1), "2023-03-16") << version;
    EXPECT_TRUE(sh.rowHidden(1)) << version;
    EXPECT_TRUE(sh.colHidden(2)) << version;
    EXPECT_FALSE(sh.colHidden(1)) << version;
  }
}

// ---- fixtures written by xlwt ----------------------------------------------------------

class BiffXlwt : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // One folder per process: ctest may run the tests of this suite at once.
    dir_ = scratchPath("xlwt-" + std::to_string(getpid()));
    std::string cmd = "/usr/bin/python3 '" + std::string(QUORVANE_SOURCE_DIR) + "/tests/platform/xl/make_xls.py' '" + dir_ + "'";
    ok_ = std::system(cmd.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void SetUp() override { ASSERT_TRUE(ok_) << "make_xls.py failed"; }
  static inline std::string dir_;
  static inline bool ok_ = false;
};

TEST_F(BiffXlwt, MixedValuesSheetsAndHiddenRowsColumns) {
  xl::Book book;
  ASSERT_TRUE(book.load(dir_ + "/mixed.xls")) << book.error();
  ASSERT_EQ(book.sheets.size(), 3u);
  EXPECT_EQ(book.sheets[0].name, "数据");
  EXPECT_EQ(book.sheets[1].name, "Second");
  EXPECT_EQ(book.sheets[2].name, "隐藏的表");
  const xl::Sheet& s = book.sheets[0];
  EXPECT_EQ(at(book, s, 0, 1), "名称");
  EXPECT_EQ(at(book, s, 1, 1), "上海分公司");
  EXPECT_EQ(at(book, s, 1, 2), "1234.5");
  EXPECT_EQ(at(book, s, 1, 3), "2023-07-15");
  EXPECT_EQ(at(book, s, 2, 1), "Café ß");
  EXPECT_EQ(at(book, s, 2, 2), "-0.125");
  EXPECT_EQ(at(book, s, 2, 3), "1999-12-31 23:59:58");
  EXPECT_EQ(at(book, s, 3, 2), "1E+20");
  EXPECT_EQ(at(book, s, 3, 3), "08:30:00");
  EXPECT_EQ(at(book, s, 4, 0), "TRUE");
  EXPECT_EQ(at(book, s, 4, 1), "FALSE");
  EXPECT_EQ(at(book, s, 4, 2), "123456789012");
  EXPECT_EQ(at(book, s, 4, 3), "<none>");
  EXPECT_EQ(at(book, s, 6, 5), "𠀀 beyond the BMP");
  EXPECT_EQ(s.lastRow(), 7);
  EXPECT_EQ(s.lastCol(), 6);
  EXPECT_TRUE(s.rowHidden(3));
  EXPECT_FALSE(s.rowHidden(2));
  EXPECT_TRUE(s.colHidden(2));
  EXPECT_FALSE(s.colHidden(3));
  EXPECT_TRUE(s.colHidden(4));

  const xl::Sheet& second = book.sheets[1];
  EXPECT_EQ(second.cells().size(), 2u);
  EXPECT_EQ(at(book, second, 65535, 255), "far corner");
  EXPECT_EQ(second.lastRow(), 65536);
  EXPECT_EQ(second.lastCol(), 256);
  EXPECT_EQ(at(book, book.sheets[2], 0, 0), "in a hidden sheet");
}

TEST_F(BiffXlwt, LongSharedStringTableOverManyContinueRecords) {
  xl::Book book;
  ASSERT_TRUE(book.load(dir_ + "/long_sst.xls")) << book.error();
  ASSERT_EQ(book.sheets.size(), 1u);
  const xl::Sheet& s = book.sheets[0];
  ASSERT_EQ(s.cells().size(), 3000u);
  for (int i = 0; i < 3000; ++i) {
    char head[32];
    std::string want;
    if (i % 3 == 0) {
      std::snprintf(head, sizeof head, "row %05d ", i);
      want = head + std::string(static_cast<size_t>(i % 97), 'x');
    } else if (i % 3 == 1) {
      std::snprintf(head, sizeof head, "第%05d行", i);
      want = head;
      for (int k = 0; k < i % 53; ++k) want += "中文";
    } else {
      std::snprintf(head, sizeof head, "mixed %05d ", i);
      want = head;
      for (int k = 0; k < i % 41; ++k) want += "ab中";
    }
    ASSERT_EQ(at(book, s, static_cast<uint32_t>(i), 0), want) << "row " << i;
  }
}

// ---- the real-world corpus ----------------------------------------------------------------

std::string corpus(const char* name) { return std::string(QUORVANE_CORPUS_DIR) + "/" + name; }

TEST(BiffCorpus, TextsAsTheSpreadsheetShowsThem) {
  xl::Book book;
  ASSERT_TRUE(book.load(corpus("sst_continue.xls"))) << book.error();
  // The last string of the SST record is cut short by its own length, and
  // the CONTINUE record after it starts a new string.
  ASSERT_EQ(book.sheets[0].lastRow(), 136);
  EXPECT_EQ(at(book, book.sheets[0], 134, 0), "This is a long string with a serial num");
  EXPECT_EQ(at(book, book.sheets[0], 135, 0), "New CONTINUE block");
  for (uint32_t r = 0; r < 134; ++r) {
    char want[80];
    std::snprintf(want, sizeof want, "This is a long string with a serial number at the end %04u", r + 1);
    EXPECT_EQ(at(book, book.sheets[0], r, 0), want);
  }

  for (const char* name : {"date.xls", "date_1904.xls"}) {
    ASSERT_TRUE(book.load(corpus(name))) << name << ": " << book.error();
    EXPECT_EQ(at(book, book.sheets[0], 0, 0), "2021-01-01") << name;
    EXPECT_EQ(at(book, book.sheets[0], 1, 0), "2021-01-02") << name;
    EXPECT_EQ(at(book, book.sheets[0], 0, 1), "15") << name;
  }

  ASSERT_TRUE(book.load(corpus("xls_formula.xls"))) << book.error();
  EXPECT_EQ(at(book, book.sheets[0], 2, 0), "110");
  EXPECT_EQ(at(book, book.sheets[0], 3, 0), "65");
  EXPECT_EQ(at(book, book.sheets[1], 0, 0), "55");

  ASSERT_TRUE(book.load(corpus("xls_ref_String.xls"))) << book.error();
  EXPECT_EQ(at(book, book.sheets[0], 2, 0), "aa");  // string results of formulas
  EXPECT_EQ(at(book, book.sheets[1], 1, 0), "bb");

  ASSERT_TRUE(book.load(corpus("biff5-rich-text-string.xls"))) << book.error();
  EXPECT_EQ(at(book, book.sheets[0], 0, 0),
            "ELECTORAL DIVISION OF SOMERSET EAST ; FIELD-CÓRNËTCY No. 5, ZWAGERSHÓÊN.");

  ASSERT_TRUE(book.load(corpus("capitalized_wbook_stream.xls"))) << book.error();
  ASSERT_EQ(book.sheets.size(), 1u);
  EXPECT_EQ(book.sheets[0].name, "Sheet1");

  ASSERT_TRUE(book.load(corpus("empty-string.xls"))) << book.error();
  EXPECT_EQ(at(book, book.sheets[0], 0, 0), "");
  EXPECT_EQ(at(book, book.sheets[0], 0, 1), "FALSE");

  ASSERT_TRUE(book.load(corpus("issue219.xls"))) << book.error();
  EXPECT_EQ(book.sheets[0].name, "工作表1");

  ASSERT_TRUE(book.load(corpus("issue343.xls"))) << book.error();
  EXPECT_EQ(book.sheets[0].name, "Лист1");

  // BIFF7 in Mac Roman.
  ASSERT_TRUE(book.load(corpus("biff5_write.xls"))) << book.error();
  EXPECT_EQ(book.sheets[0].name, "SheetJS");
  EXPECT_EQ(at(book, book.sheets[0], 1, 0), "TRUE");
  EXPECT_EQ(at(book, book.sheets[0], 1, 3), "sheetjs");

  ASSERT_TRUE(book.load(corpus("sheet_name_parsing.xls"))) << book.error();
  EXPECT_EQ(at(book, book.sheets[0], 0, 3), "Regissör");

  ASSERT_TRUE(book.load(corpus("any_sheets.xls"))) << book.error();
  ASSERT_EQ(book.sheets.size(), 4u);  // hidden, very hidden and the chart sheet count
  EXPECT_EQ(book.sheets[2].name, "VeryHidden");
  EXPECT_TRUE(book.sheets[3].isChart);

  // RC4-encrypted with Excel's default password: it opens, as in Excel.
  ASSERT_TRUE(book.load(corpus("issue_385.xls"))) << book.error();
  ASSERT_EQ(book.sheets.size(), 1u);
  EXPECT_EQ(book.sheets[0].name, "Sheet1");

  // The shared-string count is wrong; the strings are all there.
  ASSERT_TRUE(book.load(corpus("gh548_incorrect_sst_unique_count.xls"))) << book.error();
  EXPECT_EQ(book.sheets.size(), 7u);
  EXPECT_EQ(at(book, book.sheets[0], 5, 2), "December 2022");
}

TEST(BiffCorpus, EveryXlsLoadsOrFailsCleanlyAndQuickly) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(QUORVANE_CORPUS_DIR)) {
    if (entry.path().extension() != ".xls") continue;
    ++files;
    auto start = std::chrono::steady_clock::now();
    xl::Book book;
    bool ok = book.load(entry.path().string());
    if (!ok) {
      EXPECT_TRUE(isChinese(book.errorText())) << entry.path() << ": " << book.error();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << entry.path();
  }
  EXPECT_GT(files, 30);
}

}  // namespace
