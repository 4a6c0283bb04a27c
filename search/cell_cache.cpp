#include "search/cell_cache.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <unordered_map>

#include "app/library_deploy.h"
#include "search/cached_book.h"
#include "search/cell_codec.h"
#include "search/thread_priority.h"

namespace {

// The database's own layout and entry codec; a file of another is made anew. The
// byte form of a book has its own version inside each entry.
constexpr int kSchema = 4;
// Marks a database as this program's cache ("QVCC"): another SQLite file at
// its path is never written to. Caches of layouts 1 to 3 were made without.
constexpr int kApplicationId = 0x51564343;
// setUp(): the file at the path is a database of something else.
constexpr int kNotOurs = SQLITE_FORMAT;
constexpr const char* kFilePrefix = "cells-";
constexpr const char* kFileName = "cells-1.sqlite";

constexpr int kReaderBusyMs = 200;  // a lookup that would wait longer is a miss
constexpr int kOpenBusyMs = 5000;  // setting up, clearing: waits for a writer's batch
// A batch that cannot have the write lock this soon (another process's long
// write, a clearing) is not kept, nor the rest of its search's entries: the
// search's end never waits for another process.
constexpr int kWriterBusyMs = 100;
constexpr uint64_t kMaxQueued = 64u << 20;  // books waiting to be written; more are not kept
constexpr uint64_t kMaxRaw = uint64_t{4} << 30;
// A compressed entry past this is not kept (the blob functions take int offsets).
constexpr uint64_t kMaxData = (uint64_t{1} << 31) - 1;
// Compressed bytes read and inflated at a time; a stop is seen between them.
constexpr size_t kReadPiece = 256u << 10;
// A reader's snapshot is renewed after this many lookups or this long, so
// it never keeps the writer from reusing the log for long.
constexpr int kLookupsPerRead = 256;
constexpr int64_t kReadSpanNs = 100'000'000;
constexpr uint64_t kEntryOverhead = 128;  // row, index and page bookkeeping, roughly
// A batch of writes waits this long for more to join it.
constexpr auto kBatchWait = std::chrono::milliseconds(30);
constexpr size_t kBatchOps = 512;
constexpr int kWriterNice = 5;
constexpr uint64_t kHandOverQueue = 8u << 20;  // forms waiting for the writer, at most
// Bytes of a large book's form given to the writer and not yet compressed:
// enough that its loader and the writer never wait for each other for long.
constexpr uint64_t kStreamBytes = 8u << 20;
constexpr auto kStreamPoll = std::chrono::milliseconds(20);
constexpr int kBatchesPerSum = 64;

int64_t nanoseconds(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

int64_t coarseNowNs() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &t);
  return nanoseconds(t);
}

// When an entry was last used, in milliseconds: orders the least recently used first.
int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void stampFrom(const struct stat& st, FileStamp& s) {
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.size = st.st_size;
  s.modifiedNs = nanoseconds(st.st_mtim);
  s.changedNs = nanoseconds(st.st_ctim);
}

bool stampOf(const std::string& path, FileStamp& s, int& err) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    err = errno;
    return false;
  }
  stampFrom(st, s);
  return true;
}

// Stamps many files, most of them side by side in a few folders: each is
// looked at from its folder, opened once, so the kernel does not walk the
// whole path again for every file.
class Stamper {
 public:
  explicit Stamper(const std::function<bool(const std::string&, FileStamp&, int&)>& replaced) : replaced_(replaced) {}
  ~Stamper() {
    if (dir_ >= 0) ::close(dir_);
  }
  bool stamp(const std::string& path, FileStamp& s, int& err) {
    if (replaced_) return replaced_(path, s, err);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return stampOf(path, s, err);
    const std::string_view folder(path.data(), slash);
    if (folder != folder_) {
      if (dir_ >= 0) ::close(dir_);
      folder_.assign(folder);
      dir_ = ::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (dir_ < 0) return stampOf(path, s, err);
    struct stat st {};
    if (::fstatat(dir_, path.c_str() + slash + 1, &st, 0) != 0) {
      err = errno;
      return false;
    }
    stampFrom(st, s);
    return true;
  }

 private:
  const std::function<bool(const std::string&, FileStamp&, int&)>& replaced_;
  std::string folder_;
  int dir_ = -1;
};

// The file an entry's cells belong to, compressed with them and checked when
// they are read: cells left behind by a crash under another entry's row are
// never taken for this file's.
std::string identityOf(const std::string& key, const FileStamp& stamp) {
  std::string out = key;
  for (int64_t v : {static_cast<int64_t>(stamp.device), static_cast<int64_t>(stamp.inode), stamp.size,
                    stamp.modifiedNs, stamp.changedNs})
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
  const auto length = static_cast<uint32_t>(out.size());
  out.append(reinterpret_cast<const char*>(&length), sizeof length);
  return out;
}

// A failure entry's text with a check of it and of its file's identity after
// it: a damaged entry, or one left under another file's row, is never shown.
uint32_t failureCheck(std::string_view text, const std::string& identity) {
  const uint32_t crc = libdeflate_crc32(0, text.data(), text.size());
  return libdeflate_crc32(crc, identity.data(), identity.size());
}

std::string sealFailure(const std::string& text, const std::string& identity) {
  const uint32_t check = failureCheck(text, identity);
  std::string out = text;
  out.append(reinterpret_cast<const char*>(&check), sizeof check);
  return out;
}

// The text of a sealed failure; false when it does not check out.
bool openFailure(std::string_view sealed, const std::string& identity, std::string& text) {
  if (sealed.size() < sizeof(uint32_t)) return false;
  const std::string_view body = sealed.substr(0, sealed.size() - sizeof(uint32_t));
  uint32_t check = 0;
  std::memcpy(&check, sealed.data() + body.size(), sizeof check);
  if (check != failureCheck(body, identity)) return false;
  text.assign(body);
  return true;
}

bool gone(int err) { return err == ENOENT || err == ENOTDIR; }

// Whether the entry at `path` (a database, its -wal or -shm) may be one of
// ours: missing, or a regular file of this user (never a link).
bool isOwnFileOrMissing(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

// The cache folder is used only when it is this user's and nobody else can
// put files in it; one that others can merely read is closed to them.
bool isOwnFolder(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022))
    return false;
  if (st.st_mode & 077) ::chmod(dir.c_str(), 0700);
  return true;
}

// The working folder with a "/" after it; empty when it cannot be had.
std::string currentFolder() {
  char buffer[4096];
  if (!::getcwd(buffer, sizeof buffer)) return {};
  return std::string(buffer) + "/";
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  return currentFolder() + path;
}

bool makeFolders(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeFolders(dir.substr(0, slash))) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Damage and lack of room or rights: the database cannot be written (or
// read) as it is. Anything else (a busy lock) passes.
bool isLasting(int code) {
  switch (code & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_NOMEM:
      return true;
    default:
      return false;
  }
}

bool isDamage(int code) { return (code & 0xFF) == SQLITE_CORRUPT || (code & 0xFF) == SQLITE_NOTADB; }

// A damaged database (or one of an older layout) emptied in place, under
// SQLite's own locks, so other processes that have it open go on with an
// empty file rather than one pulled away from under them. Only when even
// that fails are the files removed.
void resetDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  bool reset = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                               nullptr) == SQLITE_OK;
  if (reset) {
    sqlite3_busy_timeout(db, kOpenBusyMs);
    reset = sqlite3_db_config(db, SQLITE_DBCONFIG_RESET_DATABASE, 1, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_db_config(db, SQLITE_DBCONFIG_RESET_DATABASE, 0, nullptr);
  }
  sqlite3_close_v2(db);
  if (!reset)
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((path + suffix).c_str());
}

