// Writes the benchmark's .xlsx workbooks: the folder tree, the one large
// workbook and the folder for the window probe. Same bytes on every run: a
// fixed seed, our own random generator (the standard distributions differ
// between library versions) and a fixed creation date in the document
// properties (libxlsxwriter already writes fixed zip timestamps).
//
//   bench_gen_data [--books N] OUTDIR [tree|big|ui]...   (no names: all three)
//
//   OUTDIR/tree/...        workbooks in nested folders (gen_xls.py adds .xls)
//   OUTDIR/big/big.xlsx    1,000,000 rows x 10 columns
//   OUTDIR/ui/...          40 workbooks of 5,000 rows, every row a hit
//   OUTDIR/PART.expected   the number of rows carrying the planted text
//
// Every hit carries the planted text "zebra蓝鲸" in some ASCII case; nothing
// else can contain it: no vocabulary entry holds a 'z' or either of the two
// Chinese characters, and near misses are planted on purpose.

#include <xlsxwriter.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

// splitmix64: tiny, fast and identical everywhere.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // uniform in [lo, hi]
    int range(int lo, int hi) { return lo + int(next() % uint64_t(hi - lo + 1)); }
    double unit() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    bool chance(double p) { return unit() < p; }
    template <class T, size_t N> const T& pick(const T (&a)[N]) { return a[next() % N]; }
};

const char* const kChinese[] = {
    "客户", "订单", "金额", "北京", "上海", "广州", "深圳", "杭州", "成都", "武汉",
    "南京", "西安", "重庆", "天津", "苏州", "产品", "型号", "规格", "数量", "单价",
    "合计", "备注", "已发货", "待付款", "退货", "财务部", "销售部", "技术部", "人事部",
    "采购", "库存", "仓库", "供应商", "合同", "发票", "项目", "进度", "完成", "审核",
    "通过", "张伟", "王芳", "李娜", "刘洋", "陈静", "杨帆", "赵磊", "黄敏", "周杰",
    "吴昊", "有限公司", "科技", "贸易", "电子", "机械", "服装", "食品", "华东区",
    "华南区", "华北区", "西南区", "第一季度", "第二季度", "年度报告", "预算", "实际",
    "差异", "说明", "负责人", "联系电话", "地址", "邮箱", "状态", "正常", "异常", "加急",
    "红色", "白色", "黑色", "大号", "中号", "小号", "电脑", "手机", "打印机", "办公用品",
};
const char* const kAscii[] = {
    "SKU", "ORD", "INV", "Total", "Sales", "Q1", "Q2", "Q3", "Q4", "North", "South",
    "East", "West", "OK", "N/A", "Beijing", "Shanghai", "Item", "Remark", "Pending",
    "Done", "Alpha", "Beta", "Gamma", "Delta", "Omega", "USD", "CNY", "Ltd", "Co",
    "Inc", "Report", "Budget", "Actual", "Mr", "Ms", "Dept", "HR", "IT", "Ops", "v2",
    "Black", "White", "Large", "Small", "Laptop", "Phone", "Printer", "Office",
};
const char* const kHeaders[] = {
    "序号", "日期", "客户名称", "产品", "型号", "数量", "单价", "金额", "备注", "负责人",
    "状态", "地区", "Code", "Item", "Amount", "Qty", "联系电话", "地址", "发票号", "审核",
};
const char* const kSheetNames[] = {
    "Sheet1", "销售数据", "汇总", "明细", "Data", "库存", "客户", "2024", "Summary", "备份",
};
const char* const kFolders[] = {
    "",
    "财务部",
    "财务部/2023年/第一季度",
    "财务部/2023年/第二季度",
    "财务部/2024年",
    "销售部/华东区",
    "销售部/华南区/广州",
    "销售部/华北区",
    "sales/2024/Q1",
    "sales/2024/Q2",
    "sales/archive",
    "技术部/项目资料",
    "技术部/项目资料/北京项目",
    "人事部",
    "采购/供应商清单",
    "仓库/库存盘点",
    "reports",
    "reports/weekly",
    "reports/monthly/2024-03",
    "客户资料",
    "客户资料/重点客户",
    "杂项 misc",
    "共享文件夹/张伟",
    "共享文件夹/王芳/备份",
    "data",
};
const char* const kFilePrefixes[] = {
    "报表", "销售明细", "库存", "客户清单", "订单汇总", "budget", "report",
    "inventory", "工资表", "采购计划", "发票登记", "Sales Q",
};

// The planted text in the ASCII cases a user's data would show.
const char* const kPlanted[] = {"zebra蓝鲸", "Zebra蓝鲸", "ZEBRA蓝鲸", "zEbRa蓝鲸"};
// Close to the planted text but not containing it.
const char* const kNearMiss[] = {"Zebra蓝", "zebr蓝鲸", "斑马蓝鲸", "Zebra 蓝鲸", "zebra鲸"};

