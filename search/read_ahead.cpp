#include "search/read_ahead.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

#include "platform/xl/ascii.h"
#include "search/cached_book.h"
#include "search/cell_cache.h"
#include "search/text_match.h"
#include "search/thread_priority.h"

namespace {

// A book that held more than this is released rather than kept for reuse:
// until it is loaded again its old cells would stay in memory uncounted.
constexpr uint64_t kKeepBookBytes = 16u << 20;

// What a workbook takes in memory per byte of its file, before it is loaded:
// zipped XML inflates to many times its size; a .xls is stored uncompressed.
constexpr uint64_t kZipFactor = 6;
constexpr uint64_t kPlainFactor = 2;
constexpr uint64_t kMinBookBytes = 64u << 10;

bool looksZipped(const std::string& path) {
  // The extension only steers the estimate; the load itself looks at the content.
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string ext = xl::foldedAscii(std::string_view(path).substr(dot + 1));
  return ext.size() > 3;  // .xlsx .xlsm .xlsb: the walk's pattern takes only xls*
}

// A short literal: its std::string fits the small-string buffer, so setting
// it cannot itself run out of memory.
constexpr const char* kOutOfMemoryText = "内存不足";

}  // namespace

unsigned defaultLoaderCount() {
  if (const char* env = std::getenv("QUORVANE_LOADERS")) {
    char* end = nullptr;
    long n = std::strtol(env, &end, 10);
    if (end != env && *end == '\0' && n >= 1) return static_cast<unsigned>(std::min(n, 64L));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

ReadAheadSource::ReadAheadSource(const XlApi& api, const std::atomic<int>& stop, ReadAheadLimits limits)
    : api_(api), stop_(stop), limits_(limits) {
  loaderCount_ = limits_.loaders ? limits_.loaders : defaultLoaderCount();
  if (limits_.maxAhead == 0) limits_.maxAhead = 2 * static_cast<size_t>(loaderCount_);
}

ReadAheadSource::~ReadAheadSource() {
  stopLoaders();
  if (cache_) cache_->endReads();
  std::lock_guard lock(mutex_);
  releaseCurrent();
  for (Slot& s : slots_)
    if (s.book) (s.reader ? s.reader : &api_)->bookRelease(s.book);
  for (BookHandle b : freeBooks_) api_.bookRelease(b);
  if (unplannedBook_) api_.bookRelease(unplannedBook_);
}

void ReadAheadSource::stopLoaders() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : loaders_) t.join();
  loaders_.clear();
}

void ReadAheadSource::plan(const std::vector<std::string>& paths) {
  stopLoaders();
  std::lock_guard lock(mutex_);
  releaseCurrent();
  for (Slot& s : slots_)
    if (s.book) recycle(s.book, s.state == State::Ready ? s.bytes : 0, s.reader);
  held_ = 0;
  paths_ = paths;
  slots_.assign(paths_.size(), Slot{});
  fileBytes_.assign(paths_.size(), 0);
  lookups_.clear();
  if (cache_) {
    // One stat per file serves the cache's key and the memory estimate.
    lookups_ = cache_->lookUp(paths_, *needle_, &stop_);
    for (size_t i = 0; i < paths_.size(); ++i) {
      const CellCache::Lookup& l = lookups_[i];
      if (l.stamped && l.stamp.size > 0) fileBytes_[i] = static_cast<uint64_t>(l.stamp.size);
      slots_[i].work = l.found != CellCache::Lookup::Found::Failure && l.found != CellCache::Lookup::Found::NoMatch;
    }
  } else {
    for (size_t i = 0; i < paths_.size(); ++i) {
      struct stat st {};
      if (::stat(paths_[i].c_str(), &st) == 0 && st.st_size > 0) fileBytes_[i] = static_cast<uint64_t>(st.st_size);
    }
  }
  work_.clear();
  for (size_t i = 0; i < paths_.size(); ++i)
    if (slots_[i].work) work_.push_back(i);
  nextWork_ = nextToTake_ = workPassed_ = 0;
  loading_ = 0;
  cancelled_ = false;
  planned_ = true;
  const unsigned n = static_cast<unsigned>(std::min<size_t>(loaderCount_, work_.size()));
  for (unsigned i = 0; i < n; ++i) loaders_.emplace_back([this] { loaderLoop(); });
}

uint64_t ReadAheadSource::estimate(size_t index) const {
  // Even an empty file costs a book's buffers while it is read.
  return std::max<uint64_t>(kMinBookBytes, fileBytes_[index] * (looksZipped(paths_[index]) ? kZipFactor : kPlainFactor));
}

uint64_t ReadAheadSource::bytesOf(BookHandle book, const XlApi* reader, size_t index) const {
  if (reader->bookMemoryBytes && book) return static_cast<uint64_t>(std::max(0LL, reader->bookMemoryBytes(book)));
  return estimate(index);
}

void ReadAheadSource::passed(size_t index) {
  ++nextToTake_;
  if (slots_[index].work) ++workPassed_;
}