// The folder all the lookups' files lie under, with its "/"; empty when
// there is none.
// (Of paths sorted, the first and the last have the fewest bytes in common.)
std::string commonFolder(const std::string& first, const std::string& last) {
  size_t common = 0;
  while (common < first.size() && common < last.size() && first[common] == last[common]) ++common;
  const size_t slash = first.rfind('/', common == 0 ? 0 : common - 1);
  return slash == std::string::npos ? std::string() : first.substr(0, slash + 1);
}

std::string commonFolder(const std::vector<CellCache::Lookup>& lookups) {
  if (lookups.empty()) return {};
  const std::string* a = &lookups.front().key;
  const std::string* b = a;
  for (const CellCache::Lookup& l : lookups) {
    if (l.key < *a) a = &l.key;
    if (*b < l.key) b = &l.key;
  }
  return commonFolder(*a, *b);
}

const char* const kCreate =
    "CREATE TABLE IF NOT EXISTS entries("
    "  id INTEGER PRIMARY KEY, path BLOB NOT NULL UNIQUE,"
    "  device INTEGER, inode INTEGER, size INTEGER, mtime INTEGER, ctime INTEGER, reader TEXT,"
    "  used INTEGER NOT NULL, bytes INTEGER NOT NULL, raw INTEGER NOT NULL,"
    "  failure BLOB, summary BLOB);"
    "CREATE INDEX IF NOT EXISTS entries_used ON entries(used, bytes);"
    "CREATE TABLE IF NOT EXISTS cells(id INTEGER PRIMARY KEY, data BLOB NOT NULL);";

}  // namespace

bool isContentFailure(xl::LoadCause cause) {
  using xl::LoadCause;
  switch (cause) {
    // Outside the file's bytes: its path, rights or type of entry now, the
    // disk, the memory left, a stop.
    case LoadCause::None:
    case LoadCause::Cancelled:
    case LoadCause::OpenDenied:
    case LoadCause::OpenNotFound:
    case LoadCause::OpenPathNotFolder:
    case LoadCause::OpenPathTooLong:
    case LoadCause::OpenLinkLoop:
    case LoadCause::OpenTooManyFiles:
    case LoadCause::OpenNotRegular:
    case LoadCause::OpenErrno:
    case LoadCause::ReadIoError:
    case LoadCause::ReadFailed:
    case LoadCause::ZipReadFailed:
    case LoadCause::ZipNoMemory:
    case LoadCause::PartNoMemory:
    case LoadCause::DecryptNoMemory:
    case LoadCause::DecryptAllocFailed:
    case LoadCause::TooLargeNoMemory:
    case LoadCause::PieceNeedsOrder:
      return false;
    default:
      return true;
  }
}

struct CellCache::Connection {
  sqlite3* db = nullptr;
  EntryDecompressor decompressor;
  std::vector<char> piece;
  std::unordered_map<const char*, sqlite3_stmt*> statements;
  bool reading = false;  // a read transaction is open
  int lookups = 0;
  int64_t readSinceNs = 0;

  ~Connection() {
    for (auto& [sql, st] : statements) sqlite3_finalize(st);
    sqlite3_close_v2(db);
  }
  // A prepared statement for `sql` (a literal: its address is the key), reset.
  sqlite3_stmt* statement(const char* sql) {
    auto [at, added] = statements.try_emplace(sql, nullptr);
    if (added && sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &at->second, nullptr) != SQLITE_OK) {
      statements.erase(at);
      return nullptr;
    }
    sqlite3_reset(at->second);
    sqlite3_clear_bindings(at->second);
    return at->second;
  }
  int run(const char* sql) {
    sqlite3_stmt* st = statement(sql);
    if (!st) return sqlite3_errcode(db) ? sqlite3_extended_errcode(db) : SQLITE_ERROR;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    }
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }
};

// A large book's byte form on its way from its loader to the writer thread,
// in pieces: the loader encodes and summarises while the writer compresses,
// so the book goes on to the scan about when its last piece is given rather
// than after all of it is compressed.
struct CellCache::Stream {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> pieces;
  uint64_t held = 0;     // bytes in `pieces`
  bool ended = false;    // the loader gives no more; `raw` and `summary` are set
  bool failed = false;   // the form cannot be kept
  bool dropped = false;  // the writer takes no more: giving is pointless
  uint64_t raw = 0;
  std::string summary;

  // Waits while the writer is kStreamBytes behind.
  void give(const char* p, size_t n) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return dropped || held < kStreamBytes; });
    if (dropped) return;
    pieces.emplace_back(p, n);
    held += n;
    changed.notify_all();
  }
  void end(bool ok, uint64_t rawBytes, std::string sum) {
    {
      std::lock_guard lock(mutex);
      ended = true;
      failed = !ok;
      raw = rawBytes;
      summary = std::move(sum);
    }
    changed.notify_all();
  }
  void drop() {
    {
      std::lock_guard lock(mutex);
      dropped = true;
      pieces.clear();
      held = 0;
    }
    changed.notify_all();
  }
};

// The writer's end of a stream: whoever holds it last without having taken
// the whole form lets the loader go.
struct CellCache::StreamEnd {
  std::shared_ptr<Stream> stream;
  StreamEnd() = default;
  explicit StreamEnd(std::shared_ptr<Stream> s) : stream(std::move(s)) {}
  StreamEnd(StreamEnd&&) = default;
  StreamEnd& operator=(StreamEnd&&) = default;
  ~StreamEnd() {
    if (stream) stream->drop();
  }
};

struct CellCache::Op {
  enum class Kind : uint8_t { Put, Drop, Touch, Sweep, None } kind = Kind::Put;
  std::string key;  // Sweep: the folder prefix
  FileStamp stamp;
  bool failed = false;
  std::string failure, summary;
  std::vector<std::string> data;  // the compressed byte form, in pieces
  // Or the byte form as it is, its file's identity last (`formBytes` before
  // it): summarised and compressed by the writer thread.
  std::string form;
  size_t formBytes = 0;
  // Or a large book's form, given piece by piece by its loader while the
  // writer compresses it.
  StreamEnd stream;
  uint64_t raw = 0;
  std::vector<int64_t> ids;  // Touch
  // Sweep: the search's files, sorted; Drop: the files to drop besides `key`.
  std::vector<std::string> present;

  uint64_t dataBytes() const {
    uint64_t n = 0;
    for (const std::string& piece : data) n += piece.size();
    return n;
  }
  uint64_t bytes() const {
    return key.size() + failure.size() + summary.size() + dataBytes() + form.size() + kEntryOverhead;
  }
};

CellCache::CellCache(CellCacheOptions options) : options_(std::move(options)) {
  try {
    openDatabase();
  } catch (...) {
    usable_ = writable_ = false;
    writer_.reset();
  }
  if (writable_) writerThread_ = std::thread([this] { writerLoop(); });
}

CellCache::~CellCache() {
  {
    std::lock_guard lock(queueMutex_);
    closing_ = true;
  }
  queueChanged_.notify_all();
  if (writerThread_.joinable()) writerThread_.join();
  writer_.reset();
  readers_.clear();
  // Damage found meanwhile: the next search starts from an empty cache.
  if (rebuild_.load()) resetDatabase(path_);
}

