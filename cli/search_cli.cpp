#include "cli/search_cli.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <new>
#include <string_view>

#include "app/library_deploy.h"
#include "cli/folder_messages.h"
#include "cli/json_text.h"
#include "cli/library_on_demand.h"
#include "platform/path_text.h"
#include "platform/xl/xlapi.h"
#include "results/export_writer.h"
#include "search/cell_cache.h"
#include "search/read_ahead.h"
#include "search/search_run.h"
#include "search/stop_flag.h"

namespace {

const char kUsage[] =
    "用法：quorvane-search --folder 目录 --text 文本 [--titles] [--skip-hidden] [--json] [--export 文件]\n"
    "                      [--no-cache] [--clear-cache] [--stats]\n"
    "      quorvane-search --clear-cache\n"
    "      quorvane-search --dump 文件\n"
    "      quorvane-search --version\n"
    "  --folder 目录     搜索的文件夹（其下所有子文件夹）\n"
    "  --text 文本       要查找的文本（ASCII 字母不分大小写）\n"
    "  --titles          获取第一行为标题\n"
    "  --skip-hidden     忽略隐藏单元格\n"
    "  --json            每行输出一个 JSON 对象；文件位置不是 UTF-8 时显示可读的名称（按 GBK 解码），\n"
    "                    原样的字节以 base64 放在 \"path_bytes\" 中\n"
    "  --export 文件     把结果写成表格文件（与窗口的“导出结果”相同），不再打印表格；\n"
    "                    搜索完成后才写入，搜索被停止时不导出，原有文件不变\n"
    "  --no-cache        不用缓存，每个工作簿都从文件读取（环境变量 QUORVANE_CACHE=0 同样）\n"
    "  --clear-cache     先清空缓存（~/.cache/quorvane 中的单元格缓存）\n"
    "  --stats           搜索后在标准错误输出缓存的用量（取用、摘要跳过、新存、未存、写入字节、存入用时）\n"
    "  --version         显示版本\n"
    "退出状态：0 有匹配的行；1 没有匹配的行（打开失败的工作簿不算匹配）；\n"
    "          2 出错：参数有误、文件夹不存在、不是文件夹或无法读取、导出失败，\n"
    "            或有子文件夹无法读取（已跳过）而没有匹配的行；\n"
    "          130 被 Ctrl-C 停止（或结果超出内存而停止）；143 被 SIGTERM 停止\n"
    "环境变量：\n"
    "  QUORVANE_CACHE      0/off/no/false 关闭缓存，1/on/yes/true 使用（不分大小写；默认使用）\n"
    "  QUORVANE_CACHE_MAX  缓存大小上限：整数字节数，可带 K/M/G/T（或 KB、KiB 等，按 1024 计；默认 2000000000）\n"
    "  XDG_CACHE_HOME      缓存所在（默认 ~/.cache）；文件夹须属于当前用户且他人不可写，否则不用缓存\n";

// The result of the search, as grep's exit status gives it.
constexpr int kMatched = 0;
constexpr int kNothingMatched = 1;
constexpr int kError = 2;

void appendTableCell(std::string& out, std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
}

void flushIfLarge(std::string& buffer, std::FILE* out, bool force = false) {
  if (buffer.size() >= (1u << 16) || (force && !buffer.empty())) {
    std::fwrite(buffer.data(), 1, buffer.size(), out);
    buffer.clear();
  }
}

// The signal that stopped the search, for the exit status (128 + it).
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signal) {
  stopSignal = signal;
  stopFlag.store(1);
}

// A grid row other than the header and the failure rows: a match or the
// title row written for one.
bool anyRowMatched(const ResultsGrid& grid) {
  for (int r = 1; r < grid.rowCount(); ++r)
    if (grid.cellTextView(r, 1) != kFailureLabel) return true;
  return false;
}

void printCacheStats(const CellCache* cache, std::FILE* out) {
  if (!cache) {
    std::fputs("缓存：未使用\n", out);
    return;
  }
  const CellCache::Stats s = cache->stats();
  std::fprintf(out,
               "缓存：取用 %llu 个（其中读取失败 %llu 个），按摘要跳过 %llu 个，新存 %llu 个，未存 %llu 个，"
               "写入 %llu 字节，存入用时 %.3f 秒\n",
               static_cast<unsigned long long>(s.books + s.failures + s.noHits),
               static_cast<unsigned long long>(s.failures), static_cast<unsigned long long>(s.noMatch),
               static_cast<unsigned long long>(s.stored), static_cast<unsigned long long>(s.bypassed),
               static_cast<unsigned long long>(s.bytesWritten), static_cast<double>(s.fillNs) / 1e9);
}

}  // namespace

