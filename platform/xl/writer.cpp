// Saving a book as .xlsx with libxlsxwriter. The workbook object is built
// only at save time from the buffered cells, written to a temporary file in
// the target's folder and renamed over the target when complete, so a failed
// save never destroys the file that was there.
#include "platform/xl/writer.h"
#include "platform/xl/utf8.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace xl {

namespace {

// Excel's limits count UTF-16 code units: a character outside the Basic
// Multilingual Plane (four bytes in UTF-8) takes two.
constexpr size_t kMaxSheetNameUnits = 31;

// Valid UTF-8 of at most maxUnits UTF-16 code units, cut between characters:
// a broken byte would make the whole sheet unreadable, so it becomes U+FFFD.
std::string cleanText(std::string_view s, size_t maxUnits) {
  std::string out;
  out.reserve(s.size());
  size_t units = 0;
  for (size_t i = 0; i < s.size();) {
    size_t n = xl::utf8SequenceLength(s, i);
    const size_t width = n == 4 ? 2 : 1;
    if (units + width > maxUnits) break;
    units += width;
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string sheetNameFor(lxw_workbook* wb, const std::string& wanted, size_t index) {
  std::string base;
  for (char c : cleanText(wanted, kMaxSheetNameUnits))
    base.push_back(std::strchr("[]:*?/\\", c) && c ? '_' : c);
  while (!base.empty() && base.front() == '\'') base.erase(base.begin());
  while (!base.empty() && base.back() == '\'') base.pop_back();
  if (base.empty()) base = "Sheet" + std::to_string(index + 1);
  std::string name = base;
  for (int n = 2; workbook_validate_sheet_name(wb, name.c_str()) != LXW_NO_ERROR && n < 10000; ++n) {
    std::string suffix = "(" + std::to_string(n) + ")";
    name = cleanText(base, kMaxSheetNameUnits - suffix.size()) + suffix;
  }
  return name;
}

// LibXL's ignored-error bits -> libxlsxwriter's kinds.
struct IgnoreBit {
  int bit;
  uint8_t type;
};
constexpr IgnoreBit kIgnoreBits[] = {
    {0x01, LXW_IGNORE_EVAL_ERROR},           {0x02, LXW_IGNORE_EMPTY_CELL_REFERENCE},
    {0x04, LXW_IGNORE_NUMBER_STORED_AS_TEXT}, {0x08, LXW_IGNORE_FORMULA_RANGE},
    {0x10, LXW_IGNORE_FORMULA_DIFFERS},      {0x20, LXW_IGNORE_TWO_DIGIT_TEXT_YEAR},
    {0x40, LXW_IGNORE_FORMULA_UNLOCKED},     {0x80, LXW_IGNORE_LIST_DATA_VALIDATION},
};

bool addIgnoredErrors(lxw_worksheet* ws, const std::vector<IgnoredErrors>& list) {
  std::string ranges[LXW_IGNORE_LAST_OPTION];
  for (const IgnoredErrors& e : list) {
    std::string ref = cellName(e.rowFirst, e.colFirst);
    if (e.rowFirst != e.rowLast || e.colFirst != e.colLast) ref += ":" + cellName(e.rowLast, e.colLast);
    auto add = [&](uint8_t type) {
      if (!ranges[type].empty()) ranges[type] += ' ';
      ranges[type] += ref;
    };
    for (const IgnoreBit& b : kIgnoreBits)
      if (e.kinds & b.bit) add(b.type);
    // "All kinds" includes the one LibXL has no bit for.
    if ((e.kinds & 0xFF) == 0xFF) add(LXW_IGNORE_CALCULATED_COLUMN);
  }
  for (uint8_t t = 1; t < LXW_IGNORE_LAST_OPTION; ++t)
    if (!ranges[t].empty() && worksheet_ignore_errors(ws, t, ranges[t].c_str()) != LXW_NO_ERROR) return false;
  return true;
}

mode_t currentUmask() {
  // umask() both reads and sets; /proc reads it without a race.
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 022;
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
    std::fclose(f);
    return static_cast<mode_t>(mask);
  }
  return 022;
}

std::string saveErrorText(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS: return "保存失败：没有写入权限";
    case ENOENT: return "保存失败：文件夹不存在";
    case ENOTDIR: return "保存失败：路径中有一项不是文件夹";
    case ENOSPC:
    case EDQUOT: return "保存失败：磁盘空间不足";
    case EISDIR: return "保存失败：目标是一个文件夹";
    case ENAMETOOLONG: return "保存失败：路径过长";
    default: return "保存失败（错误码 " + std::to_string(err) + "）";
  }
}

bool buildWorkbook(lxw_workbook* wb, const Book& book, const std::vector<const WriteSheet*>& sheets,
                   const std::vector<WriteFormat>& formats) {
  std::vector<lxw_format*> fmts;
  fmts.reserve(formats.size());
  for (const WriteFormat& f : formats) {
    lxw_format* lf = workbook_add_format(wb);
    if (!lf) return false;
    if (f.border > 0) format_set_border(lf, static_cast<uint8_t>(std::min(f.border, 13)));
    fmts.push_back(lf);
  }
  auto fmt = [&](int i) -> lxw_format* {
    return i >= 0 && static_cast<size_t>(i) < fmts.size() ? fmts[static_cast<size_t>(i)] : nullptr;
  };
  for (size_t i = 0; i < book.sheets.size(); ++i) {
    const Sheet& s = book.sheets[i];
    lxw_worksheet* ws = workbook_add_worksheet(wb, sheetNameFor(wb, s.name, i).c_str());
    if (!ws) return false;
    const WriteSheet* w = i < sheets.size() ? sheets[i] : nullptr;
    auto writeCell = [&](uint32_t row, uint32_t col, std::string_view text, lxw_format* f) {
      if (text.empty()) return f == nullptr || worksheet_write_blank(ws, row, static_cast<lxw_col_t>(col), f) == LXW_NO_ERROR;
      std::string clean = cleanText(text, kMaxCellUnits);
      return worksheet_write_string(ws, row, static_cast<lxw_col_t>(col), clean.c_str(), f) == LXW_NO_ERROR;
    };
    if (w && !w->cells.empty()) {
      std::vector<WriteCell> cells = w->cells;
      std::stable_sort(cells.begin(), cells.end(), [](const WriteCell& a, const WriteCell& b) {
        return a.row != b.row ? a.row < b.row : a.col < b.col;
      });
      for (size_t k = 0; k < cells.size(); ++k) {
        const WriteCell& c = cells[k];
        if (k + 1 < cells.size() && cells[k + 1].row == c.row && cells[k + 1].col == c.col) continue;
        if (!writeCell(c.row, c.col, std::string_view(book.text(c.off), c.len), fmt(c.format))) return false;
      }
    } else {
      for (const CellRef& c : s.cells())
        if (!writeCell(c.row, c.col, std::string_view(book.text(c), c.len), nullptr)) return false;
    }
    if (w) {
      for (const ColumnSpec& c : w->columns) {
        lxw_row_col_options opt{};
        opt.hidden = c.hidden ? 1 : 0;
        if (worksheet_set_column_opt(ws, static_cast<lxw_col_t>(c.first), static_cast<lxw_col_t>(c.last), c.width,
                                     fmt(c.format), &opt) != LXW_NO_ERROR)
          return false;
      }
      if (!addIgnoredErrors(ws, w->ignored)) return false;
    }
  }
  return true;
}

}  // namespace

