// The inflated bytes of one part, and the fast tokenizer that reads UTF-8
// parts from them (ooxml_xml.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xl/ooxml_internal.h"

struct zip_file;
typedef struct zip_file zip_file_t;

namespace xl::ooxml {

// Reads one zip entry, counting what it inflates: the sizes the zip
// declares are not trusted.
class PartSource {
 public:
  PartSource(zip_file_t* file, const std::string& part, const OoxmlLimits& limits, uint64_t compressedBytes);
  // Bytes read (0 at the end), or -1 with `error` set.
  int64_t read(char* buf, size_t n, std::string& error);
  // Serves the part from bytes already inflated whole instead of the entry.
  void useWhole(std::unique_ptr<char[]> bytes, size_t size) {
    whole_ = std::move(bytes);
    wholeSize_ = size;
    inMemory_ = true;
  }
  // Inflates on a thread of its own, a few chunks ahead of the parser, so a
  // huge part keeps two cores busy. The thread ends with the source.
  void inflateAhead();
  ~PartSource();
  PartSource(const PartSource&) = delete;
  PartSource& operator=(const PartSource&) = delete;

 private:
  struct Ahead;
  int64_t readEntry(char* buf, size_t n, std::string& error);
  std::unique_ptr<Ahead> ahead_;
  std::unique_ptr<char[]> whole_;  // not zero-filled first: it is written whole
  size_t wholeSize_ = 0;
  size_t wholePos_ = 0;
  bool inMemory_ = false;
  zip_file_t* file_;
  const std::string& part_;
  const OoxmlLimits& limits_;
  uint64_t compressed_;
  uint64_t total_ = 0;
};

class FastXml {
 public:
  enum class Result { Ok, Error, NeedExpat };
  FastXml(SaxHandler& handler, const std::string& part, const OoxmlLimits& limits);
  Result run(PartSource& src, std::string& error);
  // After NeedExpat: the bytes read so far, for expat to start from.
  std::string_view buffered() const { return {buf_.data() + beg_, end_ - beg_}; }

 private:
  bool fill(PartSource& src, std::string& error);
  bool text(char* p, size_t len, std::string& error);
  bool startTag(char* tok, size_t len, std::string& error);
  bool endTag(char* tok, size_t len, std::string& error);
  bool stopped(std::string& error);
  std::string malformed() const;

  SaxHandler& handler_;
  const std::string& part_;
  const OoxmlLimits& limits_;
  std::vector<char> buf_;
  size_t beg_ = 0, end_ = 0;
  size_t scan_ = 0;  // how far the current token has been searched
  char quote_ = 0;   // open quote while searching a tag's end
  bool eof_ = false, failed_ = false;
  std::vector<const char*> atts_;
  std::string names_;            // open elements' names, back to back
  std::vector<uint32_t> stack_;  // where each starts in names_
  std::string scratch_;
};

}  // namespace xl::ooxml
