// What the decryption of .xls streams (decrypt_biff) and of encrypted OOXML
// packages (decrypt_ooxml) share, after [MS-OFFCRYPTO]: the only password we
// try, the failure texts, a bounded reader over header bytes, nettle hashes,
// and the binary EncryptionHeader/EncryptionVerifier pair that RC4 CryptoAPI
// and Standard encryption both use.
//
// Excel encrypts a workbook with the fixed password "VelvetSweatshop" when it
// is protected without an open password (workbook structure protection,
// "read-only recommended"); such files open without a question in Excel, so
// they must here too. Any other password is the user's secret: we never ask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct nettle_hash;

namespace xl {
class Book;
}

namespace xl::crypt {

inline constexpr char kDefaultPassword[] = "VelvetSweatshop";

// The default password as UTF-16LE bytes, as every hashed scheme takes it.
std::vector<uint8_t> defaultPasswordUtf16();

// Little-endian fields read from a byte range; every read checks the length
// first and a failed read leaves the reader failed for good.
class ByteReader {
 public:
  ByteReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool u16(uint16_t& v);
  bool u32(uint32_t& v);
  bool u64(uint64_t& v);
  bool bytes(size_t count, const uint8_t*& out);
  bool skip(size_t count) {
    const uint8_t* ignored = nullptr;
    return bytes(count, ignored);
  }
  size_t left() const { return ok_ ? n_ - pos_ : 0; }
  size_t pos() const { return pos_; }
  bool ok() const { return ok_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// One hash of the concatenation of up to three byte ranges.
struct Bytes {
  const uint8_t* p;
  size_t n;
};
std::vector<uint8_t> hashOf(const nettle_hash* h, Bytes a, Bytes b = {nullptr, 0}, Bytes c = {nullptr, 0});

// Hn after H0 = H(salt + password) and `spins` rounds of H(LE32 i + H),
// the key-stretching loop of Standard and Agile encryption. Empty when the
// book's load is cancelled on the way (a few million rounds take seconds).
std::vector<uint8_t> spunHash(const nettle_hash* h, const std::vector<uint8_t>& salt,
                              const std::vector<uint8_t>& password, uint32_t spins, const Book& book);

// ALGID values of the binary headers.
enum : uint32_t {
  kAlgRc4 = 0x6801,
  kAlgAes128 = 0x660E,
  kAlgAes192 = 0x660F,
  kAlgAes256 = 0x6610,
  kAlgSha1 = 0x8004,
};

// EncryptionHeader + EncryptionVerifier ([MS-OFFCRYPTO] 2.3.2, 2.3.3), read
// from the bytes after the version and flags fields.
struct BinaryHeader {
  uint32_t algId = 0;
  uint32_t algIdHash = 0;
  uint32_t keyBits = 0;
  std::vector<uint8_t> salt;
  std::vector<uint8_t> encryptedVerifier;      // 16 bytes
  std::vector<uint8_t> encryptedVerifierHash;  // 20 (RC4) or 32 (AES) bytes
  uint32_t verifierHashSize = 0;
};
// False when the structure is cut short or its sizes are not the format's.
bool readBinaryHeader(ByteReader& r, BinaryHeader& out);

// Wipes key material before the memory goes back to the allocator.
void wipe(std::vector<uint8_t>& v);

}  // namespace xl::crypt