std::string cellName(uint32_t row, uint32_t col) {
  char letters[8];
  int n = 0;
  uint32_t c = col + 1;
  while (c > 0 && n < 7) {
    letters[n++] = static_cast<char>('A' + (c - 1) % 26);
    c = (c - 1) / 26;
  }
  std::string out(letters, static_cast<size_t>(n));
  std::reverse(out.begin(), out.end());
  return out + std::to_string(row + 1);
}

bool saveXlsx(const Book& book, const std::vector<const WriteSheet*>& sheets,
              const std::vector<WriteFormat>& formats, const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "保存失败：没有文件名";
    return false;
  }
  // Replace what a symbolic link points to, not the link.
  std::string target = path;
  struct stat lst {};
  if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real)) target = real;
  }
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    error = "保存失败：目标是一个文件夹";
    return false;
  }
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string tmp = dir + "/." + base + ".XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = saveErrorText(errno);
    return false;
  }
  ::fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~currentUmask()));
  ::close(fd);

  lxw_workbook_options opts{};
  opts.use_zip64 = LXW_TRUE;  // a large export must not fail at 4 GB
  // Cells go out in row order anyway, so rows need not stay in memory.
  opts.constant_memory = LXW_TRUE;
  lxw_workbook* wb = workbook_new_opt(tmp.c_str(), &opts);
  bool ok = wb != nullptr;
  if (ok && !buildWorkbook(wb, book, sheets, formats)) {
    ok = false;
    error = "保存失败：无法写入工作表";
  }
  if (wb) {
    lxw_error rc = workbook_close(wb);  // writes the file and frees the workbook
    if (ok && rc != LXW_NO_ERROR) {
      ok = false;
      error = rc == LXW_ERROR_CREATING_TMPFILE ? "保存失败：无法创建临时文件" : "保存失败：写入文件时出错";
    }
  } else {
    error = "保存失败：无法创建文件";
  }
  if (ok) {
    int sync = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    if (sync >= 0) {
      if (::fsync(sync) != 0) ok = false, error = saveErrorText(errno);
      ::close(sync);
    }
  }
  if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) {
    ok = false;
    error = saveErrorText(errno);
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

}  // namespace xl
