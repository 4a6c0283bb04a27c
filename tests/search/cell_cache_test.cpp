// The cell cache: a search gives the same grid, colours, progress, status
// texts and stop points with the cache off, cold and warm; every change of a
// file (or of the library) makes it be read again; the trigram summary never
// hides a row; two processes share the cache; a damaged, truncated,
// read-only or full cache still gives the right rows; the size bound evicts
// the least recently used entries first; a failure of the moment is never
// kept and a stop cuts a cache read short.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/xl/load_error.h"
#include "search/cached_book.h"
#include "search/cell_cache.h"
#include "search/cell_codec.h"
#include "search/read_ahead.h"
#include "search/text_match.h"
#include "search/trigram_summary.h"
#include "tests/search/cache_books.h"
#include "tests/search/fake_xl.h"
#include "tests/search/search_outcome.h"

namespace fs = std::filesystem;

namespace {

const std::string kCli = std::string(QUORVANE_BINARY_DIR) + "/cli/quorvane-search";

const char* const kWords[] = {"Apple", "APPLE pie", "苹果", "青苹果汁", "香蕉", "ab", "Cherry 樱桃", "x",
                              "葡萄apple", "Ünïcode"};
// Long enough to be written once however many cells show it.
const std::string kLongText = std::string(80, 'L') + " 长文本 apple";

// A workbook of the seed's shape: one to three sheets, some wider than 50
// columns, one-row and empty sheets, hidden rows and columns, numbers, gaps
// and a long text shared by many cells.
void writeVaried(const fs::path& path, int seed) {
  std::mt19937 rng(static_cast<unsigned>(seed));
  lxw_workbook* wb = workbook_new(path.c_str());
  ASSERT_NE(wb, nullptr) << path;
  const int sheets = 1 + seed % 3;
  for (int s = 0; s < sheets; ++s) {
    lxw_worksheet* ws = workbook_add_worksheet(wb, nullptr);
    const int shape = (seed + s) % 5;
    const int rows = shape == 0 ? 0 : shape == 1 ? 1 : 4 + static_cast<int>(rng() % 40);
    const int cols = shape == 2 ? 55 + static_cast<int>(rng() % 10) : 1 + static_cast<int>(rng() % 8);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        const unsigned v = rng() % 20;
        if (v < 3) continue;
        if (v < 6)
          worksheet_write_number(ws, static_cast<lxw_row_t>(r), static_cast<lxw_col_t>(c), r * 1.5 + c, nullptr);
        else if (v == 6)
          worksheet_write_string(ws, static_cast<lxw_row_t>(r), static_cast<lxw_col_t>(c), kLongText.c_str(), nullptr);
        else
          worksheet_write_string(ws, static_cast<lxw_row_t>(r), static_cast<lxw_col_t>(c),
                                 (std::string(kWords[rng() % 10]) + " " + std::to_string(r)).c_str(), nullptr);
      }
    if ((seed + s) % 2 == 0 && rows > 3) {
      lxw_row_col_options hidden = {};
      hidden.hidden = 1;
      worksheet_set_column_opt(ws, 1, 1, 8.43, nullptr, &hidden);
      worksheet_set_row_opt(ws, 2, 15, nullptr, &hidden);
    }
  }
  ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
}