bool parseSearchCliArgs(int argc, char** argv, SearchCliOptions& options, bool& help, std::string& error) {
  help = false;
  struct Flag {
    const char* name;
    bool SearchCliOptions::*field;
  };
  struct Value {
    const char* name;
    std::string SearchCliOptions::*field;
    bool SearchCliOptions::*seen;
  };
  static const Flag flags[] = {{"--titles", &SearchCliOptions::titles},
                               {"--skip-hidden", &SearchCliOptions::skipHidden},
                               {"--json", &SearchCliOptions::json},
                               {"--no-cache", &SearchCliOptions::noCache},
                               {"--clear-cache", &SearchCliOptions::clearCache},
                               {"--stats", &SearchCliOptions::stats}};
  static const Value values[] = {{"--folder", &SearchCliOptions::folder, &SearchCliOptions::haveFolder},
                                 {"--text", &SearchCliOptions::text, nullptr},
                                 {"--export", &SearchCliOptions::exportFile, &SearchCliOptions::haveExport}};
  bool haveText = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return true;
    }
    if (arg == "--version") {
      options.version = true;
      return true;
    }
    bool known = false;
    for (const Flag& f : flags) {
      if (arg == f.name) {
        options.*f.field = true;
        known = true;
      }
    }
    for (const Value& v : values) {
      std::string_view name = v.name;
      if (arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=')) {
        if (arg == name) {
          if (i + 1 >= argc) {
            error = std::string(name) + " 缺少取值";
            return false;
          }
          options.*v.field = argv[++i];
        } else {
          options.*v.field = std::string(arg.substr(name.size() + 1));
        }
        if (v.seen) options.*v.seen = true;
        if (name == "--text") haveText = true;
        known = true;
      }
    }
    if (!known) {
      error = "未知参数：" + std::string(arg);
      return false;
    }
  }
  if (options.clearCache && !options.haveFolder && !haveText && !options.haveExport) return true;
  if (!options.haveFolder) {
    error = "缺少 --folder";
    return false;
  }
  if (options.haveExport && options.exportFile.empty()) {
    error = "--export 缺少文件名";
    return false;
  }
  if (!haveText || options.text.empty()) {
    error = "缺少要查找的文本 --text";
    return false;
  }
  return true;
}

// Both forms print a cell as the window shows it: a text longer than a cell
// shows is cut there, or a small file whose every row shows one shared text
// of megabytes would print gigabytes.
void printGridJson(const ResultsGrid& grid, std::FILE* out) {
  std::string line;
  const int columns = grid.columnCount();
  for (int r = 0; r < grid.rowCount(); ++r) {
    line += "{\"cells\":[";
    for (int c = 0; c < columns; ++c) {
      if (c) line += ',';
      appendJsonString(line, ResultsGrid::shownPart(grid.cellTextView(r, c)));
    }
    line += "],\"colours\":[";
    for (int c = 0; c < columns; ++c) {
      if (c) line += ',';
      std::optional<Colour> colour = grid.cellColour(r, c);
      line += colour ? std::to_string(*colour) : "null";
    }
    line += ']';
    // The file column shows the path decoded; a path that is not UTF-8 keeps
    // its bytes beside it in the grid.
    if (const std::string path = grid.rowPath(r); path != grid.cellTextView(r, 0)) {
      line += ",\"path_bytes\":\"";
      appendBase64(line, path);
      line += '"';
    }
    line += "}\n";
    flushIfLarge(line, out);
  }
  flushIfLarge(line, out, true);
  std::fflush(out);
}

void printGridTable(const ResultsGrid& grid, std::FILE* out) {
  std::string line;
  const int columns = grid.columnCount();
  for (int r = 0; r < grid.rowCount(); ++r) {
    for (int c = 0; c < columns; ++c) {
      if (c) line += '\t';
      appendTableCell(line, ResultsGrid::shownPart(grid.cellTextView(r, c)));
    }
    if (std::optional<Colour> colour = grid.cellColour(r, 0)) {
      char text[32];
      std::snprintf(text, sizeof text, "\t[颜色 0x%06X]", static_cast<unsigned>(*colour));
      line += text;
    }
    line += '\n';
    flushIfLarge(line, out);
  }
  flushIfLarge(line, out, true);
  std::fflush(out);
}

