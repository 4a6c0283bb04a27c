// The cell cache: what the scan read from every workbook a search loaded,
// kept on disk so a later search reads no workbook that has not changed.
//
// One SQLite database (WAL mode, so the window and a command-line search can
// use it at once) in $XDG_CACHE_HOME/quorvane (default ~/.cache/quorvane),
// folder 0700, file 0600. Per workbook file, keyed by its absolute path: the
// file's device, inode, size, modification and status-change times (in
// nanoseconds) and the digest of the library that read it, then either the
// failure text of a load that failed because of the file's content or the
// book in its LZ4-compressed byte form (cached_book.h, cell_codec.h) with a trigram
// summary of its texts beside it (trigram_summary.h). An entry is used only
// while all of these still match, so a file rewritten, replaced or renamed
// over is read again, and so is every file once the library changes.
//
// The cache never decides what a search shows: a cache that is missing,
// unreadable, damaged, of another version or on a full disk is rebuilt or
// passed by, and the search reads the files as it would without it. Writes
// go to a thread of their own in batches; the database is kept under a size
// bound by dropping the least recently used entries.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/xl/load_error.h"
#include "platform/xl/xlapi.h"
#include "search/cache_settings.h"
#include "search/file_stamp.h"
#include "search/trigram_summary.h"

class TextMatcher;

struct sqlite3;
struct sqlite3_stmt;

// The library's identity: a digest of libxl.so as built with this program
// (the statically linked CLI and tests run the same objects).
std::string_view libraryDigest();

struct CellCacheOptions {
  std::string directory;                    // created when missing
  uint64_t maxBytes = kDefaultCacheMaxBytes;  // entries beyond this go, least recently used first
  std::string reader{libraryDigest()};      // entries of another reader are never used
  int64_t touchAfterMs = 600'000;           // a hit last used longer ago is marked used again
  size_t twoPartsFrom = 2048;               // a search of this many files is looked up by two threads
  // Books holding at most this are summarised and compressed on the writer
  // thread; larger ones are summarised by their loader and compressed by the
  // writer while the loader writes them out, so their whole byte form is
  // never held at once.
  uint64_t handOverBytes = 16u << 20;
  // The clock a file's times are compared with, and how a file is stamped
  // (errno in the int when it cannot be): the system's unless replaced.
  std::function<int64_t()> clock;
  std::function<bool(const std::string& path, FileStamp& stamp, int& err)> stat;
};

// The search a cached book is read for: the cells whose text `matcher`
// (the search text `text`'s) finds are marked as the book is decoded
// (sheetStoredCellHits), so the scan passes over the rest; and a book with
// none is answered as one the text cannot occur in: the scan would show
// none of its cells.
struct HitSearch {
  std::string_view text;
  const TextMatcher* matcher = nullptr;
};

class CellCache {
 public:
  // Opens or creates the database; when that is impossible the cache is
  // not usable() and every lookUp() misses.
  explicit CellCache(CellCacheOptions options);
  ~CellCache();  // what flush() did not wait for is dropped
  CellCache(const CellCache&) = delete;
  CellCache& operator=(const CellCache&) = delete;

  bool usable() const { return usable_; }
  // Why the cache is not used, or no longer written, as one line for the
  // user: the folder or database named. Empty while all is well.
  std::string problem() const;
  const std::string& databasePath() const { return path_; }

  // What the cache holds for one file, and what store() needs afterwards.
  struct Lookup {
    enum class Found : uint8_t { Nothing, Book, Failure, NoMatch };
    Found found = Found::Nothing;
    // Book, once read(): a book read through cachedBookApi(). The caller
    // releases it with that table's bookRelease.
    BookHandle book = nullptr;
    std::string failure;  // Failure: the load's error text
    std::string key;
    FileStamp stamp;
    bool stamped = false;
    bool cancelled = false;  // the read was cut short by the cancel flag
    int64_t lookedAtNs = 0;
  };
  // The files of a search, looked up together: one stat each and one read of
  // the database. Failure and NoMatch are complete; a Book's cells are not
  // read yet (read() does, on any thread). Once `cancel` is set the rest are
  // left Nothing.
  std::vector<Lookup> lookUp(const std::vector<std::string>& paths, const TrigramNeedle& needle,
                             const std::atomic<int>* cancel = nullptr);
  // Reads the cells of a Book that lookUp() found. When they cannot be had
  // (the entry changed meanwhile, damage) the lookup becomes Nothing: the
  // file is to be loaded; `cancelled` is set when `cancel` cut the read short.
  // With a search (HitSearch), the book's hits are found as it is read; a
  // book with none becomes NoMatch, its layout never decoded.
  void read(Lookup& lookup, const TrigramNeedle& needle, const std::atomic<int>* cancel = nullptr,
            const HitSearch& hits = {});
  // After a miss: keeps what `api` read into `book` (or the failure text),
  // unless the file changed meanwhile or the failure was not the content's.
  void store(const Lookup& lookup, const XlApi& api, BookHandle book, bool loaded, const std::string& error,
             xl::LoadCause cause);
  // Waits until everything queued has been written (or given up), at most
  // `limit`; what is still queued then is written on while the cache lives.
  void flush(std::chrono::milliseconds limit = std::chrono::milliseconds::max());
  // Ends the read transactions lookups keep open between them; called when a
  // search is done with the cache.
  void endReads();

  struct Stats {
    uint64_t books = 0, failures = 0, noMatch = 0, misses = 0, stored = 0, evicted = 0;
    uint64_t noHits = 0;  // books read whose texts turned out not to hold the search text
    // Files read from their workbook and not kept: changed too recently to
    // trust their times, or the cache could not take them (not writable,
    // damaged, full, another process holding it, the writer behind).
    uint64_t bypassed = 0;
    uint64_t bytesWritten = 0;  // of the entries stored
    uint64_t fillNs = 0;        // the writer's time in its transactions
  };
  Stats stats() const;