// The cache's entry paths (sqlite3 directly, read only).
std::vector<std::string> cachedPaths(const std::string& database) {
  std::vector<std::string> out;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT path FROM entries ORDER BY path", -1, &st, nullptr) == SQLITE_OK)
      while (sqlite3_step(st) == SQLITE_ROW)
        out.emplace_back(static_cast<const char*>(sqlite3_column_blob(st, 0)),
                         static_cast<size_t>(sqlite3_column_bytes(st, 0)));
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

long countUnder(const std::vector<std::string>& paths, const std::string& folder) {
  return std::count_if(paths.begin(), paths.end(), [&](const std::string& p) { return p.rfind(folder, 0) == 0; });
}

class CellCacheTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = fs::path(QUORVANE_TEST_SCRATCH) / ("cell-cache-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    tree_ = root_ / "tree";
    int seed = 1;
    for (const char* d : {"", "/b", "/b/c", "/a"}) {
      fs::create_directories(tree_.string() + d);
      for (int i = 0; i < 7; ++i, ++seed) writeVaried(tree_.string() + d + "/book" + std::to_string(i) + ".xlsx", seed);
      std::ofstream(tree_.string() + d + "/damaged.xls") << "this is not a workbook";
      std::ofstream(tree_.string() + d + "/empty.xlsx");
    }
    // A zip cut short: a failure of the file's content too.
    const std::string whole = readAll(tree_ / "book0.xlsx");
    std::ofstream(tree_ / "a" / "cut.xlsx", std::ios::binary) << whole.substr(0, whole.size() / 2);
    // Files changed within the clock tick they are looked at are not kept:
    // let the tree age past it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  static void TearDownTestSuite() { fs::remove_all(root_); }

  static SearchSettings settings(const fs::path& folder, const std::string& text, bool titles, bool skipHidden) {
    SearchSettings s;
    s.searchText = text;
    s.titles = titles;
    s.skipHidden = skipHidden;
    s.folderText = folder.string();
    return s;
  }

  static CellCacheOptions options(const std::string& name) {
    CellCacheOptions o;
    o.directory = (root_ / "caches" / name).string();
    return o;
  }

  // A search through the read-ahead pool, with `cache` or without; the
  // cache's writes are waited for.
  static Outcome search(const SearchSettings& s, CellCache* cache, const StopAt& at = {}) {
    std::atomic<int> stop{0};
    Outcome o;
    {
      ReadAheadSource source(staticXlApi(), stop, {2, 512u << 20, 0});
      if (cache) source.useCache(cache, s.searchText);
      o = runOutcome(s, source, stop, at);
    }
    if (cache) cache->flush();
    return o;
  }

  static std::string cliJson(const std::string& env, const std::string& args) {
    const fs::path out = root_ / "cli.out";
    const int status = runShell(env + " '" + kCli + "' --folder '" + tree_.string() + "' --json " + args + " >'" +
                                out.string() + "' 2>/dev/null");
    EXPECT_EQ(status, 0) << args;
    return readAll(out);
  }

  static fs::path root_, tree_;
};
fs::path CellCacheTest::root_, CellCacheTest::tree_;

TEST_F(CellCacheTest, SameGridProgressAndStopsWithTheCacheOffColdAndWarm) {
  int cacheNumber = 0;
  for (const char* text : {"apple", "苹果", "ab", "zzzq", "长文本"})
    for (bool titles : {false, true})
      for (bool skipHidden : {false, true}) {
        const SearchSettings s = settings(tree_, text, titles, skipHidden);
        const std::string what = std::string(text) + " titles " + std::to_string(titles) + " hidden " +
                                 std::to_string(skipHidden);
        const Outcome off = search(s, nullptr);
        ASSERT_NE(std::find(off.cells.begin(), off.cells.end(), "打开失败#" + std::to_string(s.failureColour)),
                  off.cells.end());
        CellCacheOptions o = options(std::to_string(++cacheNumber));
        o.twoPartsFrom = 2;  // the lookups of a big search, split in two (the other tests: in one)
        // Every other round, every book is summarised and compressed by its loader, as big ones are.
        if (cacheNumber % 2) o.handOverBytes = 0;
        {
          CellCache cold(o);
          ASSERT_TRUE(cold.usable());
          expectSameOutcome(off, search(s, &cold), "cold " + what);
          EXPECT_GT(cold.stats().stored, 30u);
        }
        CellCache warm(o);
        expectSameOutcome(off, search(s, &warm), "warm " + what);
        const CellCache::Stats st = warm.stats();
        EXPECT_EQ(st.misses, 0u) << "warm " << what;
        EXPECT_GT(st.failures, 0u) << what;
        if (std::string(text) == "zzzq") {
          EXPECT_EQ(st.books, 0u) << "a text in none of them: nothing decompressed";
        }
        if (std::string(text) == "ab") {
          EXPECT_EQ(st.noMatch, 0u) << "a two-byte text passes over nothing";
        }

        // Stops: after some files, and at chosen cells of a file the text occurs in.
        std::vector<StopAt> stops = {{3, -1, {}}, {20, -1, {}}};
        for (size_t r = 1; r < static_cast<size_t>(off.rows); ++r) {
          const std::string& cell = off.cells[r * static_cast<size_t>(off.cols)];
          const std::string path = cell.substr(0, cell.find('#'));  // without the row's colour
          const std::string& kind = off.cells[r * static_cast<size_t>(off.cols) + 1];
          if (kind.rfind("打开失败", 0) == 0) continue;
          stops.push_back({-1, 1, path});
          stops.push_back({-1, 7, path});
          break;
        }
        for (const StopAt& at : stops) {
          const std::string where = what + " stop " + std::to_string(at.files) + "/" + std::to_string(at.cells) +
                                    " in " + at.inFile;
          const Outcome stoppedOff = search(s, nullptr, at);
          ASSERT_TRUE(stoppedOff.stopped) << where;
          expectSameOutcome(stoppedOff, search(s, &warm, at), "warm " + where);
          CellCacheOptions fresh = options(std::to_string(++cacheNumber));
          fresh.twoPartsFrom = 2;
          CellCache cold(fresh);
          expectSameOutcome(stoppedOff, search(s, &cold, at), "cold " + where);
        }
      }
}

TEST_F(CellCacheTest, EveryChangeOfTheFileOrTheLibraryIsReadAgain) {
  const fs::path dir = root_ / "changes";
  fs::create_directories(dir);
  const fs::path book = dir / "book.xlsx";
  writeOneCell(book, "alpha-0-zz");
  const uintmax_t size = fs::file_size(book);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const SearchSettings s = settings(dir, "alpha", false, false);
  const CellCacheOptions o = options("changes");

  // What the search shows for the book now, and whether it came from the cache.
  auto firstCell = [&](CellCache& cache, bool& fromCache) {
    const CellCache::Stats before = cache.stats();
    const Outcome out = search(s, &cache);
    fromCache = cache.stats().books > before.books;
    return out.rows > 1 ? out.cells[static_cast<size_t>(out.cols) + 3] : std::string();
  };
  bool hit = false;
  {
    CellCache cache(o);
    EXPECT_EQ(firstCell(cache, hit), "alpha-0-zz");
    EXPECT_FALSE(hit);
    EXPECT_EQ(firstCell(cache, hit), "alpha-0-zz");
    EXPECT_TRUE(hit) << "an unchanged file comes from the cache";
  }
  struct timespec times[2];
  auto keepTimes = [&] {
    struct stat st {};
    ASSERT_EQ(::stat(book.c_str(), &st), 0);
    times[0] = st.st_atim;
    times[1] = st.st_mtim;
  };
  auto resetTimes = [&](const fs::path& p) { ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0); };
  const fs::path other = root_ / "changes-other.xlsx";

  // Rewritten in place with the same size and its modification time put
  // back (cp then touch -r): only the status-change time tells.
  keepTimes();
  writeOneCellOfSize(other, "alpha-1", size);
  fs::copy_file(other, book, fs::copy_options::overwrite_existing);
  resetTimes(book);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  {
    CellCache cache(o);
    const std::string first = firstCell(cache, hit);
    EXPECT_EQ(first.substr(0, 7), "alpha-1");
    EXPECT_FALSE(hit);
    EXPECT_EQ(firstCell(cache, hit), first);
    EXPECT_TRUE(hit);
  }

  // A same-size copy with the same modification time renamed over it: another inode.
  keepTimes();
  writeOneCellOfSize(other, "alpha-2", size);
  resetTimes(other);
  fs::rename(other, book);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  {
    CellCache cache(o);
    EXPECT_EQ(firstCell(cache, hit).substr(0, 7), "alpha-2");
    EXPECT_FALSE(hit);
    EXPECT_EQ(firstCell(cache, hit).substr(0, 7), "alpha-2");
    EXPECT_TRUE(hit);
  }

  // Another library: every entry is read again.
  {
    CellCacheOptions changed = o;
    changed.reader = "another library";
    CellCache cache(changed);
    EXPECT_EQ(firstCell(cache, hit).substr(0, 7), "alpha-2");
    EXPECT_FALSE(hit);
  }

  // A file that is gone: its entry is dropped when its folder is searched.
  const fs::path second = dir / "second.xlsx";
  writeOneCell(second, "alpha-9");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  {
    CellCache cache(o);
    search(s, &cache);
    EXPECT_EQ(countUnder(cachedPaths(cache.databasePath()), second.string()), 1);
    fs::remove(second);
    search(s, &cache);
    EXPECT_EQ(countUnder(cachedPaths(cache.databasePath()), second.string()), 0);
    EXPECT_EQ(countUnder(cachedPaths(cache.databasePath()), book.string()), 1);
  }
}

