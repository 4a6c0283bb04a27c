// A small XML tokenizer for the UTF-8 parts of a workbook. Expat spends
// several times longer on a sheet than inflating it; this scanner handles
// the XML that workbook parts use (elements, attributes, character and
// entity references, CDATA, comments, processing instructions), checks
// that the document is well formed where it matters (tags close in order,
// references are known, UTF-8 is valid), and calls the same SaxHandler as
// the expat path. Parts in other encodings go to expat.
#include "platform/xl/ooxml_xml.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "platform/xl/ascii.h"
#include "platform/xl/utf8.h"

namespace xl::ooxml {

namespace {

inline bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Bytes that end an element or attribute name (NUL and markup bytes among
// them, which no name may hold).
constexpr auto kNameStop = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : {' ', '\t', '\n', '\r', '>', '/', '=', '<', '"', '\'', '&', '\0'}) t[c] = true;
  return t;
}();

// Bytes of an attribute value that need more than a copy: references, line
// ends and tabs (read as blanks), '<', NUL, and non-ASCII (checked as UTF-8).
constexpr auto kValueSpecial = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : {'&', '<', '\r', '\n', '\t', '\0'}) t[c] = true;
  for (int c = 0x80; c < 0x100; ++c) t[static_cast<size_t>(c)] = true;
  return t;
}();

// Appends [p, end) to out with every CR LF and lone CR as LF, as XML hands
// text to the application (XML 1.0, 2.11); a CR only comes from &#13;.
void appendWithLineFeeds(std::string& out, const char* p, const char* end) {
  while (p < end) {
    const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
    if (!cr) {
      out.append(p, end);
      return;
    }
    out.append(p, cr);
    out.push_back('\n');
    p = cr + (cr + 1 < end && cr[1] == '\n' ? 2 : 1);
  }
}

// Decodes the reference at s[0] == '&' (up to `end`). Writes its UTF-8 to
// out, sets the bytes consumed. False for an unknown or malformed reference.
bool decodeReference(const char* s, const char* end, char* out, size_t& outLen, size_t& consumed) {
  const char* semi = static_cast<const char*>(std::memchr(s, ';', static_cast<size_t>(std::min<std::ptrdiff_t>(end - s, 16))));
  if (!semi) return false;
  std::string_view name(s + 1, static_cast<size_t>(semi - s - 1));
  consumed = static_cast<size_t>(semi - s + 1);
  char c = 0;
  if (name == "amp") c = '&';
  else if (name == "lt") c = '<';
  else if (name == "gt") c = '>';
  else if (name == "quot") c = '"';
  else if (name == "apos") c = '\'';
  if (c) {
    out[0] = c;
    outLen = 1;
    return true;
  }
  if (name.size() < 2 || name[0] != '#') return false;
  uint32_t cp = 0;
  bool hex = name[1] == 'x';
  size_t i = hex ? 2 : 1;
  if (i >= name.size()) return false;
  for (; i < name.size(); ++i) {
    char d = name[i];
    uint32_t v;
    if (d >= '0' && d <= '9') v = static_cast<uint32_t>(d - '0');
    else if (hex && d >= 'a' && d <= 'f') v = static_cast<uint32_t>(d - 'a' + 10);
    else if (hex && d >= 'A' && d <= 'F') v = static_cast<uint32_t>(d - 'A' + 10);
    else return false;
    cp = cp * (hex ? 16 : 10) + v;
    if (cp > 0x10FFFF) return false;
  }
  if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  outLen = putUtf8(out, cp);
  return true;
}

