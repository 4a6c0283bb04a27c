// .xls: the OLE2 container (through libgsf) around the workbook stream, or a
// bare BIFF2-4 stream. The records themselves are read in biff_parse.cpp.
#include <gsf/gsf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/xl/biff_parse.h"
#include "platform/xl/ascii.h"
#include "platform/xl/book.h"
#include "platform/xl/decrypt_ooxml.h"
#include "platform/xl/ole2_salvage.h"

namespace xl {

namespace {

constexpr uint8_t kOle2Magic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// The whole file is read into memory; a larger .xls is not a workbook
// anyone saved.
constexpr uint64_t kMaxBiffFileBytes = 2'000'000'000ull;

void quietGsfLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

void initGsf() {
  static std::once_flag once;
  std::call_once(once, [] {
    gsf_init();
    // Damaged containers make libgsf warn on stderr; the failure reaches
    // the user as the load's error text instead.
    g_log_set_handler("libgsf:msole", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
                      quietGsfLog, nullptr);
    g_log_set_handler("libgsf", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
                      quietGsfLog, nullptr);
    // Some of its messages about a child it cannot open carry no domain.
    g_log_set_handler(nullptr, static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE), quietGsfLog,
                      nullptr);
  });
}

template <typename T>
struct GObjectRef {
  T* p = nullptr;
  ~GObjectRef() {
    if (p) g_object_unref(p);
  }
};

std::string stemOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name.empty() ? std::string("Sheet1") : name;
}

// Copies a stream of the container out whole. The container stores
// streams uncompressed: one larger than the file is a lie of the directory.
bool readChild(GsfInfile* ole, int index, size_t fileSize, std::vector<uint8_t>& data, Book& book) {
  GObjectRef<GsfInput> stream;
  stream.p = gsf_infile_child_by_index(ole, index);
  if (!stream.p) {
    book.setError(LoadCause::DamagedStreamUnreadable);
    return false;
  }
  gsf_off_t size = gsf_input_size(stream.p);
  if (size < 0 || static_cast<uint64_t>(size) > fileSize) {
    book.setError(LoadCause::DamagedStreamPastFile);
    return false;
  }
  data.resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < data.size()) {
    if (book.cancelled()) return false;
    size_t chunk = std::min<size_t>(data.size() - done, 1u << 20);
    if (!gsf_input_read(stream.p, chunk, data.data() + done)) {
      book.setError(LoadCause::DamagedStreamUnreadable);
      return false;
    }
    done += chunk;
  }
  return true;
}