enum class Kind { Chinese, Ascii, Mixed, Code, Phone, Remark, Int, Decimal, Date, Percent, Bool, Formula };

struct Formats {
    lxw_format* decimal;
    lxw_format* date;
    lxw_format* percent;
    lxw_format* header;
};

Formats makeFormats(lxw_workbook* wb) {
    Formats f{};
    f.decimal = workbook_add_format(wb);
    format_set_num_format(f.decimal, "#,##0.00");
    f.date = workbook_add_format(wb);
    format_set_num_format(f.date, "yyyy-mm-dd");
    f.percent = workbook_add_format(wb);
    format_set_num_format(f.percent, "0.0%");
    f.header = workbook_add_format(wb);
    format_set_bold(f.header);
    return f;
}

void setFixedProperties(lxw_workbook* wb) {
    lxw_doc_properties props{};
    props.title = const_cast<char*>("Quorvane benchmark data");
    props.author = const_cast<char*>("bench");
    props.created = 1704067200;  // 2024-01-01T00:00:00Z
    workbook_set_properties(wb, &props);
}

std::string chinesePhrase(Rng& r, int words) {
    std::string s;
    for (int i = 0; i < words; ++i) s += r.pick(kChinese);
    return s;
}

std::string textFor(Kind k, Rng& r) {
    char buf[64];
    switch (k) {
    case Kind::Chinese:
        return chinesePhrase(r, r.range(1, 4));
    case Kind::Ascii: {
        std::string s = r.pick(kAscii);
        for (int i = r.range(0, 2); i > 0; --i) (s += ' ') += r.pick(kAscii);
        return s;
    }
    case Kind::Mixed: {
        std::snprintf(buf, sizeof buf, "%s-%05d", r.pick(kAscii), r.range(0, 99999));
        return r.chance(0.5) ? chinesePhrase(r, 1) + buf : std::string(buf) + " " + chinesePhrase(r, 2);
    }
    case Kind::Code:
        std::snprintf(buf, sizeof buf, "%s-%04d%04d", r.chance(0.5) ? "SKU" : "INV", r.range(2018, 2024),
                      r.range(0, 9999));
        return buf;
    case Kind::Phone:
        std::snprintf(buf, sizeof buf, "1%02d-%04d-%04d", r.range(30, 99), r.range(0, 9999), r.range(0, 9999));
        return buf;
    case Kind::Remark: {
        std::string s;
        for (int i = r.range(3, 12); i > 0; --i) {
            s += r.chance(0.7) ? r.pick(kChinese) : r.pick(kAscii);
            if (r.chance(0.3)) s += r.chance(0.5) ? "，" : " ";
        }
        return s;
    }
    default:
        return {};
    }
}

bool isText(Kind k) { return k <= Kind::Remark; }

Kind randomKind(Rng& r) {
    static const Kind kinds[] = {Kind::Chinese, Kind::Chinese, Kind::Ascii, Kind::Mixed, Kind::Code,
                                 Kind::Phone,   Kind::Remark,  Kind::Int,   Kind::Int,   Kind::Decimal,
                                 Kind::Decimal, Kind::Date,    Kind::Percent, Kind::Bool, Kind::Formula};
    return r.pick(kinds);
}

std::string colName(int c) {
    std::string s;
    for (int n = c + 1; n > 0; n = (n - 1) / 26) s.insert(s.begin(), char('A' + (n - 1) % 26));
    return s;
}

std::string plantedCell(Rng& r) {
    std::string s;
    if (r.chance(0.6)) s += r.chance(0.5) ? chinesePhrase(r, 1) : std::string(r.pick(kAscii)) + " ";
    s += r.pick(kPlanted);
    if (r.chance(0.6)) s += r.chance(0.5) ? chinesePhrase(r, 2) : std::string("-") + std::to_string(r.range(1, 999));
    return s;
}

// One cell of a column of the given kind.
void writeCell(lxw_worksheet* ws, lxw_row_t row, lxw_col_t col, Kind k, Rng& r, const Formats& f) {
    switch (k) {
    case Kind::Int:
        worksheet_write_number(ws, row, col, r.range(-500, 200000), nullptr);
        break;
    case Kind::Decimal:
        worksheet_write_number(ws, row, col, r.range(0, 9999999) / 100.0, f.decimal);
        break;
    case Kind::Date:
        worksheet_write_number(ws, row, col, r.range(43100, 45600), f.date);
        break;
    case Kind::Percent:
        worksheet_write_number(ws, row, col, r.range(0, 1000) / 1000.0, f.percent);
        break;
    case Kind::Bool:
        worksheet_write_boolean(ws, row, col, r.chance(0.5), nullptr);
        break;
    case Kind::Formula: {
        // A cached result, as a workbook saved by Excel has it.
        int a = r.range(1, 500), b = r.range(1, 50);
        std::string formula = "=" + std::to_string(a) + "*" + std::to_string(b);
        worksheet_write_formula_num(ws, row, col, formula.c_str(), nullptr, double(a) * b);
        break;
    }
    default:
        worksheet_write_string(ws, row, col, textFor(k, r).c_str(), nullptr);
        break;
    }
}