namespace {

// An integer a statement gives in its first row, or -1 with `rc` set.
int64_t queryInt(CellCache::Connection& c, const char* sql, int& rc) {
  sqlite3_stmt* st = c.statement(sql);
  const int step = st ? sqlite3_step(st) : sqlite3_errcode(c.db);
  const int64_t v = step == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
  if (step != SQLITE_ROW) rc = step == SQLITE_DONE ? SQLITE_ERROR : step;
  if (st) sqlite3_reset(st);
  return v;
}

// Whose database `c` is: SQLITE_OK with `version` 0 for an empty file (ours
// to set up) or kSchema for ours; SQLITE_NOTADB for ours of an older layout
// or a damaged file; kNotOurs for another program's database; else the error.
int identify(CellCache::Connection& c, int& version) {
  int rc = SQLITE_OK;
  version = 0;
  const int64_t pages = queryInt(c, "PRAGMA page_count", rc);
  if (rc != SQLITE_OK || pages == 0) return rc;
  const int64_t application = queryInt(c, "PRAGMA application_id", rc);
  version = static_cast<int>(queryInt(c, "PRAGMA user_version", rc));
  if (rc != SQLITE_OK) return rc;
  if (application == kApplicationId) return version == kSchema ? SQLITE_OK : SQLITE_NOTADB;
  // A database with nothing in it yet (SQLite writes its first page as a
  // write transaction begins): ours to set up.
  if (application == 0 && version == 0 && queryInt(c, "SELECT count(*) FROM sqlite_master", rc) == 0) return rc;
  if (application == 0 && version >= 1 && version < kSchema &&
      queryInt(c, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('entries', 'cells')", rc) == 2)
    return SQLITE_NOTADB;
  // Damage in its schema is damage, of a file in the user's own folder.
  return rc == SQLITE_OK ? kNotOurs : rc;
}

}  // namespace

// Readies the database on the writer's connection, creating the tables in a
// new file. Returns SQLITE_OK, or the error; SQLITE_NOTADB also for a file of
// another layout, kNotOurs for a file that is not a cache of this program.
// Nothing is written to a file before it is known to be ours.
int CellCache::setUp(sqlite3* db) {
  Connection c;
  c.db = db;
  sqlite3_busy_timeout(db, kOpenBusyMs);
  int version = 0;
  int rc = identify(c, version);
  if (rc == SQLITE_OK && version == 0) {
    rc = c.run("PRAGMA auto_vacuum=INCREMENTAL");
    // The marks and the tables in one transaction: another process never
    // sees a database of ours without them.
    if (rc == SQLITE_OK) rc = c.run("BEGIN IMMEDIATE");
    if (rc == SQLITE_OK) {
      rc = identify(c, version);  // another process may have made them meanwhile
      if (rc == SQLITE_OK && version == 0) {
        rc = sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
          rc = sqlite3_exec(db,
                            ("PRAGMA application_id=" + std::to_string(kApplicationId) +
                             "; PRAGMA user_version=" + std::to_string(kSchema))
                                .c_str(),
                            nullptr, nullptr, nullptr);
      }
      if (rc == SQLITE_OK) rc = c.run("COMMIT");
      if (rc != SQLITE_OK) c.run("ROLLBACK");
    }
  }
  if (rc == SQLITE_OK) {
    sqlite3_stmt* st = c.statement("PRAGMA journal_mode=WAL");
    const int step = st ? sqlite3_step(st) : sqlite3_errcode(db);
    if (step != SQLITE_ROW)
      rc = step == SQLITE_DONE ? SQLITE_ERROR : step;
    else if (std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal") != 0)
      rc = SQLITE_READONLY;  // the mode could not be changed: not ours to write
    if (st) sqlite3_reset(st);
  }
  // No waiting for the disk: a cache may lose its last writes in a crash of
  // the system. Damage that leaves is found (checksums, the identity inside
  // each entry) and made anew like any other.
  if (rc == SQLITE_OK) rc = c.run("PRAGMA synchronous=OFF");
  if (rc == SQLITE_OK) rc = c.run("PRAGMA journal_size_limit=67108864");
  // Every table must be there and readable.
  if (rc == SQLITE_OK) rc = c.run("SELECT count(*) FROM (SELECT 1 FROM entries LIMIT 1), (SELECT 1 FROM cells LIMIT 1)");
  for (auto& [sql, st] : c.statements) sqlite3_finalize(st);
  c.statements.clear();
  c.db = nullptr;  // the caller keeps the connection
  return rc;
}

void CellCache::openDatabase() {
  if (options_.directory.empty()) return;
  if (!makeFolders(options_.directory)) {
    noteProblem("无法建立缓存文件夹，不使用缓存：" + options_.directory);
    return;
  }
  // Another user's folder, or one others may put files in (a planted
  // database would be read, and would read every cell): never used.
  if (!isOwnFolder(options_.directory)) {
    noteProblem("缓存文件夹不属于当前用户或他人可写，不使用缓存：" + options_.directory);
    return;
  }
  path_ = options_.directory + "/" + kFileName;
  const std::string notOurs = "缓存文件不是本程序的（链接、非普通文件或其他数据库），不使用缓存：" + path_;
  for (int attempt = 0; attempt < 2 && !usable_; ++attempt) {
    // Made here so it is the user's alone from the start, whatever the
    // umask; SQLite gives its -wal and -shm files the same mode. Never
    // through a link, and only a regular file of this user.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat st {};
    const bool own = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
    if (own && (st.st_mode & 077)) ::fchmod(fd, 0600);
    if (fd >= 0) ::close(fd);
    if ((fd >= 0 && !own) || (fd < 0 && errno == ELOOP) || !isOwnFileOrMissing(path_ + "-wal") ||
        !isOwnFileOrMissing(path_ + "-shm")) {
      noteProblem(notOurs);
      return;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
    if (rc == SQLITE_OK) rc = setUp(db);
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(db, kWriterBusyMs);
      writer_ = std::make_unique<Connection>();
      writer_->db = db;
      usable_ = writable_ = true;
      break;
    }
    sqlite3_close_v2(db);
    if (rc == kNotOurs) {
      noteProblem(notOurs);
      return;
    }
    if (isDamage(rc) && fd >= 0) {
      // Damaged, truncated or of an older layout of ours: made anew.
      resetDatabase(path_);
      continue;
    }
    const int kind = rc & 0xFF;
    if (kind != SQLITE_READONLY && kind != SQLITE_CANTOPEN && kind != SQLITE_PERM) {  // busy, full: pass by
      noteProblem("无法打开缓存（" + std::string(sqlite3_errstr(rc)) + "），不使用缓存：" + path_);
      return;
    }
    // Not ours to write: read what is there, if it can be read.
    db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                        nullptr) == SQLITE_OK) {
      Connection probe;
      probe.db = db;
      sqlite3_busy_timeout(db, kReaderBusyMs);
      int version = 0;
      usable_ = identify(probe, version) == SQLITE_OK && version == kSchema &&
                probe.run("SELECT 1 FROM entries LIMIT 1") == SQLITE_OK;
      noteProblem((usable_ ? "缓存只能读取，本次读到的不存入：" : "无法读取缓存，不使用缓存：") + path_);
      return;  // the probe closes its connection
    }
    sqlite3_close_v2(db);
    noteProblem("无法打开缓存，不使用缓存：" + path_);
    return;
  }
  if (!writable_) return;
  // Databases of other layouts in the folder are of no more use.
  if (DIR* d = ::opendir(options_.directory.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string_view name = e->d_name;
      if (name.substr(0, std::strlen(kFilePrefix)) == kFilePrefix &&
          name.substr(0, std::strlen(kFileName)) != kFileName)
        ::unlink((options_.directory + "/" + e->d_name).c_str());
    }
    ::closedir(d);
  }
}

std::unique_ptr<CellCache::Connection> CellCache::takeReader() {
  {
    std::lock_guard lock(readersMutex_);
    if (!readers_.empty()) {
      auto c = std::move(readers_.back());
      readers_.pop_back();
      return c;
    }
  }
  auto c = std::make_unique<Connection>();
  const int flags =
      (writable_ ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(path_.c_str(), &c->db, flags, nullptr) != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(c->db, kReaderBusyMs);
  c->run("PRAGMA query_only=1");
  c->run("PRAGMA cache_size=-1024");
  return c;
}

void CellCache::giveBack(std::unique_ptr<Connection> c) {
  std::lock_guard lock(readersMutex_);
  readers_.push_back(std::move(c));
}

void CellCache::broken() {
  failed_ = true;
  rebuild_ = true;
  noteProblem("缓存已损坏，下次搜索时重建：" + path_);
}

void CellCache::noteProblem(std::string problem) {
  std::lock_guard lock(problemMutex_);
  if (problem_.empty()) problem_ = std::move(problem);
}

std::string CellCache::problem() const {
  std::lock_guard lock(problemMutex_);
  return problem_;
}

void CellCache::bypass(uint64_t files) {
  std::lock_guard lock(statsMutex_);
  stats_.bypassed += files;
}

bool CellCache::stampFile(const std::string& path, FileStamp& stamp, int& err) const {
  if (options_.stat) return options_.stat(path, stamp, err);
  return stampOf(path, stamp, err);
}

bool CellCache::beginRead(Connection& c) {
  // One read transaction serves many lookups: starting and ending one takes
  // file locks, which would cost more than the lookup itself.
  if (c.reading && (++c.lookups > kLookupsPerRead || coarseNowNs() - c.readSinceNs > kReadSpanNs)) {
    c.run("COMMIT");
    c.reading = false;
  }
  if (!c.reading) {
    c.reading = c.run("BEGIN") == SQLITE_OK;
    c.lookups = 0;
    c.readSinceNs = coarseNowNs();
  }
  return c.reading;
}

// The columns fromRow() reads, first in every lookup of entries.
#define ENTRY_COLUMNS "id, device, inode, size, mtime, ctime, reader, used, raw, failure, summary"

bool CellCache::fromRow(sqlite3_stmt* st, Lookup& out, const TrigramNeedle& needle, bool readCells,
                        std::vector<int64_t>& touch, Cells& cells) {
  FileStamp stored;
  stored.device = static_cast<uint64_t>(sqlite3_column_int64(st, 1));
  stored.inode = static_cast<uint64_t>(sqlite3_column_int64(st, 2));
  stored.size = sqlite3_column_int64(st, 3);
  stored.modifiedNs = sqlite3_column_int64(st, 4);
  stored.changedNs = sqlite3_column_int64(st, 5);
  const auto* reader = reinterpret_cast<const char*>(sqlite3_column_text(st, 6));
  if (!(stored == out.stamp) || !reader || options_.reader != reader) return false;
  const int64_t id = sqlite3_column_int64(st, 0);
  if (sqlite3_column_int64(st, 7) + options_.touchAfterMs <= nowMs()) touch.push_back(id);
  if (sqlite3_column_type(st, 9) != SQLITE_NULL) {
    const std::string_view sealed(static_cast<const char*>(sqlite3_column_blob(st, 9)),
                                  static_cast<size_t>(sqlite3_column_bytes(st, 9)));
    if (!openFailure(sealed, identityOf(out.key, out.stamp), out.failure)) {
      out.failure.clear();
      touch.erase(std::remove(touch.begin(), touch.end(), id), touch.end());
      broken();  // damage: the file is read, and the cache made anew
      return false;
    }
    out.found = Lookup::Found::Failure;
  } else if (!needle.mayOccurIn(std::string_view(static_cast<const char*>(sqlite3_column_blob(st, 10)),
                                                  static_cast<size_t>(sqlite3_column_bytes(st, 10))))) {
    out.found = Lookup::Found::NoMatch;
  } else if (!readCells) {
    out.found = Lookup::Found::Book;  // its cells are read later, by read()
  } else {
    cells = {id, static_cast<uint64_t>(sqlite3_column_int64(st, 8))};
    return true;
  }
  return false;
}

bool CellCache::resolve(Connection& c, Lookup& out, const TrigramNeedle& needle, bool readCells,
                        const std::atomic<int>* cancel, std::vector<int64_t>& touch, const HitSearch& hits) {
  sqlite3_stmt* st = c.statement("SELECT " ENTRY_COLUMNS " FROM entries WHERE path = ?1");
  if (!st) return false;
  sqlite3_bind_blob(st, 1, out.key.data(), static_cast<int>(out.key.size()), SQLITE_STATIC);
  const int rc = sqlite3_step(st);
  Cells cells;
  const bool read = rc == SQLITE_ROW && fromRow(st, out, needle, readCells, touch, cells);
  sqlite3_reset(st);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE && isDamage(rc)) broken();
  if (read && !readBook(c, cells.id, cells.raw, out, cancel, hits)) touch.erase(std::remove(touch.begin(), touch.end(), cells.id), touch.end());
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool CellCache::scanFolder(Connection& c, const std::string& from, const std::string& to,
                           const std::unordered_map<std::string_view, size_t>& index, std::vector<Lookup>& out,
                           const TrigramNeedle& needle, const std::atomic<int>* cancel,
                           std::vector<int64_t>& touch, std::vector<std::string>& stale) {
  sqlite3_stmt* st = c.statement("SELECT " ENTRY_COLUMNS ", path FROM entries WHERE path >= ?1 AND path < ?2");
  if (!st) return false;
  sqlite3_bind_blob(st, 1, from.data(), static_cast<int>(from.size()), SQLITE_STATIC);
  sqlite3_bind_blob(st, 2, to.data(), static_cast<int>(to.size()), SQLITE_STATIC);
  // Entries of other files under the folder cost a row each: past a few
  // times the search's own files, looking each up costs less.
  const size_t most = 2 * out.size() + 1024;
  size_t rows = 0;
  int rc;
  Cells unused;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW && ++rows <= most) {
    if (cancel && rows % 256 == 0 && cancel->load(std::memory_order_relaxed) != 0) break;
    const std::string_view path(static_cast<const char*>(sqlite3_column_blob(st, 11)),
                                static_cast<size_t>(sqlite3_column_bytes(st, 11)));
    if (const auto at = index.find(path); at != index.end()) {
      fromRow(st, out[at->second], needle, false, touch, unused);
    } else {
      // Not among this search's files: dropped when its file is gone.
      struct stat s {};
      std::string p(path);
      if (::stat(p.c_str(), &s) != 0 && gone(errno)) stale.push_back(std::move(p));
    }
  }
  sqlite3_reset(st);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE && isDamage(rc)) broken();
  return rc == SQLITE_DONE;
}