// Copies the workbook stream out of the OLE2 container in `file`; for an
// encrypted .xlsx, its two encryption streams instead.
bool extractWorkbookStream(const uint8_t* file, size_t fileSize, std::vector<uint8_t>& data, EncryptedPackage& enc,
                           Book& book) {
  initGsf();
  GObjectRef<GsfInput> input;
  input.p = gsf_input_memory_new(file, static_cast<gsf_off_t>(fileSize), FALSE);
  if (!input.p) {
    book.setError(LoadCause::ReadFailed);
    return false;
  }
  GObjectRef<GsfInfile> ole;
  GError* err = nullptr;
  ole.p = gsf_infile_msole_new(input.p, &err);
  if (err) g_error_free(err);
  if (!ole.p) {
    // libgsf refuses containers Excel still opens; our own reader takes
    // the workbook stream out of those when the stream itself is intact.
    if (ole2::salvageWorkbookStream(file, fileSize, data)) return true;
    book.setError(LoadCause::DamagedOle2);
    return false;
  }

  // "Workbook" (BIFF8) is preferred over "Book" (BIFF5) when a file holds
  // both, as Excel 97 files saved in the dual format do.
  int workbook = -1, bookStream = -1, encryptionInfo = -1, encryptedPackage = -1;
  bool word = false, powerPoint = false;
  const int children = gsf_infile_num_children(ole.p);
  for (int i = 0; i < children; ++i) {
    const char* name = gsf_infile_name_by_index(ole.p, i);
    if (!name) continue;
    if (workbook < 0 && equalsFoldedAscii(name, "Workbook")) workbook = i;
    else if (bookStream < 0 && equalsFoldedAscii(name, "Book")) bookStream = i;
    else if (encryptionInfo < 0 && equalsFoldedAscii(name, "EncryptionInfo")) encryptionInfo = i;
    else if (encryptedPackage < 0 && equalsFoldedAscii(name, "EncryptedPackage")) encryptedPackage = i;
    else if (equalsFoldedAscii(name, "WordDocument")) word = true;
    else if (equalsFoldedAscii(name, "PowerPoint Document")) powerPoint = true;
  }
  int index = workbook >= 0 ? workbook : bookStream;
  if (index < 0 && encryptionInfo >= 0 && encryptedPackage >= 0) {
    // A password-protected .xlsx is an OLE2 file holding the encrypted package.
    enc.present = true;
    return readChild(ole.p, encryptionInfo, fileSize, enc.info, book) &&
           readChild(ole.p, encryptedPackage, fileSize, enc.package, book);
  }
  // An entry of no known type hides the entries beside it in the tree from
  // libgsf; ours walks past it. Only the top level counts, so a workbook
  // embedded in some other document is not taken for the file.
  if (index < 0 && encryptionInfo < 0 && encryptedPackage < 0 && !word && !powerPoint &&
      ole2::salvageWorkbookStream(file, fileSize, data, ole2::Search::TopLevel))
    return true;
  if (index < 0) {
    book.setError(encryptionInfo >= 0 || encryptedPackage >= 0 ? LoadCause::DamagedEncryptionInfo
                  : word       ? LoadCause::NotWorkbookWordDoc
                  : powerPoint ? LoadCause::NotWorkbookPowerPointPpt
                               : LoadCause::NotWorkbookOle2NoStream);
    return false;
  }
  if (readChild(ole.p, index, fileSize, data, book)) return true;
  // A directory that lies about the stream: our own reader may still find it.
  return !book.cancelled() && ole2::salvageWorkbookStream(file, fileSize, data);
}

}  // namespace

bool readBiff(int fd, const std::string& path, Book& book) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    book.setError(LoadCause::ReadFailed);
    return false;
  }
  if (st.st_size <= 0) {
    book.setError(LoadCause::NotWorkbookEmpty);
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxBiffFileBytes) {
    book.setError(LoadCause::TooLarge);
    return false;
  }
  // Read, not mapped: a file that shrinks while it is read (a copy being
  // rewritten) must give a short read, not SIGBUS. Not zeroed first: the
  // read fills it, and only the bytes read are used.
  const size_t size = static_cast<size_t>(st.st_size);
  auto bytes = std::make_unique_for_overwrite<uint8_t[]>(size);
  size_t got = 0;
  while (got < size) {
    // In slices, so a cancel is seen while a large file comes off a slow disk.
    if (book.cancelled()) return false;
    const size_t slice = std::min<size_t>(size - got, 8u << 20);
    ssize_t r = pread(fd, bytes.get() + got, slice, static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      book.setError(LoadCause::ReadFailed);
      return false;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  if (got >= sizeof kOle2Magic && std::memcmp(bytes.get(), kOle2Magic, sizeof kOle2Magic) == 0) {
    std::vector<uint8_t> stream;
    EncryptedPackage enc;
    if (!extractWorkbookStream(bytes.get(), got, stream, enc, book)) return false;
    // The container is not needed while the records are read.
    bytes.reset();
    if (enc.present) return readEncryptedPackage(enc, book);
    return biff::parseWorkbookStream(stream.data(), stream.size(), stemOf(path), book);
  }

  // A bare BIFF2-4 (or BIFF5/8 worksheet) stream: the file is the stream.
  return biff::parseWorkbookStream(bytes.get(), got, stemOf(path), book);
}

}  // namespace xl