// The length of the UTF-8 sequence at s[0] >= 0x80 within n bytes, 0 when
// it is not a valid one (overlong, a surrogate, past U+10FFFF, cut off).
inline size_t utf8Sequence(const unsigned char* s, size_t n) {
  const unsigned char c = s[0];
  // Most of the CJK range: lead bytes E1-EC with any two continuation
  // bytes are neither overlong nor surrogates, so only their form matters.
  if (c >= 0xE1 && c <= 0xEC) return n >= 3 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80 ? 3 : 0;
  size_t len;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
  else return 0;
  if (len > n) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((s[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[k] & 0x3F);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return len;
}

constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;

// Whether any byte of w is zero.
inline bool hasZeroByte(uint64_t w) { return ((w - kOnes) & ~w & kHighs) != 0; }

// Also refuses NUL, which no XML document may contain.
bool validUtf8(const unsigned char* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      // Stop at any byte with the high bit set, or at a NUL.
      if ((w & kHighs) || hasZeroByte(w)) break;
      i += 8;
    }
    if (i >= n) break;
    if (s[i] < 0x80) {
      if (s[i] == 0) return false;  // not a character XML can hold
      ++i;
      continue;
    }
    const size_t len = utf8Sequence(s + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace

FastXml::FastXml(SaxHandler& handler, const std::string& part, const OoxmlLimits& limits)
    : handler_(handler), part_(part), limits_(limits) {}

bool FastXml::fill(XmlInput* src, LoadError& error) {
  if (eof_ || !src) {
    eof_ = true;
    return false;
  }
  if (beg_ == end_ && scan_ == 0 && !src->atBoundary(*this, error)) {
    failed_ = true;
    return false;
  }
  if (beg_ > 0) {
    std::memmove(buf_.data(), buf_.data() + beg_, end_ - beg_);
    end_ -= beg_;
    beg_ = 0;
  }
  const size_t chunk = std::clamp<size_t>(limits_.chunkBytes, 4096, 16u << 20);
  if (buf_.size() - end_ < chunk) {
    if (end_ > limits_.maxTokenBytes) {
      error = LoadError{LoadCause::PartTagTooLong, part_};
      failed_ = true;
      return false;
    }
    buf_.resize(end_ + chunk + 1);  // +1: room for a terminating NUL
  }
  int64_t n = src->read(buf_.data() + end_, chunk, error);
  if (n < 0) {
    failed_ = true;
    return false;
  }
  if (n == 0) eof_ = true;
  end_ += static_cast<size_t>(n);
  return n > 0;
}

LoadError FastXml::malformed() const { return {LoadCause::PartNotXml, part_}; }

bool FastXml::stopped(LoadError& error) {
  if (!handler_.failed()) return false;
  error = handler_.failure();
  return true;
}

std::string_view FastXml::openName(size_t i) const {
  const size_t from = stack_[i], to = i + 1 < stack_.size() ? stack_[i + 1] : names_.size();
  return std::string_view(names_).substr(from, to - from);
}

void FastXml::closeInnermost() {
  names_.resize(stack_.back());
  stack_.pop_back();
}

void FastXml::open(std::string_view name) {
  stack_.push_back(static_cast<uint32_t>(names_.size()));
  names_.append(name);
}

// The part's first bytes: UTF-16 goes to expat, a byte-order mark is passed
// over. False with `early` set when run() must return at once.
bool FastXml::prologue(XmlInput& src, LoadError& error, Result& early) {
  {
    std::unique_ptr<char[]> whole;
    size_t size = 0;
    if (end_ == 0 && src.takeWhole(whole, size)) {
      buf_.adopt(std::move(whole), size + 1, size + 1);
      end_ = size;
      eof_ = true;
    }
  }
  while (end_ - beg_ < 4 && fill(&src, error)) {
  }
  if (failed_) {
    early = Result::Error;
    return false;
  }
  const unsigned char* b = reinterpret_cast<const unsigned char*>(buf_.data() + beg_);
  const size_t n = end_ - beg_;
  if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF) || b[0] == 0 || b[1] == 0)) {
    early = Result::NeedExpat;
    return false;
  }
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) beg_ += 3;
  return true;
}

FastXml::Result FastXml::run(XmlInput& src, LoadError& error) {
  Result result = Result::Ok;
  if (!prologue(src, error, result)) return result;
  if (!loop(&src, error, result)) return result;
  if (!rootSeen_ || !stack_.empty()) {
    error = malformed();
    return Result::Error;
  }
  return Result::Ok;
}

bool FastXml::runPiece(char* data, size_t size, LoadError& error) {
  piece_ = true;
  first_ = false;
  rootSeen_ = true;
  // The piece stays the caller's: borrow it without taking ownership.
  struct Borrow {
    RawBuffer& b;
    ~Borrow() { (void)b.release(); }
  } borrow{buf_};
  buf_.borrow(data, size + 1);
  beg_ = 0;
  end_ = size;
  eof_ = true;
  Result result = Result::Ok;
  return loop(nullptr, error, result);
}

// Tokens until the input ends. False with `result` set on an error or when
// expat must take over.
bool FastXml::loop(XmlInput* src, LoadError& error, Result& result) {
  for (;;) {
    Step step;
    if (beg_ == end_) {
      if (fill(src, error)) continue;
      step = failed_ ? Step::Error : Step::Done;
    } else {
      step = buf_.data()[beg_] == '<' ? markup(src, error) : charData(src, error);
    }
    if (step == Step::Go) continue;
    if (step == Step::Done) return true;
    result = step == Step::NeedExpat ? Result::NeedExpat : Result::Error;
    return false;
  }
}

