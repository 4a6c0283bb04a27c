// Constructs first met in workbooks from outside (files Excel and LibreOffice
// open as shown here), one small fixture each: Excel 95 texts without a
// code page, East Asian built-in formats, formats of several sections, macro
// sheets, older records in later streams, NUL characters, columns of no
// width, and OpenDocument packages without their mimetype.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/xl/book.h"
#include "tests/platform/xl/biff_builder.h"
#include "tests/platform/xl/ooxml_fixtures.h"

namespace fs = std::filesystem;
using namespace xltest::biff;

namespace {

using fixtures::at;
using fixtures::scratchPath;

// A BIFF5+ FONT record: 10 points, regular, the given character set.
Bytes font(unsigned charset, const std::string& name = "Font") {
  return Bytes().u16(200).u16(0).u16(0x7FFF).u16(400).u16(0).u8(0).u8(0).u8(charset).u8(0)
      .u8(static_cast<unsigned>(name.size())).raw(name);
}
Bytes xf5(unsigned ifmt) { return Bytes().u16(0).u16(ifmt).zeros(12); }
// DIMENSIONS, which LibreOffice wants before a sheet's first cell.
Bytes dims8(unsigned rows, unsigned cols) { return Bytes().u32(0).u32(rows).u16(0).u16(cols).u16(0); }
Bytes dims5(unsigned rows, unsigned cols) { return Bytes().u16(0).u16(rows).u16(0).u16(cols).u16(0); }

// Loads a one-sheet workbook stream from an OLE2 file named after the test.
xl::Book loadStream(const std::string& name, const Stream& s, const char* streamName = "Workbook") {
  std::string path = scratchPath(name);
  writeOle2(path, {{streamName, s.d}});
  xl::Book book;
  EXPECT_TRUE(book.load(path)) << name << ": " << book.error();
  return book;
}

// An Excel 95 workbook with no CODEPAGE: one font of `charset`, a sheet
// named `sheetName` holding `label` in A1 (both as 8-bit bytes).
Stream excel95(unsigned charset, const std::string& sheetName, const std::string& label, int codepage = 0) {
  Stream s;
  s.add(0x0809, bof5(0x0005));
  if (codepage) s.add(0x0042, Bytes().u16(static_cast<unsigned>(codepage)));
  s.add(0x0031, font(charset));
  s.add(0x00E0, xf5(0));
  size_t bs = s.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(static_cast<unsigned>(sheetName.size())).raw(sheetName)) + 4;
  s.add(0x000A);
  s.patch32(bs, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof5(0x0010));
  s.add(0x0200, dims5(1, 1));
  s.add(0x0204, Bytes().cell(0, 0, 0).u16(static_cast<unsigned>(label.size())).raw(label));
  s.add(0x000A);
  return s;
}

TEST(UnseenFiles, Excel95TextsInTheCodePageOfTheFontsCharacterSet) {
  struct Case {
    unsigned charset;
    std::string name, label;  // 8-bit bytes
    const char* wantName;
    const char* wantLabel;
  };
  const Case cases[] = {
      {134, "\xCA\xFD\xBE\xDD", "\xD6\xD0\xCE\xC4\xCE\xC4\xB1\xBE", "数据", "中文文本"},  // GBK
      {136, "\xB8\xEA\xAE\xC6", "\xA4\xA4\xA4\xE5", "資料", "中文"},                       // Big5
      {128, "\x83\x66\x81\x5B\x83\x5E", "\x93\xFA\x96\x7B", "データ", "日本"},              // Shift-JIS
      {129, "\xC7\xA5", "\xC7\xD1\xB1\xDB", "표", "한글"},                                  // Korean
      {204, "\xC4\xE0\xED\xED\xFB\xE5", "\xCF\xF0\xE8\xE2\xE5\xF2", "Данные", "Привет"},  // 1251
      {238, "\x8A", "\xE8\xE1st", "Š", "část"},                                              // 1250
      {161, "\xC1", "\xE1\xE2", "Α", "αβ"},                                                    // 1253
      {0, "Caf\xE9", "na\xEFve", "Café", "naïve"},                                            // 1252
  };
  for (const Case& c : cases) {
    xl::Book book = loadStream("excel95-" + std::to_string(c.charset) + ".xls", excel95(c.charset, c.name, c.label), "Book");
    ASSERT_EQ(book.sheets.size(), 1u) << c.charset;
    EXPECT_EQ(book.sheets[0].name, c.wantName) << c.charset;
    EXPECT_EQ(at(book, book.sheets[0], 0, 0), c.wantLabel) << c.charset;
  }
  // A CODEPAGE record decides over the fonts.
  xl::Book book = loadStream("excel95-codepage.xls", excel95(134, "Caf\xE9", "\xD6\xD0", 1252), "Book");
  ASSERT_EQ(book.sheets.size(), 1u);
  EXPECT_EQ(book.sheets[0].name, "Café");
  EXPECT_EQ(at(book, book.sheets[0], 0, 0), "ÖÐ");
}

