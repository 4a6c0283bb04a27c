// The document type declaration a workbook part may carry. No spreadsheet
// application writes one; they come in files made to test entity expansion.
// It is read only so far as to know which general entities it declares, so
// that a reference to one can be passed over: no entity is ever expanded
// and nothing outside the part is ever fetched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace xl::ooxml {

struct DocType {
  enum class Entity : uint8_t { Internal, External, Unparsed };
  // Looked up by the names of references, without copying them.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  // The first declaration of a name wins.
  std::unordered_map<std::string, Entity, NameHash, std::equal_to<>> entities;
  bool externalSubset = false;  // SYSTEM or PUBLIC: declarations we never read
  bool paramRefs = false;       // %name; in the internal subset, never expanded
  bool standalone = false;      // standalone="yes" in the XML declaration
  // A reference to an undeclared entity may then stand for a declaration we
  // did not read, as XML allows (4.1, WFC: Entity Declared); else it is an
  // error.
  bool undeclaredAllowed() const { return (externalSubset || paramRefs) && !standalone; }
};

// More declared entities than this cannot be a real part's.
inline constexpr size_t kMaxDeclaredEntities = 10'000;

enum class DtdScan {
  Done,
  More,     // the declaration goes on past `e`
  Bad,      // not well-formed
  Refused,  // attribute-list declarations, which would change the part's own attributes
  TooMany,  // past kMaxDeclaredEntities
};

// Reads the "<!DOCTYPE" declaration at `t` within [t, e): its length and, into
// `dtd` (its `standalone` already set), the general entities it declares.
// Declarations after a parameter-entity reference count only in a standalone
// document, as in any XML processor that does not read parameter entities.
DtdScan scanDoctype(const char* t, const char* e, DocType& dtd, size_t& len);

// Whether c may be part of an XML name (bytes past ASCII are taken as such;
// the caller checks UTF-8).
inline bool isNameByte(unsigned char c) {
  return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == ':' || c == '-' || c == '.';
}

// The name of the reference "&name;" at s[0] == '&' within [s, end), with
// `used` its length; empty when there is none (a character reference, a
// name with other bytes, no ';').
std::string_view referenceName(const char* s, const char* end, size_t& used);

}  // namespace xl::ooxml