TEST(TrigramSummary, NeverHidesATextThatOccurs) {
  std::mt19937 rng(12345);
  const std::vector<std::string> pieces = {"a", "B", "c", "D", "e", "Z", "q", "0", "7", " ", "-", "苹", "果", "汁",
                                           "蓝", "鲸", "é", "Ü", "😀", "x", "Y", "\t"};
  auto randomText = [&](size_t maxPieces) {
    std::string t;
    const size_t n = rng() % (maxPieces + 1);
    for (size_t i = 0; i < n; ++i) t += pieces[rng() % pieces.size()];
    return t;
  };
  auto flipCase = [&](std::string t) {
    for (char& c : t)
      if (std::isalpha(static_cast<unsigned char>(c)) && rng() % 2) c = static_cast<char>(c ^ 0x20);
    return t;
  };
  long skipped = 0;
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> texts(1 + rng() % 40);
    for (std::string& t : texts) t = randomText(12);
    TrigramSummaryBuilder builder;
    for (const std::string& t : texts) builder.add(t.data(), t.size());
    const std::string summary = builder.finish();
    std::vector<std::string> needles;
    for (int k = 0; k < 30; ++k) {
      const std::string& t = texts[rng() % texts.size()];
      if (!t.empty()) {
        const size_t from = rng() % t.size();
        needles.push_back(flipCase(t.substr(from, 1 + rng() % (t.size() - from))));
      }
      needles.push_back(randomText(4));
    }
    for (const std::string& needle : needles) {
      if (needle.empty()) continue;
      const TextMatcher matcher(needle);
      bool occurs = false;
      for (const std::string& t : texts) occurs = occurs || matcher.contains(t);
      const bool may = TrigramNeedle(needle).mayOccurIn(summary);
      if (occurs) {
        ASSERT_TRUE(may) << "needle \"" << needle << "\" occurs but the summary says no";
      }
      if (needle.size() < 3) {
        ASSERT_TRUE(may) << "a text of fewer than three bytes passes over nothing";
      }
      skipped += !may;
    }
  }
  // It does pass over workbooks: most random needles occur nowhere.
  EXPECT_GT(skipped, 1000);
}

