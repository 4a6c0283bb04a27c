// Book::load: opens the file safely, decides the format from its first bytes
// (never from its name) and hands it to the reader of that format. Every
// failure ends as a short Chinese text; a load never throws.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "platform/xl/ascii.h"

#include "platform/xl/book.h"

namespace xl {

namespace {

constexpr size_t kSniffBytes = 4096;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

LoadError openError(int err) {
  switch (err) {
    case EACCES:
    case EPERM: return LoadCause::OpenDenied;
    case ENOENT: return LoadCause::OpenNotFound;
    case ENOTDIR: return LoadCause::OpenPathNotFolder;
    case ENAMETOOLONG: return LoadCause::OpenPathTooLong;
    case ELOOP: return LoadCause::OpenLinkLoop;
    case EMFILE:
    case ENFILE: return LoadCause::OpenTooManyFiles;
    case ENXIO:
    case ENODEV: return LoadCause::OpenNotRegular;
    case EIO: return LoadCause::ReadIoError;
    default: return {LoadCause::OpenErrno, std::to_string(err)};
  }
}

// Texts that are not workbooks but are often saved as ".xls" by other
// programs: say what they are, so the user knows why nothing was found.
LoadCause textFormatError(std::string_view head) {
  std::string_view body = head;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  bool utf16 = false;
  if (body.size() >= 2 && ((body[0] == '\xFF' && body[1] == '\xFE') || (body[0] == '\xFE' && body[1] == '\xFF'))) {
    utf16 = true;
  }
  std::string low = foldedAscii(body);
  if (utf16) {  // keep the ASCII half of each unit, enough to recognise markup
    std::string narrow;
    for (char c : low.substr(2))
      if (c != '\0') narrow.push_back(c);
    low = narrow;
  }
  if (!utf16) {
    // Text: no NUL and no control characters other than white space.
    for (unsigned char c : body)
      if (c == 0 || (c < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f') || c == 0x7F)
        return LoadCause::None;
    if (body.empty()) return LoadCause::None;
  }
  size_t start = low.find_first_not_of(" \t\r\n");
  std::string_view lead = start == std::string::npos ? std::string_view() : std::string_view(low).substr(start);
  if (lead.substr(0, 5) == "{\\rtf") return LoadCause::UnsupportedRtf;
  if (lead.substr(0, 4) == "id;p") return LoadCause::UnsupportedSylk;
  if (lead.substr(0, 13) == "mime-version:") return LoadCause::UnsupportedMhtml;
  if (lead.substr(0, 5) == "<?xml" || lead.substr(0, 1) == "<") {
    if (low.find("urn:schemas-microsoft-com:office:spreadsheet") != std::string::npos)
      return LoadCause::UnsupportedXmlSpreadsheet;
    if (low.find("<html") != std::string::npos || low.find("<!doctype html") != std::string::npos ||
        low.find("<table") != std::string::npos)
      return LoadCause::UnsupportedHtml;
    return LoadCause::UnsupportedXml;
  }
  if (utf16) return LoadCause::UnsupportedUtf16Text;
  if (body.find('\t') != std::string_view::npos) return LoadCause::UnsupportedTabText;
  if (body.find(',') != std::string_view::npos || body.find(';') != std::string_view::npos)
    return LoadCause::UnsupportedCsv;
  return LoadCause::UnsupportedPlainText;
}

bool isRawBiffBof(std::string_view head) {
  if (head.size() < 4) return false;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(head.data());
  const unsigned type = p[0] | (p[1] << 8);
  const unsigned len = p[2] | (p[3] << 8);
  return (type == 0x0009 || type == 0x0209 || type == 0x0409 || type == 0x0809) && len >= 4 && len <= 20;
}

bool zipHas(zip_t* z, const char* name) { return zip_name_locate(z, name, ZIP_FL_NOCASE) >= 0; }

// The first `limit` bytes of an entry (fewer when it is shorter or cannot
// be read).
std::string zipEntryHead(zip_t* z, const char* name, size_t limit) {
  zip_int64_t idx = zip_name_locate(z, name, 0);
  if (idx < 0) return {};
  zip_file_t* f = zip_fopen_index(z, static_cast<zip_uint64_t>(idx), 0);
  if (!f) return {};
  std::string out(limit, '\0');
  size_t got = 0;
  while (got < limit) {
    zip_int64_t n = zip_fread(f, out.data() + got, limit - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  zip_fclose(f);
  out.resize(got);
  return out;
}

std::string zipMimetype(zip_t* z) { return zipEntryHead(z, "mimetype", 128); }

// An OpenDocument package whose writer left out the mimetype entry: its
// manifest names the document's type, or the content says what it holds.
std::string openDocumentTypeWithoutMimetype(zip_t* z) {
  constexpr const char* kSpreadsheet = "application/vnd.oasis.opendocument.spreadsheet";
  std::string manifest = zipEntryHead(z, "META-INF/manifest.xml", 64 * 1024);
  if (size_t at = manifest.find("manifest:full-path=\"/\""); at != std::string::npos) {
    size_t tagStart = manifest.rfind('<', at);
    size_t tagEnd = manifest.find('>', at);
    std::string_view tag = std::string_view(manifest).substr(tagStart == std::string::npos ? 0 : tagStart,
                                                             tagEnd == std::string::npos ? std::string::npos : tagEnd - tagStart);
    size_t type = tag.find("application/vnd.oasis.opendocument");
    if (type != std::string_view::npos) {
      std::string_view rest = tag.substr(type);
      return std::string(rest.substr(0, rest.find('"')));
    }
  }
  std::string content = zipEntryHead(z, "content.xml", 64 * 1024);
  if (content.find("office:document-content") == std::string::npos) return {};
  if (content.find("<office:spreadsheet") != std::string::npos) return kSpreadsheet;
  return "application/vnd.oasis.opendocument";
}

// After the OOXML reader refused a ZIP: name what it is when we can tell.
LoadCause explainZip(int fd) {
  int dupFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dupFd < 0) return LoadCause::None;
  ::lseek(dupFd, 0, SEEK_SET);
  int err = 0;
  zip_t* z = zip_fdopen(dupFd, ZIP_RDONLY, &err);
  if (!z) {
    ::close(dupFd);
    return LoadCause::None;
  }
  LoadCause out = LoadCause::None;
  std::string mime = zipMimetype(z);
  if (mime.empty()) mime = openDocumentTypeWithoutMimetype(z);
  if (mime.rfind("application/vnd.oasis.opendocument.spreadsheet", 0) == 0)
    out = LoadCause::UnsupportedOds;
  else if (mime.rfind("application/vnd.oasis.opendocument", 0) == 0)
    out = LoadCause::NotWorkbookOpenDocument;
  else if (zipHas(z, "word/document.xml"))
    out = LoadCause::NotWorkbookWordDocx;
  else if (zipHas(z, "ppt/presentation.xml"))
    out = LoadCause::NotWorkbookPowerPointPptx;
  else if (zip_get_num_entries(z, 0) == 0)
    out = LoadCause::NotWorkbookEmptyZip;
  else if (!zipHas(z, "[Content_Types].xml") && !zipHas(z, "xl/workbook.xml") && !zipHas(z, "_rels/.rels"))
    out = LoadCause::NotWorkbookPlainZip;
  zip_discard(z);  // closes dupFd
  return out;
}

enum class Kind { Zip, Ole2, RawBiff, Other };

Kind sniff(std::string_view head) {
  if (head.size() >= 4 && head[0] == 'P' && head[1] == 'K' &&
      ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6)))
    return Kind::Zip;
  if (head.size() >= 8 && std::memcmp(head.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0)
    return Kind::Ole2;
  if (isRawBiffBof(head)) return Kind::RawBiff;
  return Kind::Other;
}

bool readHead(int fd, std::string& head, LoadError& error) {
  head.resize(kSniffBytes);
  size_t got = 0;
  while (got < head.size()) {
    ssize_t n = ::pread(fd, head.data() + got, head.size() - got, static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = LoadCause::ReadIoError;
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  head.resize(got);
  return true;
}

bool loadFd(int fd, const std::string& path, Book& book) {
  if (book.cancelled()) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    book.setError(openError(errno));
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    book.setError(LoadCause::NotWorkbookFolder);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    book.setError(LoadCause::NotWorkbookNotRegular);
    return false;
  }
  if (st.st_size == 0) {
    book.setError(LoadCause::Empty);
    return false;
  }
  std::string head;
  LoadError err;
  if (!readHead(fd, head, err)) {
    book.setError(err);
    return false;
  }
  if (head.empty()) {
    book.setError(LoadCause::Empty);
    return false;
  }
  switch (sniff(head)) {
    case Kind::Zip:
      return readZipPackage(fd, book);
    case Kind::Ole2:  // the BIFF reader also tells encrypted and other Office files
    case Kind::RawBiff:
      return readBiff(fd, path, book);
    case Kind::Other:
      break;
  }
  LoadCause why = textFormatError(head);
  if (why == LoadCause::None)
    why = head.substr(0, 5) == "%PDF-" ? LoadCause::NotWorkbookPdf : LoadCause::NotWorkbook;
  book.setError(why);
  return false;
}

}  // namespace

bool readZipPackage(int fd, Book& book) {
  if (readOoxml(fd, book)) return true;
      if (LoadCause why = explainZip(fd); why != LoadCause::None) book.setError(why);
  return false;
}

namespace {
std::atomic<unsigned> gLoads{0};
struct LoadCount {
  LoadCount() { gLoads.fetch_add(1, std::memory_order_relaxed); }
  ~LoadCount() { gLoads.fetch_sub(1, std::memory_order_relaxed); }
};
}  // namespace

unsigned Book::loadsInProgress() { return gLoads.load(std::memory_order_relaxed); }

bool Book::load(const std::string& path) {
  const LoadCount counting;
  clear();
  loadCancelled_ = false;
  bool ok = false;
  try {
    // FIFOs, sockets and device nodes are never opened: opening some devices
    // has effects of its own. The fstat after the open still guards the race.
    struct stat before {};
    int raw = -1;
    if (::stat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
      setError(S_ISDIR(before.st_mode) ? LoadCause::NotWorkbookFolder : LoadCause::NotWorkbookNotRegular);
    } else if ((raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) < 0) {
      setError(openError(errno));
    } else {
      Fd fd(raw);
      ok = loadFd(fd.get(), path, *this);
    }
    if (ok) {
      for (Sheet& s : sheets) s.finish();
    }
  } catch (const std::bad_alloc&) {
    ok = false;
    setError(LoadCause::TooLargeNoMemory);
  } catch (...) {
    ok = false;
    setError(LoadCause::DamagedReadError);
  }
  if (ok) {
    error_ = {};
    return true;
  }
  // A reader that gave up because it was told to, or a failure while a cancel
  // was pending: either way the caller no longer wants this file.
  if (cancelled()) {
    try {
      clear();
    } catch (...) {
    }
    loadCancelled_ = true;
    error_ = {LoadCause::Cancelled};
    return false;
  }
  // A reader that failed without saying why still gives the user a cause.
  LoadError error = error_.empty() ? LoadError{LoadCause::Damaged} : std::move(error_);
  try {
    clear();
  } catch (...) {
  }
  error_ = std::move(error);
  return false;
}

}  // namespace xl
