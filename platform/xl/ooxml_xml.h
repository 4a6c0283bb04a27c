// The inflated bytes of one part, and the fast tokenizer that reads UTF-8
// parts from them (ooxml_xml.cpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xl/ooxml_dtd.h"
#include "platform/xl/ooxml_internal.h"

struct zip_file;
typedef struct zip_file zip_file_t;
struct zip_stat;
typedef struct zip_stat zip_stat_t;

namespace xl::ooxml {

class FastXml;

// Where the tokenizer reads a part from.
class XmlInput {
 public:
  virtual ~XmlInput() = default;
  // Bytes read (0 at the end), or -1 with `error` set.
  virtual int64_t read(char* buf, size_t n, LoadError& error) = 0;
  // Hands the whole part over (size + 1 bytes) when the input holds it
  // inflated and nothing of it was read yet, so the parser works in it
  // without a copy; later reads give 0.
  virtual bool takeWhole(std::unique_ptr<char[]>& /*bytes*/, size_t& /*size*/) { return false; }
  // Called with the parser between two tokens and nothing of the input
  // buffered: an input that holds the parsed result of the bytes that come
  // next may apply it to the parser and pass over those bytes.
  virtual bool atBoundary(FastXml& /*parser*/, LoadError& /*error*/) { return true; }
};

// Reads one zip entry, counting what it inflates: the sizes the zip
// declares are not trusted. Owns the entry's handle.
class PartSource : public XmlInput {
 public:
  PartSource(zip_file_t* file, const std::string& part, const OoxmlLimits& limits, uint64_t compressedBytes);
  int64_t read(char* buf, size_t n, LoadError& error) override;
  // Every read first tests whether `book`'s load was cancelled.
  void cancelWith(const Book* book) { cancel_ = book; }
  // A CRC-32 that does not match an entry of exactly its declared size is
  // noted here (from whichever thread inflates) rather than failing the part;
  // `size` is the size the zip declares.
  void checkAgainst(uint64_t size, LoadNotes* notes) {
    declared_ = size;
    notes_ = notes;
  }
  // Serves the part from bytes already inflated whole instead of the entry.
  // `bytes` holds size + 1 bytes, the last one spare.
  void useWhole(std::unique_ptr<char[]> bytes, size_t size) {
    whole_ = std::move(bytes);
    wholeSize_ = size;
    inMemory_ = true;
  }
  bool takeWhole(std::unique_ptr<char[]>& bytes, size_t& size) override {
    if (!inMemory_ || wholePos_ != 0 || !whole_) return false;
    bytes = std::move(whole_);
    size = wholeSize_;
    wholePos_ = wholeSize_;
    return true;
  }
  // Inflates on a thread of its own, a few chunks ahead of the parser, so a
  // huge part keeps two cores busy. The thread ends with the source.
  void inflateAhead();
  // Inflates the entry's raw deflated bytes (`raw`, opened compressed) with
  // ISA-L, about twice as fast as libzip's zlib on a big part; the size the
  // zip declares is checked at the end, and its CRC as checkAgainst() says.
  // Takes `raw` over.
  void inflateRaw(zip_file_t* raw, uint64_t size, uint32_t crc);
  ~PartSource();
  PartSource(const PartSource&) = delete;
  PartSource& operator=(const PartSource&) = delete;

 private:
  struct Ahead;
  struct AheadStop {  // ends and joins the thread before freeing its state
    void operator()(Ahead* ahead) const;
  };
  struct RawInflate;
  int64_t readEntry(char* buf, size_t n, LoadError& error);
  int64_t readRaw(char* buf, size_t n, LoadError& error);
  int64_t readAhead(char* buf, size_t n, LoadError& error);
  void crcMismatch();
  std::unique_ptr<RawInflate> raw_;  // before ahead_: the thread reads it until joined
  void inflateLoop(Ahead& ahead);
  std::unique_ptr<Ahead, AheadStop> ahead_;
  std::unique_ptr<char[]> whole_;  // not zero-filled first: it is written whole
  size_t wholeSize_ = 0;
  size_t wholePos_ = 0;
  bool inMemory_ = false;
  zip_file_t* file_;
  const Book* cancel_ = nullptr;
  const std::string& part_;
  const OoxmlLimits& limits_;
  uint64_t compressed_;
  uint64_t total_ = 0;
  // Bytes libzip gave from the entry, and the size the zip declares (no
  // size declared: never equal, so a bad CRC-32 stays a failure).
  uint64_t entryOut_ = 0, declared_ = ~0ull;
  bool entryDone_ = false;
  LoadNotes* notes_ = nullptr;
};

// Parts up to this size are inflated in one call by libdeflate, about twice
// as fast as zlib's streaming; larger ones stream, so memory stays bounded.
inline constexpr uint64_t kWholeInflateBytes = 32u << 20;
// The whole inflated part (size + 1 bytes) when the entry is plainly
// deflated, of a size the limits allow, and inflates to exactly the size the
// zip declares, with `crcMismatch` set when its CRC-32 is not the declared
// one; otherwise false, and the part is streamed (which also reports any
// damage).
bool inflateWhole(zip_t* zip, uint64_t index, const zip_stat_t& st, const OoxmlLimits& limits,
                  std::unique_ptr<char[]>& out, bool& crcMismatch);
// A plain deflated entry whose size and CRC the zip declares: ISA-L can
// inflate it and check it.
bool canInflateRaw(const zip_stat_t& st);
// The load failure for a libzip error code met reading `part`.
LoadError entryError(int zipCode, const std::string& part);

// A byte buffer that grows without zero-filling what it adds: the
// tokenizer only reads bytes it has written.
class RawBuffer {
 public:
  char* data() { return p_.get(); }
  const char* data() const { return p_.get(); }
  size_t size() const { return size_; }
  void resize(size_t n) {
    if (n > cap_) {
      const size_t cap = std::max(n, cap_ * 2);
      auto q = std::make_unique_for_overwrite<char[]>(cap);
      if (size_) std::memcpy(q.get(), p_.get(), std::min(size_, n));
      p_ = std::move(q);
      cap_ = cap;
    }
    size_ = n;
  }
  void adopt(std::unique_ptr<char[]> bytes, size_t size, size_t capacity) {
    p_ = std::move(bytes);
    size_ = size;
    cap_ = capacity;
  }
  // Works in the caller's bytes for a while; release() gives them back.
  void borrow(char* bytes, size_t size) {
    p_.reset(bytes);
    size_ = cap_ = size;
  }
  char* release() {
    size_ = cap_ = 0;
    return p_.release();
  }

