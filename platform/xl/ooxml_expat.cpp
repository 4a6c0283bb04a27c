// The XML driver of a part: our tokenizer for the common UTF-8 parts, and
// expat, fed chunk by chunk, for whatever the tokenizer hands over (other
// encodings, shapes it does not take). Either way the handler sees local
// names, nesting within the depth bound, and no entity expanded: a part
// with a document type declaration reads as ooxml_xml.cpp reads it.
#include <expat.h>

#include <algorithm>
#include <memory>

#include "platform/xl/ooxml_dtd.h"
#include "platform/xl/ooxml_internal.h"
#include "platform/xl/ooxml_xml.h"

namespace xl::ooxml {

void SaxHandler::fail(LoadError error) {
  if (failure_.empty()) failure_ = std::move(error);
  if (parser_) XML_StopParser(parser_, XML_FALSE);
}

namespace {

// The expat side: local names, the depth bound and what a document type
// declaration may do.
struct Driver {
  SaxHandler* handler;
  int depth = 0;
  int maxDepth;
  const std::string* part;
  XML_Parser parser = nullptr;
  bool doctype = false;
  size_t entities = 0;         // general entities declared
  uint64_t entityBytes = 0;    // and the bytes of their values
  uint64_t maxEntityBytes = 0;
};

// Whether the start tag expat is reporting holds a reference to an entity
// other than the five predefined ones. Expat has expanded any such
// reference in the values already, so the tag's own bytes are read: in
// UTF-16 (little or big end, told by the '<' it begins with) or in a
// single-byte encoding.
bool tagReferencesEntity(XML_Parser p) {
  int offset = 0, size = 0;
  const char* buf = XML_GetInputContext(p, &offset, &size);
  const int count = XML_GetCurrentByteCount(p);
  if (!buf || count < 2 || offset < 0 || offset + count > size) return true;  // cannot tell: refuse
  const auto* tag = reinterpret_cast<const unsigned char*>(buf + offset);
  const size_t n = static_cast<size_t>(count);
  const int width = (tag[0] == '<' && tag[1] == 0) || (tag[0] == 0 && tag[1] == '<') ? 2 : 1;
  const bool little = tag[1] == 0;
  const auto unit = [&](size_t i) -> unsigned {
    if (width == 1) return tag[i];
    return little ? tag[2 * i] | (tag[2 * i + 1] << 8) : (tag[2 * i] << 8) | tag[2 * i + 1];
  };
  const size_t units = n / static_cast<size_t>(width);
  for (size_t i = 0; i < units; ++i) {
    if (unit(i) != '&' || i + 1 >= units || unit(i + 1) == '#') continue;
    std::string name;
    size_t k = i + 1;
    for (; k < units && unit(k) != ';' && name.size() < 5; ++k) name.push_back(static_cast<char>(unit(k) < 0x80 ? unit(k) : 0));
    if (k >= units || unit(k) != ';' ||
        (name != "amp" && name != "lt" && name != "gt" && name != "quot" && name != "apos"))
      return true;
    i = k;
  }
  return false;
}

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** atts) {
  auto* d = static_cast<Driver*>(data);
  if (++d->depth > d->maxDepth) {
    d->handler->fail({LoadCause::PartTooDeep, *d->part});
    return;
  }
  // An entity in an attribute value is refused, not expanded (see
  // FastXml::attributeReference).
  if (d->doctype && tagReferencesEntity(d->parser)) {
    d->handler->fail({LoadCause::PartEntity, *d->part});
    return;
  }
  d->handler->start(localName(name), atts);
}

void XMLCALL onEnd(void* data, const XML_Char* name) {
  auto* d = static_cast<Driver*>(data);
  --d->depth;
  d->handler->end(localName(name));
}

void XMLCALL onText(void* data, const XML_Char* s, int len) {
  static_cast<Driver*>(data)->handler->text(s, len);
}

// What expat passes on but no handler takes: with this handler set, a
// reference to an entity in text comes here instead of being expanded, and
// reads as nothing (see FastXml::passReference).
void XMLCALL onDefault(void*, const XML_Char*, int) {}

// A document type declaration is read (ooxml_dtd.h): from here on entities
// in text are passed over, not expanded.
void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  auto* d = static_cast<Driver*>(data);
  d->doctype = true;
  XML_SetDefaultHandler(d->parser, onDefault);
}

// Expat keeps what is declared: bounded as the tokenizer bounds it.
void XMLCALL onEntityDecl(void* data, const XML_Char*, int parameter, const XML_Char*, int valueLength,
                          const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
  auto* d = static_cast<Driver*>(data);
  if (parameter) return;
  d->entityBytes += static_cast<uint64_t>(std::max(valueLength, 0));
  if (++d->entities > kMaxDeclaredEntities)
    d->handler->fail({LoadCause::PartEntity, *d->part});
  else if (d->entityBytes > d->maxEntityBytes)
    d->handler->fail({LoadCause::PartTagTooLong, *d->part});
}

// Default values declared for attributes would add attributes to the part's
// elements (and declared types would change their values): refused.
void XMLCALL onAttlistDecl(void* data, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  auto* d = static_cast<Driver*>(data);
  d->handler->fail({LoadCause::PartDoctype, *d->part});
}