// A BIFF8 workbook: fonts of the given character sets, an optional
// COUNTRY, XF 0 General and XF 1 with format `ifmt` (a custom `code` when
// given), and the values in A1, A2, ... shown with XF 1.
Stream formatted(std::vector<unsigned> charsets, unsigned ifmt, const std::vector<double>& values,
                 const std::u16string& code = u"", unsigned country = 0) {
  Stream s;
  s.add(0x0809, bof8(0x0005));
  s.add(0x0042, Bytes().u16(1200));
  if (country) s.add(0x008C, Bytes().u16(country).u16(country));
  for (unsigned cs : charsets) s.add(0x0031, font(cs));
  if (!code.empty()) s.add(0x041E, Bytes().u16(ifmt).ustr(code));
  s.add(0x00E0, xf8(0));
  s.add(0x00E0, xf8(ifmt));
  size_t bs = s.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(1).u8(0).raw("S")) + 4;
  s.add(0x000A);
  s.patch32(bs, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof8(0x0010));
  s.add(0x0200, dims8(static_cast<unsigned>(values.size()), 1));
  for (size_t i = 0; i < values.size(); ++i) s.add(0x0203, Bytes().cell(static_cast<unsigned>(i), 0, 1).f64(values[i]));
  s.add(0x000A);
  return s;
}

TEST(UnseenFiles, EastAsianBuiltinFormatsReadAsTheFilesLocaleShowsThem) {
  const double v = 45000.5;  // 2023-03-15 12:00
  struct Case {
    std::vector<unsigned> charsets;
    unsigned country, ifmt;
    const char* want;
  };
  const Case cases[] = {
      {{134}, 0, 34, "12:00:00"},                 // zh-CN: 上午/下午h"时"mm"分"
      {{0, 128}, 0, 34, "2023-03-15 12:00:00"},   // ja-JP: yyyy"年"m"月", a Western first font
      {{129}, 0, 55, "2023-03-15 12:00:00"},      // ko-KR: yyyy-mm-dd
      {{136}, 0, 52, "12:00:00"},                 // zh-TW: 上午/下午hh"時"mm"分"
      {{134}, 0, 52, "2023-03-15 12:00:00"},      // zh-CN: yyyy"年"m"月"
      {{0}, 81, 35, "2023-03-15 12:00:00"},       // no East Asian font: the country (Japan)
      {{0}, 0, 35, "12:00:00"},                   // nothing says: read as Chinese, as before
      {{128}, 0, 32, "12:00:00"},                 // a time in every locale
  };
  for (const Case& c : cases) {
    xl::Book book = loadStream("builtin-" + std::to_string(c.ifmt) + ".xls", formatted(c.charsets, c.ifmt, {v}, u"", c.country));
    ASSERT_EQ(book.sheets.size(), 1u);
    EXPECT_EQ(at(book, book.sheets[0], 0, 0), c.want) << c.ifmt << " charset " << c.charsets.back();
  }

  // The same in a .xlsx: the fonts' <charset> tells.
  for (const auto& [charset, want] : {std::pair<const char*, const char*>{"128", "2023-03-15 12:00:00"},
                                      {"134", "12:00:00"}}) {
    std::string styles = std::string("<?xml version=\"1.0\"?><styleSheet xmlns=\"http://schemas.openxmlformats.org/"
                                     "spreadsheetml/2006/main\"><fonts count=\"1\"><font><sz val=\"11\"/><name val=\"F\"/>"
                                     "<charset val=\"") + charset + "\"/></font></fonts>"
                         "<cellXfs count=\"2\"><xf numFmtId=\"0\"/><xf numFmtId=\"34\"/></cellXfs></styleSheet>";
    auto parts = fixtures::package({{"S", fixtures::worksheet("<row r=\"1\"><c r=\"A1\" s=\"1\"><v>45000.5</v></c></row>")}},
                                   "", styles);
    xl::Book book;
    ASSERT_TRUE(fixtures::load(fixtures::writeZip("builtin34.xlsx", parts), book)) << book.error();
    EXPECT_EQ(fixtures::cell(book, 0, 0, 0), want) << charset;
  }
}

