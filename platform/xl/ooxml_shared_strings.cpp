// The shared-string table: each item stored once in the book's arena, cells
// refer to it by index.
#include <algorithm>

#include "platform/xl/ooxml_internal.h"

namespace xl::ooxml {

namespace {

class SstHandler : public SaxHandler {
 public:
  SstHandler(const std::string& part, Book& book, SharedStrings& sst) : part_(part), book_(book), sst_(sst) {}

  void start(const char* name, const char** atts) override {
    if (!inItem_) {
      if (eq(name, "si")) {
        inItem_ = true;
        buf_.clear();
      } else if (eq(name, "sst")) {
        // The count is a hint only: it may lie, so it bounds the reservation.
        for (int i = 0; atts[i]; i += 2) {
          if (eq(localName(atts[i]), "uniqueCount")) {
            uint64_t n = 0;
            if (parseUint(atts[i + 1], n)) sst_.items.reserve(static_cast<size_t>(std::min<uint64_t>(n, 1u << 16)));
          }
        }
      }
      return;
    }
    if (eq(name, "rPh")) {
      ++phonetic_;  // reading aids above the text, not part of it
    } else if (eq(name, "t") && phonetic_ == 0) {
      collecting_ = true;
      runStart_ = buf_.size();
    }
  }

  void end(const char* name) override {
    if (!inItem_) return;
    if (eq(name, "t")) {
      if (collecting_) decodeEscapes(buf_, runStart_);
      collecting_ = false;
    } else if (eq(name, "rPh")) {
      if (phonetic_ > 0) --phonetic_;
    } else if (eq(name, "si")) {
      inItem_ = false;
      phonetic_ = 0;
      collecting_ = false;
      addItem(buf_);
    }
  }

  bool wantsItems() const override { return !inItem_; }
  void item(std::string_view text) override {
    // Straight from the tokenizer's bytes unless an _xHHHH_ escape needs decoding.
    if (text.find("_x") == std::string_view::npos) {
      addItem(text);
      return;
    }
    buf_.assign(text);
    decodeEscapes(buf_);
    addItem(buf_);
  }

  void text(const char* s, int len) override {
    if (!collecting_) return;
    if (buf_.size() + static_cast<size_t>(len) > kMaxTextBytes) {
      fail({LoadCause::TooLargePartText, part_});
      return;
    }
    buf_.append(s, static_cast<size_t>(len));
  }

 private:
  void addItem(std::string_view text) {
    if ((sst_.items.size() & kCancelPollCells) == 0 && book_.cancelled()) {
      fail(LoadCause::Cancelled);
      return;
    }
    if (sst_.items.size() >= kMaxSharedStrings) {
      fail({LoadCause::TooLargePartStrings, part_});
      return;
    }
    uint32_t off = Book::kEmptyText, len = 0;
    if (!text.empty() && !book_.addCellText(text, off, len)) {
      fail(LoadCause::TooLargeCellText);
      return;
    }
    sst_.items.emplace_back(off, len);
  }

  const std::string& part_;
  Book& book_;
  SharedStrings& sst_;
  std::string buf_;
  size_t runStart_ = 0;
  int phonetic_ = 0;
  bool inItem_ = false;
  bool collecting_ = false;
};

}  // namespace

bool readSharedStrings(Package& pkg, const std::string& part, Book& book, SharedStrings& sst,
                       LoadError& error) {
  SstHandler handler(part, book, sst);
  return pkg.parse(part, handler, error);
}

}  // namespace xl::ooxml
