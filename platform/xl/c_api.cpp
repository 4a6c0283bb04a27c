// The C entry points, on top of Book/Sheet (reading) and the buffered write
// state of writer.h (writing). All state lives in the book handle, so
// different books may be used on different threads at once.
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/xl/book.h"
#include "platform/xl/libxl.h"
#include "platform/xl/writer.h"

struct XlBookTag;

struct XlSheetTag {
  XlBookTag* owner;
  size_t index;  // position in owner->book.sheets; renumbered on insert
  xl::WriteSheet written;
};

struct XlFormatTag {
  int index;  // into owner->formats
  XlBookTag* owner;
};

struct XlBookTag {
  xl::Book book;
  // One handle per sheet, kept alive until the book is released, so a handle
  // taken before a reload points to a sheet index that is range-checked
  // instead of to freed memory.
  std::vector<std::unique_ptr<XlSheetTag>> sheetHandles;
  std::vector<std::unique_ptr<XlFormatTag>> formatHandles;
  std::vector<xl::WriteFormat> formats;
  // What xlBookErrorMessageA returns (empty: "ok"), made from the load's cause
  // when a load ends, or the writer's text when a save fails. Its capacity is
  // reserved when the book is made, so the out-of-memory texts fit without
  // an allocation.
  std::string message;

  void syncHandles() {
    for (size_t i = 0; i < sheetHandles.size(); ++i) {
      sheetHandles[i]->index = i;
      sheetHandles[i]->written = {};
    }
    while (sheetHandles.size() < book.sheets.size())
      sheetHandles.push_back(std::make_unique<XlSheetTag>(XlSheetTag{this, sheetHandles.size(), {}}));
  }
};

namespace {

// Every sheet is finished when a load or a write ends, so reading never
// changes a book.
const xl::Sheet* sheetOf(SheetHandle h) {
  if (!h || !h->owner || h->index >= h->owner->book.sheets.size()) return nullptr;
  return &h->owner->book.sheets[h->index];
}

constexpr size_t kMessageCapacity = 256;

bool inGrid(int row, int col) {
  return row >= 0 && col >= 0 && static_cast<uint32_t>(row) < xl::kMaxRows &&
         static_cast<uint32_t>(col) < xl::kMaxCols;
}

}  // namespace

