// Results grid: a million rows of 53 columns into the model, 100,000 rows
// of 13 columns through the view adapter with a GridView on screen, and the
// fit of a column to its widest text over a million rows.
//   bench_grid [model|view|fit|all] [model rows]
// Prints time, resident-memory growth and peak resident memory per case.
#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "results/GridView.h"
#include "results/results_grid.h"

namespace {

long residentKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  long rss = 0;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) rss = std::atol(line.c_str() + 6);
  return rss;
}

long peakKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  long hwm = 0;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) hwm = std::atol(line.c_str() + 6);
  return hwm;
}

double cpuNow() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Wall and processor time since a start; on a busy machine the second is the fairer one.
struct Stopwatch {
  double wall, cpu;
  Stopwatch() { restart(); }
  void restart();
};

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Stopwatch::restart() {
  wall = now();
  cpu = cpuNow();
}

void printHeader() {
  std::printf("%-40s %8s %5s %8s %8s %9s %12s\n", "case", "rows", "cols", "wall s", "cpu s", "RSS +MB",
              "peak RSS MB");
}

void printRow(const char* name, long rows, int cols, const Stopwatch& t, long rssBeforeKb) {
  std::printf("%-40s %8ld %5d %8.3f %8.3f %9.1f %12.1f\n", name, rows, cols, now() - t.wall, cpuNow() - t.cpu,
              (residentKb() - rssBeforeKb) / 1024.0, peakKb() / 1024.0);
  std::fflush(stdout);
}

// Texts shaped like a search's (a relative path, a sheet, an address and the
// row's cells), made once so the timings are the grid's, not the formatting's.
struct TextPool {
  static constexpr int kVariants = 4096;
  std::vector<std::string> texts[64];
  explicit TextPool(int cols) {
    char buf[96];
    for (int c = 0; c < cols; ++c)
      for (int n = 0; n < kVariants; ++n) {
        if (c == 0)
          std::snprintf(buf, sizeof buf, "部门%d/季度报表%d.xlsx", n % 97, n);
        else if (c == 1)
          std::snprintf(buf, sizeof buf, "%d Sheet%d", n % 5 + 1, n % 5 + 1);
        else if (c == 2)
          std::snprintf(buf, sizeof buf, "C%d", n + 2);
        else if (c % 3 == 0)
          std::snprintf(buf, sizeof buf, "%d", n * 31 + c);
        else if (c % 3 == 1)
          std::snprintf(buf, sizeof buf, "数据%d", n % 100);
        else
          std::snprintf(buf, sizeof buf, "item-%d-%d", n, c);
        texts[c].push_back(buf);
      }
  }
  const std::string& at(int col, long n) const { return texts[col][size_t(n % kVariants)]; }
};

void writeRow(ResultsGrid& g, const TextPool& pool, int row, int cols, long n) {
  for (int c = 0; c < cols; ++c) g.setCellText(row, c, pool.at(c, n + c));
}

void widen(ResultsGrid& g, int cols) {
  while (g.columnCount() < cols) {
    g.insertColumn("X");
    g.setColumnWidth(g.columnCount() - 1, 80);
  }
}

void benchModel(long rows) {
  const int cols = 53;
  TextPool pool(cols);
  long rss0 = residentKb();
  ResultsGrid g;
  widen(g, cols);
  Stopwatch t0;
  for (long i = 0; i < rows; ++i) {
    g.insertRow();
    writeRow(g, pool, g.rowCount() - 1, cols, i);
    if (i % 5000 == 0) g.colourWholeRow(g.rowCount() - 1, 0xC080FF);
  }
  printRow("model: append rows, cell by cell", rows, cols, t0, rss0);

  t0.restart();
  size_t bytes = 0;
  for (int r = 1; r < g.rowCount(); ++r)
    for (int c = 0; c < cols; ++c) bytes += g.cellTextView(r, c).size();
  printRow("model: read every cell back", rows, cols, t0, rss0);
  if (bytes == 0) std::puts("(no text read)");

  t0.restart();
  g.clearForSearch();
  printRow("model: clear for the next search", rows, cols, t0, rss0);
}