int runSearchCli(int argc, char** argv) {
  SearchCliOptions options;
  bool help = false;
  std::string error;
  if (!parseSearchCliArgs(argc, argv, options, help, error)) {
    std::fprintf(stderr, "%s\n%s", error.c_str(), kUsage);
    return kError;
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::puts("quorvane-search " QUORVANE_VERSION);
    return 0;
  }
  // Before anything is done: a mistyped or empty folder is an error, not a
  // search that finds nothing (an empty text would walk the whole disk).
  if (options.haveFolder) {
    const std::string problem = searchFolderProblem(options.folder);
    if (!problem.empty()) {
      std::fprintf(stderr, "%s\n", problem.c_str());
      return kError;
    }
  }

  if (options.clearCache) {
    const std::string dir = libraryCacheDirectory();
    std::string problem;
    if (!clearCellCache(dir, &problem)) {
      std::fprintf(stderr, "%s\n", problem.c_str());
      return kError;
    }
    if (!options.haveFolder) return 0;
  }

  SearchSettings settings;
  settings.searchText = options.text;
  settings.titles = options.titles;
  settings.skipHidden = options.skipHidden;
  settings.folderText = options.folder;

  stopFlag.store(0);
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);

  const XlApi& api = libraryOnDemand();
  // Settings not taken and a cache that cannot be used are said once, here.
  std::vector<std::string> notices;
  std::unique_ptr<CellCache> cache = options.noCache ? nullptr : openCellCacheFromEnvironment(&notices);
  for (const std::string& line : notices) std::fprintf(stderr, "%s\n", line.c_str());
  const std::string problemAtOpen = cache ? cache->problem() : std::string();
  // Loaders read the next workbooks ahead, each into its own book, or take
  // them from the cache.
  ReadAheadSource source(api, stopFlag);
  if (cache) source.useCache(cache.get(), settings.searchText);
  ResultsGrid grid;
  grid.clearForSearch();

  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  if (terminal) std::fputs("搜索中...", stderr);
  auto lastShown = std::chrono::steady_clock::now();
  std::string status;
  auto showProgress = [&](int, int, std::string_view text) {
    if (!terminal || text.empty()) return;
    status.assign(text);
    auto now = std::chrono::steady_clock::now();
    if (now - lastShown < std::chrono::milliseconds(100)) return;
    lastShown = now;
    std::fprintf(stderr, "\r%s\x1b[K", status.c_str());
  };
  // A folder the walk cannot read is said at once and the search goes on,
  // as grep -r does; the status tells of it only when nothing matched.
  bool foldersSkipped = false;
  const UnreadableFolderCallback unreadable = [&](const std::string& folder, int why) {
    foldersSkipped = true;
    if (terminal) std::fputs("\r\x1b[K", stderr);
    std::fprintf(stderr, "%s\n", unreadableFolderMessage(folder, why).c_str());
  };

  bool rowsLost = false;
  bool stopped = runSearch(settings, api, source, stopFlag, [&](ScanOutput& pending, bool) {
    if (!rowsLost) {
      try {
        ResultsGrid::Batch batch(grid);
        pending.applyTo(grid, showProgress);
      } catch (const std::bad_alloc&) {
        // The grid can hold no more: stop, keep what is there, drop the rest.
        rowsLost = true;
        stopFlag.store(1);
      }
    }
    pending.clear();
  }, &unreadable);
  // A signal after the last file still counts: nothing is exported then.
  stopped = stopped || rowsLost || stopSignal != 0;
  grid.setDisabled(false);
  stopFlag.store(1);

  if (terminal) std::fputs("\r\x1b[K", stderr);
  if (options.json) printGridJson(grid, stdout);
  else if (!options.haveExport) printGridTable(grid, stdout);
  if (rowsLost) std::fputs("内存不足，搜索已停止，结果不完整。\n", stderr);
  std::fputs(stopped ? "搜索停止！\n" : "搜索完成！\n", stderr);

  // Only a complete search replaces the file: the writer renames its
  // finished temporary file over it, so a failed write leaves it as well.
  bool exportFailed = false;
  if (options.haveExport) {
    const std::string shown = readablePath(options.exportFile);
    if (stopped) {
      std::fprintf(stderr, "搜索没有完成，未导出：%s\n", shown.c_str());
    } else {
      std::vector<int> widths;
      exportFailed = !writeResultsWorkbook(api, grid, {}, gridColumnTitles(grid), kExportSheetName, widths, false,
                                           options.exportFile);
      std::fprintf(stderr, "%s%s\n", exportFailed ? "导出失败！" : "导出成功！", shown.c_str());
    }
  }
  // What this search read is kept before the program ends; a stopped search
  // ends soon after its stop, keeping what was written by then.
  if (cache) cache->flush(stopped ? std::chrono::milliseconds(300) : std::chrono::milliseconds(20'000));
  // The cache degraded during the search (full disk, damage, another
  // process holding it): the search was right, only slower; say why.
  if (cache && cache->problem() != problemAtOpen) std::fprintf(stderr, "%s\n", cache->problem().c_str());
  if (options.stats) printCacheStats(cache.get(), stderr);

  if (stopSignal != 0) return 128 + stopSignal;
  if (stopped) return 128 + SIGINT;  // the grid ran out of memory: as if stopped by hand
  if (exportFailed) return kError;
  if (anyRowMatched(grid)) return kMatched;
  return foldersSkipped ? kError : kNothingMatched;
}
