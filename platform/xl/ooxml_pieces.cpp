// See ooxml_pieces.h. The parser's thread reads the part and cuts it; it
// takes every piece that no helper has taken yet itself, in order, so a
// helper never holds it up for more than the piece it is on.
#include "platform/xl/ooxml_pieces.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/xl/book.h"

namespace xl::ooxml {

namespace {

bool isNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.';
}

// Threads that may help with one big part: the cores no other load uses.
unsigned helpersFor(const OoxmlLimits& limits) {
  if (limits.pieceHelpers) return limits.pieceHelpers;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const unsigned busy = std::max(1u, Book::loadsInProgress());
  return cores > busy ? std::min(cores - busy, 7u) : 0;
}

}  // namespace

void PieceShape::clear() {
  closedBefore.clear();
  openAtEnd.clear();
  deepest = 0;
}

void PieceShape::record(const FastXml& piece) {
  closedBefore = piece.closedBefore();
  for (size_t i = 0; i < piece.depth(); ++i) openAtEnd.emplace_back(piece.openName(i));
  deepest = piece.deepestInPiece();
}

bool PieceShape::fits(const FastXml& parser) const {
  const size_t depth = parser.depth();
  const size_t closed = closedBefore.size();
  if (closed >= depth) return false;  // the root stays open
  for (size_t i = 0; i < closed; ++i)
    if (parser.openName(depth - 1 - i) != closedBefore[i]) return false;
  return static_cast<long>(depth) + deepest <= static_cast<long>(parser.limits().maxDepth);
}

void PieceShape::applyTo(FastXml& parser) const {
  for (size_t i = 0; i < closedBefore.size(); ++i) parser.closeInnermost();
  for (const std::string& name : openAtEnd) parser.open(name);
}

bool parseInPieces(Package& pkg, const std::string& part, SaxHandler& handler, PieceWork& work, const Book& book,
                   std::string_view cut, LoadError& error) {
  const OoxmlLimits& limits = pkg.limits();
  const unsigned helpers = limits.fastXml ? helpersFor(limits) : 0;
  if (helpers == 0) return pkg.parse(part, handler, error);
  uint64_t declared = 0;
  std::unique_ptr<PartSource> src = pkg.openPart(part, declared, error);
  if (!src) return false;
  if (declared) handler.partSize(declared);
  if (declared < limits.parallelBytes) return pkg.parseFrom(*src, part, handler, error);
  PieceFeed feed(*src, work, book, cut, limits.pieceBytes, helpers);
  return pkg.parseFrom(feed, part, handler, error);
}

PieceFeed::PieceFeed(XmlInput& src, PieceWork& work, const Book& book, std::string_view cut, size_t pieceBytes,
                     unsigned helpers)
    : src_(src),
      work_(work),
      book_(book),
      cut_(cut),
      pieceBytes_(std::max<size_t>(pieceBytes, 64)),
      helperCount_(helpers),
      ahead_(static_cast<size_t>(helpers) + 2) {}

PieceFeed::~PieceFeed() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

bool PieceFeed::cancelled(LoadError& error) const {
  if (!book_.cancelled()) return false;
  error = LoadCause::Cancelled;
  return true;
}

// Where the last complete end tag named by cut_ ends ("</row>" or
// "</x:row>"), or 0 when the bytes hold none.
size_t PieceFeed::cutAt(const char* data, size_t size) const {
  const std::string_view v(data, size);
  size_t at = v.rfind(cut_);
  while (at != std::string_view::npos) {
    size_t b = at;
    if (b >= 1 && v[b - 1] == ':') {
      size_t q = b - 1;
      while (q > 0 && isNameByte(v[q - 1])) --q;
      b = q;
    }
    if (b >= 2 && v[b - 1] == '/' && v[b - 2] == '<') return at + cut_.size();
    if (at == 0) break;
    at = v.rfind(cut_, at - 1);
  }
  return 0;
}

// Reads the next piece from the source (on the parser's thread). Offered
// to the helpers when `offer` and it ends at a cut; the last piece, and one
// without a cut, are the parser's alone. False on a read error.
bool PieceFeed::produce(bool offer, LoadError& error) {
  if (srcEnd_ && carry_.empty()) return true;
  if (cancelled(error)) return false;
  auto piece = std::make_unique<Piece>();
  const size_t cap = carry_.size() + pieceBytes_;
  {
    // The bytes of a piece done before, when they are large enough: memory
    // given back and taken again would be touched afresh every time.
    std::lock_guard lock(mutex_);
    for (auto& [bytes, capacity] : spare_)
      if (capacity >= cap + 1) {
        piece->bytes = std::move(bytes);
        piece->capacity = capacity;
        std::swap(bytes, spare_.back().first);
        std::swap(capacity, spare_.back().second);
        spare_.pop_back();
        break;
      }
  }
  if (!piece->bytes) {
    piece->capacity = cap + 1;
    piece->bytes = std::make_unique_for_overwrite<char[]>(piece->capacity);
  }
  char* d = piece->bytes.get();
  std::memcpy(d, carry_.data(), carry_.size());
  size_t size = carry_.size();
  carry_.clear();
  while (size < cap && !srcEnd_) {
    const int64_t n = src_.read(d + size, cap - size, error);
    if (n < 0) return false;
    if (n == 0) srcEnd_ = true;
    size += static_cast<size_t>(n);
  }
  if (size == 0) return true;
  size_t keep = srcEnd_ ? 0 : cutAt(d, size);
  const bool atCut = keep != 0;
  if (!atCut) keep = size;
  carry_.assign(d + keep, size - keep);
  piece->size = keep;
  piece->state = offer && atCut && helperCount_ > 0 ? State::Queued : State::Main;
  const bool queued = piece->state == State::Queued;
  {
    std::lock_guard lock(mutex_);
    pieces_.push_back(std::move(piece));
  }
  if (queued) {
    if (helpers_.empty())
      for (unsigned i = 0; i < helperCount_; ++i) helpers_.emplace_back([this] { helperLoop(); });
    changed_.notify_all();
  }
  return true;
}

