// How close the .xlsx reader comes to merely inflating the workbook's parts.
//
//   bench_ooxml [--rows N] [--runs K] [--dir DIR]
//
// Writes two workbooks of 10 columns (mixed Chinese/ASCII text, numbers,
// booleans): one of N rows (default 1,000,000) the way a streaming writer
// stores it (inline strings), one of N/5 rows with a shared-string table the
// way Excel stores it. For each it prints the median time of inflating every
// zip member, the median load time at several chunk sizes (and through expat
// alone), their ratio in CPU time, and the peak resident memory of a process
// that only loads the file.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xlsxwriter.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/xl/book.h"
#include "platform/xl/ooxml_reader.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU time of this process: on a busy machine it says more than the clock.
double cpuNow() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void writeWorkbook(const std::string& path, int rows, bool constantMemory, const std::string& tmp) {
  lxw_workbook_options opt = {};
  opt.constant_memory = constantMemory ? LXW_TRUE : LXW_FALSE;
  opt.tmpdir = const_cast<char*>(tmp.c_str());
  lxw_workbook* wb = workbook_new_opt(path.c_str(), &opt);
  lxw_worksheet* ws = workbook_add_worksheet(wb, "数据");
  const char* words[] = {"客户", "订单", "Shanghai", "北京分公司", "invoice", "合同编号", "paid", "未付款"};
  char buf[64];
  uint32_t seed = 12345;
  auto rnd = [&]() { return seed = seed * 1103515245u + 12345u; };
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < 10; ++c) {
      uint32_t x = rnd() >> 8;
      switch (c % 5) {
        case 0:
        case 1:
          std::snprintf(buf, sizeof buf, "%s-%u", words[x % 8], x % 5000);
          worksheet_write_string(ws, r, c, buf, nullptr);
          break;
        case 2:
          worksheet_write_number(ws, r, c, x % 100000, nullptr);
          break;
        case 3:
          worksheet_write_number(ws, r, c, (x % 1000000) / 100.0, nullptr);
          break;
        default:
          if (x % 3) worksheet_write_boolean(ws, r, c, x % 2, nullptr);
          else worksheet_write_string(ws, r, c, words[x % 8], nullptr);
      }
    }
  }
  if (workbook_close(wb) != LXW_NO_ERROR) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

uint64_t inflateAll(const std::string& path) {
  int err = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &err);
  if (!z) std::exit(1);
  std::vector<char> buf(256 << 10);
  uint64_t total = 0;
  for (zip_int64_t i = 0, n = zip_get_num_entries(z, 0); i < n; ++i) {
    zip_file_t* f = zip_fopen_index(z, static_cast<zip_uint64_t>(i), 0);
    if (!f) continue;
    zip_int64_t got;
    while ((got = zip_fread(f, buf.data(), buf.size())) > 0) total += static_cast<uint64_t>(got);
    zip_fclose(f);
  }
  zip_discard(z);
  return total;
}

bool loadOnce(const std::string& path, size_t chunk, bool fast, size_t& cells) {
  xl::Book book;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  xl::OoxmlLimits limits;
  limits.chunkBytes = chunk;
  limits.fastXml = fast;
  bool ok = xl::readOoxml(fd, book, limits);
  close(fd);
  cells = 0;
  for (const auto& s : book.sheets) cells += s.cells().size();
  if (!ok) std::fprintf(stderr, "load failed: %s\n", book.errorText().c_str());
  return ok;
}

// Peak resident memory (MiB) of a fresh process that loads the file once.
long peakLoadMiB(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    xl::Book book;
    _exit(book.load(path) ? 0 : 1);
  }
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  return ru.ru_maxrss / 1024;
}

void measure(const char* label, const std::string& path, int runs) {
  std::vector<double> t, c;
  uint64_t bytes = 0;
  for (int i = 0; i < runs; ++i) {
    double a = now(), ca = cpuNow();
    bytes = inflateAll(path);
    t.push_back(now() - a);
    c.push_back(cpuNow() - ca);
  }
  double floor = median(t), floorCpu = median(c);
  std::printf("%s: %.1f MB file, %.1f MB inflated\n", label,
              std::filesystem::file_size(path) / 1e6, bytes / 1e6);
  std::printf("  %-24s %7.3f s wall %7.3f s cpu\n", "inflate floor", floor, floorCpu);
  for (size_t chunk : {size_t(64) << 10, size_t(256) << 10, size_t(1) << 20}) {
    for (bool fast : {true, false}) {
      if (!fast && chunk != (size_t(256) << 10)) continue;
      t.clear();
      c.clear();
      size_t cells = 0;
      for (int i = 0; i < runs; ++i) {
        double a = now(), ca = cpuNow();
        if (!loadOnce(path, chunk, fast, cells)) std::exit(1);
        t.push_back(now() - a);
        c.push_back(cpuNow() - ca);
      }
      double load = median(t), loadCpu = median(c);
      char name[64];
      std::snprintf(name, sizeof name, "load%s, %zu KiB chunks", fast ? "" : " (expat)", chunk >> 10);
      std::printf("  %-24s %7.3f s wall %7.3f s cpu  %.2fx floor (cpu)  %.1f M cells/s  %zu cells\n", name, load,
                  loadCpu, loadCpu / floorCpu, cells / loadCpu / 1e6, cells);
    }
  }
  std::printf("  peak memory of a load  %ld MiB\n", peakLoadMiB(path));
}

}  // namespace

int main(int argc, char** argv) {
  int rows = 1'000'000, runs = 3;
  std::string dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rows")) rows = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--runs")) runs = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
  }
  bool own = dir.empty();
  if (own) {
    char tmpl[] = "/tmp/bench_ooxml.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  std::string inlinePath = dir + "/inline.xlsx", sharedPath = dir + "/shared.xlsx";
  if (!std::filesystem::exists(inlinePath)) writeWorkbook(inlinePath, rows, true, dir);
  if (!std::filesystem::exists(sharedPath)) writeWorkbook(sharedPath, std::max(1, rows / 5), false, dir);
  std::printf("cores: %ld\n", sysconf(_SC_NPROCESSORS_ONLN));
  measure("inline strings", inlinePath, runs);
  measure("shared strings", sharedPath, runs);
  if (own) std::filesystem::remove_all(dir);
  return 0;
}
