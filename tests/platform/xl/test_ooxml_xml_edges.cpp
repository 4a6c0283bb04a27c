// XML that spreadsheet writers rarely write, read the same by our tokenizer
// and by expat: parts with a document type declaration (entities passed
// over, never expanded) and literal line ends in text. The expected cells
// are what LibreOffice Calc 7.4 shows for the same files, where it shows
// them (noted where it does not).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/xl/ooxml_dtd.h"
#include "tests/platform/xl/ooxml_fixtures.h"

using fixtures::package;
using fixtures::sst;
using fixtures::worksheet;
using fixtures::writeZip;

namespace {

// Both parsers on the same file: they must agree, and the result is returned.
std::string readBoth(const std::string& path) {
  std::string seen[2];
  for (bool fast : {true, false}) {
    xl::Book b;
    xl::OoxmlLimits limits;
    limits.fastXml = fast;
    const bool ok = fixtures::readDirect(path, b, limits);
    seen[fast] = fixtures::describe(b, ok);
  }
  EXPECT_EQ(seen[1], seen[0]) << path;
  return seen[1];
}

std::string withDoctype(std::string xml, const std::string& dtd, const std::string& declaration = "") {
  const size_t end = xml.find("?>") + 2;
  if (!declaration.empty()) xml.replace(0, end, declaration);
  xml.insert(declaration.empty() ? end : declaration.size(), dtd);
  return xml;
}

const std::string kLaughs =
    "<!DOCTYPE lolz [<!ENTITY lol \"lol\">"
    "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
    "<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">"
    "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
    "<!-- a comment ]> --><?pi ]>?><!ELEMENT sst ANY>"
    "<!NOTATION gif PUBLIC \"-//x\" \"y>\"><!ENTITY pic SYSTEM \"p.gif\" NDATA gif>"
    "<!ENTITY % pe \"<!ENTITY pe2 'x'>\"><!ENTITY ext SYSTEM \"file:///etc/passwd\">]>";

const std::string kSheet =
    "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
    "<c r=\"C1\" t=\"inlineStr\"><is><t>in&lol;line</t></is></c></row><row r=\"2\"><c r=\"A2\"><v>7</v></c></row>";

std::string loadCause(const std::string& path) {
  const std::string seen = readBoth(path);
  return seen.rfind("error: ", 0) == 0 ? seen.substr(7) : "ok";
}

std::string causeText(xl::LoadCause cause, const std::string& part) { return xl::loadErrorText({cause, part}); }

}  // namespace