void PieceFeed::popFront(std::unique_lock<std::mutex>& lock) {
  // A helper may still be on it: its bytes must outlive that.
  changed_.wait(lock, [&] { return pieces_.front()->state != State::Parsing; });
  Piece& p = *pieces_.front();
  if (spare_.size() < ahead_) spare_.emplace_back(std::move(p.bytes), p.capacity);
  pieces_.pop_front();
}

// Parses one piece no one has taken, here; false when there is none.
char* PieceFeed::Scratch::get(size_t n) {
  if (capacity < n) {
    bytes.reset();
    bytes = std::make_unique_for_overwrite<char[]>(n);
    capacity = n;
  }
  return bytes.get();
}

bool PieceFeed::parseQueued(std::unique_lock<std::mutex>& lock, Scratch& scratch) {
  Piece* p = nullptr;
  for (auto& q : pieces_)
    if (q->state == State::Queued) {
      p = q.get();
      break;
    }
  if (!p) return false;
  p->state = State::Parsing;
  std::unique_ptr<PieceResult> result;
  if (!spareResults_.empty()) {
    result = std::move(spareResults_.back());
    spareResults_.pop_back();
  }
  lock.unlock();
  bool ok = false;
  if (!book_.cancelled()) {
    try {
      // A copy: the parser may yet read the piece's own bytes.
      char* copy = scratch.get(p->size + 1);
      std::memcpy(copy, p->bytes.get(), p->size);
      copy[p->size] = 0;
      ok = work_.parse(copy, p->size, result);
    } catch (...) {
      ok = false;  // the parser reads the piece itself and meets the cause there
    }
  }
  lock.lock();
  if (ok) {
    p->result = std::move(result);
  } else if (result && spareResults_.size() < ahead_) {
    spareResults_.push_back(std::move(result));
  }
  p->state = State::Parsed;
  changed_.notify_all();
  return true;
}

void PieceFeed::helperLoop() {
  Scratch scratch;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] {
      return stop_ || std::any_of(pieces_.begin(), pieces_.end(),
                                  [](const auto& p) { return p->state == State::Queued; });
    });
    if (stop_) return;
    parseQueued(lock, scratch);
  }
}

int64_t PieceFeed::read(char* buf, size_t n, LoadError& error) {
  if (cancelled(error)) return -1;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (pieces_.empty()) {
      lock.unlock();
      if (!produce(false, error)) return -1;
      lock.lock();
      if (pieces_.empty()) return 0;
      continue;
    }
    Piece& p = *pieces_.front();
    if (p.pos == p.size) {
      popFront(lock);
      continue;
    }
    if (p.pos == 0) {
      ++readInOrder_;
      if (p.state == State::Queued) p.state = State::Main;
    }
    lock.unlock();
    // Only this thread moves pos or drops pieces: the bytes stay put.
    const size_t take = std::min(n, p.size - p.pos);
    std::memcpy(buf, p.bytes.get() + p.pos, take);
    p.pos += take;
    return static_cast<int64_t>(take);
  }
}

bool PieceFeed::atBoundary(FastXml& parser, LoadError& error) {
  if (cancelled(error)) return false;
  std::unique_lock lock(mutex_);
  for (;;) {
    while (!pieces_.empty() && pieces_.front()->pos == pieces_.front()->size) popFront(lock);
    // Pieces for the helpers only once the root is open: until then the
    // part may yet go to expat.
    if (parser.depth() > 0) {
      while (pieces_.size() < ahead_ && !(srcEnd_ && carry_.empty())) {
        lock.unlock();
        const bool ok = produce(true, error);
        lock.lock();
        if (!ok) return false;
      }
    }
    if (pieces_.empty()) return true;
    Piece& p = *pieces_.front();
    if (p.pos != 0) return true;  // inside a piece: the parser reads on
    // Rather than wait for the helper on this piece, take another.
    while (p.state == State::Parsing)
      if (!parseQueued(lock, mainScratch_)) changed_.wait(lock);
    if (p.state != State::Parsed) return true;  // the parser reads it
    std::unique_ptr<PieceResult> result = std::move(p.result);
    p.state = State::Main;
    if (!result) return true;
    lock.unlock();
    const bool used = work_.apply(*result, parser);
    if (cancelled(error)) return false;
    lock.lock();
    if (spareResults_.size() < ahead_) spareResults_.push_back(std::move(result));
    if (!used) return true;
    ++applied_;
    p.pos = p.size;  // passed over
  }
}

}  // namespace xl::ooxml
