// A workbook source that loads the next files of the walk on a pool of
// loader threads, each into a book of its own, while the scan works on the
// current one. The scan still takes the books strictly in the walk's order,
// so it writes exactly the rows a one-book scan writes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "search/cell_cache.h"
#include "search/text_match.h"
#include "search/trigram_summary.h"
#include "search/workbook_scan.h"

struct ReadAheadLimits {
  unsigned loaders = 0;               // 0: defaultLoaderCount()
  uint64_t memoryBudget = 512u << 20;  // books loaded ahead (and the one scanned), together
  size_t maxAhead = 0;                // books loaded but not yet taken; 0: 2 per loader
  int loaderNice = 0;                 // added to the loaders' nice value (0: as the caller)
};

// One loader per core, at least one; QUORVANE_LOADERS overrides it.
unsigned defaultLoaderCount();

class ReadAheadSource : public WorkbookSource {
 public:
  ReadAheadSource(const XlApi& api, const std::atomic<int>& stop, ReadAheadLimits limits = {});
  ~ReadAheadSource() override;
  ReadAheadSource(const ReadAheadSource&) = delete;
  ReadAheadSource& operator=(const ReadAheadSource&) = delete;

  // The planned files are looked up in `cache` first: a failure it holds, or
  // a workbook `searchText` cannot occur in, is answered without a loader;
  // the loaders read the cells of the other cached workbooks from it, load
  // the rest and keep what they load in it. Before plan(); the cache must
  // outlive this source.
  void useCache(CellCache* cache, std::string_view searchText);

  void plan(const std::vector<std::string>& paths) override;
  BookHandle load(const std::string& path, std::string& error) override;
  void skip(const std::string& path) override;
  const XlApi* bookApi() const override;

  unsigned loaderCount() const { return loaderCount_; }
  // Most bytes ever held at once by books loaded ahead plus the one scanned
  // (estimates for books still loading); for tests and measurements.
  uint64_t peakBytes() const;
  // Most books ever loaded (or loading) ahead of the scan at once.
  size_t peakAhead() const;

 private:
  enum class State : uint8_t { Waiting, Loading, Ready, Dropped, Taken };
  struct Slot {
    State state = State::Waiting;
    BookHandle book = nullptr;
    const XlApi* reader = nullptr;  // reads `book`: the library's or the cache's entry points
    bool loaded = false;
    bool work = true;  // for a loader; else the cache's lookup answered it
    std::string error;
    uint64_t bytes = 0;  // counted in held_ while Loading or Ready
  };

  struct Loaded {
    BookHandle book;
    const XlApi* reader;
    bool loaded;
    std::string error;
  };
  void loaderLoop();
  // File `index`, through the cache when there is one; `book` is the
  // library's book to load into (null: made here when the file must be
  // loaded after all).
  Loaded loadFile(size_t index, const std::string& path, BookHandle& book);
  // The scan's next file when the cache's lookup answered it; with mutex_ held.
  BookHandle takeAnswered(size_t index, std::string& error);
  void passed(size_t index);           // the scan is past file `index`; with mutex_ held
  bool mayStart(size_t index) const;  // with mutex_ held
  uint64_t estimate(size_t index) const;
  uint64_t bytesOf(BookHandle book, const XlApi* reader, size_t index) const;
  BookHandle takeFreeBook();           // with mutex_ held; may create one
  BookHandle newBook();                // its loads are cancelled by a stop
  void recycle(BookHandle book, uint64_t bytes, const XlApi* reader = nullptr);  // with mutex_ held
  void releaseCurrent();               // with mutex_ held
  void stopLoaders();
  BookHandle loadUnplanned(const std::string& path, std::string& error);

  const XlApi& api_;
  const std::atomic<int>& stop_;
  ReadAheadLimits limits_;
  unsigned loaderCount_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> paths_;
  std::vector<uint64_t> fileBytes_;
  std::deque<Slot> slots_;
  std::vector<size_t> work_;  // the files for the loaders, in order
  size_t nextWork_ = 0;       // into work_
  size_t nextToTake_ = 0;
  size_t workPassed_ = 0;     // of work_, the files the scan is past
  size_t loading_ = 0;
  uint64_t held_ = 0;  // bytes of books loading, loaded ahead and being scanned
  uint64_t peakBytes_ = 0;
  size_t peakAhead_ = 0;
  bool cancelled_ = false;
  bool planned_ = false;
  BookHandle current_ = nullptr;  // handed to the scan, valid until its next call
  const XlApi* currentReader_ = nullptr;
  uint64_t currentBytes_ = 0;
  std::vector<BookHandle> freeBooks_;
  BookHandle unplannedBook_ = nullptr;
  std::vector<std::thread> loaders_;
  CellCache* cache_ = nullptr;
  std::unique_ptr<TrigramNeedle> needle_;
  std::string searchText_;
  std::unique_ptr<TextMatcher> matcher_;  // finds the hits of books read from the cache
  std::vector<CellCache::Lookup> lookups_;  // per planned file, with a cache
};