// Character data up to the next tag.
FastXml::Step FastXml::charData(XmlInput* src, LoadError& error) {
  char* p = buf_.data() + beg_;
  char* lt = static_cast<char*>(std::memchr(p + scan_, '<', end_ - beg_ - scan_));
  if (!lt) {
    scan_ = end_ - beg_;
    if (fill(src, error)) return Step::Go;
    if (failed_) return Step::Error;
    if (piece_) {
      error = malformed();  // a piece ends after a tag, never inside text
      return Step::Error;
    }
    // fill() may have moved the bytes even when nothing more came.
    const char* q = buf_.data() + beg_;
    // Only blanks may follow the document.
    for (const char* e = buf_.data() + end_; q < e; ++q)
      if (!isSpace(*q)) {
        error = malformed();
        return Step::Error;
      }
    beg_ = end_;
    scan_ = 0;
    return Step::Go;
  }
  const size_t len = static_cast<size_t>(lt - p);
  scan_ = 0;
  if (stack_.empty() && !piece_) {
    for (const char* q = p; q < lt; ++q)
      if (!isSpace(*q)) {
        error = malformed();
        return Step::Error;
      }
  } else if (!text(p, len, error)) {
    return Step::Error;
  }
  beg_ += len;
  first_ = false;
  return Step::Go;
}

namespace {
enum Kind { Tag, EndTag, Comment, Cdata, Pi, Doctype, Bad };

Kind kindOf(const char* t, size_t avail) {
  if (avail >= 2 && t[1] == '/') return EndTag;
  if (avail >= 2 && t[1] == '?') return Pi;
  if (avail >= 4 && std::memcmp(t, "<!--", 4) == 0) return Comment;
  if (avail >= 9 && std::memcmp(t, "<![CDATA[", 9) == 0) return Cdata;
  if (avail >= 9 && std::memcmp(t, "<!DOCTYPE", 9) == 0) return Doctype;
  if (avail >= 2 && t[1] == '!') return Bad;
  return Tag;
}
}  // namespace

// Where a comment, CDATA section or processing instruction ends; false
// (with scan_ kept) when it goes on past the bytes read.
bool FastXml::findEnd(const char* t, size_t avail, int kind, const char*& stop, LoadError& /*error*/) {
  const char* term = kind == Comment ? "-->" : kind == Cdata ? "]]>" : "?>";
  const size_t termLen = std::strlen(term);
  const size_t from = std::max<size_t>(scan_, kind == Cdata ? 9 : kind == Comment ? 4 : 2);
  std::string_view hay(t, avail);
  const size_t at = from <= hay.size() ? hay.find(term, from) : std::string_view::npos;
  if (at != std::string_view::npos) {
    stop = t + at + termLen - 1;
    return true;
  }
  scan_ = hay.size() >= termLen ? hay.size() - termLen + 1 : 0;
  return false;
}

// A markup token: find where it ends, reading more as needed, and hand it on.
FastXml::Step FastXml::markup(XmlInput* src, LoadError& error) {
  const size_t avail = end_ - beg_;
  char* t = buf_.data() + beg_;
  // Enough bytes to tell the kind ("<![CDATA[" is the longest); a short tag
  // at the end of what was read is not held up for more.
  if (!eof_ && (avail < 2 || (t[1] == '!' && avail < 9))) {
    fill(src, error);
    return failed_ ? Step::Error : Step::Go;
  }
  const char* e = buf_.data() + end_;
  const Kind kind = kindOf(t, avail);
  if (kind == Doctype) return doctype(src, error);
  if (kind == Bad) {
    error = malformed();
    return Step::Error;
  }
  size_t tokenLen = 0;
  bool ok = true;
  if (kind == Tag) {
    if (stack_.empty() && rootSeen_ && !piece_) {
      error = malformed();  // a second root
      return Step::Error;
    }
    size_t used = 0;
    if (avail >= 3 && t[1] == 'c' && (t[2] == ' ' || t[2] == '>') && handler_.wantsCells() &&
        cellElement(t, e, used, error)) {
      if (stopped(error)) return Step::Error;
      beg_ += used;
      first_ = false;
      return Step::Go;
    }
    if (avail >= 4 && t[1] == 's' && t[2] == 'i' && (t[3] == '>' || isSpace(t[3])) && !stack_.empty() &&
        handler_.wantsItems() && itemElement(t, e, used)) {
      if (stopped(error)) return Step::Error;
      beg_ += used;
      first_ = false;
      return Step::Go;
    }
    size_t nameEnd = 0;
    bool empty = false;
    switch (scanTag(t, e, tokenLen, nameEnd, empty)) {
      case Scan::Bad:
        error = malformed();
        return Step::Error;
      case Scan::More:
        if (fill(src, error)) return Step::Go;
        if (!failed_) error = malformed();  // the part ends inside a tag
        return Step::Error;
      case Scan::Done:
        break;
    }
    rootSeen_ = true;
    ok = startTag(t, tokenLen, nameEnd, empty, error);
  } else if (kind == EndTag) {
    const char* gt = static_cast<const char*>(std::memchr(t, '>', avail));
    if (!gt) {
      if (fill(src, error)) return Step::Go;
      if (!failed_) error = malformed();
      return Step::Error;
    }
    tokenLen = static_cast<size_t>(gt - t) + 1;
    ok = endTag(t, tokenLen, error);
  } else {
    const char* stop = nullptr;
    if (!findEnd(t, avail, kind, stop, error)) {
      if (fill(src, error)) return Step::Go;
      if (!failed_) error = malformed();
      return Step::Error;
    }
    scan_ = 0;
    tokenLen = static_cast<size_t>(stop - t) + 1;
    if (kind == Pi) {
      if (first_ && !declaration(t, tokenLen)) return Step::NeedExpat;
    } else if (kind == Cdata) {
      const char* body = t + 9;
      size_t bodyLen = tokenLen - 12;
      if ((stack_.empty() && !piece_) || !validUtf8(reinterpret_cast<const unsigned char*>(body), bodyLen)) {
        error = malformed();
        return Step::Error;
      }
      // Line ends are the document's, not the section's: CR LF and a lone CR
      // come out as LF here too.
      if (std::memchr(body, '\r', bodyLen)) {
        scratch_.clear();
        appendWithLineFeeds(scratch_, body, body + bodyLen);
        body = scratch_.data();
        bodyLen = scratch_.size();
      }
      handler_.text(body, static_cast<int>(bodyLen));
      ok = !stopped(error);
    }
  }
  if (!ok) return Step::Error;
  first_ = false;
  beg_ += tokenLen;
  return Step::Go;
}