// The byte form is written through a fixed piece buffer with its own copy of
// short texts: every length class, a text longer than a piece, and piece
// boundaries falling at every kind of place must come back as they were.
TEST(CachedBook, EveryTextLengthAndPieceBoundaryComesBackAsItWas) {
  std::mt19937 rng(99);
  fakexl::reset();
  fakexl::Book def;
  def.sheets.resize(2);
  def.sheets[0].name = "lengths";
  int row = 0;
  for (size_t length : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 63, 64, 254, 255, 256, 4096, 300000}) {
    std::string t(length, 'x');
    for (char& c : t) c = static_cast<char>(1 + rng() % 255);
    def.sheets[0].cells[{row++, static_cast<int>(length % 7)}] = t;
  }
  def.sheets[1].name = "many";
  for (int k = 0; k < 40000; ++k) {
    std::string t(rng() % 40, 'y');
    for (char& c : t) c = static_cast<char>(1 + rng() % 255);
    def.sheets[1].cells[{k / 5, k % 5}] = t;
  }
  fakexl::addBook("lengths.xlsx", def);
  const XlApi& api = fakexl::api();
  BookHandle book = api.createXMLBook();
  ASSERT_EQ(api.bookLoad(book, "lengths.xlsx"), 1);

  std::string form;
  TrigramSummaryBuilder summary;
  const uint64_t size = encodeBook(api, book, [&](const char* p, size_t n) { form.append(p, n); }, &summary);
  ASSERT_EQ(size, form.size());
  const std::string encoderSummary = summary.finish();
  TrigramSummaryBuilder again;
  ASSERT_TRUE(summariseForm(form.data(), form.size(), again));
  EXPECT_EQ(again.finish(), encoderSummary);

  char* bytes = static_cast<char*>(std::malloc(form.size()));
  std::memcpy(bytes, form.data(), form.size());
  std::unique_ptr<CachedBook> cached = decodeBook(bytes, form.size());
  ASSERT_TRUE(cached);
  const XlApi& read = cachedBookApi();
  ASSERT_EQ(read.bookSheetCount(toHandle(cached.get())), 2);
  for (int i = 0; i < 2; ++i) {
    SheetHandle was = api.bookGetSheet(book, i);
    SheetHandle now = read.bookGetSheet(toHandle(cached.get()), i);
    ASSERT_EQ(read.sheetStoredCellCount(now), api.sheetStoredCellCount(was));
    for (int k = 0; k < api.sheetStoredCellCount(was); ++k) {
      int r1 = 0, c1 = 0, l1 = 0, r2 = 0, c2 = 0, l2 = 0;
      const char* t1 = api.sheetStoredCell(was, k, &r1, &c1, &l1);
      const char* t2 = read.sheetStoredCell(now, k, &r2, &c2, &l2);
      ASSERT_EQ(std::tie(r1, c1, l1), std::tie(r2, c2, l2)) << "sheet " << i << " cell " << k;
      ASSERT_EQ(std::string_view(t1, static_cast<size_t>(l1)), std::string_view(t2, static_cast<size_t>(l2)))
          << "sheet " << i << " cell " << k << " of length " << l1;
    }
  }
}