TEST(UnseenFiles, TheSectionThatShowsTheValueDecidesOnADate) {
  // Zeros of "yyyy-mm-dd;;0" are numbers, never "1900-01-00".
  xl::Book book = loadStream("sections.xls", formatted({0}, 164, {0, 45000, -3}, u"yyyy-mm-dd;;0"));
  ASSERT_EQ(book.sheets.size(), 1u);
  EXPECT_EQ(at(book, book.sheets[0], 0, 0), "0");
  EXPECT_EQ(at(book, book.sheets[0], 1, 0), "2023-03-15");
  EXPECT_EQ(at(book, book.sheets[0], 2, 0), "-3");

  std::string styles =
      "<?xml version=\"1.0\"?><styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
      "<numFmts count=\"1\"><numFmt numFmtId=\"170\" formatCode=\"yyyy/m/d;@;&quot;-&quot;\"/></numFmts>"
      "<cellXfs count=\"2\"><xf numFmtId=\"0\"/><xf numFmtId=\"170\"/></cellXfs></styleSheet>";
  auto parts = fixtures::package(
      {{"S", fixtures::worksheet("<row r=\"1\"><c r=\"A1\" s=\"1\"><v>0</v></c><c r=\"B1\" s=\"1\"><v>45000</v></c></row>")}},
      "", styles);
  ASSERT_TRUE(fixtures::load(fixtures::writeZip("sections.xlsx", parts), book)) << book.error();
  EXPECT_EQ(fixtures::cell(book, 0, 0, 0), "0");
  EXPECT_EQ(fixtures::cell(book, 0, 0, 1), "2023-03-15");
}