  // One connection to the database with its prepared statements (defined
  // where it is used).
  struct Connection;

 private:
  struct Stream;
  struct StreamEnd;
  struct Op;

  void openDatabase();
  int setUp(sqlite3* db);
  std::unique_ptr<Connection> takeReader();
  void giveBack(std::unique_ptr<Connection> c);
  // Entries of files under the folder of `paths` (a search's files) that
  // are no longer there are dropped, by the writer.
  void forgetMissing(const std::vector<std::string>& paths);
  bool beginRead(Connection& c);
  struct Cells {
    int64_t id = 0;
    uint64_t raw = 0;
  };
  // Fills `out` from an entry's row when the entry is the file's; true when
  // its cells are to be read (`readCells`), with `cells` saying where.
  bool fromRow(sqlite3_stmt* st, Lookup& out, const TrigramNeedle& needle, bool readCells,
               std::vector<int64_t>& touch, Cells& cells);
  // Every entry with a path in [from, to) in one pass: fills the lookups of
  // `out` (`index`: their keys) and gives the entries of other files there
  // that are gone in `stale`. False when the pass was not complete (too many
  // other entries, a stop, an error).
  bool scanFolder(Connection& c, const std::string& from, const std::string& to,
                  const std::unordered_map<std::string_view, size_t>& index, std::vector<Lookup>& out,
                  const TrigramNeedle& needle, const std::atomic<int>* cancel, std::vector<int64_t>& touch,
                  std::vector<std::string>& stale);
  void dropLater(std::vector<std::string>& keys);
  // Fills `out` from its entry; with `readCells` a Book's cells are read too.
  // `touch` gets the entry when its last use is to be renewed. False when the
  // database could not be asked.
  bool resolve(Connection& c, Lookup& out, const TrigramNeedle& needle, bool readCells,
               const std::atomic<int>* cancel, std::vector<int64_t>& touch, const HitSearch& hits = {});
  bool readBook(Connection& c, int64_t id, uint64_t rawSize, Lookup& out, const std::atomic<int>* cancel,
                const HitSearch& hits);
  void count(const Lookup& lookup, int sign);  // with statsMutex_ held
  void touchLater(std::vector<int64_t>& ids);
  // Who summarises and compresses a loaded book's byte form: the writer
  // thread from the whole form, the writer while the loader gives it piece
  // by piece (a large book), or the loader itself (the writer is behind).
  enum class Handing : uint8_t { Whole, Piecewise, Loader };
  Handing handing(const XlApi& api, BookHandle book);
  // On the writer thread: the summary and compression of a handed-over form.
  bool prepare(Op& op);
  // On the writer thread: compresses a large book's form as its loader gives it.
  bool takeStream(Op& op);
  // Whether a compressed entry may be kept: its sizes within what the
  // database and the cache's limit take.
  bool fits(const Op& op) const;
  bool enqueue(Op op);  // false when it was not taken
  // store() but for its count: true when the entry went to the writer.
  bool keep(const Lookup& lookup, const XlApi& api, BookHandle book, bool loaded, const std::string& error);
  void writerLoop();
  bool apply(const Op& op);
  void evict(uint64_t added);  // `added`: bytes of the entries the last batch wrote
  void broken();
  void bypass(uint64_t files);
  void noteProblem(std::string problem);  // the first is what problem() says
  bool stampFile(const std::string& path, FileStamp& stamp, int& err) const;
  bool checkFolder();

  CellCacheOptions options_;
  std::string path_;
  bool usable_ = false;
  bool writable_ = false;
  std::atomic<bool> failed_{false};   // damaged or unwritable since it was opened
  std::atomic<bool> rebuild_{false};  // damaged: removed when closed, made anew next time
  // Another process held the write lock too long: this run's entries are not kept.
  std::atomic<bool> gaveUp_{false};
  mutable std::mutex problemMutex_;
  std::string problem_;

  std::mutex readersMutex_;
  std::vector<std::unique_ptr<Connection>> readers_;

  std::mutex queueMutex_;
  std::condition_variable queueChanged_;
  std::deque<Op> queue_;
  uint64_t queuedBytes_ = 0;
  bool writing_ = false;
  bool flushWanted_ = false;
  bool streamQueued_ = false;  // a loader is giving the writer a form now
  std::atomic<bool> closing_{false};
  std::unique_ptr<Connection> writer_;
  // The writer thread's idea of the entries' total size, between exact sums.
  uint64_t sizeEstimate_ = 0;
  bool sizeKnown_ = false;
  int batchesSinceSum_ = 0;
  std::thread writerThread_;

  mutable std::mutex statsMutex_;
  Stats stats_;
};

// The cache a search uses, from the environment (cache_settings.h): none
// when QUORVANE_CACHE turns it off or it cannot be opened. `notices`, when
// given, gets a line for each setting not taken and one when the cache
// cannot be used; the window passes none and stays quiet.
std::unique_ptr<CellCache> openCellCacheFromEnvironment(std::vector<std::string>* notices = nullptr);
// Empties the cache in `directory` inside its database, under its write
// lock, so searches using it meanwhile go on with a whole database. False,
// with a line in `problem`, when it could not be emptied.
bool clearCellCache(const std::string& directory, std::string* problem = nullptr);
// Whether a failed load says something about the file's content (kept in
// the cache) rather than about this moment (no permission, an I/O error, a
// vanished file, too little memory, a stop: tried again next time).
bool isContentFailure(xl::LoadCause cause);
