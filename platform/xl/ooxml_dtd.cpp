// A scanner for the document type declaration of a part: its internal
// subset is walked declaration by declaration, the general entities are
// recorded by name and kind, and everything else is passed over.
#include "platform/xl/ooxml_dtd.h"

#include <algorithm>
#include <cstring>

namespace xl::ooxml {

namespace {

inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool isDigit(char c, bool hex) {
  return (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
}

enum class Match { Yes, No, More };

// Walks [p, e); every step that runs out of bytes says More, so the caller
// can read on and scan again.
class Scanner {
 public:
  Scanner(const char* p, const char* e, DocType& dtd) : p_(p), e_(e), dtd_(dtd) {}

  DtdScan doctype(const char* t, size_t& len) {
    p_ = t + 9;  // "<!DOCTYPE"
    if (!blanks(true) || !name(nullptr)) return status_;
    const char* gap = p_;
    if (!blanks(false)) return status_;
    if (p_ > gap && *p_ != '[' && *p_ != '>') {
      if (!externalId()) return status_;
      dtd_.externalSubset = true;
      if (!blanks(false)) return status_;
    }
    if (*p_ == '[') {
      ++p_;
      if (!subset() || !blanks(false)) return status_;
    }
    if (*p_ != '>') return DtdScan::Bad;
    len = static_cast<size_t>(p_ + 1 - t);
    return DtdScan::Done;
  }

 private:
  bool fail(DtdScan s) {
    status_ = s;
    return false;
  }
  bool more() { return fail(DtdScan::More); }
  bool bad() { return fail(DtdScan::Bad); }

  Match match(std::string_view word) const {
    const size_t n = std::min(word.size(), static_cast<size_t>(e_ - p_));
    if (std::memcmp(p_, word.data(), n) != 0) return Match::No;
    return n == word.size() ? Match::Yes : Match::More;
  }

  // Blanks up to the next byte, which is there on success; `required`: at
  // least one.
  bool blanks(bool required) {
    const char* from = p_;
    while (p_ < e_ && isBlank(*p_)) ++p_;
    if (p_ == e_) return more();
    return !required || p_ > from || bad();
  }

  bool name(std::string_view* out) {
    const char* from = p_;
    while (p_ < e_ && isNameByte(static_cast<unsigned char>(*p_))) ++p_;
    if (p_ == e_) return more();
    if (p_ == from) return bad();
    if (out) *out = std::string_view(from, static_cast<size_t>(p_ - from));
    return true;
  }

  // Past the next occurrence of `end`.
  bool past(std::string_view end) {
    const std::string_view rest(p_, static_cast<size_t>(e_ - p_));
    const size_t at = rest.find(end);
    if (at == std::string_view::npos) return more();
    p_ += at + end.size();
    return true;
  }

  // A quoted literal; an entity value may hold no parameter-entity
  // reference (not in the internal subset) and only whole references.
  bool quoted(bool entityValue) {
    if (p_ == e_) return more();
    const char q = *p_;
    if (q != '"' && q != '\'') return bad();
    const char* close = static_cast<const char*>(std::memchr(p_ + 1, q, static_cast<size_t>(e_ - p_ - 1)));
    if (!close) return more();
    if (entityValue && !entityValueOk(p_ + 1, close)) return bad();
    p_ = close + 1;
    return true;
  }

  static bool entityValueOk(const char* p, const char* e) {
    for (; p < e; ++p) {
      if (*p == '%') return false;
      if (*p != '&') continue;
      size_t used = 0;
      if (!referenceName(p, e, used).empty()) {
        p += used - 1;
        continue;
      }
      // A character reference: "&#" digits ";" or "&#x" hex digits ";".
      if (e - p < 4 || p[1] != '#') return false;
      const bool hex = p[2] == 'x';
      const char* d = p + (hex ? 3 : 2);
      const char* from = d;
      while (d < e && isDigit(*d, hex)) ++d;
      if (d == from || d == e || *d != ';') return false;
      p = d;
    }
    return true;
  }

  // SYSTEM "literal" or PUBLIC "literal" "literal".
  bool externalId() {
    for (const char* word : {"SYSTEM", "PUBLIC"}) {
      const Match m = match(word);
      if (m == Match::More) return more();
      if (m == Match::No) continue;
      p_ += 6;
      if (!blanks(true) || !quoted(false)) return false;
      if (word[0] == 'P' && (!blanks(true) || !quoted(false))) return false;
      return true;
    }
    return bad();
  }

  bool subset() {
    for (;;) {
      if (!blanks(false)) return false;
      if (*p_ == ']') {
        ++p_;
        return true;
      }
      if (*p_ == '%') {
        ++p_;
        if (!name(nullptr)) return false;
        if (*p_ != ';') return bad();
        ++p_;
        dtd_.paramRefs = true;
        // What such an entity might declare is unknown, so later
        // declarations cannot be trusted to come first (XML 1.0, 5.1).
        if (!dtd_.standalone) keep_ = false;
        continue;
      }
      if (!declaration()) return false;
    }
  }

  bool declaration() {
    struct Kind {
      const char* open;
      bool (Scanner::*read)();
    };
    static constexpr Kind kinds[] = {
        {"<!--", &Scanner::comment},       {"<?", &Scanner::instruction}, {"<!ENTITY", &Scanner::entity},
        {"<!ELEMENT", &Scanner::element}, {"<!NOTATION", &Scanner::notation}, {"<!ATTLIST", &Scanner::attlist},
    };
    for (const Kind& k : kinds) {
      const Match m = match(k.open);
      if (m == Match::More) return more();
      if (m == Match::Yes) {
        p_ += std::strlen(k.open);
        return (this->*k.read)();
      }
    }
    return bad();
  }

  bool comment() { return past("-->"); }
  bool instruction() { return past("?>"); }
  bool element() { return past(">"); }  // content models hold no quotes
  bool attlist() { return fail(DtdScan::Refused); }

  bool notation() {
    for (;;) {
      if (p_ == e_) return more();
      if (*p_ == '>') {
        ++p_;
        return true;
      }
      if (*p_ == '"' || *p_ == '\'') {
        if (!quoted(false)) return false;
      } else {
        ++p_;
      }
    }
  }

  bool entity() {
    if (!blanks(true)) return false;
    const bool parameter = *p_ == '%';
    if (parameter) {
      ++p_;
      if (!blanks(true)) return false;
    }
    std::string_view entityName;
    if (!name(&entityName) || !blanks(true)) return false;
    DocType::Entity kind = DocType::Entity::Internal;
    if (*p_ == '"' || *p_ == '\'') {
      if (!quoted(true)) return false;
    } else {
      if (!externalId()) return false;
      kind = DocType::Entity::External;
      const char* gap = p_;
      if (!blanks(false)) return false;
      if (p_ > gap && !parameter) {
        const Match m = match("NDATA");
        if (m == Match::More) return more();
        if (m == Match::Yes) {
          p_ += 5;
          if (!blanks(true) || !name(nullptr)) return false;
          kind = DocType::Entity::Unparsed;
        }
      }
    }
    if (!blanks(false)) return false;
    if (*p_ != '>') return bad();
    ++p_;
    if (parameter || !keep_) return true;
    if (dtd_.entities.emplace(entityName, kind).second && dtd_.entities.size() > kMaxDeclaredEntities)
      return fail(DtdScan::TooMany);
    return true;
  }

  const char* p_;
  const char* e_;
  DocType& dtd_;
  DtdScan status_ = DtdScan::Bad;
  bool keep_ = true;  // declarations still count
};

}  // namespace

std::string_view referenceName(const char* s, const char* end, size_t& used) {
  const char* p = s + 1;
  while (p < end && isNameByte(static_cast<unsigned char>(*p))) ++p;
  if (p == s + 1 || p == end || *p != ';') return {};
  used = static_cast<size_t>(p + 1 - s);
  return std::string_view(s + 1, static_cast<size_t>(p - s - 1));
}

DtdScan scanDoctype(const char* t, const char* e, DocType& dtd, size_t& len) {
  dtd.entities.clear();
  dtd.externalSubset = dtd.paramRefs = false;
  Scanner scan(t, e, dtd);
  return scan.doctype(t, len);
}

}  // namespace xl::ooxml