bool ReadAheadSource::mayStart(size_t index) const {
  if (cancelled_ || index >= paths_.size()) return false;
  if (index < nextToTake_) return true;  // skipped already: the loader passes over it
  // The file the scan waits for is always read, even after a stop request,
  // so the scan is never left waiting for it.
  const bool wanted = index == nextToTake_;
  if (!wanted && stop_.load(std::memory_order_relaxed) != 0) return false;
  // Files the cache answered take no loader and hold no memory: only the
  // loaders' books count as read ahead.
  if (nextWork_ - workPassed_ >= limits_.maxAhead) return false;
  // With nothing else held any file may be read, however large; otherwise it
  // must fit the budget beside what is held, so two huge workbooks are never
  // in memory at once.
  return held_ == 0 || held_ + estimate(index) <= limits_.memoryBudget;
}

BookHandle ReadAheadSource::takeFreeBook() {
  if (!freeBooks_.empty()) {
    BookHandle b = freeBooks_.back();
    freeBooks_.pop_back();
    return b;
  }
  return newBook();
}

BookHandle ReadAheadSource::newBook() {
  BookHandle book = api_.createXMLBook ? api_.createXMLBook() : nullptr;
  // A stop cancels the loads in progress: the scan wants none of them then.
  setCancelFlag(api_, book, stop_);
  return book;
}

void ReadAheadSource::recycle(BookHandle book, uint64_t bytes, const XlApi* reader) {
  held_ -= std::min(held_, bytes);
  if (!book) return;
  if (reader && reader != &api_) {  // a cached book is not reused
    reader->bookRelease(book);
    return;
  }
  const uint64_t now = api_.bookMemoryBytes ? static_cast<uint64_t>(std::max(0LL, api_.bookMemoryBytes(book))) : bytes;
  if (now > kKeepBookBytes || freeBooks_.size() > loaderCount_ + limits_.maxAhead)
    api_.bookRelease(book);
  else
    freeBooks_.push_back(book);
}

void ReadAheadSource::releaseCurrent() {
  if (!current_) return;
  recycle(current_, currentBytes_, currentReader_);
  current_ = nullptr;
  currentReader_ = nullptr;
  // Only memory given back can let a loader start; waking the loaders for
  // nothing would cost more than a cached file's whole scan.
  if (currentBytes_ > 0) changed_.notify_all();
  currentBytes_ = 0;
}

void ReadAheadSource::loaderLoop() {
  if (limits_.loaderNice > 0) lowerThisThread(limits_.loaderNice);
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return cancelled_ || nextWork_ >= work_.size() || mayStart(work_[nextWork_]); });
    if (cancelled_ || nextWork_ >= work_.size()) return;
    const size_t index = work_[nextWork_++];
    Slot& slot = slots_[index];
    if (slot.state == State::Dropped) continue;  // skipped before it was reached
    slot.state = State::Loading;
    slot.bytes = estimate(index);
    held_ += slot.bytes;
    ++loading_;
    peakBytes_ = std::max(peakBytes_, held_);
    peakAhead_ = std::max(peakAhead_, nextWork_ - workPassed_);
    // A book the cache holds needs no library book (nor the library: the
    // command line loads it only for a book to be made).
    const bool cached = index < lookups_.size() && lookups_[index].found == CellCache::Lookup::Found::Book;
    BookHandle book = cached ? nullptr : takeFreeBook();
    const std::string path = paths_[index];
    lock.unlock();

    Loaded got{book, &api_, false, {}};
    try {
      got = loadFile(index, path, book);
    } catch (const std::bad_alloc&) {
      // The library keeps its own failures inside; this is the pool's or
      // the cache's. The file becomes a failure row, the loader goes on.
      got = Loaded{book, &api_, false, kOutOfMemoryText};
    }
    const uint64_t actual = got.book ? bytesOf(got.book, got.reader, index) : 0;

    lock.lock();
    --loading_;
    held_ = held_ - std::min(held_, slot.bytes) + actual;
    slot.bytes = actual;
    peakBytes_ = std::max(peakBytes_, held_);
    if (got.book != book) recycle(book, 0);  // served from the cache: the library's book goes back unused
    if (slot.state == State::Dropped) {
      recycle(got.book, actual, got.reader);
    } else {
      slot.book = got.book;
      slot.reader = got.reader;
      slot.loaded = got.loaded;
      slot.error = std::move(got.error);
      slot.state = State::Ready;
    }
    changed_.notify_all();
  }
}

void ReadAheadSource::useCache(CellCache* cache, std::string_view searchText) {
  cache_ = cache;
  needle_ = cache ? std::make_unique<TrigramNeedle>(searchText) : nullptr;
  searchText_.assign(searchText);
  matcher_ = cache ? std::make_unique<TextMatcher>(searchText) : nullptr;
}

const XlApi* ReadAheadSource::bookApi() const {
  std::lock_guard lock(mutex_);
  return currentReader_ == &api_ ? nullptr : currentReader_;
}

namespace {

xl::LoadCause causeOf(const XlApi& api, BookHandle book) {
  return xl::causeFromNumber(api.bookErrorCause && book ? api.bookErrorCause(book) : 0);
}

}  // namespace