 private:
  std::unique_ptr<char[]> p_;
  size_t size_ = 0, cap_ = 0;
};

class FastXml {
 public:
  enum class Result { Ok, Error, NeedExpat };
  FastXml(SaxHandler& handler, const std::string& part, const OoxmlLimits& limits);
  Result run(XmlInput& src, LoadError& error);
  // After NeedExpat: the bytes read so far, for expat to start from.
  std::string_view buffered() const { return {buf_.data() + beg_, end_ - beg_}; }
  bool hasDoctype() const { return dtd_ != nullptr; }

  // A piece of a part cut between two tokens, inside elements opened before
  // it that this parser does not know: end tags that close them are kept in
  // closedBefore(), outermost last. `data` holds size + 1 bytes and is
  // written to. False when the piece is malformed or cut inside a token.
  bool runPiece(char* data, size_t size, LoadError& error);
  const std::vector<std::string>& closedBefore() const { return closedBefore_; }
  // Most elements open at once beyond the piece's start (negative: fewer).
  long deepestInPiece() const { return deepest_; }

  // The open elements, for an input that applies a piece parsed elsewhere.
  size_t depth() const { return stack_.size(); }
  std::string_view openName(size_t i) const;  // 0: outermost
  void closeInnermost();
  void open(std::string_view name);
  const OoxmlLimits& limits() const { return limits_; }

 private:
  enum class Step { Go, Done, Error, NeedExpat };
  bool prologue(XmlInput& src, LoadError& error, Result& early);
  Step charData(XmlInput* src, LoadError& error);
  Step markup(XmlInput* src, LoadError& error);
  bool findEnd(const char* t, size_t avail, int kind, const char*& stop, LoadError& error);
  bool fill(XmlInput* src, LoadError& error);
  bool loop(XmlInput* src, LoadError& error, Result& result);
  bool text(char* p, size_t len, LoadError& error);
  bool declaration(const char* tok, size_t len);
  Step doctype(XmlInput* src, LoadError& error);
  bool passReference(const char* s, const char* end, size_t& used) const;
  LoadError attributeReference(const char* s, const char* end) const;
  bool startTag(char* tok, size_t len, size_t nameEnd, bool empty, LoadError& error);
  bool endTag(char* tok, size_t len, LoadError& error);
  bool cellElement(const char* t, const char* e, size_t& used, LoadError& error);
  bool itemElement(const char* t, const char* e, size_t& used);
  bool plainAttributes(const char* t) const;
  bool stopped(LoadError& error);
  LoadError malformed() const;

  // One attribute of the tag being read, as offsets into it.
  struct Span {
    uint32_t name, nameEnd, value, valueEnd;
    bool plain;  // ASCII without references, blanks to normalise or NUL
  };
  enum class Scan { Done, More, Bad };
  Scan scanTag(const char* t, const char* e, size_t& len, size_t& nameEnd, bool& empty);
  Scan scanChild(const char* t, const char* e, size_t& len, size_t& nameEnd, bool& empty);

  SaxHandler& handler_;
  const std::string& part_;
  const OoxmlLimits& limits_;
  RawBuffer buf_;
  size_t beg_ = 0, end_ = 0;
  size_t scan_ = 0;  // how far the current token has been searched
  bool eof_ = false, failed_ = false;
  bool first_ = true, rootSeen_ = false;
  bool standalone_ = false;
  std::unique_ptr<DocType> dtd_;  // the part's document type declaration, if any
  bool piece_ = false;  // runPiece: the elements around are not known
  long deepest_ = 0;
  std::vector<Span> spans_;
  std::vector<const char*> atts_;
  std::string names_;            // open elements' names, back to back
  std::vector<uint32_t> stack_;  // where each starts in names_
  std::vector<std::string> closedBefore_;
  std::string scratch_;
};

}  // namespace xl::ooxml