namespace {
// The quoted value of the pseudo-attribute `name` of an XML declaration;
// data() null when there is none.
std::string_view declared(std::string_view decl, std::string_view name) {
  const size_t at = decl.find(name);
  if (at == std::string_view::npos) return {};
  const size_t q1 = decl.find_first_of("\"'", at);
  const size_t q2 = q1 == std::string_view::npos ? q1 : decl.find(decl[q1], q1 + 1);
  if (q2 == std::string_view::npos) return {};
  return decl.substr(q1 + 1, q2 - q1 - 1);
}
}  // namespace

// The XML declaration: false when it names an encoding other than UTF-8
// (or its ASCII subset), which expat reads instead. Notes whether the
// document says it is standalone, which decides what an undeclared entity
// means in a part with a document type declaration.
bool FastXml::declaration(const char* tok, size_t len) {
  if (len <= 6 || std::memcmp(tok, "<?xml", 5) != 0 || !isSpace(tok[5])) return true;
  const std::string_view decl(tok, len);
  standalone_ = declared(decl, "standalone") == "yes";
  const std::string_view enc = declared(decl, "encoding");
  if (!enc.data()) return true;
  return equalsFoldedAscii(enc, "utf-8") || equalsFoldedAscii(enc, "utf8") || equalsFoldedAscii(enc, "us-ascii");
}

// The document type declaration, before the root and at most once: read for
// the entities it declares, which are never expanded (ooxml_dtd.h).
FastXml::Step FastXml::doctype(XmlInput* src, LoadError& error) {
  if (dtd_ || rootSeen_ || piece_ || !stack_.empty()) {
    error = malformed();
    return Step::Error;
  }
  const char* t = buf_.data() + beg_;
  const size_t avail = end_ - beg_;
  auto dtd = std::make_unique<DocType>();
  dtd->standalone = standalone_;
  size_t len = 0;
  switch (scanDoctype(t, t + avail, *dtd, len)) {
    case DtdScan::Done:
      break;
    case DtdScan::More:
      // Read on to twice what is here before scanning again from the start,
      // so that a long declaration costs a bounded number of scans; fill()
      // holds it to the token limit.
      while (end_ - beg_ < 2 * avail && fill(src, error)) {
      }
      if (end_ - beg_ > avail) return Step::Go;
      if (!failed_) error = malformed();
      return Step::Error;
    case DtdScan::Refused:
      error = LoadError{LoadCause::PartDoctype, part_};
      return Step::Error;
    case DtdScan::TooMany:
      error = LoadError{LoadCause::PartEntity, part_};
      return Step::Error;
    case DtdScan::Bad:
      error = malformed();
      return Step::Error;
  }
  if (!validUtf8(reinterpret_cast<const unsigned char*>(t), len)) {
    error = malformed();
    return Step::Error;
  }
  dtd_ = std::move(dtd);
  first_ = false;
  beg_ += len;
  return Step::Go;
}

