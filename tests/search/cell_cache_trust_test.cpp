// The cell cache as a careful user and a hostile local user try it: never a
// stale hit (whole-second and 2-second file systems, for real on mounted
// images), never a cache another user can read or plant, settings read
// strictly, a degraded cache that says so, and many processes searching,
// clearing and killed at once without damage.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "search/cache_settings.h"
#include "search/cell_cache.h"
#include "search/file_stamp.h"
#include "search/read_ahead.h"
#include "tests/search/cache_books.h"
#include "tests/search/search_outcome.h"

namespace fs = std::filesystem;

namespace {

const std::string kCli = std::string(QUORVANE_BINARY_DIR) + "/cli/quorvane-search";
constexpr int64_t kSecond = 1'000'000'000;

fs::path scratch() {
  static const fs::path root = [] {
    const fs::path r = fs::path(QUORVANE_TEST_SCRATCH) / ("cache-trust-" + std::to_string(::getpid()));
    fs::remove_all(r);
    fs::create_directories(r);
    // Other users (the two-user tests) pass through it.
    fs::permissions(r, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    return r;
  }();
  return root;
}

struct CliRun {
  int status = -1;
  std::string out, err;
};

// The command line with `env` before it (variables, or setpriv for another user).
CliRun cli(const std::string& env, const std::string& args) {
  static int n = 0;
  const fs::path out = scratch() / ("run" + std::to_string(++n) + ".out");
  const fs::path err = scratch() / ("run" + std::to_string(n) + ".err");
  CliRun r;
  r.status = runShell(env + " '" + kCli + "' " + args + " >'" + out.string() + "' 2>'" + err.string() + "'");
  r.out = readAll(out);
  r.err = readAll(err);
  return r;
}

int lineCount(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

// Every entry path of a cache database, read as root (or its owner).
std::vector<std::string> entryPaths(const fs::path& database) {
  std::vector<std::string> out;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT path FROM entries", -1, &st, nullptr) == SQLITE_OK)
      while (sqlite3_step(st) == SQLITE_ROW)
        out.emplace_back(static_cast<const char*>(sqlite3_column_blob(st, 0)),
                         static_cast<size_t>(sqlite3_column_bytes(st, 0)));
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

std::string integrityCheck(const fs::path& database) {
  std::string out;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK)
      while (sqlite3_step(st) == SQLITE_ROW) out += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
  } else {
    out = sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  return out;
}

Outcome searchWith(const fs::path& folder, const std::string& text, CellCache* cache) {
  SearchSettings s;
  s.searchText = text;
  s.folderText = folder.string();
  std::atomic<int> stop{0};
  Outcome o;
  {
    ReadAheadSource source(staticXlApi(), stop, {2, 512u << 20, 0});
    if (cache) source.useCache(cache, text);
    o = runOutcome(s, source, stop, {});
  }
  if (cache) cache->flush();
  return o;
}

bool shows(const Outcome& o, const std::string& text) {
  for (const std::string& c : o.cells)
    if (c.find(text) != std::string::npos) return true;
  return false;
}

bool root() { return ::geteuid() == 0; }

// A clock an hour ahead: every file just written counts as settled.
int64_t anHourOn() { return wallClockNs() + 3600 * kSecond; }

// Two unprivileged users for the tests that need them (nobody's uid and one below).
constexpr int kOther = 65534, kUser = 65533;
std::string as(int uid) {
  return "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) + " --clear-groups env ";
}

// Whether the unprivileged users can reach the test's scratch folder (a
// build under a private home cannot be).
bool usersCanReachScratch() {
  return runShell(as(kUser) + "test -x '" + scratch().string() + "'") == 0 &&
         runShell(as(kOther) + "test -x '" + scratch().string() + "'") == 0;
}

void chownTree(const fs::path& p, int uid) {
  ASSERT_EQ(::lchown(p.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid)), 0) << p;
  if (!fs::is_directory(fs::symlink_status(p))) return;
  for (const auto& e : fs::recursive_directory_iterator(p)) {
    ASSERT_EQ(::lchown(e.path().c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid)), 0) << e.path();
  }
}

}  // namespace