struct SheetShape {
    int rows;      // including the header row
    int cols;
    double hitRate;
    bool everyRowHits = false;
};

// Returns the number of rows that carry the planted text.
long writeSheet(lxw_workbook* wb, const char* name, const SheetShape& shape, Rng& r, const Formats& f) {
    long hits = 0;
    lxw_worksheet* ws = workbook_add_worksheet(wb, name);
    std::vector<Kind> kinds(shape.cols);
    for (auto& k : kinds) k = randomKind(r);
    for (int c = 0; c < shape.cols; ++c) {
        std::string h = r.pick(kHeaders);
        if (r.chance(0.3)) h += colName(c);
        worksheet_write_string(ws, 0, lxw_col_t(c), h.c_str(), f.header);
    }
    for (int row = 1; row < shape.rows; ++row) {
        int plantCol = -1, plantCol2 = -1, nearCol = -1;
        if (shape.everyRowHits || r.chance(shape.hitRate)) {
            plantCol = r.range(0, shape.cols - 1);
            if (r.chance(0.2)) plantCol2 = r.range(0, shape.cols - 1);  // two hits in one row: still one row
            ++hits;
        }
        if (r.chance(shape.hitRate * 2)) nearCol = r.range(0, shape.cols - 1);
        for (int c = 0; c < shape.cols; ++c) {
            if (c == plantCol || c == plantCol2) {
                worksheet_write_string(ws, lxw_row_t(row), lxw_col_t(c), plantedCell(r).c_str(), nullptr);
            } else if (c == nearCol) {
                std::string s = textFor(Kind::Chinese, r) + r.pick(kNearMiss);
                worksheet_write_string(ws, lxw_row_t(row), lxw_col_t(c), s.c_str(), nullptr);
            } else if (!r.chance(isText(kinds[c]) ? 0.08 : 0.04)) {
                writeCell(ws, lxw_row_t(row), lxw_col_t(c), kinds[c], r, f);
            }
        }
    }
    return hits;
}

bool closeBook(lxw_workbook* wb, const fs::path& path) {
    lxw_error err = workbook_close(wb);
    if (err != LXW_NO_ERROR) {
        std::fprintf(stderr, "bench_gen_data: cannot write %s: %s\n", path.c_str(), lxw_strerror(err));
        return false;
    }
    return true;
}

lxw_workbook* openBook(const fs::path& path, const char* tmpdir) {
    lxw_workbook_options opt{};
    opt.tmpdir = const_cast<char*>(tmpdir);
    lxw_workbook* wb = workbook_new_opt(path.c_str(), &opt);
    if (!wb) std::fprintf(stderr, "bench_gen_data: cannot create %s\n", path.c_str());
    else setFixedProperties(wb);
    return wb;
}

// Tree workbooks: 1 to 3 sheets of 40 to 450 rows and 5 to 15 columns.
constexpr int kTreeBooks = 430;
constexpr double kTreeHitRate = 1.0 / 700;

bool genTree(const fs::path& root, const char* tmpdir, int books, long& hits) {
    Rng r(20240101);
    for (const char* d : kFolders) fs::create_directories(root / fs::path(d));
    for (int i = 0; i < books; ++i) {
        std::string name = std::string(r.pick(kFilePrefixes)) + "_" + std::to_string(1000 + i);
        if (r.chance(0.05)) name += " (副本)";
        fs::path path = root / fs::path(r.pick(kFolders)) / fs::path(name + ".xlsx");
        lxw_workbook* wb = openBook(path, tmpdir);
        if (!wb) return false;
        Formats f = makeFormats(wb);
        int sheets = r.range(1, 3);
        int firstName = r.range(0, int(std::size(kSheetNames)) - 1);
        for (int s = 0; s < sheets; ++s) {
            SheetShape shape{r.range(40, 450), r.range(5, 15), kTreeHitRate};
            hits += writeSheet(wb, kSheetNames[(firstName + s) % std::size(kSheetNames)], shape, r, f);
        }
        if (!closeBook(wb, path)) return false;
    }
    return true;
}