void CellCache::count(const Lookup& lookup, int sign) {
  uint64_t* n = nullptr;
  switch (lookup.found) {
    case Lookup::Found::Nothing: n = &stats_.misses; break;
    case Lookup::Found::Book: n = &stats_.books; break;
    case Lookup::Found::Failure: n = &stats_.failures; break;
    case Lookup::Found::NoMatch: n = &stats_.noMatch; break;
  }
  *n += static_cast<uint64_t>(static_cast<int64_t>(sign));
}

void CellCache::dropLater(std::vector<std::string>& keys) {
  if (keys.empty() || !writable_) return;
  Op op;
  op.kind = Op::Kind::Drop;
  op.present = std::move(keys);
  enqueue(std::move(op));
}

void CellCache::touchLater(std::vector<int64_t>& ids) {
  if (ids.empty() || !writable_) return;
  Op op;
  op.kind = Op::Kind::Touch;
  op.ids = std::move(ids);
  enqueue(std::move(op));
}

namespace {

// Runs work(0) here and work(1) beside it on a thread of its own (or after
// it, here, when no thread can be had); work(0) alone for one part.
void inParts(size_t parts, const std::function<void(size_t)>& work) {
  std::thread other;
  if (parts > 1) {
    try {
      other = std::thread(work, 1);
    } catch (...) {
    }
  }
  work(0);
  if (other.joinable())
    other.join();
  else if (parts > 1)
    work(1);
}

}  // namespace

