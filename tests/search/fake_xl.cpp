#include "tests/search/fake_xl.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace fakexl {
namespace {

struct Stored {
  int row, col;
  std::string text;
};

struct LoadedSheet {
  Sheet def;
  std::vector<Stored> stored;  // row-major
  int lastRow = 0, lastCol = 0;
};

struct LoadedBook {
  std::vector<LoadedSheet> sheets;
  std::string error = "ok";
};

std::map<std::string, Book>& books() {
  static std::map<std::string, Book> b;
  return b;
}
std::map<std::string, std::string>& failures() {
  static std::map<std::string, std::string> f;
  return f;
}
// Books live until the end of the run, like the program's scan book.
std::vector<std::unique_ptr<LoadedBook>>& handles() {
  static std::vector<std::unique_ptr<LoadedBook>> h;
  return h;
}
int loads = 0;

LoadedBook* B(BookHandle h) { return reinterpret_cast<LoadedBook*>(h); }
LoadedSheet* S(SheetHandle h) { return reinterpret_cast<LoadedSheet*>(h); }

BookHandle create() {
  handles().push_back(std::make_unique<LoadedBook>());
  return reinterpret_cast<BookHandle>(handles().back().get());
}

int load(BookHandle h, const char* path) {
  ++loads;
  LoadedBook* b = B(h);
  b->sheets.clear();
  if (auto f = failures().find(path); f != failures().end()) {
    b->error = f->second;
    return 0;
  }
  auto it = books().find(path);
  if (it == books().end()) {
    b->error = "文件不存在";
    return 0;
  }
  for (const Sheet& def : it->second.sheets) {
    LoadedSheet s;
    s.def = def;
    int maxRow = 0, maxCol = 0;
    for (const auto& [pos, text] : def.cells) {
      s.stored.push_back({pos.first, pos.second, text});
      maxRow = std::max(maxRow, pos.first + 1);
      maxCol = std::max(maxCol, pos.second + 1);
    }
    s.lastRow = def.lastRow >= 0 ? def.lastRow : maxRow;
    s.lastCol = def.lastCol >= 0 ? def.lastCol : maxCol;
    b->sheets.push_back(std::move(s));
  }
  b->error = "ok";
  return 1;
}

const char* error(BookHandle h) { return B(h)->error.c_str(); }
int sheetCount(BookHandle h) { return static_cast<int>(B(h)->sheets.size()); }
SheetHandle getSheet(BookHandle h, int i) {
  auto& v = B(h)->sheets;
  return (i >= 0 && i < static_cast<int>(v.size())) ? reinterpret_cast<SheetHandle>(&v[static_cast<size_t>(i)])
                                                    : nullptr;
}
const char* sheetName(BookHandle h, int i) { return B(h)->sheets[static_cast<size_t>(i)].def.name.c_str(); }
int lastRow(SheetHandle s) { return S(s)->lastRow; }
int lastCol(SheetHandle s) { return S(s)->lastCol; }
const char* readStr(SheetHandle s, int row, int col, FormatHandle*) {
  auto it = S(s)->def.cells.find({row, col});
  return it == S(s)->def.cells.end() ? nullptr : it->second.c_str();
}
int rowHidden(SheetHandle s, int row) { return S(s)->def.hiddenRows.count(row) ? 1 : 0; }
int colHidden(SheetHandle s, int col) { return S(s)->def.hiddenCols.count(col) ? 1 : 0; }
int storedCount(SheetHandle s) { return static_cast<int>(S(s)->stored.size()); }
const char* storedCell(SheetHandle s, int index, int* row, int* col, int* length) {
  const Stored& c = S(s)->stored[static_cast<size_t>(index)];
  *row = c.row;
  *col = c.col;
  if (length) *length = static_cast<int>(c.text.size());
  return c.text.c_str();
}
int firstCellOfRow(SheetHandle s, int row) {
  const auto& v = S(s)->stored;
  auto it = std::lower_bound(v.begin(), v.end(), row, [](const Stored& c, int r) { return c.row < r; });
  return static_cast<int>(it - v.begin());
}

}  // namespace

void reset() {
  books().clear();
  failures().clear();
  loads = 0;
}
void addBook(const std::string& path, Book book) { books()[path] = std::move(book); }
void addFailure(const std::string& path, const std::string& err) { failures()[path] = err; }
int loadCount() { return loads; }

const XlApi& api() {
  static const XlApi table = [] {
    XlApi t;
    t.createXMLBook = create;
    t.bookLoad = load;
    t.bookErrorMessage = error;
    t.bookSheetCount = sheetCount;
    t.bookGetSheet = getSheet;
    t.bookGetSheetName = sheetName;
    t.sheetLastRow = lastRow;
    t.sheetLastCol = lastCol;
    t.sheetReadStr = readStr;
    t.sheetRowHidden = rowHidden;
    t.sheetColHidden = colHidden;
    t.sheetStoredCellCount = storedCount;
    t.sheetStoredCell = storedCell;
    t.sheetFirstCellOfRow = firstCellOfRow;
    return t;
  }();
  return table;
}

}  // namespace fakexl