ReadAheadSource::Loaded ReadAheadSource::loadFile(size_t index, const std::string& path, BookHandle& book) {
  Loaded out{book, &api_, false, {}};
  CellCache::Lookup* cached = index < lookups_.size() ? &lookups_[index] : nullptr;
  if (cached && cached->found == CellCache::Lookup::Found::Book) {
    cache_->read(*cached, *needle_, &stop_, {searchText_, matcher_.get()});
    if (cached->found == CellCache::Lookup::Found::NoMatch) {
      // None of its texts holds the search text: an empty book scans the same.
      cached->book = toHandle(new CachedBook);
    }
    if (cached->book) {
      out.book = std::exchange(cached->book, nullptr);
      out.reader = &cachedBookApi();
      out.loaded = true;
      return out;
    }
    // A read cut short by a stop ends as a load the stop cancels: the scan
    // drops the file. Otherwise it was not to be had after all: loaded below.
    if (cached->cancelled) return out;
    if (!book) out.book = book = newBook();
  }
  if (!book) {
    out.error = "无法创建工作簿";
    return out;
  }
  const int result = api_.bookLoad(book, path.c_str());
  if (result == 1) {
    out.loaded = true;
  } else {
    const char* message = api_.bookErrorMessage(book);
    out.error = message ? message : "";
  }
  // A cancelled load says nothing about the file.
  if (cached && result != XL_LOAD_CANCELLED)
    cache_->store(*cached, api_, book, out.loaded, out.error, out.loaded ? xl::LoadCause::None : causeOf(api_, book));
  return out;
}

BookHandle ReadAheadSource::takeAnswered(size_t index, std::string& error) {
  Slot& slot = slots_[index];
  slot.state = State::Taken;
  passed(index);
  CellCache::Lookup& l = lookups_[index];
  if (l.found == CellCache::Lookup::Found::Failure) {
    error = std::move(l.failure);
    return nullptr;
  }
  // The search text occurs in none of its texts: an empty book scans the same.
  CachedBook* empty = new (std::nothrow) CachedBook;
  if (!empty) {
    error = kOutOfMemoryText;
    return nullptr;
  }
  current_ = toHandle(empty);
  currentReader_ = &cachedBookApi();
  currentBytes_ = 0;
  return current_;
}

BookHandle ReadAheadSource::loadUnplanned(const std::string& path, std::string& error) {
  if (!unplannedBook_) unplannedBook_ = newBook();
  ScanBookSource plain(api_, unplannedBook_);
  return plain.load(path, error);
}

BookHandle ReadAheadSource::load(const std::string& path, std::string& error) {
  std::unique_lock lock(mutex_);
  releaseCurrent();
  if (!planned_ || nextToTake_ >= paths_.size() || paths_[nextToTake_] != path) {
    lock.unlock();
    return loadUnplanned(path, error);
  }
  const size_t index = nextToTake_;
  Slot& slot = slots_[index];
  if (!slot.work) return takeAnswered(index, error);
  if (cancelled_ && slot.state != State::Ready && slot.state != State::Loading) {
    // The loaders are gone: read it here.
    slot.state = State::Taken;
    passed(index);
    lock.unlock();
    return loadUnplanned(path, error);
  }
  changed_.wait(lock, [&] { return slot.state == State::Ready; });
  slot.state = State::Taken;
  passed(index);
  BookHandle book = slot.book;
  slot.book = nullptr;
  changed_.notify_all();
  if (!slot.loaded) {
    error = std::move(slot.error);
    recycle(book, slot.bytes, slot.reader);
    return nullptr;
  }
  current_ = book;
  currentReader_ = slot.reader;
  currentBytes_ = slot.bytes;
  return book;
}

void ReadAheadSource::skip(const std::string& path) {
  std::lock_guard lock(mutex_);
  releaseCurrent();
  if (!planned_ || nextToTake_ >= paths_.size() || paths_[nextToTake_] != path) return;
  // After a stop request whatever was read ahead is of no more use: the scan
  // loads nothing more, so the loaders end and their books go back.
  const bool stopped = stop_.load(std::memory_order_relaxed) != 0;
  auto drop = [&](size_t i) {
    Slot& s = slots_[i];
    if (s.state == State::Ready) {
      recycle(s.book, s.bytes, s.reader);
      s.book = nullptr;
    }
    if (s.state != State::Taken) s.state = State::Dropped;  // a loading book goes back when done
  };
  drop(nextToTake_);
  // The files the loaders started beyond it: work_ from the first one the
  // scan is not past.
  if (stopped)
    for (size_t w = workPassed_; w < nextWork_; ++w) drop(work_[w]);
  passed(nextToTake_);
  if (stopped) cancelled_ = true;
  changed_.notify_all();
}

uint64_t ReadAheadSource::peakBytes() const {
  std::lock_guard lock(mutex_);
  return peakBytes_;
}

size_t ReadAheadSource::peakAhead() const {
  std::lock_guard lock(mutex_);
  return peakAhead_;
}
