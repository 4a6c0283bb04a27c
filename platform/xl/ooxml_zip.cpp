// The zip index of a workbook: finds a part by name as OPC names it
// (case-insensitive, maybe percent-encoded, maybe with Windows slashes) and
// opens it for reading, choosing how its bytes are inflated.
#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <memory>

#include "platform/xl/ooxml_internal.h"
#include "platform/xl/ascii.h"
#include "platform/xl/ooxml_xml.h"

namespace xl::ooxml {

namespace {

std::string percentDecoded(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int hi = hexDigit(s[i + 1]), lo = hexDigit(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

}  // namespace

void LoadNotes::add(std::string note) {
  std::lock_guard lock(mutex_);
  if (std::find(notes_.begin(), notes_.end(), note) == notes_.end()) notes_.push_back(std::move(note));
}

void LoadNotes::crcMismatch(const std::string& part) { add(part + "：CRC-32 校验值不符，按解压所得读取"); }

std::vector<std::string> LoadNotes::take() {
  std::lock_guard lock(mutex_);
  return std::move(notes_);
}

LoadError entryError(int zipCode, const std::string& part) {
  switch (zipCode) {
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_ENCRNOTSUPP:
      return LoadCause::EncryptedNeedsPassword;
    case ZIP_ER_COMPNOTSUPP:
      return LoadError{LoadCause::PartBadCompression, part};
    case ZIP_ER_MEMORY:
      return LoadError{LoadCause::PartNoMemory, part};
    default:
      return LoadError{LoadCause::PartInflateFailed, part};
  }
}

Package::~Package() {
  if (zip_) zip_discard(zip_);
}

bool Package::open(int fd, LoadError& error) {
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    error = LoadCause::ZipReadFailed;
    return false;
  }
  int code = 0;
  zip_ = zip_fdopen(copy, ZIP_RDONLY, &code);
  if (!zip_) {
    close(copy);  // zip_fdopen owns the fd only when it succeeds
    switch (code) {
      case ZIP_ER_READ:
      case ZIP_ER_SEEK:
      case ZIP_ER_OPEN:
        error = LoadCause::ZipReadFailed;
        break;
      case ZIP_ER_MEMORY:
        error = LoadCause::ZipNoMemory;
        break;
      default:
        error = LoadCause::DamagedZip;
    }
    return false;
  }
  zip_int64_t n = zip_get_num_entries(zip_, 0);
  folded_.reserve(static_cast<size_t>(std::min<zip_int64_t>(n, 1 << 16)));
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* name = zip_get_name(zip_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS);
    if (!name) continue;
    std::string key = foldedAscii(name);
    std::replace(key.begin(), key.end(), '\\', '/');  // some writers store Windows paths
    folded_.emplace(std::move(key), i);  // first entry of a name wins
  }
  return true;
}

int64_t Package::locate(const std::string& part) const {
  if (part.empty()) return -1;
  zip_int64_t i = zip_name_locate(zip_, part.c_str(), ZIP_FL_ENC_GUESS);
  if (i >= 0) return i;
  auto it = folded_.find(foldedAscii(part));
  if (it != folded_.end()) return it->second;
  if (part.find('%') != std::string::npos) {
    it = folded_.find(foldedAscii(percentDecoded(part)));
    if (it != folded_.end()) return it->second;
  }
  return -1;
}

std::unique_ptr<PartSource> Package::openPart(const std::string& part, uint64_t& declared, LoadError& error) {
  declared = 0;
  int64_t index = locate(part);
  if (index < 0) {
    error = LoadError{LoadCause::PartMissing, part};
    return nullptr;
  }
  zip_file_t* file = zip_fopen_index(zip_, static_cast<zip_uint64_t>(index), 0);
  if (!file) {
    error = entryError(zip_error_code_zip(zip_get_error(zip_)), part);
    return nullptr;
  }
  zip_stat_t st;
  zip_stat_init(&st);
  uint64_t compressed = 0;
  if (zip_stat_index(zip_, static_cast<zip_uint64_t>(index), 0, &st) == 0 && (st.valid & ZIP_STAT_COMP_SIZE))
    compressed = st.comp_size;
  auto src = std::make_unique<PartSource>(file, part, limits_, compressed);
  src->cancelWith(cancel_);
  if (st.valid & ZIP_STAT_SIZE) declared = st.size;
  src->checkAgainst((st.valid & ZIP_STAT_SIZE) ? st.size : ~0ull, &notes_);
  std::unique_ptr<char[]> whole;
  bool crcMismatch = false;
  if (inflateWhole(zip_, static_cast<zip_uint64_t>(index), st, limits_, whole, crcMismatch)) {
    if (crcMismatch) notes_.crcMismatch(part);
    src->useWhole(std::move(whole), static_cast<size_t>(st.size));
  } else {
    if (canInflateRaw(st))
      if (zip_file_t* raw = zip_fopen_index(zip_, static_cast<zip_uint64_t>(index), ZIP_FL_COMPRESSED))
        src->inflateRaw(raw, st.size, st.crc);
    if (!(st.valid & ZIP_STAT_SIZE) || st.size > kWholeInflateBytes) src->inflateAhead();
  }
  // A whole inflate cannot be cut short; what it took is not parsed when a
  // cancel came meanwhile.
  if (cancel_ && cancel_->cancelled()) {
    error = LoadCause::Cancelled;
    return nullptr;
  }
  return src;
}

bool Package::read(const std::string& part, const std::function<bool(PartSource&, uint64_t)>& use,
                   LoadError& error) {
  uint64_t declared = 0;
  std::unique_ptr<PartSource> src = openPart(part, declared, error);
  if (!src) return false;
  return use(*src, declared);
}

}  // namespace xl::ooxml