TEST(FileStamp, ATimeWithinItsStepOfTheLookIsNotSettled) {
  const int64_t t = 1'700'000'000 * kSecond;
  // Whole seconds (ext4 with 128-byte inodes, FAT): two seconds' margin.
  EXPECT_FALSE(isSettled({1, 2, 10, t, t}, t + kSecond / 2));
  EXPECT_FALSE(isSettled({1, 2, 10, t, t}, t + kSecond + kSecond / 2));
  EXPECT_TRUE(isSettled({1, 2, 10, t, t}, t + 2 * kSecond));
  // Fractions: the clock's tick.
  EXPECT_FALSE(isSettled({1, 2, 10, t + 123'456'789, t + 123'456'789}, t + 130'000'000));
  EXPECT_TRUE(isSettled({1, 2, 10, t + 123'456'789, t + 123'456'789}, t + 200'000'000));
  // Each time by its own step: FAT's 2-second modification time beside a
  // change time in hundredths.
  EXPECT_FALSE(isSettled({1, 2, 10, t, t - 3 * kSecond + 10'000'000}, t + kSecond));
  EXPECT_FALSE(isSettled({1, 2, 10, t - 5 * kSecond, t + 10'000'000}, t + 20'000'000));
  // Times in the future (another machine's clock): never settled.
  EXPECT_FALSE(isSettled({1, 2, 10, t + 5 * kSecond, t}, t + 3 * kSecond));
}

// A file system of 2-second times, as FAT's (the stamp injected): a search
// in the same 2 seconds as the write, then a rewrite of the same size that
// leaves the stamp as it was. The later searches must show the new text.
TEST(CellCacheTrust, ARewriteOfTheSameSizeWithinTheSameSecondIsNeverAStaleHit) {
  const fs::path dir = scratch() / "same-second";
  fs::create_directories(dir);
  const fs::path book = dir / "w.xlsx";
  writeOneCell(book, "needle-old-aa");
  const uintmax_t size = fs::file_size(book);
  const int64_t written = 1'700'000'000 * kSecond;  // the file system's time of both writes
  int64_t now = written + kSecond / 2;
  CellCacheOptions o;
  o.directory = (scratch() / "same-second-cache").string();
  o.clock = [&] { return now; };
  o.stat = [&](const std::string& path, FileStamp& s, int& err) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      err = errno;
      return false;
    }
    s = {st.st_dev, st.st_ino, static_cast<int64_t>(size), written, written};
    return true;
  };
  {
    CellCache cache(o);
    ASSERT_TRUE(cache.usable());
    EXPECT_TRUE(shows(searchWith(dir, "needle", &cache), "needle-old"));
    EXPECT_EQ(cache.stats().stored, 0u) << "looked at within its times' step: not kept";
    EXPECT_EQ(cache.stats().bypassed, 1u);
  }
  writeOneCellOfSize(book, "needle-new", size);
  now = written + kSecond + kSecond / 2;
  for (int run = 0; run < 2; ++run) {
    CellCache cache(o);
    const Outcome got = searchWith(dir, "needle", &cache);
    EXPECT_TRUE(shows(got, "needle-new")) << "run " << run;
    EXPECT_FALSE(shows(got, "needle-old")) << "run " << run;
  }
  // Two seconds on, the times are settled: kept, and used.
  now = written + 2 * kSecond;
  {
    CellCache cache(o);
    EXPECT_TRUE(shows(searchWith(dir, "needle", &cache), "needle-new"));
    EXPECT_EQ(cache.stats().stored, 1u);
  }
  CellCache cache(o);
  EXPECT_TRUE(shows(searchWith(dir, "needle", &cache), "needle-new"));
  EXPECT_EQ(cache.stats().books, 1u);
  EXPECT_EQ(cache.stats().misses, 0u);
}

