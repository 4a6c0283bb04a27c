// The library's core on its own: General-number texts, ordering the cells of
// a sheet, and saving a large export.
//
//   bench_xl_core [--cells N] [--dir DIR]
//
// Targets (printed with each figure): formatGeneral under 150 ns a number;
// finish() of N = 10,000,000 cells under 0.1 s when they arrive in order and
// under 3 s when shuffled; a book of 10,000,000 short cell texts under 400 MB
// of resident memory; saving a 200,000-row export under 5 s.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "platform/xl/book.h"
#include "platform/xl/cellformat.h"
#include "platform/xl/xlapi.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long rssMiB() {
  FILE* f = std::fopen("/proc/self/status", "r");
  long kb = 0;
  char line[256];
  while (f && std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
  if (f) std::fclose(f);
  return kb / 1024;
}

void report(const char* what, double value, const char* unit, double target) {
  std::printf("  %-44s %10.3f %-3s (target < %g) %s\n", what, value, unit, target, value < target ? "ok" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  size_t cells = 10'000'000;
  std::string dir = "/tmp";
  for (int i = 1; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], "--cells")) cells = std::strtoull(argv[++i], nullptr, 10);
    if (!std::strcmp(argv[i], "--dir")) dir = argv[++i];
  }

  {  // General numbers: integers, prices, fractions, large and small magnitudes
    std::mt19937_64 rng(1);
    std::vector<double> values(2'000'000);
    for (size_t i = 0; i < values.size(); ++i) {
      switch (i % 4) {
        case 0: values[i] = static_cast<double>(rng() % 1000000); break;
        case 1: values[i] = static_cast<double>(rng() % 100000) / 100.0; break;
        case 2: values[i] = std::ldexp(static_cast<double>(rng() >> 11), -53); break;
        default: values[i] = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 120) - 60);
      }
    }
    size_t total = 0;
    double t = now();
    for (double v : values) total += xl::formatGeneral(v).size();
    double ns = (now() - t) * 1e9 / static_cast<double>(values.size());
    report("formatGeneral, ns a number", ns, "ns", 150);
    if (total == 0) std::puts("");
  }

  const uint32_t cols = 10;
  {  // finish() on cells in order, then shuffled
    xl::Sheet sorted;
    for (size_t i = 0; i < cells; ++i)
      sorted.addCell(static_cast<uint32_t>(i / cols), static_cast<uint32_t>(i % cols), 0, 0);
    double t = now();
    sorted.finish();
    report("finish(), cells in order, s", now() - t, "s", 0.1);

    std::vector<std::pair<uint32_t, uint32_t>> pos(cells);
    for (size_t i = 0; i < cells; ++i) pos[i] = {static_cast<uint32_t>(i / cols), static_cast<uint32_t>(i % cols)};
    std::shuffle(pos.begin(), pos.end(), std::mt19937(2));
    xl::Sheet shuffled;
    for (auto& p : pos) shuffled.addCell(p.first, p.second, 0, 0);
    std::vector<std::pair<uint32_t, uint32_t>>().swap(pos);
    t = now();
    shuffled.finish();
    report("finish(), cells shuffled, s", now() - t, "s", 3);
  }

  {  // resident memory of a loaded-size book
    long before = rssMiB();
    xl::Book book;
    book.sheets.emplace_back();
    xl::Sheet& s = book.sheets.back();
    char buf[32];
    for (size_t i = 0; i < cells; ++i) {
      int n = std::snprintf(buf, sizeof buf, "客户-%zu", i % 100000);
      uint32_t off;
      if (!book.addText(std::string_view(buf, static_cast<size_t>(n)), off)) break;
      s.addCell(static_cast<uint32_t>(i / cols), static_cast<uint32_t>(i % cols), off, static_cast<uint32_t>(n));
    }
    s.finish();
    report("book of N short texts, MiB resident", static_cast<double>(rssMiB() - before), "MiB", 400);
  }

  {  // an export of 200,000 result rows through the C entry points
    const XlApi& api = staticXlApi();
    BookHandle b = api.createXMLBook();
    SheetHandle ws = api.bookInsertSheet(b, 0, "搜索结果", nullptr);
    FormatHandle f = api.bookAddFormat(b, nullptr);
    api.formatSetBorder(f, 1);
    std::string path = dir + "/bench_xl_core_export.xlsx";
    double t = now();
    for (int r = 0; r < 200000; ++r) {
      std::string file = "/home/用户/文档/报表/" + std::to_string(r % 977) + ".xlsx";
      api.sheetWriteStr(ws, r, 0, file.c_str(), f);
      api.sheetWriteStr(ws, r, 1, "Sheet1", f);
      api.sheetWriteStr(ws, r, 2, std::to_string(r).c_str(), f);
      api.sheetWriteStr(ws, r, 3, "3", f);
      api.sheetWriteStr(ws, r, 4, "合同编号 12345 已付款", f);
    }
    api.sheetAddIgnoredError(ws, 0, 0, 199999, 4, 255);
    int ok = api.bookSave(b, path.c_str());
    report("export of 200,000 rows written and saved, s", now() - t, "s", 5);
    if (!ok) std::printf("  save failed: %s\n", api.bookErrorMessage(b));
    api.bookRelease(b);
    std::remove(path.c_str());
  }
  return 0;
}
