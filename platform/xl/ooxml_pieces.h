// One big part parsed on several cores: its inflated bytes are cut into
// pieces at element ends (a sheet's "</row>"), helper threads parse pieces
// ahead into results, and the one parser that reads the part in order
// applies a piece's result where it reaches that piece instead of reading
// its bytes. A piece whose result does not fit the state the parser is in
// there (or that a helper could not parse alone) is simply read by that
// parser, so the outcome is always the one-thread outcome.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/xl/ooxml_xml.h"

namespace xl {
class Book;
}

namespace xl::ooxml {

class PieceResult {
 public:
  virtual ~PieceResult() = default;
};

// The elements a piece read alone closes and leaves open, and how deep it
// goes: where the parser reaches the piece, its result may stand in for
// the bytes only if these fit the parser's open elements.
struct PieceShape {
  std::vector<std::string> closedBefore, openAtEnd;
  long deepest = 0;
  void clear();
  void record(const FastXml& piece);
  // The piece closes elements open in `parser` (never the root) and stays
  // within the depth bound.
  bool fits(const FastXml& parser) const;
  // The parser's open elements as they are after the piece.
  void applyTo(FastXml& parser) const;
};

// What the part's kind supplies: parsing a piece alone, and applying the
// result in order.
class PieceWork {
 public:
  virtual ~PieceWork() = default;
  // On any thread, on a private copy of the piece (size + 1 bytes, may be
  // written to): true with `result` filled, false when the piece cannot be
  // read alone. `result` may hold an earlier piece's result to reuse.
  virtual bool parse(char* data, size_t size, std::unique_ptr<PieceResult>& result) = 0;
  // On the parser's thread, where it reaches the piece: true when the result
  // stood in for the piece's bytes; false leaves them to the parser.
  virtual bool apply(PieceResult& result, FastXml& parser) = 0;
};

class PieceFeed : public XmlInput {
 public:
  // `cut` ends a piece ("row>" for "</row>" with any prefix); `helpers`
  // threads parse pieces beside the caller's.
  PieceFeed(XmlInput& src, PieceWork& work, const Book& book, std::string_view cut, size_t pieceBytes,
            unsigned helpers);
  ~PieceFeed() override;
  PieceFeed(const PieceFeed&) = delete;
  PieceFeed& operator=(const PieceFeed&) = delete;

  int64_t read(char* buf, size_t n, LoadError& error) override;
  bool atBoundary(FastXml& parser, LoadError& error) override;

  // Pieces applied from a helper's result, and read by the parser itself.
  size_t applied() const { return applied_; }
  size_t readInOrder() const { return readInOrder_; }

 private:
  enum class State { Queued, Parsing, Parsed, Main };
  struct Piece {
    std::unique_ptr<char[]> bytes;  // size + 1
    size_t capacity = 0;
    size_t size = 0;
    size_t pos = 0;  // how much the parser has read
    State state = State::Main;
    std::unique_ptr<PieceResult> result;
  };

  bool produce(bool offer, LoadError& error);
  size_t cutAt(const char* data, size_t size) const;
  void popFront(std::unique_lock<std::mutex>& lock);
  // A buffer of a piece's bytes, or of a private copy of them, kept for reuse.
  struct Scratch {
    std::unique_ptr<char[]> bytes;
    size_t capacity = 0;
    char* get(size_t n);
  };
  bool parseQueued(std::unique_lock<std::mutex>& lock, Scratch& scratch);
  void helperLoop();
  bool cancelled(LoadError& error) const;

  XmlInput& src_;
  PieceWork& work_;
  const Book& book_;
  const std::string cut_;
  const size_t pieceBytes_;
  const unsigned helperCount_;
  size_t ahead_;
  std::string carry_;  // bytes read after the last cut
  bool srcEnd_ = false;
  size_t applied_ = 0, readInOrder_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Piece>> pieces_;  // front: the piece the parser is in or reaches next
  bool stop_ = false;
  std::vector<std::thread> helpers_;
  std::vector<std::pair<std::unique_ptr<char[]>, size_t>> spare_;  // bytes of pieces done, with capacity
  Scratch mainScratch_;
  std::vector<std::unique_ptr<PieceResult>> spareResults_;  // applied, kept for their memory
};

// Parses `part` into `handler`. A part of at least limits.parallelBytes is
// read through a PieceFeed cut at `cut` with `work`, when cores are idle.
bool parseInPieces(Package& pkg, const std::string& part, SaxHandler& handler, PieceWork& work, const Book& book,
                   std::string_view cut, LoadError& error);

}  // namespace xl::ooxml