// The same for real: ext4 with second and nanosecond times, FAT and tmpfs,
// each on a loop-mounted image. The rewrite is tried again until it lands in
// the same second as the write (the stamp unchanged) on the coarse ones.
TEST(CellCacheTrust, LoopMountedFileSystemsNeverGiveAStaleHit) {
  if (!root()) GTEST_SKIP() << "mounting file systems needs root";
  const fs::path base = scratch() / "mounts";
  fs::create_directories(base);
  const fs::path oldBook = base / "old.xlsx", newBook = base / "new.xlsx";
  writeOneCell(oldBook, "needle-old-aa");
  writeOneCellOfSize(newBook, "needle-new", fs::file_size(oldBook));
  struct Kind {
    const char* name;
    std::string make;  // makes the image at $IMG; empty: tmpfs
    bool coarse;
  };
  const Kind kinds[] = {{"ext4-seconds", "mkfs.ext4 -q -F -I 128 \"$IMG\"", true},
                        {"ext4", "mkfs.ext4 -q -F \"$IMG\"", false},
                        {"vfat", "mkfs.vfat \"$IMG\"", true},
                        {"tmpfs", "", false}};
  int tested = 0;
  for (const Kind& k : kinds) {
    const fs::path img = base / (std::string(k.name) + ".img");
    const fs::path mnt = base / k.name;
    fs::create_directories(mnt);
    const std::string env = "export IMG='" + img.string() + "'; ";
    std::string mount;
    if (k.make.empty()) {
      mount = "mount -t tmpfs -o size=16m tmpfs '" + mnt.string() + "'";
    } else {
      if (runShell(env + "truncate -s 16M \"$IMG\" && " + k.make + " >/dev/null 2>&1") != 0) {
        std::printf("skipped %s: cannot make the image (%s)\n", k.name, k.make.c_str());
        continue;
      }
      mount = "mount -o loop '" + img.string() + "' '" + mnt.string() + "'";
    }
    if (runShell(mount + " 2>/dev/null") != 0) {
      std::printf("skipped %s: this machine does not allow mounting it\n", k.name);
      continue;
    }
    ++tested;
    const fs::path book = mnt / "w.xlsx";
    const std::string cacheEnv = "XDG_CACHE_HOME='" + (base / (std::string(k.name) + "-cache")).string() + "'";
    const std::string args = "--folder '" + mnt.string() + "' --text needle --json";
    bool sameStamp = false;
    for (int attempt = 0; attempt < 10 && !sameStamp; ++attempt) {
      runShell("cat '" + oldBook.string() + "' >'" + book.string() + "'");
      struct stat before {}, after {};
      ::stat(book.c_str(), &before);
      const CliRun first = cli(cacheEnv, args);
      EXPECT_NE(first.out.find("needle-old"), std::string::npos) << k.name;
      runShell("cat '" + newBook.string() + "' >'" + book.string() + "'");
      ::stat(book.c_str(), &after);
      sameStamp = before.st_mtim.tv_sec == after.st_mtim.tv_sec && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec &&
                  before.st_ctim.tv_sec == after.st_ctim.tv_sec && before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
      for (int later = 0; later < 2; ++later) {
        const CliRun again = cli(cacheEnv, args);
        EXPECT_NE(again.out.find("needle-new"), std::string::npos) << k.name << " attempt " << attempt;
        EXPECT_EQ(again.out.find("needle-old"), std::string::npos) << k.name << " attempt " << attempt;
      }
    }
    if (k.coarse) {
      EXPECT_TRUE(sameStamp) << k.name << ": the rewrite never kept the file's stamp";
    }
    runShell("umount '" + mnt.string() + "'");
    fs::remove(img);
  }
  if (tested == 0) GTEST_SKIP() << "no file system could be mounted here";
}