struct ParserFree {
  void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};
using ParserPtr = std::unique_ptr<XML_ParserStruct, ParserFree>;

// No namespace processing: names are matched by local name, and expat is
// markedly faster without binding prefixes. No encoding given: the
// document's own declaration (UTF-16 too) decides.
ParserPtr makeParser(Driver& driver, SaxHandler& handler) {
  ParserPtr parser(XML_ParserCreate(nullptr));
  if (!parser) return parser;
  XML_Parser p = parser.get();
  XML_SetUserData(p, &driver);
  XML_SetElementHandler(p, onStart, onEnd);
  XML_SetCharacterDataHandler(p, onText);
  XML_SetStartDoctypeDeclHandler(p, onDoctype);
  XML_SetEntityDeclHandler(p, onEntityDecl);
  XML_SetAttlistDeclHandler(p, onAttlistDecl);
  XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
  driver.parser = p;
  handler.attach(p);
  return parser;
}

// Why expat stopped: the handler's own failure first, else expat's code.
LoadError expatFailure(XML_Parser p, const SaxHandler& handler, const std::string& part) {
  if (handler.failed()) return handler.failure();
  switch (XML_GetErrorCode(p)) {
    case XML_ERROR_UNKNOWN_ENCODING:
    case XML_ERROR_INCORRECT_ENCODING:
      return LoadError{LoadCause::PartBadEncoding, part};
    case XML_ERROR_NO_MEMORY:
      return LoadError{LoadCause::PartNoMemory, part};
    default:
      return LoadError{LoadCause::PartNotXml, part};
  }
}

// Fills expat's buffer with the next bytes: first what the tokenizer read
// before handing over, then the input. Returns the byte count (0 at the
// end), or -1 with `error` set.
int64_t nextChunk(XML_Parser p, XmlInput& src, std::string& head, int chunk, const std::string& part,
                  LoadError& error) {
  int64_t n;
  void* buf;
  if (!head.empty()) {
    n = static_cast<int64_t>(head.size());
    buf = XML_GetBuffer(p, static_cast<int>(n));
    if (buf) std::memcpy(buf, head.data(), head.size());
    head.clear();
    head.shrink_to_fit();
  } else {
    buf = XML_GetBuffer(p, chunk);
    n = buf ? src.read(static_cast<char*>(buf), static_cast<size_t>(chunk), error) : 0;
    if (n < 0) return -1;
  }
  if (!buf) {
    error = LoadError{LoadCause::TooLargePart, part};
    return -1;
  }
  return n;
}

// On success `doctype` tells whether the part had a document type declaration.
bool parseWithExpat(XmlInput& src, std::string head, const std::string& part, SaxHandler& handler,
                    const OoxmlLimits& limits, bool& doctype, LoadError& error) {
  Driver driver{&handler, 0, limits.maxDepth, &part};
  driver.maxEntityBytes = limits.maxTokenBytes;
  ParserPtr parser = makeParser(driver, handler);
  if (!parser) {
    error = LoadError{LoadCause::PartNoMemory, part};
    return false;
  }
  XML_Parser p = parser.get();
  const int chunk = static_cast<int>(std::clamp<size_t>(limits.chunkBytes, 4096, 16u << 20));
  for (;;) {
    const int64_t n = nextChunk(p, src, head, chunk, part, error);
    if (n < 0) return false;
    if (XML_ParseBuffer(p, static_cast<int>(n), n == 0) != XML_STATUS_OK) {
      error = expatFailure(p, handler, part);
      return false;
    }
    if (handler.failed()) {  // failures outside a parse call are still failures
      error = handler.failure();
      return false;
    }
    // A single tag or attribute value that never ends would otherwise make
    // expat hold the whole part in memory.
    int offset = 0, size = 0;
    if (XML_GetInputContext(p, &offset, &size) && static_cast<uint64_t>(size) > limits.maxTokenBytes) {
      error = LoadError{LoadCause::PartTagTooLong, part};
      return false;
    }
    if (n == 0) {
      doctype = driver.doctype;
      return true;
    }
  }
}

}  // namespace

bool Package::parse(const std::string& part, SaxHandler& handler, LoadError& error) {
  uint64_t declared = 0;
  std::unique_ptr<PartSource> src = openPart(part, declared, error);
  if (!src) return false;
  if (declared) handler.partSize(declared);
  return parseFrom(*src, part, handler, error);
}

bool Package::parseFrom(XmlInput& src, const std::string& part, SaxHandler& handler, LoadError& error) {
  std::string head;  // what the fast path read before handing over
  bool doctype = false;
  FastXml::Result r = FastXml::Result::NeedExpat;
  if (limits_.fastXml) {
    FastXml fast(handler, part, limits_);
    r = fast.run(src, error);
    doctype = fast.hasDoctype();
    if (r == FastXml::Result::NeedExpat) head.assign(fast.buffered());
  }
  const bool ok = r == FastXml::Result::NeedExpat
                      ? parseWithExpat(src, std::move(head), part, handler, limits_, doctype, error)
                      : r == FastXml::Result::Ok;
  if (ok && doctype) notes_.add(part + "：含有 DOCTYPE 声明，其中的实体引用未展开");
  return ok;
}

}  // namespace xl::ooxml