extern "C" {

XLAPI BookHandle xlCreateXMLBookCA(void) {
  try {
    auto* b = new XlBookTag;
    b->message.reserve(kMessageCapacity);
    return b;
  } catch (...) {
    return nullptr;
  }
}

XLAPI int xlBookLoadA(BookHandle book, const char* path) {
  if (!book) return 0;
  bool ok = false;
  try {
    ok = book->book.load(path ? path : "");
    book->message = ok ? std::string() : xl::loadErrorText(book->book.error());
    book->syncHandles();
    if (!ok && book->book.loadCancelled()) return XL_LOAD_CANCELLED;
  } catch (...) {  // load itself never throws; syncHandles may lack memory
    book->book.clear();
    book->book.setError(xl::LoadCause::TooLargeNoMemory);
    book->message = xl::loadCauseText(xl::LoadCause::TooLargeNoMemory);
    ok = false;
  }
  // Sheet handles beyond the new sheet count stay valid objects but read as empty.
  return ok ? 1 : 0;
}

XLAPI const char* xlBookErrorMessageA(BookHandle book) {
  if (!book) return "无效的工作簿";
  return book->message.empty() ? "ok" : book->message.c_str();
}

XLAPI int xlBookSheetCountA(BookHandle book) {
  return book ? static_cast<int>(book->book.sheets.size()) : 0;
}

XLAPI SheetHandle xlBookGetSheetA(BookHandle book, int index) {
  if (!book || index < 0 || static_cast<size_t>(index) >= book->book.sheets.size()) return nullptr;
  return book->sheetHandles[static_cast<size_t>(index)].get();
}

XLAPI const char* xlBookGetSheetNameA(BookHandle book, int index) {
  if (!book || index < 0 || static_cast<size_t>(index) >= book->book.sheets.size()) return nullptr;
  return book->book.sheets[static_cast<size_t>(index)].name.c_str();
}

XLAPI int xlSheetLastRowA(SheetHandle sheet) {
  const xl::Sheet* s = sheetOf(sheet);
  return s ? s->lastRow() : 0;
}

XLAPI int xlSheetLastColA(SheetHandle sheet) {
  const xl::Sheet* s = sheetOf(sheet);
  return s ? s->lastCol() : 0;
}

XLAPI const char* xlSheetReadStrA(SheetHandle sheet, int row, int col, FormatHandle* format) {
  if (format) *format = nullptr;
  const xl::Sheet* s = sheetOf(sheet);
  if (!s || !inGrid(row, col)) return nullptr;
  const xl::CellRef* c = s->find(static_cast<uint32_t>(row), static_cast<uint32_t>(col));
  return c ? sheet->owner->book.text(*c) : nullptr;
}

XLAPI int xlSheetRowHiddenA(SheetHandle sheet, int row) {
  const xl::Sheet* s = sheetOf(sheet);
  return s && row >= 0 && s->rowHidden(static_cast<uint32_t>(row)) ? 1 : 0;
}

XLAPI int xlSheetColHiddenA(SheetHandle sheet, int col) {
  const xl::Sheet* s = sheetOf(sheet);
  return s && col >= 0 && s->colHidden(static_cast<uint32_t>(col)) ? 1 : 0;
}

XLAPI SheetHandle xlBookInsertSheetA(BookHandle book, int index, const char* name, SheetHandle initSheet) {
  if (!book || index < 0 || static_cast<size_t>(index) > book->book.sheets.size()) return nullptr;
  try {
    const size_t at = static_cast<size_t>(index);
    xl::Sheet fresh;
    fresh.name = name ? name : "";
    auto handle = std::make_unique<XlSheetTag>(XlSheetTag{book, at, {}});
    if (const xl::Sheet* src = sheetOf(initSheet)) {
      // Copy the cells; texts come from the source book's arena.
      const xl::Book& from = initSheet->owner->book;
      for (const xl::CellRef& c : src->cells()) {
        uint32_t off;
        if (!book->book.addText(std::string_view(from.text(c), c.len), off)) return nullptr;
        fresh.addCell(c.row, c.col, off, c.len);
        handle->written.cells.push_back({c.row, c.col, off, c.len, -1});
      }
      for (uint32_t r = 0; r < static_cast<uint32_t>(src->lastRow()); ++r)
        if (src->rowHidden(r)) fresh.hideRow(r);
      for (uint32_t c = 0; c < static_cast<uint32_t>(src->lastCol()); ++c)
        if (src->colHidden(c)) fresh.hideCols(c, c);
    }
    fresh.finish();
    book->book.sheets.insert(book->book.sheets.begin() + static_cast<std::ptrdiff_t>(at), std::move(fresh));
    book->sheetHandles.insert(book->sheetHandles.begin() + static_cast<std::ptrdiff_t>(at), std::move(handle));
    for (size_t i = at; i < book->sheetHandles.size(); ++i) book->sheetHandles[i]->index = i;
    return book->sheetHandles[at].get();
  } catch (...) {
    return nullptr;
  }
}

XLAPI FormatHandle xlBookAddFormatA(BookHandle book, FormatHandle initFormat) {
  if (!book) return nullptr;
  try {
    xl::WriteFormat f;
    if (initFormat && initFormat->owner && initFormat->index >= 0 &&
        static_cast<size_t>(initFormat->index) < initFormat->owner->formats.size())
      f = initFormat->owner->formats[static_cast<size_t>(initFormat->index)];
    book->formats.push_back(f);
    book->formatHandles.push_back(
        std::make_unique<XlFormatTag>(XlFormatTag{static_cast<int>(book->formats.size() - 1), book}));
    return book->formatHandles.back().get();
  } catch (...) {
    return nullptr;
  }
}

XLAPI void xlFormatSetBorderA(FormatHandle format, int style) {
  if (!format || !format->owner || format->index < 0 ||
      static_cast<size_t>(format->index) >= format->owner->formats.size())
    return;
  format->owner->formats[static_cast<size_t>(format->index)].border = style < 0 ? 0 : style;
}

XLAPI int xlSheetWriteStrA(SheetHandle sheet, int row, int col, const char* value, FormatHandle format) {
  if (!sheet || !sheet->owner || sheet->index >= sheet->owner->book.sheets.size() || !inGrid(row, col))
    return 0;
  // A format of another book has no meaning here.
  const int fmt = format && format->owner == sheet->owner ? format->index : -1;
  try {
    xl::Book& book = sheet->owner->book;
    std::string_view text = value ? value : "";
    uint32_t off;
    if (!book.addText(text, off)) return 0;
    const auto r = static_cast<uint32_t>(row), c = static_cast<uint32_t>(col);
    const auto len = static_cast<uint32_t>(text.size());
    sheet->written.cells.push_back({r, c, off, len, fmt});
    book.sheets[sheet->index].writeCell(r, c, off, len);
    return 1;
  } catch (...) {
    return 0;
  }
}

XLAPI int xlSheetAddIgnoredErrorA(SheetHandle sheet, int rowFirst, int colFirst, int rowLast, int colLast,
                                  int iError) {
  if (!sheet || !sheet->owner || sheet->index >= sheet->owner->book.sheets.size()) return 0;
  // Clip to Excel's grid; a range wholly outside it ignores nothing.
  auto clip = [](int v, uint32_t limit) {
    return static_cast<uint32_t>(v < 0 ? 0 : (static_cast<uint32_t>(v) >= limit ? limit - 1 : v));
  };
  if (rowLast < 0 || colLast < 0 || rowFirst > rowLast || colFirst > colLast ||
      rowFirst >= static_cast<int>(xl::kMaxRows) || colFirst >= static_cast<int>(xl::kMaxCols) || iError <= 0)
    return 0;
  try {
    sheet->written.ignored.push_back({clip(rowFirst, xl::kMaxRows), clip(colFirst, xl::kMaxCols),
                                      clip(rowLast, xl::kMaxRows), clip(colLast, xl::kMaxCols), iError});
    return 1;
  } catch (...) {
    return 0;
  }
}

XLAPI int xlSheetSetColA(SheetHandle sheet, int colFirst, int colLast, double width, FormatHandle format,
                         int hidden) {
  if (!sheet || !sheet->owner || sheet->index >= sheet->owner->book.sheets.size()) return 0;
  if (colFirst < 0 || colFirst > colLast || colLast >= static_cast<int>(xl::kMaxCols)) return 0;
  if (!(width >= 0 && width <= 255)) return 0;  // Excel's column width range (also refuses NaN)
  const int fmt = format && format->owner == sheet->owner ? format->index : -1;
  try {
    sheet->written.columns.push_back(
        {static_cast<uint32_t>(colFirst), static_cast<uint32_t>(colLast), width, fmt, hidden != 0});
    return 1;
  } catch (...) {
    return 0;
  }
}

XLAPI int xlBookSaveA(BookHandle book, const char* path) {
  if (!book) return 0;
  try {
    std::vector<const xl::WriteSheet*> sheets;
    for (size_t i = 0; i < book->book.sheets.size(); ++i) sheets.push_back(&book->sheetHandles[i]->written);
    std::string error;
    if (xl::saveXlsx(book->book, sheets, book->formats, path ? path : "", error)) return 1;
    book->message = error.empty() ? "保存失败" : error;
    return 0;
  } catch (...) {
    book->message = "保存失败：内存不足";
    return 0;
  }
}

XLAPI void xlBookReleaseA(BookHandle book) { delete book; }

XLAPI int xlSheetStoredCellCountA(SheetHandle sheet) {
  const xl::Sheet* s = sheetOf(sheet);
  return s ? static_cast<int>(s->cells().size()) : 0;
}

XLAPI const char* xlSheetStoredCellA(SheetHandle sheet, int index, int* row, int* col, int* length) {
  const xl::Sheet* s = sheetOf(sheet);
  if (!s || index < 0 || static_cast<size_t>(index) >= s->cells().size()) {
    if (row) *row = -1;
    if (col) *col = -1;
    if (length) *length = 0;
    return nullptr;
  }
  const xl::CellRef& c = s->cells()[static_cast<size_t>(index)];
  if (row) *row = static_cast<int>(c.row);
  if (col) *col = static_cast<int>(c.col);
  if (length) *length = static_cast<int>(c.len);
  return sheet->owner->book.text(c);
}

XLAPI int xlSheetFirstCellOfRowA(SheetHandle sheet, int row) {
  const xl::Sheet* s = sheetOf(sheet);
  if (!s) return 0;
  if (row < 0) return 0;
  return static_cast<int>(s->firstCellOfRow(static_cast<uint32_t>(row)));
}

XLAPI void xlBookSetCancelFlagA(BookHandle book, const int* flag) {
  if (book) book->book.setCancelFlag(flag);
}

XLAPI long long xlBookMemoryBytesA(BookHandle book) {
  if (!book) return 0;
  return static_cast<long long>(book->book.memoryBytes());
}

XLAPI int xlBookErrorCauseA(BookHandle book) {
  return book ? static_cast<int>(book->book.error().cause) : 0;
}

XLAPI int xlBookDiagnosticCountA(BookHandle book) {
  return book ? static_cast<int>(book->book.diagnostics.size()) : 0;
}

XLAPI const char* xlBookDiagnosticA(BookHandle book, int index) {
  if (!book || index < 0 || static_cast<size_t>(index) >= book->book.diagnostics.size()) return nullptr;
  return book->book.diagnostics[static_cast<size_t>(index)].c_str();
}

}  // extern "C"
