// The compound file is read as [MS-CFB] lays it out, trusting nothing but
// the bytes that are there: the header's counts are ignored where the file
// says otherwise, every sector id is checked against the sectors the file
// holds (the last one may be cut short), and every chain is followed once
// at most per sector, so a loop ends it.
#include "platform/xl/ole2_salvage.h"

#include <algorithm>

#include "platform/xl/ascii.h"

namespace xl::ole2 {

namespace {

constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;  // ids above are markers
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr size_t kHeaderBytes = 512;
constexpr size_t kHeaderDifatEntries = 109;
constexpr size_t kDirEntryBytes = 128;
constexpr uint64_t kMiniStreamCutoff = 4096;
constexpr size_t kMiniSectorBytes = 64;

constexpr uint8_t kTypeStream = 2;

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Whether a directory entry's UTF-16 name is `ascii` (lower case), ASCII
// letters compared without case.
bool nameIs(const uint8_t* entry, const char* ascii) {
  size_t units = std::min<size_t>(le16(entry + 0x40) / 2, 32);
  if (units > 0 && le16(entry + 2 * (units - 1)) == 0) --units;  // the terminator
  size_t i = 0;
  for (; i < units && ascii[i]; ++i) {
    if (foldAscii(le16(entry + 2 * i)) != static_cast<unsigned char>(ascii[i])) return false;
  }
  return i == units && ascii[i] == 0;
}

class Compound {
 public:
  Compound(const uint8_t* d, size_t n) : d_(d), n_(n) {}

  bool open() {
    if (n_ < kHeaderBytes) return false;
    const uint16_t major = le16(d_ + 0x1A);
    const uint16_t shift = le16(d_ + 0x1E);
    shift_ = shift == 9 || shift == 12 ? shift : (major == 4 ? 12 : 9);
    sectorBytes_ = size_t{1} << shift_;
    wideSizes_ = shift_ == 12;  // version 3 files keep only 32 bits of a stream size
    if (n_ <= sectorBytes_) return false;
    sectorCount_ = std::min<size_t>((n_ - sectorBytes_ + sectorBytes_ - 1) / sectorBytes_, kMaxRegularSector);
    readFat();
    readDirectory();
    return !directory_.empty();
  }

  bool workbook(std::vector<uint8_t>& out, Search where) {
    const uint8_t* entry = findStream("workbook", where);
    if (!entry) entry = findStream("book", where);
    if (!entry) return false;
    readStream(entry, out);
    return !out.empty();
  }

 private:
  // The bytes of sector `id`: fewer than a sector when the file ends inside
  // it; false when it lies past the end.
  bool sector(uint32_t id, const uint8_t*& p, size_t& len) const {
    if (id >= sectorCount_) return false;
    const size_t off = (static_cast<size_t>(id) + 1) << shift_;
    if (off >= n_) return false;
    p = d_ + off;
    len = std::min(sectorBytes_, n_ - off);
    return true;
  }

  // Ids from `start` through `table`, each visited once, all below `units`.
  static std::vector<uint32_t> chain(uint32_t start, const std::vector<uint32_t>& table, size_t units) {
    std::vector<uint32_t> ids;
    std::vector<uint8_t> seen(units, 0);
    for (uint32_t id = start; id < units && !seen[id];) {
      seen[id] = 1;
      ids.push_back(id);
      if (id >= table.size()) break;
      id = table[id];
    }
    return ids;
  }

  // The FAT sectors the header and the DIFAT chain list, as far as the file
  // holds them; no more than it takes to describe every sector of the file.
  std::vector<uint32_t> fatSectorIds() const {
    const size_t perSector = sectorBytes_ / 4;
    const size_t needed = sectorCount_ / perSector + 1;
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < kHeaderDifatEntries && ids.size() < needed; ++i) {
      const uint32_t id = le32(d_ + 0x4C + 4 * i);
      if (id < kMaxRegularSector) ids.push_back(id);
    }
    std::vector<uint8_t> seen(sectorCount_, 0);
    for (uint32_t id = le32(d_ + 0x44); id < sectorCount_ && !seen[id] && ids.size() < needed;) {
      seen[id] = 1;
      const uint8_t* p;
      size_t len;
      if (!sector(id, p, len) || len < sectorBytes_) break;
      for (size_t k = 0; k + 1 < perSector && ids.size() < needed; ++k) {
        const uint32_t fat = le32(p + 4 * k);
        if (fat < kMaxRegularSector) ids.push_back(fat);
      }
      id = le32(p + sectorBytes_ - 4);
    }
    return ids;
  }