// The database keeps no checksum of its own and is written without waiting
// for the disk: the entry's own check must catch any change of its bytes,
// also one that leaves a well-formed frame (a changed literal text).
TEST(CellCodec, EveryChangedByteOfAnEntryIsDamage) {
  std::mt19937 random(7);
  std::string content;
  while (content.size() < 300'000) {
    content += kWords[random() % std::size(kWords)];
    content += static_cast<char>('0' + random() % 10);
  }
  std::vector<std::string> pieces;
  EntryCompressor compressor(pieces);
  ASSERT_TRUE(compressor.compressWhole(content.data(), content.size()));
  std::string entry;
  for (const std::string& piece : pieces) entry += piece;

  // What the cache would make of `bytes`: the content, damage, or other bytes.
  auto decompress = [&](const std::string& bytes, size_t pieceSize) -> std::string {
    EntryDecompressor d;
    if (!d.begin(content.size())) return "no memory";
    for (size_t at = 0; at < bytes.size(); at += pieceSize)
      if (!d.feed(bytes.data() + at, std::min(pieceSize, bytes.size() - at))) break;
    char* out = d.finish();
    if (!out) return "damaged";
    const bool same = std::memcmp(out, content.data(), content.size()) == 0;
    std::free(out);
    return same ? "content" : "other bytes";
  };
  ASSERT_EQ(decompress(entry, entry.size()), "content");
  ASSERT_EQ(decompress(entry, 3), "content") << "fed in small pieces";
  EXPECT_EQ(decompress(entry.substr(0, entry.size() - 1), entry.size()), "damaged") << "cut short";
  EXPECT_EQ(decompress(entry + '\0', entry.size()), "damaged") << "a byte after the end";
  int damaged = 0;
  for (size_t at = 0; at < entry.size(); at += 1 + random() % 97) {
    std::string changed = entry;
    changed[at] = static_cast<char>(changed[at] ^ (1 + random() % 255));
    // A change the frame's header check lets through may leave the content
    // as it was (a larger block size); other bytes never come out.
    const std::string got = decompress(changed, 65536);
    EXPECT_NE(got, "other bytes") << "byte " << at << " of " << entry.size();
    damaged += got == "damaged";
  }
  EXPECT_GT(damaged, 100);
}

TEST_F(CellCacheTest, TwoProcessesShareTheCache) {
  const std::string expected = cliJson("QUORVANE_CACHE=0", "--text apple --titles");
  ASSERT_GT(std::count(expected.begin(), expected.end(), '\n'), 10);
  const fs::path home = root_ / "shared-home";
  const std::string env = "XDG_CACHE_HOME='" + home.string() + "'";
  for (const char* round : {"cold", "warm", "again"}) {
    std::string command = "(";
    for (int i = 0; i < 2; ++i)
      command += env + " '" + kCli + "' --folder '" + tree_.string() + "' --text apple --titles --json >'" +
                 (root_ / ("two" + std::to_string(i))).string() + "' 2>/dev/null & ";
    command += "wait)";
    ASSERT_EQ(runShell(command), 0);
    for (int i = 0; i < 2; ++i)
      EXPECT_EQ(readAll(root_ / ("two" + std::to_string(i))), expected) << round << " process " << i;
  }
  EXPECT_GT(cachedPaths((home / "quorvane" / "cells-1.sqlite").string()).size(), 30u);
}