// The entity-expansion test files LibreOffice opens: a reference reads as
// nothing and the part is read on. LibreOffice instead stops the part at
// the first reference (it shows A1 "ab" and B1 "plain" of the sheet below,
// and nothing of a shared-string table with a reference), so C1 and A2 are
// ours alone.
TEST(OoxmlDoctype, EntitiesDeclaredInTheDoctypeAreReadAsNothing) {
  const std::string sheetPath = writeZip(
      "dtd-sheet.xlsx", package({{"S", withDoctype(worksheet(kSheet), kLaughs)}}, sst("<si><t>ab</t></si><si><t>plain</t></si>")));
  EXPECT_EQ(readBoth(sheetPath), "[S] chart=0 2x3\n0,0=ab\n0,1=plain\n0,2=inline\n1,0=7\n");

  const std::string items = "<si><t>a&lol3;b&ext;</t></si><si><t>plain</t></si><si><t>&#65;&amp;&lol1;</t></si>";
  const std::string sstPath = writeZip(
      "dtd-sst.xlsx",
      package({{"S", worksheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
                               "<c r=\"C1\" t=\"s\"><v>2</v></c></row>")}},
              withDoctype(sst(items), kLaughs)));
  EXPECT_EQ(readBoth(sstPath), "[S] chart=0 1x3\n0,0=ab\n0,1=plain\n0,2=A&\n");
  xl::Book b;
  ASSERT_TRUE(b.load(sstPath)) << b.error();
  ASSERT_EQ(b.diagnostics.size(), 1u);
  EXPECT_NE(b.diagnostics[0].find("xl/sharedStrings.xml"), std::string::npos) << b.diagnostics[0];

  // A long value referenced over and over takes no more than its references.
  const std::string big = "<!DOCTYPE x [<!ENTITY big \"" + std::string(200000, 'B') + "\">]>";
  std::string refs;
  for (int i = 0; i < 20000; ++i) refs += "&big;";
  const std::string quadratic = writeZip(
      "dtd-quadratic.xlsx",
      package({{"S", worksheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>")}},
              withDoctype(sst("<si><t>q" + refs + "q</t></si>"), big)));
  EXPECT_EQ(readBoth(quadratic), "[S] chart=0 1x1\n0,0=qq\n");

  // No internal subset, or only an external one (never fetched).
  std::string plain = worksheet("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>");
  for (const char* dtd : {"<!DOCTYPE worksheet>", "<!DOCTYPE worksheet SYSTEM \"file:///etc/passwd\">",
                          "<!DOCTYPE worksheet PUBLIC \"-//p\" 'http://example.invalid/x.dtd' [ ] >"})
    EXPECT_EQ(readBoth(writeZip("dtd-plain.xlsx", package({{"S", withDoctype(plain, dtd)}}))),
              "[S] chart=0 1x1\n0,0=1\n")
        << dtd;
}

// What a reference means where the declarations were not all read, and what
// stays refused; the two parsers must say the same.
TEST(OoxmlDoctype, UndeclaredEntitiesAttributesAndRefusals) {
  const std::string part = "xl/worksheets/sheet1.xml";
  const auto sheetWith = [&](const std::string& dtd, const std::string& data, const std::string& declaration = "") {
    return writeZip("dtd-case.xlsx", package({{"S", withDoctype(worksheet(data), dtd, declaration)}}));
  };
  const std::string undeclared = "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>x&who;y</t></is></c></row>";
  // An external subset may declare it: read as nothing ...
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w SYSTEM \"w.dtd\">", undeclared)), "ok");
  // ... unless the document says it stands alone, or has no external subset.
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w SYSTEM \"w.dtd\">", undeclared,
                                "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>")),
            causeText(xl::LoadCause::PartNotXml, part));
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w [<!ENTITY a 'a'>]>", undeclared)), causeText(xl::LoadCause::PartNotXml, part));
  // Declarations after an unread parameter entity do not count, in a
  // document that does not stand alone: the reference is undeclared.
  const std::string later = "<!DOCTYPE w [<!ENTITY % p 'x'> %p; <!ENTITY who SYSTEM 'x'>]>";
  EXPECT_EQ(loadCause(sheetWith(later, undeclared)), "ok");
  // An unparsed entity has no place in text.
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w [<!NOTATION n SYSTEM 'n'><!ENTITY who SYSTEM 'p' NDATA n>]>", undeclared)),
            causeText(xl::LoadCause::PartNotXml, part));

  // In an attribute value an entity would have to be expanded: refused.
  const std::string inAttribute = "<row r=\"1\"><c r=\"A&a;1\"><v>1</v></c></row>";
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w [<!ENTITY a ''>]>", inAttribute)), causeText(xl::LoadCause::PartEntity, part));
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w SYSTEM 'w.dtd'>", inAttribute)), causeText(xl::LoadCause::PartEntity, part));
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w [<!ENTITY a SYSTEM 'x'>]>", inAttribute)),
            causeText(xl::LoadCause::PartNotXml, part));
  // Attribute defaults would add attributes to the part's elements.
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w [<!ATTLIST c t CDATA 's'>]>", "<row r=\"1\"><c r=\"A1\"><v>0</v></c></row>")),
            causeText(xl::LoadCause::PartDoctype, part));
  // Past the bound on declared entities.
  std::string many = "<!DOCTYPE w [";
  for (size_t i = 0; i <= xl::ooxml::kMaxDeclaredEntities; ++i) many += "<!ENTITY e" + std::to_string(i) + " ''>";
  EXPECT_EQ(loadCause(sheetWith(many + "]>", undeclared)), causeText(xl::LoadCause::PartEntity, part));
  // A second declaration, one after the root, one cut off.
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w><!DOCTYPE w>", undeclared)), causeText(xl::LoadCause::PartNotXml, part));
  EXPECT_EQ(loadCause(sheetWith("<!DOCTYPE w [<!ENTITY a 'a'", "")), causeText(xl::LoadCause::PartNotXml, part));
  std::string afterRoot = worksheet("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>");
  afterRoot.insert(afterRoot.find("<sheetData>"), "<!DOCTYPE w>");
  EXPECT_EQ(loadCause(writeZip("dtd-late.xlsx", package({{"S", afterRoot}}))), causeText(xl::LoadCause::PartNotXml, part));
}