  // A FAT sector the file lacks keeps its place as free entries, so the
  // sectors after it still find their links.
  void readFat() {
    const size_t perSector = sectorBytes_ / 4;
    for (uint32_t id : fatSectorIds()) {
      if (fat_.size() >= sectorCount_) break;
      const uint8_t* p = nullptr;
      size_t len = 0;
      const size_t base = fat_.size();
      fat_.resize(base + perSector, kFreeSector);
      if (!sector(id, p, len)) continue;
      for (size_t k = 0; k < len / 4; ++k) fat_[base + k] = le32(p + 4 * k);
    }
    if (fat_.size() > sectorCount_) fat_.resize(sectorCount_);
  }

  void readDirectory() {
    for (uint32_t id : chain(le32(d_ + 0x30), fat_, sectorCount_)) {
      const uint8_t* p;
      size_t len;
      if (!sector(id, p, len)) break;
      for (size_t off = 0; off + kDirEntryBytes <= len; off += kDirEntryBytes) directory_.push_back(p + off);
    }
    // The first entry is the root whatever its type byte says.
    if (!directory_.empty()) root_ = directory_[0];
  }

  // A stream of that name among the root's children (the tree of siblings
  // under the root, whatever the types of the entries on the way), else,
  // when allowed, anywhere in the directory.
  const uint8_t* findStream(const char* name, Search where) const {
    if (root_) {
      std::vector<uint8_t> seen(directory_.size(), 0);
      std::vector<uint32_t> todo{le32(root_ + 0x4C)};
      while (!todo.empty()) {
        const uint32_t i = todo.back();
        todo.pop_back();
        if (i >= directory_.size() || seen[i]) continue;
        seen[i] = 1;
        const uint8_t* e = directory_[i];
        if (e[0x42] == kTypeStream && nameIs(e, name)) return e;
        todo.push_back(le32(e + 0x44));
        todo.push_back(le32(e + 0x48));
      }
    }
    if (where == Search::TopLevel) return nullptr;
    for (const uint8_t* e : directory_)
      if (e[0x42] == kTypeStream && nameIs(e, name)) return e;
    return nullptr;
  }

  uint64_t streamSize(const uint8_t* entry) const {
    const uint64_t low = le32(entry + 0x78);
    return wideSizes_ ? low | (static_cast<uint64_t>(le32(entry + 0x7C)) << 32) : low;
  }

  // The bytes of a chain of regular sectors.
  void appendSectors(uint32_t start, std::vector<uint8_t>& out) const {
    for (uint32_t id : chain(start, fat_, sectorCount_)) {
      const uint8_t* p;
      size_t len;
      if (!sector(id, p, len)) break;
      out.insert(out.end(), p, p + len);
      if (len < sectorBytes_) break;  // the end of the file
    }
  }

  void readStream(const uint8_t* entry, std::vector<uint8_t>& out) const {
    const uint32_t start = le32(entry + 0x74);
    uint64_t size = streamSize(entry);
    if (size < kMiniStreamCutoff && root_) {
      readMiniStream(start, out);
    } else {
      appendSectors(start, out);
    }
    // A size the chain cannot hold (or none at all) leaves what it gave.
    if (size > 0 && size < out.size()) out.resize(static_cast<size_t>(size));
  }

  // A small stream: 64-byte units of the root's mini stream, linked by the
  // mini FAT.
  void readMiniStream(uint32_t start, std::vector<uint8_t>& out) const {
    std::vector<uint8_t> fatBytes, mini;
    appendSectors(le32(d_ + 0x3C), fatBytes);
    appendSectors(le32(root_ + 0x74), mini);
    std::vector<uint32_t> miniFat(fatBytes.size() / 4);
    for (size_t k = 0; k < miniFat.size(); ++k) miniFat[k] = le32(fatBytes.data() + 4 * k);
    const size_t units = (mini.size() + kMiniSectorBytes - 1) / kMiniSectorBytes;
    for (uint32_t id : chain(start, miniFat, units)) {
      const size_t off = static_cast<size_t>(id) * kMiniSectorBytes;
      const size_t len = std::min(kMiniSectorBytes, mini.size() - off);
      out.insert(out.end(), mini.begin() + static_cast<std::ptrdiff_t>(off),
                 mini.begin() + static_cast<std::ptrdiff_t>(off + len));
    }
  }

  const uint8_t* d_;
  size_t n_;
  unsigned shift_ = 9;
  size_t sectorBytes_ = 512;
  bool wideSizes_ = false;
  size_t sectorCount_ = 0;
  std::vector<uint32_t> fat_;
  std::vector<const uint8_t*> directory_;  // 128-byte entries inside the file
  const uint8_t* root_ = nullptr;
};

}  // namespace

bool salvageWorkbookStream(const uint8_t* file, size_t size, std::vector<uint8_t>& stream, Search where) {
  stream.clear();
  Compound compound(file, size);
  return compound.open() && compound.workbook(stream, where);
}

}  // namespace xl::ole2