TEST_F(CellCacheTest, DamagedTruncatedReadOnlyAndFullCachesStillGiveTheRightRows) {
  const SearchSettings s = settings(tree_, "苹果", true, true);
  const Outcome off = search(s, nullptr);
  // Damage in three ways; each search gives the right rows, and within two
  // searches the cache is whole again.
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> damages = {
      {"header overwritten",
       [](const std::string& db) {
         std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
         f.write(std::string(100, '\x5A').data(), 100);
       }},
      {"pages overwritten",
       [](const std::string& db) {
         const auto size = fs::file_size(db);
         std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
         for (uintmax_t at = 4096; at + 512 < size; at += 8192) {
           f.seekp(static_cast<std::streamoff>(at));
           f.write(std::string(512, '\x33').data(), 512);
         }
       }},
      {"truncated", [](const std::string& db) { fs::resize_file(db, fs::file_size(db) / 2); }},
  };
  for (const auto& [name, damage] : damages) {
    const CellCacheOptions o = options("damaged-" + std::to_string(name.size()));
    std::string db;
    {
      CellCache cache(o);
      ASSERT_TRUE(cache.usable());
      db = cache.databasePath();
      search(s, &cache);
    }
    damage(db);
    for (int run = 0; run < 3; ++run) {
      CellCache cache(o);
      expectSameOutcome(off, search(s, &cache), name + " run " + std::to_string(run));
      if (run == 2) {
        EXPECT_EQ(cache.stats().misses, 0u) << name << ": made anew";
      }
    }
  }

  // The command line against a cache it may read but not write, and one it
  // cannot read at all (as another user when the test runs as root).
  const std::string expected = cliJson("QUORVANE_CACHE=0", "--text 苹果 --titles --skip-hidden");
  const fs::path home = root_ / "locked-home";
  const std::string env = "XDG_CACHE_HOME='" + home.string() + "'";
  EXPECT_EQ(cliJson(env, "--text 苹果 --titles --skip-hidden"), expected);
  const fs::path dir = home / "quorvane";
  const fs::path db = dir / "cells-1.sqlite";
  ASSERT_TRUE(fs::exists(db));
  const bool root = ::geteuid() == 0;
  const std::string as = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups env " : "env ";
  fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(home, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  const auto stampBefore = fs::last_write_time(db);
  fs::permissions(dir, root ? fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec
                            : fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(db, root ? fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read
                           : fs::perms::owner_read);
  EXPECT_EQ(cliJson(as + env, "--text 苹果 --titles --skip-hidden"), expected) << "read-only cache";
  EXPECT_EQ(fs::last_write_time(db), stampBefore);
  fs::permissions(dir, root ? fs::perms::owner_all : fs::perms::none);
  EXPECT_EQ(cliJson(as + env, "--text 苹果 --titles --skip-hidden"), expected) << "unreadable cache";
  fs::permissions(dir, fs::perms::owner_all);
  fs::permissions(db, fs::perms::owner_read | fs::perms::owner_write);

  // A full disk: files may not grow past 32 KB (writes beyond fail with
  // EFBIG, the signal for it ignored), so the cache cannot be written.
  const fs::path fullHome = root_ / "full-home";
  const fs::path out = root_ / "full.out";
  const int status = runShell("bash -c \"(ulimit -f 32; trap '' XFSZ; XDG_CACHE_HOME='" + fullHome.string() +
                              "' exec '" + kCli + "' --folder '" + tree_.string() +
                              "' --text 苹果 --titles --skip-hidden --json 2>/dev/null) | cat >'" + out.string() + "'\"");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readAll(out), expected) << "full disk";
  EXPECT_LE(fs::file_size(fullHome / "quorvane" / "cells-1.sqlite"), 32u << 10);
}

// The real library, except that files named momentary* fail to load for a
// reason of the moment (no memory) with a text that reads like damage: what
// is kept must follow the cause, not the text.
std::mutex momentaryMutex;
std::set<BookHandle> momentaryBooks;

bool isMomentary(BookHandle b) {
  std::lock_guard lock(momentaryMutex);
  return momentaryBooks.count(b) != 0;
}

const XlApi& momentaryApi() {
  static const XlApi api = [] {
    XlApi a = staticXlApi();
    a.bookLoad = [](BookHandle b, const char* path) {
      const bool fail = fs::path(path).filename().string().rfind("momentary", 0) == 0;
      {
        std::lock_guard lock(momentaryMutex);
        if (fail)
          momentaryBooks.insert(b);
        else
          momentaryBooks.erase(b);
      }
      return fail ? 0 : staticXlApi().bookLoad(b, path);
    };
    a.bookErrorMessage = [](BookHandle b) {
      return isMomentary(b) ? "文件已损坏" : staticXlApi().bookErrorMessage(b);
    };
    a.bookErrorCause = [](BookHandle b) {
      return isMomentary(b) ? static_cast<int>(xl::LoadCause::ZipNoMemory) : staticXlApi().bookErrorCause(b);
    };
    return a;
  }();
  return api;
}

TEST_F(CellCacheTest, MomentaryFailuresAreTriedAgainAndAStopCutsACacheReadShort) {
  const fs::path dir = root_ / "momentary";
  fs::create_directories(dir);
  writeVaried(dir / "book.xlsx", 7);
  writeVaried(dir / "momentary.xlsx", 8);
  std::ofstream(dir / "damaged.xls") << "this is not a workbook";
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const SearchSettings s = settings(dir, "apple", false, false);
  const CellCacheOptions o = options("momentary");
  auto run = [&](CellCache* cache) {
    std::atomic<int> stop{0};
    Outcome out;
    {
      ReadAheadSource source(momentaryApi(), stop, {2, 512u << 20, 0});
      if (cache) source.useCache(cache, s.searchText);
      out = runOutcome(s, source, stop, {});
    }
    if (cache) cache->flush();
    return out;
  };
  const Outcome off = run(nullptr);
  {
    CellCache cold(o);
    expectSameOutcome(off, run(&cold), "cold");
  }
  CellCache warm(o);
  expectSameOutcome(off, run(&warm), "warm");
  EXPECT_EQ(warm.stats().failures, 1u) << "only the damaged file's failure is kept";
  EXPECT_EQ(warm.stats().misses, 1u) << "the momentary failure is tried again";

  // A stop asked before the cells are read: nothing is read, the file is
  // left to the (cancelled) load.
  const TrigramNeedle needle("apple");
  std::vector<CellCache::Lookup> found = warm.lookUp({(dir / "book.xlsx").string()}, needle);
  ASSERT_EQ(found.size(), 1u);
  ASSERT_EQ(found[0].found, CellCache::Lookup::Found::Book);
  std::atomic<int> stop{1};
  warm.read(found[0], needle, &stop);
  EXPECT_TRUE(found[0].cancelled);
  EXPECT_EQ(found[0].book, nullptr);
  EXPECT_EQ(found[0].found, CellCache::Lookup::Found::Nothing);
  // Asked again without the stop, the entry is whole.
  found = warm.lookUp({(dir / "book.xlsx").string()}, needle);
  warm.read(found[0], needle);
  ASSERT_NE(found[0].book, nullptr);
  EXPECT_FALSE(found[0].cancelled);
  cachedBookApi().bookRelease(found[0].book);

  // The layout of a sheet of many cells, decoded after its entry was read,
  // stops there too when asked.
  auto tall = std::make_unique<CachedBook>();
  tall->store.reset(static_cast<char*>(std::malloc(3)));
  std::memcpy(tall->store.get(), "\x01x", 3);
  tall->storeSize = 3;
  tall->sheets.resize(1);
  CachedSheet& sheet = tall->sheets[0];
  sheet.owner = tall.get();
  sheet.lastRow = 300'000;
  sheet.lastCol = 1;
  for (uint32_t r = 0; r < 300'000; ++r) {
    sheet.rows.push_back(r);
    sheet.cols.push_back(0);
    sheet.texts.push_back(0);
  }
  std::string form;
  ASSERT_GT(encodeBook(cachedBookApi(), toHandle(tall.get()), [&](const char* p, size_t n) { form.append(p, n); },
                       nullptr),
            0u);
  auto decode = [&](int stopFlag) {
    char* bytes = static_cast<char*>(std::malloc(form.size()));
    std::memcpy(bytes, form.data(), form.size());
    const std::atomic<int> flag{stopFlag};
    return decodeBook(bytes, form.size(), nullptr, &flag);
  };
  EXPECT_EQ(decode(1), nullptr);
  const std::unique_ptr<CachedBook> whole = decode(0);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole->sheets[0].rows.size(), 300'000u);
}

// A folder whose cached entries are mostly of other files (here: files gone
// since) is looked up file by file instead of in one pass, and the entries
// of the gone files are still dropped.
// An entry whose compressed form spans several pieces (texts that do not
// compress) is stored in one block and read back whole, not found damaged
// and quietly made anew.
TEST_F(CellCacheTest, AnEntryOfManyPiecesComesBackWhole) {
  const fs::path dir = root_ / "pieces";
  fs::create_directories(dir);
  const std::string path = (dir / "big.xlsx").string();
  std::ofstream(path) << "stands for the book the library read";
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  std::mt19937 rng(5);
  fakexl::reset();
  fakexl::Book def;
  def.sheets.resize(1);
  def.sheets[0].name = "noise";
  for (int k = 0; k < 3000; ++k) {
    std::string t(1000, 'z');
    for (char& c : t) c = static_cast<char>(1 + rng() % 255);
    def.sheets[0].cells[{k, 0}] = t;
  }
  fakexl::addBook(path, def);
  const XlApi& api = fakexl::api();
  BookHandle book = api.createXMLBook();
  ASSERT_EQ(api.bookLoad(book, path.c_str()), 1);
  const TrigramNeedle needle("ab");  // too short to pass over anything
  {
    CellCache cold(options("pieces"));
    std::vector<CellCache::Lookup> miss = cold.lookUp({path}, needle);
    ASSERT_EQ(miss.size(), 1u);
    ASSERT_EQ(miss[0].found, CellCache::Lookup::Found::Nothing);
    cold.store(miss[0], api, book, true, "", xl::LoadCause::None);
    cold.flush();
    EXPECT_EQ(cold.stats().stored, 1u);
  }
  CellCache warm(options("pieces"));
  std::vector<CellCache::Lookup> hit = warm.lookUp({path}, needle);
  ASSERT_EQ(hit[0].found, CellCache::Lookup::Found::Book);
  warm.read(hit[0], needle);
  ASSERT_NE(hit[0].book, nullptr) << "read back whole";
  const XlApi& read = cachedBookApi();
  SheetHandle sheet = read.bookGetSheet(hit[0].book, 0);
  ASSERT_EQ(read.sheetStoredCellCount(sheet), 3000);
  for (int k : {0, 1234, 2999}) {
    int row = 0, col = 0, length = 0;
    const char* text = read.sheetStoredCell(sheet, k, &row, &col, &length);
    const std::string& was = def.sheets[0].cells[std::pair(k, 0)];
    EXPECT_EQ(std::string(text, static_cast<size_t>(length)), was) << "cell " << k;
  }
  read.bookRelease(hit[0].book);
}

TEST_F(CellCacheTest, AFolderCrowdedWithOtherEntriesIsLookedUpFileByFile) {
  const fs::path dir = root_ / "crowded";
  fs::create_directories(dir);
  writeVaried(dir / "book.xlsx", 3);
  std::ofstream(dir / "damaged.xls") << "this is not a workbook";
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const SearchSettings s = settings(dir, "apple", false, false);
  const CellCacheOptions o = options("crowded");
  std::string db;
  {
    CellCache cache(o);
    search(s, &cache);
    db = cache.databasePath();
  }
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(h, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(h, "INSERT INTO entries(path, used, bytes, raw) VALUES(?1, 0, 100, 0)", -1, &st, nullptr),
            SQLITE_OK);
  for (int i = 0; i < 1100; ++i) {
    const std::string path = (dir / ("gone-" + std::to_string(i) + ".xlsx")).string();
    sqlite3_bind_blob(st, 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  ASSERT_EQ(sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(h);
  ASSERT_EQ(countUnder(cachedPaths(db), (dir / "gone-").string()), 1100);

  CellCache warm(o);
  expectSameOutcome(search(s, nullptr), search(s, &warm), "crowded");
  EXPECT_EQ(warm.stats().misses, 0u) << "both files found, one lookup each";
  EXPECT_EQ(warm.stats().failures, 1u);
  EXPECT_EQ(countUnder(cachedPaths(db), (dir / "gone-").string()), 0) << "the gone files' entries dropped";
  EXPECT_EQ(countUnder(cachedPaths(db), (dir / "book.xlsx").string()), 1);
}

TEST_F(CellCacheTest, SizeBoundEvictsTheLeastRecentlyUsedFirst) {
  const fs::path a = root_ / "lru" / "a", b = root_ / "lru" / "b";
  for (const fs::path& d : {a, b}) {
    fs::create_directories(d);
    for (int i = 0; i < 6; ++i) writeVaried(d / ("book" + std::to_string(i) + ".xlsx"), 100 + i);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  CellCacheOptions o = options("lru");
  o.touchAfterMs = 0;
  std::string db;
  uint64_t oneFolder = 0;
  {
    CellCache cache(o);
    search(settings(a, "apple", false, false), &cache);
    db = cache.databasePath();
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(h, "SELECT SUM(bytes) FROM entries", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    oneFolder = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(h);
  }
  ASSERT_GT(oneFolder, 0u);
  // Room for one folder and a half.
  o.maxBytes = oneFolder * 3 / 2;
  CellCache cache(o);
  search(settings(b, "apple", false, false), &cache);
  std::vector<std::string> paths = cachedPaths(db);
  EXPECT_EQ(countUnder(paths, b.string() + "/"), 6) << "the newest entries stay";
  EXPECT_LT(countUnder(paths, a.string() + "/"), 6) << "the oldest went";
  EXPECT_GT(cache.stats().evicted, 0u);

  // Searched again, a's entries are the newest and b's go.
  const Outcome again = search(settings(a, "apple", false, false), &cache);
  EXPECT_GT(cache.stats().books + cache.stats().noMatch, 0u) << "what was kept of a was used";
  paths = cachedPaths(db);
  EXPECT_EQ(countUnder(paths, a.string() + "/"), 6);
  EXPECT_LT(countUnder(paths, b.string() + "/"), 6);
  expectSameOutcome(search(settings(a, "apple", false, false), nullptr), again, "after eviction");
}

}  // namespace