void benchView(long rows) {
  const int cols = 13;
  TextPool pool(cols);

  for (bool batched : {true, false}) {
    long rss0 = residentKb();
    ResultsGrid g;
    GridView view;
    view.setGrid(&g);
    view.resize(788, 350);
    view.show();
    QApplication::processEvents();
    widen(g, cols);
    Stopwatch t0;
    if (batched) {
      // As the search applies its output: a block of rows per event-loop turn.
      double inGrid = 0, announce = 0, events = 0;
      for (long i = 0; i < rows;) {
        double a = now();
        g.beginBatch();
        for (long k = 0; k < 1000 && i < rows; ++k, ++i) {
          g.insertRow();
          writeRow(g, pool, g.rowCount() - 1, cols, i);
        }
        double b = now();
        g.endBatch();
        double c = now();
        QApplication::processEvents();
        inGrid += b - a;
        announce += c - b;
        events += now() - c;
      }
      std::printf("  (of which: grid %.3f s, announcing to the view %.3f s, event loop and painting %.3f s)\n",
                  inGrid, announce, events);
    } else {
      for (long i = 0; i < rows; ++i) {
        g.insertRow();
        writeRow(g, pool, g.rowCount() - 1, cols, i);
        if (i % 1000 == 0) QApplication::processEvents();
      }
    }
    QApplication::processEvents();
    printRow(batched ? "view: append, batches of 1000 rows" : "view: append, one row at a time", rows, cols,
             t0, rss0);

    t0.restart();
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
    view.viewport()->repaint();
    printRow("view: scroll to the end and repaint", rows, cols, t0, rss0);

    t0.restart();
    g.clearForSearch();
    QApplication::processEvents();
    printRow("view: clear for the next search", rows, cols, t0, rss0);
  }
}

// A double click on a column border: the widest text of a million rows, one
// of them far beyond the rows Qt's own fit samples.
void benchFit(long rows) {
  const int cols = 13;
  TextPool pool(cols);
  ResultsGrid g;
  GridView view;
  view.setGrid(&g);
  view.resize(788, 350);
  view.show();
  widen(g, cols);
  {
    ResultsGrid::Batch batch(g);
    for (long i = 0; i < rows; ++i) {
      g.insertRow();
      writeRow(g, pool, g.rowCount() - 1, cols, i);
    }
  }
  const int wideRow = int(rows * 9 / 10);
  g.setCellText(wideRow, 0, "部门12/一个名字特别特别长的季度报表文件放在很深的目录里.xlsx");
  QApplication::processEvents();
  for (int col : {0, 3}) {
    long rss0 = residentKb();
    Stopwatch t0;
    const int width = view.sizeHintForColumn(col);
    char name[64];
    std::snprintf(name, sizeof name, "fit: column %d over every row (%d px)", col, width);
    printRow(name, rows, cols, t0, rss0);
  }
  // Qt's own fit of the same column for comparison: it samples about 1,000
  // rows and so misses the widest text.
  QTableView sampled;
  sampled.setModel(view.model());
  long rss0 = residentKb();
  Stopwatch t0;
  sampled.resizeColumnToContents(0);
  char name[64];
  std::snprintf(name, sizeof name, "fit: Qt's sample of column 0 (%d px)", sampled.columnWidth(0));
  printRow(name, rows, cols, t0, rss0);
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "all";
  long modelRows = argc > 2 ? std::atol(argv[2]) : 1000000;
  printHeader();
  if (what == "model" || what == "all") benchModel(modelRows);
  if (what == "view" || what == "fit" || what == "all") {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (what != "fit") benchView(100000);
    benchFit(modelRows);
  }
  return 0;
}