TEST(UnseenFiles, MacroSheetCellsAreReadLikeAWorksheets) {
  Stream s;
  s.add(0x0809, bof8(0x0005));
  s.add(0x0042, Bytes().u16(1200));
  s.add(0x00E0, xf8(0));
  size_t bs1 = s.add(0x0085, Bytes().u32(0).u8(0).u8(1).u8(6).u8(0).raw("Macro1")) + 4;
  size_t bs2 = s.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(6).u8(0).raw("Sheet1")) + 4;
  s.add(0x000A);
  s.patch32(bs1, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof8(0x0040));
  s.add(0x0200, dims8(2, 2));
  s.add(0x0204, Bytes().cell(0, 0, 0).cstr("=ALERT(\"macro\")"));
  s.add(0x0203, Bytes().cell(1, 1, 0).f64(42));
  s.add(0x000A);
  s.patch32(bs2, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof8(0x0010));
  s.add(0x0200, dims8(1, 1));
  s.add(0x0204, Bytes().cell(0, 0, 0).cstr("plain"));
  s.add(0x000A);
  xl::Book book = loadStream("macro.xls", s);
  ASSERT_EQ(book.sheets.size(), 2u);
  EXPECT_EQ(book.sheets[0].name, "Macro1");
  EXPECT_FALSE(book.sheets[0].isChart);
  EXPECT_EQ(at(book, book.sheets[0], 0, 0), "=ALERT(\"macro\")");
  EXPECT_EQ(at(book, book.sheets[0], 1, 1), "42");
  EXPECT_EQ(at(book, book.sheets[1], 0, 0), "plain");

  // .xlsm: the macro sheet parts under xl/macrosheets/, Excel's own prefix.
  for (const char* type : {"xlMacrosheet", "xlIntlMacrosheet"}) {
    auto parts = fixtures::package({{"宏表1", ""}});
    for (auto& [name, data] : parts) {
      if (name != "xl/_rels/workbook.xml.rels") continue;
      const std::string from =
          "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" Target=\"worksheets/sheet1.xml";
      data.replace(data.find(from), from.size(),
                   std::string("http://schemas.microsoft.com/office/2006/relationships/") + type +
                       "\" Target=\"macrosheets/sheet1.xml");
    }
    parts.emplace_back("xl/macrosheets/sheet1.xml",
                       "<?xml version=\"1.0\"?><xm:macrosheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/"
                       "2006/main\" xmlns:xm=\"http://schemas.microsoft.com/office/excel/2006/main\"><sheetData>"
                       "<row r=\"2\"><c r=\"B2\" t=\"inlineStr\"><is><t>宏表单元格</t></is></c></row></sheetData>"
                       "</xm:macrosheet>");
    xl::Book xbook;
    ASSERT_TRUE(fixtures::load(fixtures::writeZip("macro.xlsm", parts), xbook)) << xbook.error();
    ASSERT_EQ(xbook.sheets.size(), 1u);
    EXPECT_FALSE(xbook.sheets[0].isChart);
    EXPECT_EQ(fixtures::cell(xbook, 0, 1, 1), "宏表单元格") << type;
  }
}

TEST(UnseenFiles, OlderRecordsInALaterStreamAndLabelsOfTheOtherForm) {
  // BIFF5 workbook whose sheet holds BIFF2 cell records.
  Stream s;
  s.add(0x0809, bof5(0x0005));
  s.add(0x0042, Bytes().u16(1252));
  s.add(0x00E0, xf5(0));
  size_t bs = s.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(1).raw("S")) + 4;
  s.add(0x000A);
  s.patch32(bs, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof5(0x0010));
  s.add(0x0200, dims5(2, 4));
  s.add(0x0004, Bytes().u16(0).u16(0).u8(0).u8(0).u8(0).u8(5).raw("Label"));          // LABEL (BIFF2)
  s.add(0x0003, Bytes().u16(0).u16(1).u8(0).u8(0).u8(0).f64(2.5));                    // NUMBER (BIFF2)
  s.add(0x0002, Bytes().u16(0).u16(2).u8(0).u8(0).u8(0).u16(7));                      // INTEGER (BIFF2)
  s.add(0x0005, Bytes().u16(0).u16(3).u8(0).u8(0).u8(0).u8(1).u8(0));                 // BOOLERR (BIFF2)
  s.add(0x0204, Bytes().cell(1, 0, 0).u16(5).u8(0).raw("Hello"));                     // a BIFF8 string
  s.add(0x0204, Bytes().cell(1, 1, 0).u16(2).u8(1).wide(u"中文"));                    // ... stored wide
  s.add(0x0204, Bytes().cell(1, 2, 0).u16(5).raw("plain"));                           // its own form
  s.add(0x000A);
  xl::Book book = loadStream("old-records.xls", s, "Book");
  ASSERT_EQ(book.sheets.size(), 1u);
  const xl::Sheet& sh = book.sheets[0];
  EXPECT_EQ(at(book, sh, 0, 0), "Label");
  EXPECT_EQ(at(book, sh, 0, 1), "2.5");
  EXPECT_EQ(at(book, sh, 0, 2), "7");
  EXPECT_EQ(at(book, sh, 0, 3), "TRUE");
  EXPECT_EQ(at(book, sh, 1, 0), "Hello");
  EXPECT_EQ(at(book, sh, 1, 1), "中文");
  EXPECT_EQ(at(book, sh, 1, 2), "plain");

  // BIFF8 LABELs without the flags byte keep their first character.
  Stream t;
  t.add(0x0809, bof8(0x0005));
  t.add(0x0042, Bytes().u16(1200));
  t.add(0x00E0, xf8(0));
  bs = t.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(1).u8(0).raw("S")) + 4;
  t.add(0x000A);
  t.patch32(bs, static_cast<uint32_t>(t.d.size()));
  t.add(0x0809, bof8(0x0010));
  t.add(0x0200, dims8(1, 3));
  t.add(0x0204, Bytes().cell(0, 0, 0).u16(5).raw("Hello"));
  t.add(0x0204, Bytes().cell(0, 1, 0).cstr("World"));
  t.add(0x0004, Bytes().u16(0).u16(2).u8(0).u8(0).u8(0).u8(3).raw("old"));
  t.add(0x000A);
  book = loadStream("label-forms.xls", t);
  ASSERT_EQ(book.sheets.size(), 1u);
  EXPECT_EQ(at(book, book.sheets[0], 0, 0), "Hello");
  EXPECT_EQ(at(book, book.sheets[0], 0, 1), "World");
  EXPECT_EQ(at(book, book.sheets[0], 0, 2), "old");
}