// A reference decodeReference does not know, in a part with a document type
// declaration: an entity declared there, or an undeclared one that may stand
// for a declaration not read, reads as nothing. Never expanded: a part's
// text then stays within the part's own bytes whatever is declared (nested
// "billion laughs" entities, a long value referenced over and over), and
// LibreOffice shows no text of an entity either. An unparsed entity has no
// place in text.
bool FastXml::passReference(const char* s, const char* end, size_t& used) const {
  const std::string_view name = referenceName(s, end, used);
  if (name.empty()) return false;
  const auto it = dtd_->entities.find(name);
  if (it == dtd_->entities.end()) return dtd_->undeclaredAllowed();
  return it->second != DocType::Entity::Unparsed;
}

// Why an entity reference in an attribute value fails the part. XML gives
// no leave to pass over one there, and an attribute holds a cell's place or
// a part's name, which a reference read as nothing would change: the part
// is refused (PartEntity) where XML would expand the entity, as the expat
// path refuses it; elsewhere it is malformed.
LoadError FastXml::attributeReference(const char* s, const char* end) const {
  size_t used = 0;
  const std::string_view name = referenceName(s, end, used);
  if (!name.empty()) {
    const auto it = dtd_->entities.find(name);
    if (it == dtd_->entities.end() ? dtd_->undeclaredAllowed() : it->second == DocType::Entity::Internal)
      return LoadError{LoadCause::PartEntity, part_};
  }
  return malformed();
}

// Character data: references decoded, line ends normalised, UTF-8 checked.
bool FastXml::text(char* p, size_t len, LoadError& error) {
  const char* end = p + len;
  bool plain = true;
  for (const char* q = p; q < end; ++q)
    if (*q == '&' || *q == '\r') {
      plain = false;
      break;
    }
  const char* out = p;
  size_t outLen = len;
  if (!plain) {
    scratch_.clear();
    for (const char* q = p; q < end;) {
      if (*q == '&') {
        char u[4];
        size_t n = 0, used = 0;
        if (decodeReference(q, end, u, n, used)) {
          scratch_.append(u, n);
        } else if (!dtd_ || !passReference(q, end, used)) {
          error = malformed();
          return false;
        }
        q += used;
      } else {
        // Up to the next reference, line ends as LF.
        const char* amp = static_cast<const char*>(std::memchr(q, '&', static_cast<size_t>(end - q)));
        const char* to = amp ? amp : end;
        appendWithLineFeeds(scratch_, q, to);
        q = to;
      }
    }
    out = scratch_.data();
    outLen = scratch_.size();
  }
  if (!validUtf8(reinterpret_cast<const unsigned char*>(out), outLen)) {
    error = malformed();
    return false;
  }
  handler_.text(out, static_cast<int>(outLen));
  return !stopped(error);
}

bool FastXml::endTag(char* tok, size_t len, LoadError& error) {
  // "</name  >"
  size_t e = len - 1;
  while (e > 2 && isSpace(tok[e - 1])) --e;
  const std::string_view name(tok + 2, e - 2);
  if (stack_.empty()) {
    // In a piece: an element opened before it; the caller matches the names.
    if (!piece_ || name.empty() || !validUtf8(reinterpret_cast<const unsigned char*>(name.data()), name.size())) {
      error = malformed();
      return false;
    }
    for (char c : name)
      if (kNameStop[static_cast<unsigned char>(c)]) {
        error = malformed();
        return false;
      }
    closedBefore_.emplace_back(name);
    deepest_ = std::max(deepest_, -static_cast<long>(closedBefore_.size()));
    tok[e] = 0;
    handler_.end(localName(tok + 2));
    return !stopped(error);
  }
  const uint32_t start = stack_.back();
  if (std::string_view(names_).substr(start) != name) {
    error = malformed();
    return false;
  }
  tok[e] = 0;
  handler_.end(localName(tok + 2));
  stack_.pop_back();
  names_.resize(start);
  return !stopped(error);
}