std::vector<CellCache::Lookup> CellCache::lookUp(const std::vector<std::string>& paths, const TrigramNeedle& needle,
                                                 const std::atomic<int>* cancel) {
  std::vector<Lookup> out(paths.size());
  // Before any file is looked at: what is kept must have been settled then.
  const int64_t lookedAt = options_.clock ? options_.clock() : wallClockNs();
  gaveUp_ = false;  // a new run tries the write lock again
  std::string cwd;
  for (size_t i = 0; i < paths.size(); ++i) {
    Lookup& l = out[i];
    l.lookedAtNs = lookedAt;
    if (!paths[i].empty() && paths[i][0] == '/') {
      l.key = paths[i];
    } else {
      if (cwd.empty()) cwd = currentFolder();
      l.key = cwd + paths[i];
    }
  }
  // A search of many files is looked up in two halves at once: the work is
  // the kernel's and the database's, per file, with nothing shared.
  const size_t parts = out.size() >= options_.twoPartsFrom ? 2 : 1;
  std::vector<std::string> vanished[2];
  inParts(parts, [&](size_t part) {
    Stamper stamper(options_.stat);
    for (size_t i = out.size() * part / parts, end = out.size() * (part + 1) / parts; i < end; ++i) {
      // After a stop the scan opens none of them: the rest stay unlooked at.
      if (cancel && i % 256 == 0 && cancel->load(std::memory_order_relaxed) != 0) break;
      int err = 0;
      out[i].stamped = stamper.stamp(out[i].key, out[i].stamp, err);
      if (!out[i].stamped && gone(err)) vanished[part].push_back(out[i].key);
    }
  });
  vanished[0].insert(vanished[0].end(), vanished[1].begin(), vanished[1].end());
  dropLater(vanished[0]);
  if (!usable_ || failed_.load(std::memory_order_relaxed)) return out;

  const std::string folder = commonFolder(out);
  std::unordered_map<std::string_view, size_t> index;
  index.reserve(out.size());
  for (size_t i = 0; i < out.size(); ++i)
    if (out[i].stamped) index.emplace(out[i].key, i);
  // Each part reads its own range of the folder's entries, split at a key
  // of the search's middle file.
  std::string bounds[3] = {folder, parts > 1 ? out[out.size() / 2].key : std::string(), folder};
  if (!folder.empty()) bounds[2].back() = static_cast<char>(folder.back() + 1);  // ends in '/': no overflow
  if (parts == 1) bounds[1] = bounds[2];
  std::vector<int64_t> touch[2];
  std::vector<std::string> stale[2];
  std::unique_ptr<Connection> connections[2];
  bool whole[2] = {false, false};
  inParts(parts, [&](size_t part) {
    try {
      connections[part] = takeReader();
    } catch (...) {
    }
    Connection* c = connections[part].get();
    if (!c) return;
    // A snapshot of its own, taken now.
    if (c->reading) {
      c->run("COMMIT");
      c->reading = false;
    }
    if (folder.empty() || !beginRead(*c)) return;
    whole[part] = scanFolder(*c, bounds[part], bounds[part + 1], index, out, needle, cancel, touch[part], stale[part]);
  });
  const bool stopped = cancel && cancel->load(std::memory_order_relaxed) != 0;
  if (!whole[0] || (parts > 1 && !whole[1])) {
    // One file at a time, and the files gone from the folder found by the writer.
    Connection* c = connections[0] ? connections[0].get() : connections[1].get();
    if (c && !stopped && !failed_.load(std::memory_order_relaxed) && beginRead(*c)) {
      for (Lookup& l : out)
        if (l.stamped && l.found == Lookup::Found::Nothing && !resolve(*c, l, needle, false, nullptr, touch[0]))
          break;
      forgetMissing(paths);
    }
  } else {
    stale[0].insert(stale[0].end(), stale[1].begin(), stale[1].end());
    dropLater(stale[0]);
  }
  for (std::unique_ptr<Connection>& c : connections) {
    if (!c) continue;
    if (c->reading) c->run("COMMIT");
    c->reading = false;
    giveBack(std::move(c));
  }
  touch[0].insert(touch[0].end(), touch[1].begin(), touch[1].end());
  touchLater(touch[0]);
  std::lock_guard lock(statsMutex_);
  for (const Lookup& l : out) count(l, 1);
  return out;
}

void CellCache::read(Lookup& lookup, const TrigramNeedle& needle, const std::atomic<int>* cancel, const HitSearch& hits) {
  if (lookup.found != Lookup::Found::Book || lookup.book) return;
  std::vector<int64_t> touch;
  const Lookup::Found before = lookup.found;
  lookup.found = Lookup::Found::Nothing;
  std::unique_ptr<Connection> c;
  if (usable_ && !failed_.load(std::memory_order_relaxed)) {
    try {
      c = takeReader();
    } catch (...) {
    }
  }
  // Looked up again in this reader's snapshot: the entry may have been
  // replaced since, by this search's writer or another process.
  if (c && beginRead(*c)) resolve(*c, lookup, needle, true, cancel, touch, hits);
  if (c) giveBack(std::move(c));
  if (lookup.found != before) {
    std::lock_guard lock(statsMutex_);
    Lookup was;
    was.found = before;
    count(was, -1);
    // Read and found to hold no hit: not the summary's doing.
    if (lookup.found == Lookup::Found::NoMatch)
      ++stats_.noHits;
    else
      count(lookup, 1);
  }
}

bool CellCache::readBook(Connection& c, int64_t id, uint64_t rawSize, Lookup& out, const std::atomic<int>* cancel,
                         const HitSearch& hits) {
  if (rawSize == 0 || rawSize > kMaxRaw) return false;
  sqlite3_blob* blob = nullptr;
  const int rc = sqlite3_blob_open(c.db, "main", "cells", "data", id, 0, &blob);
  if (rc != SQLITE_OK) {
    if (isDamage(rc)) broken();
    return false;
  }
  const int size = sqlite3_blob_bytes(blob);
  if (size <= 0 || !c.decompressor.begin(rawSize)) {  // no memory for it: read the file instead
    sqlite3_blob_close(blob);
    if (size <= 0) broken();
    return false;
  }
  bool ok = true;
  for (int at = 0; ok && at < size;) {
    // A stop cuts a long read short, as it does a load.
    if (cancel && cancel->load(std::memory_order_relaxed) != 0) {
      sqlite3_blob_close(blob);
      c.decompressor.finish();  // gives back what was read so far
      out.cancelled = true;
      return false;
    }
    const int n = std::min<int>(static_cast<int>(kReadPiece), size - at);
    if (c.piece.size() < static_cast<size_t>(n)) c.piece.resize(static_cast<size_t>(n));
    const int read = sqlite3_blob_read(blob, c.piece.data(), n, at);
    if (read != SQLITE_OK) {
      if (isDamage(read)) broken();
      ok = false;
      break;
    }
    at += n;
    if (!c.decompressor.feed(c.piece.data(), static_cast<size_t>(n))) break;
  }
  sqlite3_blob_close(blob);
  char* bytes = c.decompressor.finish();
  if (!bytes) {
    if (ok) broken();  // a bad frame, checksum or size
    return false;
  }
  if (cancel && cancel->load(std::memory_order_relaxed) != 0) {  // before the layout is decoded
    std::free(bytes);
    out.cancelled = true;
    return false;
  }
  const std::string identity = identityOf(out.key, out.stamp);
  if (rawSize < identity.size() || std::memcmp(bytes + rawSize - identity.size(), identity.data(), identity.size()) != 0) {
    std::free(bytes);
    broken();
    return false;
  }
  std::unique_ptr<CachedBook> book;
  try {
    std::unique_ptr<char, CachedBook::Free> form(bytes);
    std::vector<uint32_t> found;
    if (hits.matcher) {
      if (!findTextHits(form.get(), rawSize - identity.size(), *hits.matcher, found)) {
        broken();
        return false;
      }
      if (found.empty()) {
        out.found = Lookup::Found::NoMatch;
        return true;
      }
    }
    book = decodeBook(form.release(), rawSize - identity.size(), hits.matcher ? &found : nullptr, cancel);
    if (book && hits.matcher) book->hitsOf.assign(hits.text);
  } catch (...) {  // too little memory for it: read the file instead
    return false;
  }
  if (!book && cancel && cancel->load(std::memory_order_relaxed) != 0) {
    out.cancelled = true;  // cut short, or damaged: either way seen again next time
    return false;
  }
  if (!book) {
    broken();
    return false;
  }
  out.found = Lookup::Found::Book;
  out.book = toHandle(book.release());
  return true;
}

