// Writes the benchmark's tree of many small workbooks, the shape of a shared
// drive: 100 folders of 200 .xlsx files, each one sheet of a few dozen rows.
// Every 50th workbook carries the planted text "zebra蓝鲸" (in some ASCII
// case) in one row; nothing else holds a 'z' or either Chinese character.
// Same bytes on every run (fixed seed, fixed document date).
//
//   bench_gen_many OUTDIR     -> OUTDIR/many/..., OUTDIR/many.expected
#include <xlsxwriter.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kFolders = 100;
constexpr int kBooksPerFolder = 200;
constexpr int kPlantEvery = 50;

const char* const kWords[] = {"客户", "订单", "金额", "北京", "上海", "产品", "数量", "单价", "合计", "备注",
                              "已发货", "待付款", "财务部", "销售部", "张伟", "王芳", "SKU", "Total", "North",
                              "Done", "Pending", "Office", "Report", "Q1", "Q2", "USD", "CNY", "Item"};
const char* const kPlanted[] = {"zebra蓝鲸", "Zebra蓝鲸", "ZEBRA蓝鲸"};

struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int range(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1)); }
};

bool writeBook(const fs::path& path, Rng& r, bool plant) {
  lxw_workbook* wb = workbook_new(path.c_str());
  if (!wb) return false;
  lxw_doc_properties props{};
  props.created = 1704067200;  // 2024-01-01T00:00:00Z
  workbook_set_properties(wb, &props);
  lxw_worksheet* ws = workbook_add_worksheet(wb, "Sheet1");
  const int rows = r.range(8, 30), cols = r.range(4, 8);
  const int plantRow = plant ? r.range(1, rows - 1) : -1;
  for (int row = 0; row < rows; ++row)
    for (int col = 0; col < cols; ++col) {
      const auto rr = static_cast<lxw_row_t>(row);
      const auto cc = static_cast<lxw_col_t>(col);
      if (row == plantRow && col == cols - 1) {
        worksheet_write_string(ws, rr, cc, (std::string("备注 ") + kPlanted[r.next() % 3]).c_str(), nullptr);
      } else if (row > 0 && col % 3 == 2) {
        worksheet_write_number(ws, rr, cc, r.range(1, 99999) / 100.0, nullptr);
      } else {
        const std::string text = std::string(kWords[r.next() % std::size(kWords)]) + std::to_string(r.range(1, 999));
        worksheet_write_string(ws, rr, cc, text.c_str(), nullptr);
      }
    }
  return workbook_close(wb) == LXW_NO_ERROR;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_gen_many OUTDIR\n");
    return 2;
  }
  const fs::path out(argv[1]);
  Rng r{20261209};
  long planted = 0;
  for (int f = 0; f < kFolders; ++f) {
    const fs::path dir = out / "many" / ("部门" + std::to_string(100 + f));
    fs::create_directories(dir);
    for (int b = 0; b < kBooksPerFolder; ++b) {
      const int n = f * kBooksPerFolder + b;
      const bool plant = n % kPlantEvery == 7;
      if (!writeBook(dir / ("表" + std::to_string(10000 + n) + ".xlsx"), r, plant)) return 1;
      planted += plant;
    }
  }
  FILE* e = std::fopen((out / "many.expected").c_str(), "w");
  if (!e) return 1;
  std::fprintf(e, "%ld\n", planted);
  return std::fclose(e) == 0 ? 0 : 1;
}