// One walk over a start tag at t[0] == '<' within [t, e): its name, then
// each attribute's name and value, recorded in spans_ without writing to
// the bytes (a tag cut off by the buffer's end is read again after a fill).
FastXml::Scan FastXml::scanTag(const char* t, const char* e, size_t& len, size_t& nameEnd, bool& empty) {
  spans_.clear();
  const char* p = t + 1;
  while (p < e && !kNameStop[static_cast<unsigned char>(*p)]) ++p;
  if (p == e) return Scan::More;
  if (p == t + 1) return Scan::Bad;
  nameEnd = static_cast<size_t>(p - t);
  for (;;) {
    const char* gap = p;
    while (p < e && isSpace(*p)) ++p;
    if (p == e) return Scan::More;
    if (*p == '>') {
      len = static_cast<size_t>(p - t) + 1;
      empty = false;
      return Scan::Done;
    }
    if (*p == '/') {
      if (p + 1 == e) return Scan::More;
      if (p[1] != '>') return Scan::Bad;
      len = static_cast<size_t>(p - t) + 2;
      empty = true;
      return Scan::Done;
    }
    if (p == gap) return Scan::Bad;  // attributes must be separated by blanks
    const char* an = p;
    while (p < e && !kNameStop[static_cast<unsigned char>(*p)]) ++p;
    if (p == e) return Scan::More;
    const char* anEnd = p;
    if (an == anEnd) return Scan::Bad;
    while (p < e && isSpace(*p)) ++p;
    if (p == e) return Scan::More;
    if (*p != '=') return Scan::Bad;
    ++p;
    while (p < e && isSpace(*p)) ++p;
    if (p == e) return Scan::More;
    const char q = *p;
    if (q != '"' && q != '\'') return Scan::Bad;
    ++p;
    // One walk finds the closing quote and whether the value needs more
    // than a copy: values are short, a call to memchr would cost more.
    const char* close = p;
    bool plain = true;
    for (; close < e && *close != q; ++close) plain &= !kValueSpecial[static_cast<unsigned char>(*close)];
    if (close == e) return Scan::More;
    spans_.push_back({static_cast<uint32_t>(an - t), static_cast<uint32_t>(anEnd - t), static_cast<uint32_t>(p - t),
                      static_cast<uint32_t>(close - t), plain});
    p = close + 1;
  }
}

// scanTag for the elements of the single-pass paths, which are mostly a
// bare "<v>", "<t>" or "<si>": those are read at a glance.
FastXml::Scan FastXml::scanChild(const char* t, const char* e, size_t& len, size_t& nameEnd, bool& empty) {
  const auto stop = [](char c) { return kNameStop[static_cast<unsigned char>(c)]; };
  if (e - t >= 4 && !stop(t[1]) && (t[2] == '>' || (!stop(t[2]) && t[3] == '>'))) {
    spans_.clear();
    len = t[2] == '>' ? 3 : 4;
    nameEnd = len - 1;
    empty = false;
    return Scan::Done;
  }
  return scanTag(t, e, len, nameEnd, empty);
}

// The tag scanned by scanTag: values decoded in place where they need it,
// names and values NUL-terminated, the element handed to the handler.
bool FastXml::startTag(char* tok, size_t len, size_t nameEnd, bool empty, LoadError& error) {
  (void)len;
  if (!validUtf8(reinterpret_cast<const unsigned char*>(tok + 1), nameEnd - 1)) {
    error = malformed();
    return false;
  }
  atts_.clear();
  for (const Span& a : spans_) {
    size_t w = a.valueEnd;
    if (!a.plain) {
      // Decode in place: the decoded value is never longer than the raw one.
      w = a.value;
      for (size_t r = a.value; r < a.valueEnd;) {
        const char c = tok[r];
        if (c == '&') {
          char u[4];
          size_t n = 0, used = 0;
          if (!decodeReference(tok + r, tok + a.valueEnd, u, n, used)) {
            error = dtd_ ? attributeReference(tok + r, tok + a.valueEnd) : malformed();
            return false;
          }
          std::memcpy(tok + w, u, n);
          w += n;
          r += used;
        } else if (c == '<') {
          error = malformed();
          return false;
        } else if (c == '\r' || c == '\n' || c == '\t') {
          // Attribute values see line ends and tabs as blanks.
          tok[w++] = ' ';
          r += (c == '\r' && r + 1 < a.valueEnd && tok[r + 1] == '\n') ? 2 : 1;
        } else {
          tok[w++] = c;
          ++r;
        }
      }
      if (!validUtf8(reinterpret_cast<const unsigned char*>(tok + a.value), w - a.value)) {
        error = malformed();
        return false;
      }
    }
    if (!validUtf8(reinterpret_cast<const unsigned char*>(tok + a.name), a.nameEnd - a.name)) {
      error = malformed();
      return false;
    }
    tok[w] = 0;
    tok[a.nameEnd] = 0;
    atts_.push_back(tok + a.name);
    atts_.push_back(tok + a.value);
  }
  atts_.push_back(nullptr);
  tok[nameEnd] = 0;
  if (stack_.size() >= static_cast<size_t>(limits_.maxDepth)) {
    error = LoadError{LoadCause::PartTooDeep, part_};
    return false;
  }
  const char* local = localName(tok + 1);
  if (empty) {
    handler_.start(local, atts_.data());
    if (stopped(error)) return false;
    handler_.end(local);
    return !stopped(error);
  }
  open(std::string_view(tok + 1, nameEnd - 1));
  deepest_ = std::max(deepest_, static_cast<long>(stack_.size()) - static_cast<long>(closedBefore_.size()));
  handler_.start(local, atts_.data());
  return !stopped(error);
}