CellCache::Handing CellCache::handing(const XlApi& api, BookHandle book) {
  const long long held = api.bookMemoryBytes ? api.bookMemoryBytes(book) : -1;
  if (held < 0) return Handing::Loader;
  if (static_cast<uint64_t>(held) > options_.handOverBytes) return Handing::Piecewise;
  std::lock_guard lock(queueMutex_);
  // A writer behind leaves the work to the loaders, so it is never what the
  // end of a search waits for.
  return queuedBytes_ + static_cast<uint64_t>(held) <= kHandOverQueue ? Handing::Whole : Handing::Loader;
}

bool CellCache::takeStream(Op& op) {
  Stream& s = *op.stream.stream;
  EntryCompressor compressor(op.data);
  compressor.oneBlock(op.raw);  // the book's own size, an upper bound of its form's as a rule
  for (;;) {
    std::string piece;
    {
      std::unique_lock lock(s.mutex);
      while (s.pieces.empty() && !s.ended) {
        if (closing_.load(std::memory_order_relaxed)) return false;
        s.changed.wait_for(lock, kStreamPoll);
      }
      if (s.pieces.empty()) break;
      piece = std::move(s.pieces.front());
      s.pieces.pop_front();
      s.held -= piece.size();
    }
    s.changed.notify_all();
    compressor.add(piece.data(), piece.size());
  }
  if (s.failed) return false;
  op.raw = s.raw;
  op.summary = std::move(s.summary);
  return compressor.finish() && fits(op);
}

bool CellCache::fits(const Op& op) const {
  return op.raw <= kMaxRaw && op.bytes() <= options_.maxBytes && op.dataBytes() <= kMaxData;
}

bool CellCache::prepare(Op& op) {
  if (op.stream.stream) return takeStream(op);
  TrigramSummaryBuilder summary;
  if (!summariseForm(op.form.data(), op.formBytes, summary)) return false;
  op.summary = summary.finish();
  EntryCompressor compressor(op.data);
  const bool compressed = compressor.compressWhole(op.form.data(), op.form.size());
  std::string().swap(op.form);
  return compressed && fits(op);
}

void CellCache::store(const Lookup& lookup, const XlApi& api, BookHandle book, bool loaded,
                      const std::string& error, xl::LoadCause cause) {
  if (!lookup.stamped || (!loaded && !isContentFailure(cause))) return;
  if (!keep(lookup, api, book, loaded, error)) bypass(1);
}

bool CellCache::keep(const Lookup& lookup, const XlApi& api, BookHandle book, bool loaded, const std::string& error) {
  if (!writable_ || failed_.load(std::memory_order_relaxed) || gaveUp_.load(std::memory_order_relaxed)) return false;
  // A file whose times are within their step of the moment it was looked
  // at could be written again without its stamp changing: read again next time.
  if (!isSettled(lookup.stamp, lookup.lookedAtNs)) return false;
  FileStamp after;
  int err = 0;
  if (!stampFile(lookup.key, after, err) || !(after == lookup.stamp)) return false;
  try {
    Op op;
    op.kind = Op::Kind::Put;
    op.key = lookup.key;
    op.stamp = lookup.stamp;
    if (!loaded) {
      op.failed = true;
      op.failure = sealFailure(error, identityOf(op.key, op.stamp));
    } else if (const Handing how = handing(api, book); how == Handing::Whole) {
      // Summarised and compressed by the writer thread, beside the loaders
      // and the scan rather than in their way.
      // The book's own size bounds its form's: one block, never grown by copying.
      op.form.reserve(static_cast<size_t>(api.bookMemoryBytes(book)) + 256);
      op.raw = encodeBook(api, book, [&](const char* p, size_t n) { op.form.append(p, n); }, nullptr);
      if (op.raw == 0) return false;
      op.formBytes = op.form.size();
      op.form += identityOf(op.key, op.stamp);
      op.raw = op.form.size();
    } else if (how == Handing::Loader) {
      EntryCompressor compressor(op.data);
      TrigramSummaryBuilder summary;
      op.raw = encodeBook(api, book, [&](const char* p, size_t n) { compressor.add(p, n); }, &summary);
      op.summary = summary.finish();
      if (op.raw == 0) return false;
      const std::string identity = identityOf(op.key, op.stamp);
      compressor.add(identity.data(), identity.size());
      op.raw += identity.size();
      if (!compressor.finish()) return false;
    } else {
      // Too large to hold its whole form: the writer compresses it while
      // this loader is still encoding and summarising it.
      auto stream = std::make_shared<Stream>();
      op.stream = StreamEnd(stream);
      op.raw = static_cast<uint64_t>(std::max(0LL, api.bookMemoryBytes(book)));
      const std::string identity = identityOf(op.key, op.stamp);
      if (!enqueue(std::move(op))) return false;
      uint64_t raw = 0;
      std::string summarised;
      try {
        TrigramSummaryBuilder summary;
        raw = encodeBook(api, book, [&](const char* p, size_t n) { stream->give(p, n); }, &summary);
        if (raw > 0) {
          stream->give(identity.data(), identity.size());
          summarised = summary.finish();
        }
      } catch (...) {
        raw = 0;
      }
      // Always ended, or the writer would wait for it.
      stream->end(raw > 0, raw + identity.size(), std::move(summarised));
      return true;  // kept or not by the writer
    }
    return fits(op) && enqueue(std::move(op));
  } catch (...) {
    // Too little memory to keep it: the search goes on without.
    return false;
  }
}

void CellCache::forgetMissing(const std::vector<std::string>& paths) {
  if (!writable_ || paths.empty()) return;
  try {
    Op op;
    op.kind = Op::Kind::Sweep;
    op.present.reserve(paths.size());
    for (const std::string& p : paths) op.present.push_back(absolutePath(p));
    std::sort(op.present.begin(), op.present.end());
    op.key = commonFolder(op.present.front(), op.present.back());
    if (!op.key.empty()) enqueue(std::move(op));
  } catch (...) {
  }
}

bool CellCache::enqueue(Op op) {
  bool wake = false;
  {
    std::lock_guard lock(queueMutex_);
    if (closing_ || failed_.load(std::memory_order_relaxed) || gaveUp_.load(std::memory_order_relaxed)) return false;
    const uint64_t bytes = op.kind == Op::Kind::Put ? op.bytes() : 0;
    if (queuedBytes_ + bytes > kMaxQueued) return false;  // the writer is behind: this one is not kept
    queuedBytes_ += bytes;
    // A stream's loader waits for the writer once it is ahead: no batch
    // waits for more to join it.
    const bool stream = op.stream.stream != nullptr;
    streamQueued_ = streamQueued_ || stream;
    queue_.push_back(std::move(op));
    // The writer waits for a first op, then for a batch to fill (or its
    // time to pass): waking it for every op between costs two context
    // switches per workbook.
    wake = stream || queue_.size() == 1 || queue_.size() == kBatchOps;
  }
  if (wake) queueChanged_.notify_all();
  return true;
}

void CellCache::flush(std::chrono::milliseconds limit) {
  std::unique_lock lock(queueMutex_);
  if (!writerThread_.joinable()) return;
  flushWanted_ = true;
  queueChanged_.notify_all();
  const auto done = [&] { return queue_.empty() && !writing_; };
  if (limit == std::chrono::milliseconds::max()) queueChanged_.wait(lock, done);
  else queueChanged_.wait_for(lock, limit, done);
  flushWanted_ = false;
}

