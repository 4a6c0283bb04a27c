// Pieces of the .xlsx/.xlsm reader shared between its files: the zip
// package, the streaming XML driver and the small text rules of the format.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/xl/book.h"
#include "platform/xl/ooxml_reader.h"

struct zip;
typedef struct zip zip_t;
struct XML_ParserStruct;

namespace xl::ooxml {

class PartSource;
class XmlInput;

// Element and attribute names are matched without their prefix: writers use
// any prefix they like (<x:c>, ns:id), and the local names do not collide in
// the parts we read.
inline const char* localName(const char* name) {
  // Names are a few bytes: a plain loop beats a library call here.
  const char* local = name;
  for (const char* p = name; *p; ++p)
    if (*p == ':') local = p + 1;
  return local;
}
inline bool isNamespaceDecl(const char* name) {
  return name[0] == 'x' && std::strncmp(name, "xmlns", 5) == 0 && (name[5] == 0 || name[5] == ':');
}
// Inline, so comparisons with the literal names of the hot handlers unroll
// instead of calling strcmp for every element.
inline bool eq(const char* a, const char* b) {
  for (; *b; ++a, ++b)
    if (*a != *b) return false;
  return *a == 0;
}
inline bool isTrue(const char* v) { return eq(v, "1") || eq(v, "true"); }

// One <c> element of a sheet as the tokenizer read it in a single walk.
// Views point into the tokenizer's buffer and hold no references or
// escapes the tokenizer would decode; data() null: absent.
struct CellTag {
  std::string_view r, s, t;     // the attributes of <c>
  std::string_view value;       // text of <v>
  std::string_view inlineText;  // text of <is><t>
  bool hasValue = false, hasInline = false;
};

// SAX callbacks of one part. fail() stops the parse with a message.
class SaxHandler {
 public:
  virtual ~SaxHandler() = default;
  virtual void start(const char* name, const char** atts) = 0;
  virtual void end(const char* name) = 0;
  virtual void text(const char* /*s*/, int /*len*/) {}
  // The part's inflated size as the zip declares it, before the first
  // callback: a hint for reserving memory, never trusted as a bound.
  virtual void partSize(uint64_t /*bytes*/) {}
  // The single-pass path for sheet cells: while wantsCells() holds, a <c>
  // element of the common shapes (<v>, <f>, <is><t>) may arrive as one
  // cell() call instead of its start, text and end events, to the same
  // effect. Whatever that path does not recognise comes as events.
  virtual bool wantsCells() const { return false; }
  virtual void cell(const CellTag& /*tag*/) {}
  // The same for shared strings: while wantsItems() holds, an <si> that
  // holds one <t> and nothing else may arrive as one item() call with the
  // <t>'s text (no references or carriage returns in it).
  virtual bool wantsItems() const { return false; }
  virtual void item(std::string_view /*text*/) {}

  void fail(LoadError error);
  bool failed() const { return !failure_.empty(); }
  const LoadError& failure() const { return failure_; }
  void attach(XML_ParserStruct* parser) { parser_ = parser; }

 private:
  XML_ParserStruct* parser_ = nullptr;
  LoadError failure_;
};

// What a load read past instead of failing on, as short texts for the
// book's diagnostics. A part may be inflated on a thread of its own, which
// adds its note there: hence the lock.
class LoadNotes {
 public:
  void add(std::string note);
  // A part that inflated to exactly its declared size but whose CRC-32 does
  // not match: its bytes are read as they came out.
  void crcMismatch(const std::string& part);
  std::vector<std::string> take();

 private:
  std::mutex mutex_;
  std::vector<std::string> notes_;
};

// The zip container, opened read-only on a duplicate of the caller's fd.
class Package {
 public:
  explicit Package(const OoxmlLimits& limits) : limits_(limits) {}
  ~Package();
  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;

  bool open(int fd, LoadError& error);
  // Index of a part (OPC names are case-insensitive; targets may be
  // percent-encoded), or -1.
  int64_t locate(const std::string& part) const;
  bool has(const std::string& part) const { return locate(part) >= 0; }
  // Streams the inflated part through expat into `handler`.
  bool parse(const std::string& part, SaxHandler& handler, LoadError& error);
  // Hands the inflated bytes of a part to `use`, with the size the zip
  // declares for it (0 when it declares none): for the binary parts of an
  // .xlsb, which have no XML to parse.
  bool read(const std::string& part, const std::function<bool(PartSource&, uint64_t)>& use, LoadError& error);
  // The part's inflated bytes to read (declared: the size the zip gives,
  // 0 when it gives none), or null with `error` set.
  std::unique_ptr<PartSource> openPart(const std::string& part, uint64_t& declared, LoadError& error);
  // Parses what `src` gives: our tokenizer, or expat for other encodings.
  bool parseFrom(XmlInput& src, const std::string& part, SaxHandler& handler, LoadError& error);
  const OoxmlLimits& limits() const { return limits_; }
  // Parts read from here on give up soon after `book` is cancelled.
  void cancelWith(const Book* book) { cancel_ = book; }
  LoadNotes& notes() { return notes_; }