namespace {

// Text of a fast-path element: up to the next '<', without references or
// carriage returns (the general path decodes those), valid UTF-8, no NUL.
// Returns where the '<' is, or null. One walk, eight ASCII bytes a step.
const char* plainText(const char* p, const char* e) {
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  const auto* end = reinterpret_cast<const unsigned char*>(e);
  while (s < end) {
    unsigned char c = *s;
    if (c >= 0x80) {  // the next byte is likely non-ASCII too: no word step here
      const size_t len = utf8Sequence(s, static_cast<size_t>(end - s));
      if (len == 0) return nullptr;
      s += len;
      continue;
    }
    if (end - s >= 8) {
      // Eight bytes at once: the lowest flagged byte is the first one that
      // is '<', '&', CR, NUL or non-ASCII (a borrow only runs upwards).
      uint64_t w;
      std::memcpy(&w, s, 8);
      const uint64_t lt = w ^ (kOnes * '<'), amp = w ^ (kOnes * '&'), cr = w ^ (kOnes * '\r');
      const uint64_t flags =
          (w | ((w - kOnes) & ~w) | ((lt - kOnes) & ~lt) | ((amp - kOnes) & ~amp) | ((cr - kOnes) & ~cr)) & kHighs;
      if (flags == 0) {
        s += 8;
        continue;
      }
      s += std::countr_zero(flags) / 8;
      c = *s;
      if (c >= 0x80) continue;
    }
    if (c == '<') return reinterpret_cast<const char*>(s);
    if (c == '&' || c == '\r' || c == 0) return nullptr;
    ++s;
  }
  return nullptr;
}

// "</name" blanks ">" at p; the byte after it, or null.
const char* closing(const char* p, const char* e, std::string_view name) {
  if (static_cast<size_t>(e - p) < name.size() + 3 || p[0] != '<' || p[1] != '/') return nullptr;
  // Names here are a letter or two: compared inline, not through memcmp.
  for (size_t i = 0; i < name.size(); ++i)
    if (p[2 + i] != name[i]) return nullptr;
  p += 2 + name.size();
  while (p < e && isSpace(*p)) ++p;
  return p < e && *p == '>' ? p + 1 : nullptr;
}

const char* skipBlanks(const char* p, const char* e) {
  while (p < e && isSpace(*p)) ++p;
  return p;
}

}  // namespace

// The start tag of a cell at t ("<c" and a blank or '>'), its r, s and t
// attributes taken in the walk that finds its end, with no record of the
// others. False for whatever the general path must look at: a value that
// needs decoding, a name that is not ASCII, a tag cut off by the buffer's
// end, bad syntax.
namespace {
bool cellStartTag(const char* t, const char* e, CellTag& tag, size_t& len, bool& empty) {
  const char* p = t + 2;
  for (;;) {
    const char* gap = p;
    while (p < e && isSpace(*p)) ++p;
    if (p == e) return false;
    if (*p == '>' || *p == '/') {
      empty = *p == '/';
      if (empty && (p + 1 == e || p[1] != '>')) return false;
      len = static_cast<size_t>(p - t) + (empty ? 2 : 1);
      return true;
    }
    if (p == gap) return false;  // attributes must be separated by blanks
    const char* name = p;
    for (; p < e && !kNameStop[static_cast<unsigned char>(*p)]; ++p)
      if (static_cast<unsigned char>(*p) >= 0x80) return false;
    const char* nameEnd = p;
    while (p < e && isSpace(*p)) ++p;
    if (p == e || p == name || *p != '=') return false;
    ++p;
    while (p < e && isSpace(*p)) ++p;
    if (p == e || (*p != '"' && *p != '\'')) return false;
    const char quote = *p++;
    const char* value = p;
    for (; p < e && *p != quote; ++p)
      if (kValueSpecial[static_cast<unsigned char>(*p)]) return false;
    if (p == e) return false;
    if (nameEnd - name == 1) {
      const std::string_view v(value, static_cast<size_t>(p - value));
      switch (*name) {
        case 'r': tag.r = v; break;
        case 's': tag.s = v; break;
        case 't': tag.t = v; break;
        default: break;
      }
    }
    ++p;
  }
}
}  // namespace