// Another user pre-creates the cache folder where the victim's cache lives
// (a shared temporary folder), open to all, with a database of his in it:
// the victim's search must neither read it nor put a cell of hers there.
TEST(CellCacheTrust, AFolderOfAnotherUserOrWritableByOthersIsNeverUsed) {
  if (!root()) GTEST_SKIP() << "acting as two users needs root";
  if (!usersCanReachScratch()) GTEST_SKIP() << "other users cannot reach " << scratch();
  const fs::path base = scratch() / "two-users";
  const fs::path shared = base / "shared", tree = base / "private", otherTree = base / "others";
  fs::create_directories(shared);
  fs::create_directories(tree);
  fs::create_directories(otherTree);
  fs::permissions(base, fs::perms::owner_all | fs::perms::others_exec);
  writeOneCell(tree / "secret.xlsx", "secret-cell");
  writeOneCell(otherTree / "his.xlsx", "his-cell");
  chownTree(tree, kUser);
  fs::permissions(tree, fs::perms::owner_all);
  chownTree(otherTree, kOther);
  ::chmod(shared.c_str(), 01777);
  const std::string env = "XDG_CACHE_HOME='" + shared.string() + "' ";
  // The other user's search makes the folder; he opens it and its database to all.
  ASSERT_EQ(cli(as(kOther) + "sh -c 'umask 000; exec \"$0\" \"$@\"' env " + env,
                "--folder '" + otherTree.string() + "' --text his")
                .status,
            0);
  const fs::path folder = shared / "quorvane", database = folder / "cells-1.sqlite";
  ASSERT_TRUE(fs::exists(database));
  ::chmod(folder.c_str(), 0777);
  ::chmod(database.c_str(), 0666);
  const std::string want = cli("QUORVANE_CACHE=0", "--folder '" + tree.string() + "' --text secret --json").out;
  ASSERT_NE(want.find("secret-cell"), std::string::npos);

  for (const char* how : {"his, open to all", "hers, open to all", "his, closed"}) {
    const std::string h = how;
    chownTree(folder, h.rfind("his", 0) == 0 ? kOther : kUser);
    ::chmod(folder.c_str(), h.find("closed") != std::string::npos ? 0700 : 0777);
    const CliRun r = cli(as(kUser) + env, "--folder '" + tree.string() + "' --text secret --json");
    EXPECT_EQ(r.out, want) << how;
    EXPECT_EQ(lineCount(r.err), 2) << how << ": one line on the cache, then 搜索完成！\n" << r.err;
    EXPECT_NE(r.err.find(folder.string()), std::string::npos) << how << ": the folder named\n" << r.err;
    for (const std::string& p : entryPaths(database))
      EXPECT_NE(p.rfind(tree.string(), 0), 0u) << how << ": her cells in the database: " << p;
  }
}