 private:
  const OoxmlLimits& limits_;
  const Book* cancel_ = nullptr;
  LoadNotes notes_;
  zip_t* zip_ = nullptr;
  std::unordered_map<std::string, int64_t> folded_;  // lower-cased name -> index
};

struct Relationship {
  std::string id;
  std::string type;
  std::string target;  // resolved part name, no leading "/"
};

// "xl/workbook.xml" -> "xl/_rels/workbook.xml.rels".
std::string relsPartFor(const std::string& part);
// Resolves a relationship target against the folder of its source part.
std::string resolveTarget(std::string_view sourcePart, std::string_view target);
bool typeIs(const std::string& type, const char* suffix);  // "/worksheet" etc.
// Reads a .rels part; a missing part gives no relationships.
bool readRelationships(Package& pkg, const std::string& relsPart, std::vector<Relationship>& out,
                       LoadError& error);

int hexDigit(char c);                     // -1 when not a hex digit
// Decodes the _xHHHH_ escapes of text from `from` onward, in place.
void decodeEscapes(std::string& s, size_t from = 0);
// "AB12" -> row 11, col 27. False for anything else or outside the grid.
bool parseCellRef(std::string_view s, uint32_t& row, uint32_t& col);
// Unsigned decimal, surrounding blanks allowed. False on garbage or overflow.
bool parseUint(std::string_view s, uint64_t& value);
// A t="d" cell's ISO 8601 text as "yyyy-mm-dd[ hh:mm:ss]" ("hh:mm:ss" for a
// time format). False when the text is not an ISO date or time.
bool isoDateText(std::string_view iso, NumberKind kind, std::string& out);

// A sheet as the workbook part lists it: its name and the relationship
// that leads to its part.
struct SheetEntry {
  std::string name;
  std::string relId;
};

// More shared strings than this cannot come from a real workbook; the bound
// keeps a part of empty items from filling memory with table entries.
inline constexpr size_t kMaxSharedStrings = 50'000'000;

struct SharedStrings {
  std::vector<std::pair<uint32_t, uint32_t>> items;  // (arena offset, length)
};
bool readSharedStrings(Package& pkg, const std::string& part, Book& book, SharedStrings& sst,
                       LoadError& error);

struct Styles {
  std::vector<NumberKind> cellKinds;  // by cellXfs index
  NumberKind kind(uint32_t xf) const {
    return xf < cellKinds.size() ? cellKinds[xf] : NumberKind::General;
  }
};
// The number formats and cell formats (cellXfs) a styles part lists, in
// the order it lists them, bounded against hostile counts.
class StyleTable {
 public:
  void addFormat(int id, std::string_view code);  // a custom format
  void addCellFormat(int numFmtId);               // the next cell format
  // A font's character set: the first East Asian one gives the built-in
  // formats 27-36 and 50-58 the meaning they have in that locale.
  void addFontCharset(int charset);
  void classify(Styles& styles) const;

 private:
  std::map<int, std::string> codes_;  // custom formats by id
  std::vector<int> xfFormats_;        // format id of each cell format
  bool localeKnown_ = false;
  FormatLocale locale_ = FormatLocale::SimplifiedChinese;
};
bool readStyles(Package& pkg, const std::string& part, Styles& styles, LoadError& error);

struct SheetContext {
  Book& book;
  const SharedStrings& sst;
  const Styles& styles;
  bool date1904;
  uint64_t& cellCount;  // stored cells of the whole book so far
  uint64_t maxCells;
};
bool readWorksheet(Package& pkg, const std::string& part, Sheet& sheet, SheetContext& ctx,
                   LoadError& error);

// Cells (or rows, or shared strings) read between two tests of whether the
// load was cancelled, plus one.
inline constexpr uint64_t kCancelPollCells = 0xFFF;

// Longest single text (cell value, shared string) we accept, kept whole;
// Excel itself writes at most 32,767 characters.
inline constexpr size_t kMaxTextBytes = 16u << 20;

}  // namespace xl::ooxml
