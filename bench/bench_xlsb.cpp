// What reading an .xlsb costs beside the same cells as an .xlsx.
//
//   bench_xlsb [--rows N] [--cols C] [--runs K] [--dir DIR] [--only xlsb|xlsx]
//
// Writes one sheet of N rows by C columns (default 100,000 by 10: a million
// cells, a third each integers, reals and shared strings) twice with
// tests/platform/xl/make_xlsb.py, as .xlsb and as .xlsx, loads the two in turn K
// times (default 5) and prints for each the median CPU and wall time of a
// load, the CPU time per million cells, and the .xlsb/.xlsx ratio. With
// --only it loads just one of them K times and prints nothing, for counting
// instructions: perf stat -e instructions:u bench_xlsb --only xlsb.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/xl/book.h"

namespace {

double wallNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU time of the process (the inflating thread included): on a busy
// machine it says more than the clock.
double cpuNow() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Timing {
  std::vector<double> cpu, wall;
};

bool loadOnce(const std::string& path, size_t cells, Timing& t) {
  xl::Book book;
  const double w = wallNow(), c = cpuNow();
  const bool ok = book.load(path);
  t.cpu.push_back(cpuNow() - c);
  t.wall.push_back(wallNow() - w);
  if (!ok || book.sheets.empty() || book.sheets[0].cells().size() != cells) {
    std::fprintf(stderr, "bench_xlsb: %s: %s\n", path.c_str(), ok ? "wrong cell count" : book.errorText().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 100000, cols = 10;
  int runs = 5;
  std::string only;
  std::string dir = std::filesystem::temp_directory_path() / "quorvane-bench-xlsb";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rows")) rows = std::atol(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--cols")) cols = std::atol(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--runs")) runs = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
    else if (!std::strcmp(argv[i], "--only")) only = argv[i + 1];
  }
  if (rows < 1 || cols < 1 || cols > 52 || runs < 1 || !(only.empty() || only == "xlsb" || only == "xlsx")) {
    std::fprintf(stderr, "usage: bench_xlsb [--rows N] [--cols C (1-52)] [--runs K] [--dir DIR] [--only xlsb|xlsx]\n");
    return 2;
  }
  std::filesystem::create_directories(dir);
  const std::string base = dir + "/cells-" + std::to_string(rows) + "x" + std::to_string(cols);
  if (!std::filesystem::exists(base + ".xlsb") || !std::filesystem::exists(base + ".xlsx")) {
    const std::string cmd = "/usr/bin/python3 '" QUORVANE_SOURCE_DIR "/tests/platform/xl/make_xlsb.py' --big " +
                            std::to_string(rows) + " " + std::to_string(cols) + " '" + base + "'";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "bench_xlsb: make_xlsb.py failed\n");
      return 1;
    }
  }
  const size_t cells = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  Timing binary, xml;
  if (!only.empty()) {
    for (int r = 0; r < runs; ++r)
      if (!loadOnce(base + "." + only, cells, binary)) return 1;
    return 0;
  }
  // Warm the page cache, then alternate so both see the same machine.
  if (!loadOnce(base + ".xlsb", cells, binary) || !loadOnce(base + ".xlsx", cells, xml)) return 1;
  binary = {};
  xml = {};
  for (int r = 0; r < runs; ++r)
    if (!loadOnce(base + ".xlsb", cells, binary) || !loadOnce(base + ".xlsx", cells, xml)) return 1;

  const double million = static_cast<double>(cells) / 1e6;
  std::printf("%ld x %ld cells, %d runs each (median)\n", rows, cols, runs);
  std::printf("%-6s %12s %12s %10s %16s\n", "format", "file MB", "CPU s", "wall s", "CPU s / M cells");
  for (const auto& [name, t] : {std::pair<const char*, Timing&>{"xlsb", binary}, {"xlsx", xml}}) {
    const auto bytes = std::filesystem::file_size(base + "." + name);
    std::printf("%-6s %12.1f %12.3f %10.3f %16.3f\n", name, static_cast<double>(bytes) / 1e6, median(t.cpu),
                median(t.wall), median(t.cpu) / million);
  }
  std::printf("xlsb / xlsx CPU: %.2f\n", median(binary.cpu) / median(xml.cpu));
  return 0;
}
