#include "tests/slow_book.h"

#include <zip.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace slowbook {

namespace {

std::string colName(int c) {
  std::string s;
  for (int n = c + 1; n > 0; n = (n - 1) / 26) s.insert(s.begin(), static_cast<char>('A' + (n - 1) % 26));
  return s;
}

// libzip reads the parts' bytes only when the zip is closed: they are kept here until then.
void addPart(zip_t* z, const char* name, std::deque<std::string>& keep, std::string content) {
  keep.push_back(std::move(content));
  // Level 1: the reader inflates the same stream whatever the level, and
  // the test should not spend its time compressing.
  zip_source_t* src = zip_source_buffer(z, keep.back().data(), keep.back().size(), 0);
  const zip_int64_t index = src ? zip_file_add(z, name, src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) : -1;
  if (index < 0 || zip_set_file_compression(z, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 1) < 0)
    throw std::runtime_error("zip_file_add failed");
}

void putU16(std::string& out, unsigned v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void putRecord(std::string& out, unsigned type, std::string_view body) {
  putU16(out, type);
  putU16(out, static_cast<unsigned>(body.size()));
  out.append(body);
}

}  // namespace

namespace {

void writePackage(const std::string& path, std::string sheet, std::string sst) {
  int err = 0;
  std::deque<std::string> keep;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (!z) throw std::runtime_error("zip_open failed");
  const std::string ns = "http://schemas.openxmlformats.org/";
  addPart(z, "[Content_Types].xml", keep,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types xmlns=\"" + ns + "package/2006/content-types\">"
          "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
          "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
          "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
          "</Types>");
  addPart(z, "_rels/.rels", keep,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships xmlns=\"" + ns + "package/2006/relationships\">"
          "<Relationship Id=\"rId1\" Type=\"" + ns + "officeDocument/2006/relationships/officeDocument\" Target=\"xl/workbook.xml\"/>"
          "</Relationships>");
  addPart(z, "xl/workbook.xml", keep,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?><workbook xmlns=\"" + ns + "spreadsheetml/2006/main\" xmlns:r=\"" +
          ns + "officeDocument/2006/relationships\"><sheets><sheet name=\"慢\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>");
  addPart(z, "xl/_rels/workbook.xml.rels", keep,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships xmlns=\"" + ns + "package/2006/relationships\">"
          "<Relationship Id=\"rId1\" Type=\"" + ns + "officeDocument/2006/relationships/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
          "<Relationship Id=\"rId2\" Type=\"" + ns + "officeDocument/2006/relationships/sharedStrings\" Target=\"sharedStrings.xml\"/>"
          "</Relationships>");
  addPart(z, "xl/sharedStrings.xml", keep, std::move(sst));
  addPart(z, "xl/worksheets/sheet1.xml", keep, std::move(sheet));
  if (zip_close(z) < 0) {
    zip_discard(z);
    throw std::runtime_error("zip_close failed");
  }
}

const char kSheetHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>";
const char kSstHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">";

}  // namespace

void writeAmplified(const std::string& path, int rows, size_t stringBytes, Script script, int columns) {
  std::string text;
  text.reserve(stringBytes + 16);
  while (text.size() < stringBytes)
    text += script == Script::Chinese || text.size() % 4096 == 0 ? "放大" : "amplify ";
  std::string sheet = kSheetHead;
  for (int r = 0; r < rows; ++r) {
    const std::string rn = std::to_string(r + 1);
    sheet += "<row r=\"" + rn + "\">";
    for (int c = 0; c < columns; ++c) sheet += "<c r=\"" + colName(c) + rn + "\" t=\"s\"><v>0</v></c>";
    sheet += "</row>";
  }
  sheet += "</sheetData></worksheet>";
  writePackage(path, std::move(sheet), kSstHead + ("<si><t>" + text + "</t></si></sst>"));
}

void writeXlsx(const std::string& path, int rows) {
  std::string sheet = kSheetHead;
  sheet.reserve(static_cast<size_t>(rows) * 260 + 200);
  std::string cols[10];
  for (int c = 0; c < 10; ++c) cols[c] = colName(c);
  for (int r = 0; r < rows; ++r) {
    const std::string rn = std::to_string(r + 1);
    sheet += "<row r=\"" + rn + "\">";
    for (int c = 0; c < 10; ++c) {
      sheet += "<c r=\"" + cols[c] + rn + "\"";
      if (c == 0) sheet += r % 1000 == 0 ? " t=\"s\"><v>0</v></c>" : " t=\"s\"><v>" + std::to_string(1 + r % 7) + "</v></c>";
      else if (c % 3 == 0) sheet += " t=\"inlineStr\"><is><t>行" + rn + "</t></is></c>";
      else sheet += "><v>" + std::to_string(r * 10 + c) + "</v></c>";
    }
    sheet += "</row>";
  }
  sheet += "</sheetData></worksheet>";
  std::string sst = kSstHead;
  sst += std::string("<si><t>针") + kNeedle + "</t></si>";
  for (int i = 1; i <= 7; ++i) sst += "<si><t>文本" + std::to_string(i) + "</t></si>";
  sst += "</sst>";
  writePackage(path, std::move(sheet), std::move(sst));
}

void writeXls(const std::string& path, int rows) {
  if (rows > 65536) rows = 65536;
  std::string out;
  out.reserve(static_cast<size_t>(rows) * 40 * 22 + 64);
  std::string body;
  // BOF of a BIFF8 worksheet: version, kind, build, year, history, lowest version.
  putU16(body, 0x0600);
  putU16(body, 0x0010);
  putU16(body, 0x0DBB);
  putU16(body, 0x07CC);
  body.append(std::string("\0\0\0\0\x06\0\0\0", 8));
  putRecord(out, 0x0809, body);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < 40; ++c) {
      body.clear();
      putU16(body, static_cast<unsigned>(r));
      putU16(body, static_cast<unsigned>(c));
      putU16(body, 0x0F);
      if (c % 2 == 0) {
        // LABEL, compressed (Latin-1) characters.
        const std::string text = c == 0 && r % 1000 == 0 ? std::string(kNeedle) : "cell" + std::to_string(r);
        putU16(body, static_cast<unsigned>(text.size()));
        body.push_back('\0');
        body += text;
        putRecord(out, 0x0204, body);
      } else {
        double v = r * 40.0 + c;
        char bytes[8];
        std::memcpy(bytes, &v, 8);
        body.append(bytes, 8);
        putRecord(out, 0x0203, body);
      }
    }
  }
  putRecord(out, 0x000A, "");
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
  if (!file) throw std::runtime_error("write failed");
}

}  // namespace slowbook