TEST(UnseenFiles, ANulCharacterKeepsTheCellAndTheTextAroundIt) {
  Stream s;
  s.add(0x0809, bof8(0x0005));
  s.add(0x0042, Bytes().u16(1200));
  s.add(0x00E0, xf8(0));
  size_t bs = s.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(1).u8(0).raw("S")) + 4;
  s.add(0x00FC, Bytes().u32(1).u32(1).u16(3).u8(1).wide(std::u16string(u"中\0文", 3)));
  s.add(0x000A);
  s.patch32(bs, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof8(0x0010));
  s.add(0x0200, dims8(1, 2));
  s.add(0x0204, Bytes().cell(0, 0, 0).cstr(std::string("ab\0cd", 5)));
  s.add(0x00FD, Bytes().cell(0, 1, 0).u32(0));
  s.add(0x000A);
  xl::Book book = loadStream("nul.xls", s);
  ASSERT_EQ(book.sheets.size(), 1u);
  EXPECT_EQ(at(book, book.sheets[0], 0, 0), std::string("ab\0cd", 5));
  EXPECT_EQ(at(book, book.sheets[0], 0, 1), std::string("中\0文", 7));

  auto parts = fixtures::package(
      {{"S", fixtures::worksheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>ab_x0000_cd</t></is></c>"
                                 "<c r=\"B1\" t=\"s\"><v>0</v></c></row>")}},
      fixtures::sst("<si><t>_x0000_x</t></si>"));
  ASSERT_TRUE(fixtures::load(fixtures::writeZip("nul.xlsx", parts), book)) << book.error();
  EXPECT_EQ(fixtures::cell(book, 0, 0, 0), std::string("ab\0cd", 5));
  EXPECT_EQ(fixtures::cell(book, 0, 0, 1), std::string("\0x", 2));
}

