// The compression of cache entries: LZ4 frames (blocks linked), each followed
// by the CRC-32 of its content. LZ4 because filling the cache happens during
// a search whose own work is cheap: it compresses several times faster than
// zstd's fastest ordinary level and decompresses faster still, for entries
// about a quarter larger. The CRC is libdeflate's rather than the frame's own
// XXH32 checksum, which took longer than the decompression it guarded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Compresses what add() is given into `pieces` (each at most a megabyte, so
// no large block is ever grown by copying; or one block, see oneBlock()). A form small enough is gathered
// whole first and compressed with its size in the frame's header.
class EntryCompressor {
 public:
  explicit EntryCompressor(std::vector<std::string>& pieces);
  void add(const char* p, size_t n);
  // False when the codec failed: the pieces are then to be thrown away.
  bool finish();
  // The whole content at once, for a form already in one block: add() and
  // finish() without gathering a copy first. Its output is one block too.
  bool compressWhole(const char* p, size_t n);
  // Before the first add(): the output goes into one block, with room for
  // `expected` bytes of content set aside up front (only what is written
  // takes memory), so it is never gathered from pieces afterwards.
  void oneBlock(size_t expected);

 private:
  void begin(size_t contentSize);
  void compress(const char* p, size_t n);
  void put(const char* p, size_t n);

  std::vector<std::string>& pieces_;
  std::string& gathered_;
  uint32_t crc_ = 0;  // of the content compressed so far
  bool streaming_ = false;
  bool ok_ = true;
  size_t known_ = 0;  // the content's size, once known before compressing
  size_t pieceBytes_;
  size_t reserve_ = 0;  // room for the first piece, when set by oneBlock()
};

// Decompresses one frame, fed in pieces, into a buffer of exactly the size
// the entry says it holds. Anything else — a bad frame, a wrong checksum, more
// or fewer bytes — is damage.
class EntryDecompressor {
 public:
  EntryDecompressor();
  ~EntryDecompressor();
  EntryDecompressor(const EntryDecompressor&) = delete;
  EntryDecompressor& operator=(const EntryDecompressor&) = delete;

  // Starts a frame of `rawSize` bytes: false when there is no memory for it.
  bool begin(size_t rawSize);
  bool feed(const char* p, size_t n);
  // The whole content (malloc'ed, the caller frees it), or null when the
  // frame was damaged or incomplete.
  char* finish();

 private:
  struct Context;
  std::unique_ptr<Context> c_;
};