// The single-pass path for a sheet cell: <c …> with <v>, <f> and <is><t>
// children, all in the buffer, in one walk, handed over as one cell() call.
// False (nothing consumed, nothing reported) for any other shape, which the
// general path then reads token by token; it also finds any fault.
bool FastXml::cellElement(const char* t, const char* e, size_t& used, LoadError& error) {
  (void)error;
  if (stack_.size() + 3 > static_cast<size_t>(limits_.maxDepth)) return false;
  size_t len = 0;
  bool empty = false;
  CellTag tag;
  if (!cellStartTag(t, e, tag, len, empty)) return false;
  const char* p = t + len;
  if (!empty) {
    bool seenV = false, seenF = false, seenIs = false;
    for (;;) {
      p = skipBlanks(p, e);
      if (p + 2 > e || *p != '<') return false;
      if (p[1] == '/') {
        p = closing(p, e, "c");
        if (!p) return false;
        break;
      }
      size_t clen = 0, cname = 0;
      bool cempty = false;
      if (scanChild(p, e, clen, cname, cempty) != Scan::Done) return false;
      for (const Span& a : spans_)
        if (!a.plain) return false;
      const std::string_view child(p + 1, cname - 1);
      const char* in = p + clen;
      if ((child == "v" && !seenV) || (child == "f" && !seenF)) {
        std::string_view body;
        if (!cempty) {
          const char* lt = plainText(in, e);
          if (!lt || static_cast<size_t>(lt - in) > kMaxTextBytes) return false;
          body = std::string_view(in, static_cast<size_t>(lt - in));
          in = closing(lt, e, child);
          if (!in) return false;
        }
        if (child == "v") {
          seenV = true;
          tag.hasValue = true;
          tag.value = body;
        } else {
          seenF = true;
        }
        p = in;
      } else if (child == "is" && !seenIs) {
        seenIs = true;
        tag.hasInline = true;
        if (!cempty) {
          in = skipBlanks(in, e);
          size_t tlen = 0, tname = 0;
          bool tempty = false;
          if (in + 2 > e || in[1] == '/' || scanChild(in, e, tlen, tname, tempty) != Scan::Done) return false;
          for (const Span& a : spans_)
            if (!a.plain) return false;
          if (tname != 2 || in[1] != 't') return false;
          in += tlen;
          if (!tempty) {
            const char* lt = plainText(in, e);
            if (!lt || static_cast<size_t>(lt - in) > kMaxTextBytes) return false;
            tag.inlineText = std::string_view(in, static_cast<size_t>(lt - in));
            in = closing(lt, e, "t");
            if (!in) return false;
          }
          in = closing(skipBlanks(in, e), e, "is");
          if (!in) return false;
        }
        p = in;
      } else {
        return false;
      }
    }
  }
  // As deep as the general path would have gone: <c><is><t>.
  deepest_ = std::max(deepest_, static_cast<long>(stack_.size() + 3) - static_cast<long>(closedBefore_.size()));
  handler_.cell(tag);
  used = static_cast<size_t>(p - t);
  return true;
}

// The attributes scanTag found in the tag at t: plain values (ASCII, no
// references) and names that are valid UTF-8, which is all the general path
// would check of them.
bool FastXml::plainAttributes(const char* t) const {
  for (const Span& a : spans_)
    if (!a.plain || !validUtf8(reinterpret_cast<const unsigned char*>(t + a.name), a.nameEnd - a.name)) return false;
  return true;
}

// The single-pass path for a shared string: <si><t …>text</t></si>, blanks
// around the <t>, all in the buffer, handed over as one item() call. False
// (nothing consumed, nothing reported) for any other shape: rich text runs,
// phonetic text, references, comments; the general path reads those.
bool FastXml::itemElement(const char* t, const char* e, size_t& used) {
  if (stack_.size() + 2 > static_cast<size_t>(limits_.maxDepth)) return false;
  size_t len = 0, nameEnd = 0;
  bool empty = false;
  if (scanChild(t, e, len, nameEnd, empty) != Scan::Done || empty || !spans_.empty()) return false;
  const char* p = skipBlanks(t + len, e);
  size_t tlen = 0, tname = 0;
  bool tempty = false;
  if (p + 2 > e || p[0] != '<' || p[1] != 't' || scanChild(p, e, tlen, tname, tempty) != Scan::Done || tname != 2 ||
      !plainAttributes(p))
    return false;
  p += tlen;
  std::string_view text;
  if (!tempty) {
    const char* lt = plainText(p, e);
    if (!lt || static_cast<size_t>(lt - p) > kMaxTextBytes) return false;
    text = std::string_view(p, static_cast<size_t>(lt - p));
    p = closing(lt, e, "t");
    if (!p) return false;
  }
  p = closing(skipBlanks(p, e), e, "si");
  if (!p) return false;
  deepest_ = std::max(deepest_, static_cast<long>(stack_.size() + 2) - static_cast<long>(closedBefore_.size()));
  handler_.item(text);
  used = static_cast<size_t>(p - t);
  return true;
}

}  // namespace xl::ooxml
