// The shared-string table: each item stored once in the book's arena, cells
// refer to it by index. A big table is cut at item ends ("</si>") and read
// on the idle cores too, like a big sheet (ooxml_pieces).
#include <algorithm>
#include <new>

#include "platform/xl/ooxml_internal.h"
#include "platform/xl/ooxml_pieces.h"

namespace xl::ooxml {

namespace {

// What a piece of the table read alone leaves: its items' texts back to
// back, each NUL-terminated, and each item's length (0: the empty text,
// which takes no bytes).
struct SstPiece : PieceResult {
  std::string texts;
  std::vector<uint32_t> lengths;
  PieceShape shape;
  void clear() {
    texts.clear();
    lengths.clear();
    shape.clear();
  }
};

class SstHandler : public SaxHandler {
 public:
  SstHandler(const std::string& part, Book& book, SharedStrings& sst) : part_(part), book_(book), sst_(sst) {}
  // A piece cut after an item end: it starts between two items.
  SstHandler(const std::string& part, Book& book, SharedStrings& sst, SstPiece& piece)
      : SstHandler(part, book, sst) {
    piece_ = &piece;
  }

  bool betweenItems() const { return !inItem_ && !failed(); }

  void partSize(uint64_t bytes) override { partBytes_ = bytes; }

  void start(const char* name, const char** atts) override {
    if (!inItem_) {
      if (eq(name, "si")) {
        inItem_ = true;
        buf_.clear();
      } else if (!piece_ && eq(name, "sst")) {
        // The count is a hint only: it may lie, so what the part can hold
        // bounds the reservation. Reserving it whole spares a big table the
        // copies of growing, which can leave tens of megabytes behind in
        // the allocator.
        for (int i = 0; atts[i]; i += 2) {
          if (eq(localName(atts[i]), "uniqueCount")) {
            uint64_t n = 0;
            if (parseUint(atts[i + 1], n)) reserve(std::min(n, std::max<uint64_t>(partBytes_ / kItemBytes, 1u << 16)));
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
    if (piece_) {
      // The bounds on the count and the arena are checked where the piece
      // is applied; a cancel between pieces.
      piece_->lengths.push_back(static_cast<uint32_t>(text.size()));
      if (!text.empty()) {
        piece_->texts.append(text);
        piece_->texts.push_back('\0');
      }
      return;
    }
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
  SstPiece* piece_ = nullptr;
  uint64_t partBytes_ = 0;
  // Fewer bytes than a real item takes ("<si><t>x</t></si>").
  static constexpr uint64_t kItemBytes = 16;
  void reserve(uint64_t n) {
    try {
      sst_.items.reserve(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
      // Growing as items come is still possible.
    }
  }
  std::string buf_;
  size_t runStart_ = 0;
  int phonetic_ = 0;
  bool inItem_ = false;
  bool collecting_ = false;
};

class SstPieces : public PieceWork {
 public:
  SstPieces(const std::string& part, Book& book, SharedStrings& sst, SstHandler& main, const OoxmlLimits& limits)
      : part_(part), book_(book), sst_(sst), main_(main), limits_(limits) {}

  bool parse(char* data, size_t size, std::unique_ptr<PieceResult>& result) override {
    if (!result) result = std::make_unique<SstPiece>();
    auto& piece = static_cast<SstPiece&>(*result);
    piece.clear();
    SstHandler handler(part_, book_, sst_, piece);
    FastXml xml(handler, part_, limits_);
    LoadError error;
    if (!xml.runPiece(data, size, error) || !handler.betweenItems()) return false;
    piece.shape.record(xml);
    return true;
  }

  // As for a sheet: the piece stands in for its bytes only where reading
  // them would have done the same; a bound it would pass is left to the
  // reading, which reports it.
  bool apply(PieceResult& result, FastXml& parser) override {
    auto& piece = static_cast<SstPiece&>(result);
    if (!main_.betweenItems() || !piece.shape.fits(parser)) return false;
    if (sst_.items.size() + piece.lengths.size() > kMaxSharedStrings) return false;
    uint32_t at = 0;
    if (!piece.texts.empty() && !book_.addTexts(piece.texts, at)) return false;
    for (uint32_t len : piece.lengths) {
      if (len == 0) {
        sst_.items.emplace_back(Book::kEmptyText, 0);
        continue;
      }
      sst_.items.emplace_back(at, len);
      at += len + 1;
    }
    piece.shape.applyTo(parser);
    return true;
  }

 private:
  const std::string& part_;
  Book& book_;
  SharedStrings& sst_;
  SstHandler& main_;
  const OoxmlLimits& limits_;
};

}  // namespace

bool readSharedStrings(Package& pkg, const std::string& part, Book& book, SharedStrings& sst,
                       LoadError& error) {
  SstHandler handler(part, book, sst);
  SstPieces work(part, book, sst, handler, pkg.limits());
  return parseInPieces(pkg, part, handler, work, book, "si>", error);
}

}  // namespace xl::ooxml