// The expat path reads UTF-16 parts, where the tag's own bytes show an
// entity reference in an attribute value.
TEST(OoxmlDoctype, Utf16PartWithAnEntityInAnAttribute) {
  for (const std::string& value : {std::string("A&a;1"), std::string("A1")}) {
    const std::string xml = withDoctype(
        worksheet("<row r=\"1\"><c r=\"" + value + "\" t=\"inlineStr\"><is><t>k&a;</t></is></c></row>"),
        "<!DOCTYPE w [<!ENTITY a 'zz'>]>", "<?xml version=\"1.0\" encoding=\"UTF-16\"?>");
    std::string utf16 = "\xFF\xFE";
    for (char c : xml) utf16 += c, utf16 += '\0';  // the fixture is ASCII
    xl::Book b;
    const bool ok = b.load(writeZip("dtd-utf16.xlsx", package({{"S", utf16}})));
    if (value == "A1") {
      ASSERT_TRUE(ok) << b.error();
      EXPECT_EQ(fixtures::cell(b, 0, 0, 0), "k");
    } else {
      EXPECT_EQ(b.error(), (xl::LoadError{xl::LoadCause::PartEntity, "xl/worksheets/sheet1.xml"}));
    }
  }
}

// Damaged declarations at random: whatever expat accepts our tokenizer must
// read the same.
TEST(OoxmlDoctype, MutatedDeclarationsReadAsExpatReadsThem) {
  const std::string dtd =
      "<!DOCTYPE worksheet SYSTEM \"w.dtd\" [<!ENTITY a \"x&#65;&b;\"><!ENTITY b SYSTEM 'b'>"
      "<!-- c --><?p q?><!ELEMENT c (v|f)*><!ENTITY % p 'p'>]>";
  const std::string data =
      "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>1&a;2&b;3&c;</t></is></c><c r=\"B1\"><v>2</v></c></row>";
  std::mt19937 rng(20261210);
  const char pieces[] = "<>&;\"'%[]! x#-ENTITYSM";
  int agreed = 0;
  for (int i = 0; i < 300; ++i) {
    std::string d = dtd;
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      const size_t at = 10 + rng() % (d.size() - 10);
      if (rng() % 2) d[at] = pieces[rng() % (sizeof pieces - 1)];
      else d.insert(at, 1, pieces[rng() % (sizeof pieces - 1)]);
    }
    const std::string path = writeZip("dtd-mutated.xlsx", package({{"S", withDoctype(worksheet(data), d)}}));
    xl::Book viaExpat, viaFast;
    xl::OoxmlLimits expat, fast;
    expat.fastXml = false;
    const bool okExpat = fixtures::readDirect(path, viaExpat, expat);
    const bool okFast = fixtures::readDirect(path, viaFast, fast);
    if (!okExpat) continue;
    ++agreed;
    EXPECT_EQ(fixtures::describe(viaFast, okFast), fixtures::describe(viaExpat, okExpat)) << d;
  }
  EXPECT_GT(agreed, 30);
}

// XML hands text on with every literal CR LF and lone CR as LF (XML 1.0,
// 2.11), in CDATA sections too; only &#13; and the _x000D_ escape give a CR.
// LibreOffice shows each of these cells as here but F1, which it shows as
// "x\ny\nz\n": in a text that has a line feed, Calc makes every CR a line
// break of its own (it keeps the CR of "x&#13;y" on one line).
TEST(OoxmlLineEnds, LiteralCarriageReturnsReadAsLineFeeds) {
  const std::string path = writeZip(
      "line-ends.xlsx",
      package({{"S", worksheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
                               "<c r=\"C1\" t=\"inlineStr\"><is><t>i1\r\ni2\ri3</t></is></c>"
                               "<c r=\"D1\" t=\"str\"><v>v1\r\nv2</v></c>"
                               "<c r=\"E1\" t=\"inlineStr\"><is><t><![CDATA[c1\r\nc2\rc3]]></t></is></c>"
                               "<c r=\"F1\" t=\"inlineStr\"><is><t>x&#13;y_x000D_z&#13;\r\n</t></is></c></row>")}},
              sst("<si><t>a\r\nb\r</t></si><si><r><t>e\r</t></r><r><t>\nf</t></r></si>")));
  EXPECT_EQ(readBoth(path),
            "[S] chart=0 1x6\n0,0=a\nb\n\n0,1=e\n\nf\n0,2=i1\ni2\ni3\n0,3=v1\nv2\n0,4=c1\nc2\nc3\n0,5=x\ry\rz\r\n\n");
}