void CellCache::writerLoop() {
  // Behind the loaders and the scan: what it does can wait, a search cannot.
  lowerThisThread(kWriterNice);
  for (;;) {
    std::deque<Op> batch;
    {
      std::unique_lock lock(queueMutex_);
      queueChanged_.wait(lock, [&] { return closing_ || !queue_.empty(); });
      if (closing_) {  // what was not flushed is not kept: closing never waits for it
        queue_.clear();
        queuedBytes_ = 0;
        return;
      }
      // Let a few more join, so one transaction writes many entries.
      queueChanged_.wait_for(lock, kBatchWait, [&] {
        return closing_ || flushWanted_ || streamQueued_ || queue_.size() >= kBatchOps;
      });
      batch.swap(queue_);
      queuedBytes_ = 0;
      streamQueued_ = false;
      writing_ = true;
    }
    const int64_t started = wallClockNs();
    uint64_t notKept = 0;
    for (Op& op : batch) {
      if (op.kind != Op::Kind::Put || (op.form.empty() && !op.stream.stream)) continue;
      bool kept = false;
      try {
        kept = !closing_.load(std::memory_order_relaxed) && prepare(op);
      } catch (...) {  // too little memory to keep it
      }
      if (!kept) {
        op.kind = Op::Kind::None;
        ++notKept;
      }
    }
    bool puts = false;
    uint64_t batchPuts = 0;
    for (const Op& op : batch) batchPuts += op.kind == Op::Kind::Put;
    if (failed_.load() || gaveUp_.load()) {
      notKept += batchPuts;
    } else {
      int rc = writer_->run("BEGIN IMMEDIATE");
      if ((rc & 0xFF) == SQLITE_BUSY) {
        // Another process has held the write lock past kWriterBusyMs: this
        // run keeps nothing more rather than make its end wait.
        gaveUp_ = true;
        noteProblem("缓存正被另一个进程写入，本次读到的不存入缓存：" + path_);
      }
      for (const Op& op : batch) {
        if (rc != SQLITE_OK) break;
        rc = apply(op) ? SQLITE_OK : sqlite3_extended_errcode(writer_->db);
        puts = puts || op.kind == Op::Kind::Put;
      }
      if (rc == SQLITE_OK) rc = writer_->run("COMMIT");
      if (rc != SQLITE_OK) {
        writer_->run("ROLLBACK");
        puts = false;
        notKept += batchPuts;
        if (isDamage(rc)) {
          broken();
        } else if (isLasting(rc)) {  // full disk, read-only: stop writing
          failed_ = true;
          noteProblem(((rc & 0xFF) == SQLITE_FULL ? "磁盘已满，缓存不再写入：" : "缓存无法写入（" +
                                                                             std::string(sqlite3_errstr(rc)) + "）：") +
                      path_);
        }
      } else {
        std::lock_guard lock(statsMutex_);
        for (const Op& op : batch)
          if (op.kind == Op::Kind::Put) {
            ++stats_.stored;
            stats_.bytesWritten += op.bytes();
          }
      }
    }
    {
      std::lock_guard lock(statsMutex_);
      stats_.bypassed += notKept;
      stats_.fillNs += static_cast<uint64_t>(std::max<int64_t>(0, wallClockNs() - started));
    }
    if (puts) {
      uint64_t added = 0;
      for (const Op& op : batch) added += op.kind == Op::Kind::Put ? op.bytes() : 0;
      evict(added);
    }
    batch.clear();
    {
      std::lock_guard lock(queueMutex_);
      writing_ = false;
    }
    queueChanged_.notify_all();
  }
}