// In the user's own cache folder: a link at the database's path (to another
// database of hers), another program's database there, a link as its log:
// never written to, and said once.
TEST(CellCacheTrust, APlantedLinkOrDatabaseIsNeverWrittenTo) {
  const bool two = root() && usersCanReachScratch();
  if (!two) std::printf("not root, or other users cannot reach the scratch folder: tried as this user only\n");
  const int uid = two ? kUser : static_cast<int>(::geteuid());
  const std::string runAs = two ? as(uid) : "env ";
  const fs::path base = scratch() / "planted";
  const fs::path tree = base / "tree", home = base / "home", folder = home / "quorvane";
  fs::create_directories(tree);
  fs::create_directories(folder);
  writeOneCell(tree / "book.xlsx", "planted-cell");
  const fs::path other = base / "mine.sqlite";
  auto makeOther = [&](const fs::path& p) {
    fs::remove(p);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(p.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(x); INSERT INTO notes VALUES('keep me')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  };
  const std::string want = cli("QUORVANE_CACHE=0", "--folder '" + tree.string() + "' --text planted --json").out;
  ASSERT_NE(want.find("planted-cell"), std::string::npos);
  const fs::path database = folder / "cells-1.sqlite";
  struct Case {
    const char* name;
    std::function<void()> plant;
    fs::path kept;  // the file that must come out as it went in
  };
  const Case cases[] = {
      {"a link to another database", [&] { makeOther(other); fs::create_symlink(other, database); }, other},
      {"another program's database", [&] { makeOther(database); }, database},
      {"a link as its log", [&] { makeOther(other); fs::create_symlink(other, database.string() + "-wal"); }, other},
  };
  for (const Case& c : cases) {
    std::vector<fs::path> left;
    for (const auto& e : fs::directory_iterator(folder)) left.push_back(e.path());
    for (const fs::path& p : left) fs::remove(p);
    c.plant();
    if (two) {
      chownTree(base, uid);
      fs::permissions(folder, fs::perms::owner_all);
    }
    const std::string before = readAll(c.kept);
    const CliRun r = cli(runAs + "XDG_CACHE_HOME='" + home.string() + "'", "--folder '" + tree.string() +
                                                                          "' --text planted --json");
    EXPECT_EQ(r.out, want) << c.name;
    EXPECT_EQ(readAll(c.kept), before) << c.name << ": written to";
    EXPECT_EQ(lineCount(r.err), 2) << c.name << "\n" << r.err;
    EXPECT_NE(r.err.find(database.string()), std::string::npos) << c.name << "\n" << r.err;
  }

  // A new cache is the user's alone whatever the umask.
  fs::remove_all(folder);
  const CliRun r = cli(runAs + "sh -c 'umask 000; exec \"$0\" \"$@\"' env XDG_CACHE_HOME='" + home.string() + "'",
                    "--folder '" + tree.string() + "' --text planted --json");
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(database).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST(CacheSettings, AreParsedStrictly) {
  for (const char* off : {"0", "off", "OFF", "No", "false", "FALSE"}) {
    bool on = true;
    EXPECT_TRUE(parseCacheSwitch(off, on) && !on) << off;
  }
  for (const char* yes : {"1", "on", "ON", "Yes", "true", "True"}) {
    bool on = false;
    EXPECT_TRUE(parseCacheSwitch(yes, on) && on) << yes;
  }
  for (const char* bad : {"", "2", "nein", "off ", " on", "enabled"}) {
    bool on = true;
    EXPECT_FALSE(parseCacheSwitch(bad, on)) << bad;
  }
  const std::pair<const char*, uint64_t> sizes[] = {
      {"1", 1},          {"5000", 5000},       {"5K", 5120},          {"5k", 5120},
      {"5KB", 5120},     {"5KiB", 5120},       {"5M", 5u << 20},      {"5mib", 5u << 20},
      {"3G", 3ull << 30}, {"2T", 2ull << 40},  {"100b", 100},
      {"9223372036854775807", 9223372036854775807ull}, {"8388607T", 8388607ull << 40}};
  for (const auto& [text, bytes] : sizes) {
    uint64_t got = 0;
    EXPECT_TRUE(parseCacheSize(text, got)) << text;
    EXPECT_EQ(got, bytes) << text;
  }
  for (const char* bad : {"", "abc", "-1", "+5", "0", "5MB5", "1e99", "inf", "nan", "0x10", "1.5G", " 5", "5 ",
                          "5P", "9223372036854775808", "8388608T", "99999999999999999999999"}) {
    uint64_t got = 42;
    EXPECT_FALSE(parseCacheSize(bad, got)) << bad;
    EXPECT_EQ(got, 42u) << bad;
  }

  // The command line: OFF in capitals turns it off; a value not taken is said.
  const fs::path tree = scratch() / "settings-tree", home = scratch() / "settings-home";
  fs::create_directories(tree);
  writeOneCell(tree / "b.xlsx", "setting-cell");
  const std::string args = "--folder '" + tree.string() + "' --text setting --json";
  const std::string want = cli("QUORVANE_CACHE=0", args).out;
  const CliRun off = cli("QUORVANE_CACHE=OFF XDG_CACHE_HOME='" + home.string() + "'", args);
  EXPECT_EQ(off.out, want);
  EXPECT_FALSE(fs::exists(home / "quorvane" / "cells-1.sqlite")) << "QUORVANE_CACHE=OFF left the cache on";
  for (const char* bad : {"QUORVANE_CACHE=maybe", "QUORVANE_CACHE_MAX=1e99", "QUORVANE_CACHE_MAX=inf",
                          "QUORVANE_CACHE_MAX=5MBB"}) {
    const CliRun r = cli(std::string(bad) + " XDG_CACHE_HOME='" + home.string() + "'", args);
    EXPECT_EQ(r.status, 0) << bad;
    EXPECT_EQ(r.out, want) << bad;
    const std::string name = std::string(bad).substr(0, std::string(bad).find('='));
    EXPECT_NE(r.err.find(name + " 的值无效"), std::string::npos) << bad << "\n" << r.err;
  }
  EXPECT_NE(cli("", "--help").out.find("QUORVANE_CACHE_MAX"), std::string::npos);
}

// --stats says what the cache did; a cache that cannot be written says why
// in one line; a fill kept waiting for the write lock gives its entries up.
TEST(CellCacheTrust, ADegradedCacheSaysWhyOnceAndStatsTellWhatItDid) {
  const fs::path tree = scratch() / "stats-tree", home = scratch() / "stats-home";
  fs::create_directories(tree);
  for (int i = 0; i < 6; ++i) writeOneCell(tree / ("b" + std::to_string(i) + ".xlsx"), "stat-cell " + std::to_string(i));
  std::ofstream(tree / "broken.xls") << "not a workbook";
  // Settled before they are looked at: whole-second file systems wait 2 s.
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const auto& e : fs::directory_iterator(tree)) fs::last_write_time(e.path(), past);
  const std::string args = "--folder '" + tree.string() + "' --text stat --json --stats";
  const std::string want = cli("QUORVANE_CACHE=0", "--folder '" + tree.string() + "' --text stat --json").out;
  const std::string env = "XDG_CACHE_HOME='" + home.string() + "'";
  const fs::path database = home / "quorvane" / "cells-1.sqlite";

  // The write lock held by another process for the whole search.
  {
    const fs::path empty = scratch() / "stats-empty";
    fs::create_directories(empty);
    cli(env, "--folder '" + empty.string() + "' --text x");
    ASSERT_TRUE(fs::exists(database));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const CliRun r = cli(env, args);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(r.out, want);
    EXPECT_NE(r.err.find("新存 0 个，未存 7 个"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("另一个进程"), std::string::npos) << r.err;
  }
  const CliRun cold = cli(env, args);
  EXPECT_EQ(cold.out, want);
  EXPECT_NE(cold.err.find("取用 0 个（其中读取失败 0 个），按摘要跳过 0 个，新存 7 个，未存 0 个"), std::string::npos)
      << cold.err;
  EXPECT_EQ(cold.err.find("写入 0 字节"), std::string::npos) << cold.err;
  const CliRun warm = cli(env, args);
  EXPECT_EQ(warm.out, want);
  EXPECT_NE(warm.err.find("取用 7 个（其中读取失败 1 个），按摘要跳过 0 个，新存 0 个"), std::string::npos) << warm.err;
  const CliRun summary = cli(env, "--folder '" + tree.string() + "' --text zzqq --stats");
  EXPECT_NE(summary.err.find("按摘要跳过 6 个"), std::string::npos) << summary.err;
  EXPECT_NE(cli(env, "--no-cache " + args).err.find("缓存：未使用"), std::string::npos);

  // A full disk: files may not grow past 32 KB (the signal for it ignored).
  const fs::path fullHome = scratch() / "stats-full";
  const fs::path out = scratch() / "stats-full.out", err = scratch() / "stats-full.err";
  runShell("bash -c \"ulimit -f 16; trap '' XFSZ; XDG_CACHE_HOME='" + fullHome.string() + "' exec '" + kCli +
           "' " + args + " >'" + out.string() + "' 2>'" + err.string() + "'\"");
  EXPECT_EQ(readAll(out), want);
  const std::string full = readAll(err);
  EXPECT_EQ(lineCount(full), 3) << "the cache's line, 搜索完成！ and the figures\n" << full;
  EXPECT_NE(full.find((fullHome / "quorvane" / "cells-1.sqlite").string()), std::string::npos) << full;
}

// A failure entry whose text was damaged on disk is damage: the file is
// read again, never shown with the damaged text.
TEST(CellCacheTrust, ADamagedFailureEntryIsDamageNotAFailureRow) {
  const fs::path dir = scratch() / "failure-entry";
  fs::create_directories(dir);
  std::ofstream(dir / "broken.xls") << "this is not a workbook";
  writeOneCell(dir / "good.xlsx", "fine");
  const Outcome off = searchWith(dir, "fine", nullptr);
  CellCacheOptions o;
  o.directory = (scratch() / "failure-entry-cache").string();
  o.clock = anHourOn;
  std::string database;
  {
    CellCache cache(o);
    database = cache.databasePath();
    searchWith(dir, "fine", &cache);
    EXPECT_EQ(cache.stats().stored, 2u);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "UPDATE entries SET failure = CAST('X' || substr(CAST(failure AS TEXT), 2) AS BLOB)"
                         " WHERE failure IS NOT NULL",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(sqlite3_changes(db), 1);
  sqlite3_close(db);
  for (int run = 0; run < 2; ++run) {
    CellCache cache(o);
    const Outcome got = searchWith(dir, "fine", &cache);
    EXPECT_EQ(got.cells, off.cells) << "run " << run;
  }
}

// --clear-cache while a search has the cache open: emptied inside the same
// file, which the open cache goes on using.
TEST(CellCacheTrust, ClearingWhileASearchHasTheCacheOpenEmptiesItInPlace) {
  const fs::path dir = scratch() / "clear-in-place";
  fs::create_directories(dir);
  for (int i = 0; i < 4; ++i) writeOneCell(dir / ("b" + std::to_string(i) + ".xlsx"), "clear-cell");
  const Outcome off = searchWith(dir, "clear", nullptr);
  CellCacheOptions o;
  o.directory = (scratch() / "clear-in-place-cache").string();
  o.clock = anHourOn;
  CellCache cache(o);
  EXPECT_EQ(searchWith(dir, "clear", &cache).cells, off.cells);
  struct stat before {}, after {};
  ASSERT_EQ(::stat(cache.databasePath().c_str(), &before), 0);
  ASSERT_EQ(entryPaths(cache.databasePath()).size(), 4u);
  std::string problem;
  ASSERT_TRUE(clearCellCache(o.directory, &problem)) << problem;
  ASSERT_EQ(::stat(cache.databasePath().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino) << "the database was replaced, not emptied";
  EXPECT_TRUE(entryPaths(cache.databasePath()).empty());
  const CellCache::Stats was = cache.stats();
  EXPECT_EQ(searchWith(dir, "clear", &cache).cells, off.cells);
  EXPECT_EQ(cache.stats().misses - was.misses, 4u);
  EXPECT_EQ(integrityCheck(cache.databasePath()), "ok");
}

// Eight processes at once, round after round: six searches, one clearing
// the cache and one killed mid-search. Every output is the search's without
// the cache; the database is whole after every round.
TEST(CellCacheTrust, EightProcessesWithAClearingAndAKillNeverCorruptTheCache) {
  const char* roundsText = std::getenv("QUORVANE_STRESS_ROUNDS");
  const int rounds = roundsText ? std::atoi(roundsText) : 20;
  const fs::path tree = scratch() / "eight-tree", home = scratch() / "eight-home";
  for (int d = 0; d < 3; ++d) {
    fs::create_directories(tree / std::to_string(d));
    for (int i = 0; i < 8; ++i)
      writeOneCell(tree / std::to_string(d) / ("b" + std::to_string(i) + ".xlsx"),
                   "eight " + std::to_string(d * 8 + i) + std::string(static_cast<size_t>(i) * 40, 'x'));
  }
  std::ofstream(tree / "broken.xls") << "not a workbook";
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const auto& e : fs::recursive_directory_iterator(tree)) fs::last_write_time(e.path(), past);
  const std::string texts[2] = {"eight", "xxxx"};
  std::string want[2];
  for (int t = 0; t < 2; ++t)
    want[t] = cli("QUORVANE_CACHE=0", "--folder '" + tree.string() + "' --text " + texts[t] + " --json").out;
  const std::string env = "XDG_CACHE_HOME='" + home.string() + "' ";
  const fs::path database = home / "quorvane" / "cells-1.sqlite";
  std::mt19937 rng(20);
  int checks = 0;
  for (int round = 0; round < rounds; ++round) {
    std::string command = "(";
    for (int p = 0; p < 6; ++p)
      command += env + "'" + kCli + "' --folder '" + tree.string() + "' --text " + texts[p % 2] + " --json >'" +
                 (scratch() / ("eight" + std::to_string(p))).string() + "' 2>/dev/null & ";
    command += env + "'" + kCli + "' --clear-cache 2>/dev/null & ";
    // Killed at a moment of chance: before, during or after its fill.
    char delay[32];
    std::snprintf(delay, sizeof delay, "0.%03u", static_cast<unsigned>(rng() % 400));
    command += env + "'" + kCli + "' --folder '" + tree.string() + "' --text eight >/dev/null 2>&1 & k=$!; sleep " +
               delay + "; kill -9 $k 2>/dev/null; wait)";
    runShell(command);
    for (int p = 0; p < 6; ++p)
      EXPECT_EQ(readAll(scratch() / ("eight" + std::to_string(p))), want[p % 2]) << "round " << round << " process "
                                                                                 << p;
    if (fs::exists(database)) {
      EXPECT_EQ(integrityCheck(database), "ok") << "round " << round;
      ++checks;
    }
  }
  std::printf("%d rounds, %d integrity checks\n", rounds, checks);
  EXPECT_EQ(checks, rounds);
}

// A damaged database is made anew inside the same file, as a clearing is:
// another process that has it open is never left with a file pulled away.
TEST(CellCacheTrust, ADamagedCacheIsMadeAnewInPlace) {
  const fs::path dir = scratch() / "damaged-in-place";
  fs::create_directories(dir);
  writeOneCell(dir / "b.xlsx", "damage-cell");
  const Outcome off = searchWith(dir, "damage", nullptr);
  CellCacheOptions o;
  o.directory = (scratch() / "damaged-in-place-cache").string();
  o.clock = anHourOn;
  std::string database;
  {
    CellCache cache(o);
    database = cache.databasePath();
    searchWith(dir, "damage", &cache);
  }
  // Held open as another process would hold it.
  const int held = ::open(database.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  {
    std::fstream f(database, std::ios::in | std::ios::out | std::ios::binary);
    f.write(std::string(100, '\x5A').data(), 100);
  }
  for (int run = 0; run < 2; ++run) {
    CellCache cache(o);
    EXPECT_TRUE(cache.usable()) << "run " << run;
    EXPECT_EQ(searchWith(dir, "damage", &cache).cells, off.cells) << "run " << run;
    if (run == 1) {
      EXPECT_EQ(cache.stats().misses, 0u) << "made anew";
    }
  }
  struct stat st {};
  ASSERT_EQ(::fstat(held, &st), 0);
  ::close(held);
  EXPECT_EQ(st.st_nlink, 1u) << "the damaged database was removed, not emptied";
  EXPECT_EQ(integrityCheck(database), "ok");
}