// The large workbook: fixed column layout like an exported ledger, many
// distinct strings (order numbers) beside a small vocabulary.
bool genBig(const fs::path& dir, const char* tmpdir, long& hits) {
    Rng r(19700101);
    fs::create_directories(dir);
    fs::path path = dir / "big.xlsx";
    lxw_workbook* wb = openBook(path, tmpdir);
    if (!wb) return false;
    Formats f = makeFormats(wb);
    lxw_worksheet* ws = workbook_add_worksheet(wb, "流水");
    static const char* const heads[] = {"序号", "订单号", "客户名称", "地区", "金额", "数量", "日期", "产品", "备注", "已开票"};
    for (int c = 0; c < 10; ++c) worksheet_write_string(ws, 0, lxw_col_t(c), heads[c], f.header);
    constexpr int kRows = 1000000;
    constexpr double kHitRate = 1.0 / 3000;
    char buf[32];
    for (int row = 1; row < kRows; ++row) {
        lxw_row_t rr = lxw_row_t(row);
        worksheet_write_number(ws, rr, 0, row, nullptr);
        std::snprintf(buf, sizeof buf, "ORD-%08d", 10000000 + row * 7);
        worksheet_write_string(ws, rr, 1, buf, nullptr);
        worksheet_write_string(ws, rr, 2, (chinesePhrase(r, 1) + r.pick(kChinese) + "有限公司").c_str(), nullptr);
        worksheet_write_string(ws, rr, 3, r.pick(kChinese), nullptr);
        worksheet_write_number(ws, rr, 4, r.range(0, 99999999) / 100.0, f.decimal);
        worksheet_write_number(ws, rr, 5, r.range(1, 500), nullptr);
        worksheet_write_number(ws, rr, 6, r.range(43100, 45600), f.date);
        worksheet_write_string(ws, rr, 7, textFor(Kind::Mixed, r).c_str(), nullptr);
        if (r.chance(kHitRate)) {
            worksheet_write_string(ws, rr, 8, plantedCell(r).c_str(), nullptr);
            ++hits;
        } else if (r.chance(kHitRate)) worksheet_write_string(ws, rr, 8, r.pick(kNearMiss), nullptr);
        else if (r.chance(0.6)) worksheet_write_string(ws, rr, 8, textFor(Kind::Chinese, r).c_str(), nullptr);
        worksheet_write_boolean(ws, rr, 9, r.chance(0.5), nullptr);
    }
    return closeBook(wb, path);
}

// The window probe's folder: 40 workbooks x 5,000 rows, every data row a hit,
// 200,000 match rows in all.
bool genUi(const fs::path& dir, const char* tmpdir, long& hits) {
    Rng r(42);
    for (int i = 0; i < 40; ++i) {
        fs::path sub = dir / fs::path(i < 20 ? "上半年" : "下半年");
        fs::create_directories(sub);
        fs::path path = sub / fs::path("命中_" + std::to_string(100 + i) + ".xlsx");
        lxw_workbook* wb = openBook(path, tmpdir);
        if (!wb) return false;
        Formats f = makeFormats(wb);
        SheetShape shape{5001, 8, 0, true};
        hits += writeSheet(wb, "Sheet1", shape, r, f);
        if (!closeBook(wb, path)) return false;
    }
    return true;
}

}  // namespace

// The number of planted rows of a part, beside its folder (outside the
// searched tree): what every search of the part must find.
bool writeExpected(const fs::path& out, std::string_view part, long hits) {
    fs::path path = out / (std::string(part) + ".expected");
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fprintf(f, "%ld\n", hits);
    return std::fclose(f) == 0;
}

int main(int argc, char** argv) {
    int books = kTreeBooks;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--books") {
        books = std::atoi(argv[2]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || books < 1) {
        std::fprintf(stderr, "usage: bench_gen_data [--books N] OUTDIR [tree|big|ui]...\n");
        return 2;
    }
    fs::path out(args[0]);
    std::vector<std::string_view> parts(args.begin() + 1, args.end());
    if (parts.empty()) parts = {"tree", "big", "ui"};
    std::error_code ec;
    fs::create_directories(out, ec);
    std::string tmp = (out / ".tmp").string();
    fs::create_directories(tmp, ec);
    bool ok = true;
    for (auto p : parts) {
        long hits = 0;
        if (p == "tree") ok = genTree(out / "tree", tmp.c_str(), books, hits);
        else if (p == "big") ok = genBig(out / "big", tmp.c_str(), hits);
        else if (p == "ui") ok = genUi(out / "ui", tmp.c_str(), hits);
        else {
            std::fprintf(stderr, "bench_gen_data: unknown part %.*s\n", int(p.size()), p.data());
            return 2;
        }
        if (!ok || !writeExpected(out, p, hits)) {
            ok = false;
            break;
        }
    }
    fs::remove_all(tmp, ec);
    return ok ? 0 : 1;
}