TEST(UnseenFiles, AColumnOfNoWidthIsHidden) {
  Stream s;
  s.add(0x0809, bof8(0x0005));
  s.add(0x00E0, xf8(0));
  size_t bs = s.add(0x0085, Bytes().u32(0).u8(0).u8(0).u8(1).u8(0).raw("S")) + 4;
  s.add(0x000A);
  s.patch32(bs, static_cast<uint32_t>(s.d.size()));
  s.add(0x0809, bof8(0x0010));
  s.add(0x007D, Bytes().u16(1).u16(2).u16(0).u16(0x0F).u16(0).u16(0));       // width 0, not flagged
  s.add(0x007D, Bytes().u16(3).u16(3).u16(0x0900).u16(0x0F).u16(0).u16(0));  // an ordinary width
  s.add(0x0204, Bytes().cell(0, 4, 0).cstr("x"));
  s.add(0x000A);
  xl::Book book = loadStream("zero-width.xls", s);
  ASSERT_EQ(book.sheets.size(), 1u);
  const xl::Sheet& sh = book.sheets[0];
  EXPECT_FALSE(sh.colHidden(0));
  EXPECT_TRUE(sh.colHidden(1));
  EXPECT_TRUE(sh.colHidden(2));
  EXPECT_FALSE(sh.colHidden(3));

  // BIFF2 gives widths in COLWIDTH records.
  Stream b2;
  b2.add(0x0009, Bytes().u16(2).u16(0x0010));
  b2.add(0x0024, Bytes().u8(2).u8(2).u16(0));
  b2.add(0x0024, Bytes().u8(3).u8(3).u16(0x0900));
  b2.add(0x0004, Bytes().u16(0).u16(4).u8(0).u8(0).u8(0).u8(1).raw("y"));
  b2.add(0x000A);
  std::string path = scratchPath("zero-width-biff2.xls");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b2.d.data()),
                                              static_cast<std::streamsize>(b2.d.size()));
  ASSERT_TRUE(book.load(path)) << book.error();
  EXPECT_TRUE(book.sheets[0].colHidden(2));
  EXPECT_FALSE(book.sheets[0].colHidden(3));

  // A .xlsx column of width 0 without its hidden flag, as some writers save it.
  auto parts = fixtures::package({{"S", fixtures::worksheet(
      "<row r=\"1\"><c r=\"E1\" t=\"inlineStr\"><is><t>z</t></is></c></row>",
      "<cols><col min=\"2\" max=\"3\" width=\"0\" customWidth=\"1\"/><col min=\"4\" max=\"4\" width=\"0.5\"/>"
      "<col min=\"5\" max=\"5\" width=\"0.0\"/></cols>")}});
  ASSERT_TRUE(fixtures::load(fixtures::writeZip("zero-width.xlsx", parts), book)) << book.error();
  EXPECT_FALSE(book.sheets[0].colHidden(0));
  EXPECT_TRUE(book.sheets[0].colHidden(1));
  EXPECT_TRUE(book.sheets[0].colHidden(2));
  EXPECT_FALSE(book.sheets[0].colHidden(3));
  EXPECT_TRUE(book.sheets[0].colHidden(4));
}

TEST(UnseenFiles, AnOpenDocumentZipWithoutMimetypeIsNamed) {
  const std::string manifest =
      "<?xml version=\"1.0\"?><manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\">"
      "<manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\"application/vnd.oasis.opendocument.%s\"/>"
      "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/></manifest:manifest>";
  auto withType = [&](const char* type) {
    std::string m = manifest;
    m.replace(m.find("%s"), 2, type);
    return m;
  };
  const std::string content =
      "<?xml version=\"1.0\"?><office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\">"
      "<office:body><office:spreadsheet/></office:body></office:document-content>";
  struct Case {
    fixtures::Parts parts;
    xl::LoadCause want;
  };
  const Case cases[] = {
      {{{"content.xml", content}, {"META-INF/manifest.xml", withType("spreadsheet")}},
       xl::LoadCause::UnsupportedOds},
      {{{"content.xml", content}}, xl::LoadCause::UnsupportedOds},
      {{{"content.xml", "<x/>"}, {"META-INF/manifest.xml", withType("spreadsheet")}},
       xl::LoadCause::UnsupportedOds},
      {{{"content.xml", "<office:document-content><office:body><office:text/></office:body></office:document-content>"},
        {"META-INF/manifest.xml", withType("text")}},
       xl::LoadCause::NotWorkbookOpenDocument},
  };
  int i = 0;
  for (const Case& c : cases) {
    xl::Book book;
    EXPECT_FALSE(book.load(fixtures::writeZip("odf" + std::to_string(i++) + ".xls", c.parts)));
    EXPECT_EQ(book.error(), c.want) << i;
  }
}

}  // namespace