bool CellCache::apply(const Op& op) {
  Connection& c = *writer_;
  auto dropPath = [&](const std::string& key) {
    for (const char* sql : {"DELETE FROM cells WHERE id IN (SELECT id FROM entries WHERE path = ?1)",
                            "DELETE FROM entries WHERE path = ?1"}) {
      sqlite3_stmt* st = c.statement(sql);
      if (!st) return false;
      sqlite3_bind_blob(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
      if (sqlite3_step(st) != SQLITE_DONE) return false;
    }
    return true;
  };
  auto dropId = [&](int64_t id) {
    for (const char* sql : {"DELETE FROM cells WHERE id = ?1", "DELETE FROM entries WHERE id = ?1"}) {
      sqlite3_stmt* st = c.statement(sql);
      if (!st) return false;
      sqlite3_bind_int64(st, 1, id);
      if (sqlite3_step(st) != SQLITE_DONE) return false;
    }
    return true;
  };
  const int64_t now = nowMs();
  switch (op.kind) {
    case Op::Kind::Drop:
      for (const std::string& key : op.present)
        if (!dropPath(key)) return false;
      return op.key.empty() || dropPath(op.key);
    case Op::Kind::Touch:
      for (int64_t id : op.ids) {
        sqlite3_stmt* st = c.statement("UPDATE entries SET used = ?2 WHERE id = ?1");
        if (!st) return false;
        sqlite3_bind_int64(st, 1, id);
        sqlite3_bind_int64(st, 2, now);
        if (sqlite3_step(st) != SQLITE_DONE) return false;
      }
      return true;
    case Op::Kind::Put: {
      // Most files have no entry yet: the old one is looked for only when
      // the path is found taken.
      sqlite3_stmt* st = c.statement(
          "INSERT INTO entries(path, device, inode, size, mtime, ctime, reader, used, bytes, raw, failure, summary)"
          " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
      if (!st) return false;
      sqlite3_bind_blob(st, 1, op.key.data(), static_cast<int>(op.key.size()), SQLITE_STATIC);
      sqlite3_bind_int64(st, 2, static_cast<int64_t>(op.stamp.device));
      sqlite3_bind_int64(st, 3, static_cast<int64_t>(op.stamp.inode));
      sqlite3_bind_int64(st, 4, op.stamp.size);
      sqlite3_bind_int64(st, 5, op.stamp.modifiedNs);
      sqlite3_bind_int64(st, 6, op.stamp.changedNs);
      sqlite3_bind_text(st, 7, options_.reader.data(), static_cast<int>(options_.reader.size()), SQLITE_STATIC);
      sqlite3_bind_int64(st, 8, now);
      sqlite3_bind_int64(st, 9, static_cast<int64_t>(op.bytes()));
      sqlite3_bind_int64(st, 10, static_cast<int64_t>(op.raw));
      if (op.failed)
        sqlite3_bind_blob(st, 11, op.failure.data(), static_cast<int>(op.failure.size()), SQLITE_STATIC);
      sqlite3_bind_blob(st, 12, op.summary.data(), static_cast<int>(op.summary.size()), SQLITE_STATIC);
      int rc = sqlite3_step(st);
      if ((rc & 0xFF) == SQLITE_CONSTRAINT) {
        sqlite3_reset(st);  // keeps the bindings
        if (!dropPath(op.key)) return false;
        rc = sqlite3_step(st);
      }
      if (rc != SQLITE_DONE) return false;
      if (op.failed) return true;
      const int64_t id = sqlite3_last_insert_rowid(c.db);
      // The compressed form goes in with its row, in one block: a blob made
      // of zeros first and written over would pass through the log twice
      // once it outgrows the page cache. A cells row left without its
      // entry (a damaged file mended) is replaced.
      std::string whole;
      if (op.data.size() > 1) {
        whole.reserve(op.dataBytes());
        for (const std::string& piece : op.data) whole += piece;
      }
      const std::string& data = op.data.size() == 1 ? op.data[0] : whole;
      st = c.statement("INSERT OR REPLACE INTO cells(id, data) VALUES(?1, ?2)");
      if (!st) return false;
      sqlite3_bind_int64(st, 1, id);
      sqlite3_bind_blob64(st, 2, data.data(), data.size(), SQLITE_STATIC);
      return sqlite3_step(st) == SQLITE_DONE;
    }
    case Op::Kind::None:
      return true;
    case Op::Kind::Sweep: {
      sqlite3_stmt* st = c.statement("SELECT id, path FROM entries WHERE path >= ?1 AND path < ?2");
      if (!st) return false;
      std::string end = op.key;
      end.back() = static_cast<char>(end.back() + 1);  // the prefix ends in '/': no overflow
      sqlite3_bind_blob(st, 1, op.key.data(), static_cast<int>(op.key.size()), SQLITE_STATIC);
      sqlite3_bind_blob(st, 2, end.data(), static_cast<int>(end.size()), SQLITE_STATIC);
      std::vector<int64_t> missing;
      int rc;
      while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const std::string path(static_cast<const char*>(sqlite3_column_blob(st, 1)),
                               static_cast<size_t>(sqlite3_column_bytes(st, 1)));
        if (std::binary_search(op.present.begin(), op.present.end(), path)) continue;
        struct stat s {};
        if (::stat(path.c_str(), &s) != 0 && gone(errno)) missing.push_back(sqlite3_column_int64(st, 0));
      }
      sqlite3_reset(st);
      if (rc != SQLITE_DONE) return false;
      for (int64_t id : missing)
        if (!dropId(id)) return false;
      return true;
    }
  }
  return false;
}

void CellCache::evict(uint64_t added) {
  // The exact total is a pass over every entry: taken again only when this
  // process's writes may have passed the bound, and every so many batches
  // for what other processes wrote.
  sizeEstimate_ += added;
  if (sizeKnown_ && sizeEstimate_ <= options_.maxBytes && ++batchesSinceSum_ < kBatchesPerSum) return;
  Connection& c = *writer_;
  sqlite3_stmt* st = c.statement("SELECT COALESCE(SUM(bytes), 0) FROM entries");
  if (!st || sqlite3_step(st) != SQLITE_ROW) return;
  uint64_t total = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
  sqlite3_reset(st);
  sizeEstimate_ = total;
  sizeKnown_ = true;
  batchesSinceSum_ = 0;
  if (total <= options_.maxBytes) return;
  // Down to nine tenths, so the next few entries do not evict again at once.
  const uint64_t target = options_.maxBytes / 10 * 9;
  if (c.run("BEGIN IMMEDIATE") != SQLITE_OK) return;
  std::vector<std::pair<int64_t, uint64_t>> oldest;
  st = c.statement("SELECT id, bytes FROM entries ORDER BY used, id");
  int rc = st ? SQLITE_ROW : SQLITE_ERROR;
  uint64_t left = total;
  while (st && left > target && (rc = sqlite3_step(st)) == SQLITE_ROW) {
    const auto bytes = static_cast<uint64_t>(sqlite3_column_int64(st, 1));
    oldest.emplace_back(sqlite3_column_int64(st, 0), bytes);
    left -= std::min(left, bytes);
  }
  if (st) sqlite3_reset(st);
  bool ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
  for (const auto& [id, bytes] : oldest) {
    for (const char* sql : {"DELETE FROM cells WHERE id = ?1", "DELETE FROM entries WHERE id = ?1"}) {
      sqlite3_stmt* del = ok ? c.statement(sql) : nullptr;
      if (!del) {
        ok = false;
        break;
      }
      sqlite3_bind_int64(del, 1, id);
      ok = sqlite3_step(del) == SQLITE_DONE;
    }
  }
  rc = ok ? c.run("COMMIT") : SQLITE_ERROR;
  if (rc != SQLITE_OK) {
    c.run("ROLLBACK");
    return;
  }
  sizeEstimate_ = left;
  {
    std::lock_guard lock(statsMutex_);
    stats_.evicted += oldest.size();
  }
  // Give the freed pages back to the file system.
  c.run("PRAGMA incremental_vacuum");
  c.run("PRAGMA wal_checkpoint(TRUNCATE)");
}

void CellCache::endReads() {
  std::lock_guard lock(readersMutex_);
  for (auto& c : readers_)
    if (c->reading) {
      c->run("COMMIT");
      c->reading = false;
    }
}

CellCache::Stats CellCache::stats() const {
  std::lock_guard lock(statsMutex_);
  return stats_;
}

std::unique_ptr<CellCache> openCellCacheFromEnvironment(std::vector<std::string>* notices) {
  CacheSettings settings = cacheSettingsFromEnvironment();
  if (notices) notices->insert(notices->end(), settings.warnings.begin(), settings.warnings.end());
  if (!settings.enabled) return nullptr;
  CellCacheOptions options;
  // The program's cache folder, the one the library is written to when the
  // program's own folder cannot take it.
  options.directory = libraryCacheDirectory();
  if (options.directory.empty()) {
    if (notices) notices->push_back("没有缓存文件夹（HOME 与 XDG_CACHE_HOME 都未设置），不使用缓存");
    return nullptr;
  }
  options.maxBytes = settings.maxBytes;
  try {
    auto cache = std::make_unique<CellCache>(std::move(options));
    const std::string problem = cache->problem();
    if (notices && !problem.empty()) notices->push_back(problem);
    if (cache->usable()) return cache;
    if (notices && problem.empty()) notices->push_back("无法打开缓存，不使用缓存：" + cache->databasePath());
  } catch (...) {
    if (notices) notices->push_back("内存不足，不使用缓存");
  }
  return nullptr;
}

bool clearCellCache(const std::string& directory, std::string* problem) {
  auto fail = [&](std::string text) {
    if (problem) *problem = std::move(text);
    return false;
  };
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0 && errno == ENOENT) return true;
  if (!isOwnFolder(directory)) return fail("缓存文件夹不属于当前用户或他人可写，未清空：" + directory);
  // Databases of other layouts: no search of this version has them open.
  if (DIR* d = ::opendir(directory.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string_view name = e->d_name;
      if (name.substr(0, std::strlen(kFilePrefix)) == kFilePrefix &&
          name.substr(0, std::strlen(kFileName)) != kFileName)
        ::unlink((directory + "/" + e->d_name).c_str());
    }
    ::closedir(d);
  }
  const std::string path = directory + "/" + kFileName;
  if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
  if (!isOwnFileOrMissing(path) || !isOwnFileOrMissing(path + "-wal") || !isOwnFileOrMissing(path + "-shm"))
    return fail("缓存文件不是本程序的，未清空：" + path);
  // Emptied inside, under its write lock: searches reading or writing it
  // meanwhile see it whole before or empty after, never a file pulled away
  // from under them.
  CellCache::Connection c;
  int rc = sqlite3_open_v2(path.c_str(), &c.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                           nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(c.db, kOpenBusyMs);
    int version = 0;
    rc = identify(c, version);
    if (rc == kNotOurs) return fail("缓存文件不是本程序的，未清空：" + path);
    if (rc == SQLITE_OK && version == 0) return true;  // empty already
  }
  if (rc == SQLITE_OK) rc = c.run("BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) {
    rc = c.run("DELETE FROM cells");
    if (rc == SQLITE_OK) rc = c.run("DELETE FROM entries");
    rc = rc == SQLITE_OK ? c.run("COMMIT") : rc;
    if (rc != SQLITE_OK) c.run("ROLLBACK");
  }
  if (rc == SQLITE_OK) {
    // The freed pages back to the file system; the log is copied back only
    // as far as no reader needs it, so no search waits for the clearing.
    c.run("PRAGMA incremental_vacuum");
    c.run("PRAGMA wal_checkpoint(PASSIVE)");
    return true;
  }
  if (isDamage(rc)) {
    // Damaged or of an older layout: nothing in it can be used by anyone.
    sqlite3_close_v2(c.db);
    c.db = nullptr;
    resetDatabase(path);
    return true;
  }
  return fail("无法清空缓存（" + std::string(sqlite3_errstr(rc)) + "）：" + path);
}
