#include "platform/xl/decrypt_biff.h"

#include <nettle/arcfour.h>
#include <nettle/md5.h>
#include <nettle/nettle-meta.h>
#include <nettle/sha1.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/xl/decrypt_common.h"

namespace xl::biff {

namespace {

using crypt::ByteReader;

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Records Excel never encrypts: BOF (every version), FILEPASS, USREXCL,
// FILELOCK, INTERFACEHDR, RRDINFO, RRDHEAD.
bool isClearRecord(uint16_t id) {
  switch (id) {
    case 0x0809: case 0x0009: case 0x0209: case 0x0409:
    case 0x002F: case 0x0194: case 0x0195: case 0x00E1: case 0x0196: case 0x0138:
      return true;
    default:
      return false;
  }
}
constexpr uint16_t kBoundsheet = 0x0085;

// ---- XOR obfuscation ([MS-OFFCRYPTO] 2.3.7.1-2.3.7.3) -----------------------

constexpr uint16_t kXorInitialCode[15] = {0xE1F0, 0x1D0F, 0xCC9C, 0x84C0, 0x110C, 0x0E10, 0xF1CE, 0x313E,
                                          0x1872, 0xE139, 0xD40F, 0x84F9, 0x280C, 0xA96A, 0x4EC3};
constexpr uint16_t kXorMatrix[105] = {
    0xAEFC, 0x4DD9, 0x9BB2, 0x2745, 0x4E8A, 0x9D14, 0x2A09, 0x7B61, 0xF6C2, 0xFDA5, 0xEB6B, 0xC6F7, 0x9DCF, 0x2BBF,
    0x4563, 0x8AC6, 0x05AD, 0x0B5A, 0x16B4, 0x2D68, 0x5AD0, 0x0375, 0x06EA, 0x0DD4, 0x1BA8, 0x3750, 0x6EA0, 0xDD40,
    0xD849, 0xA0B3, 0x5147, 0xA28E, 0x553D, 0xAA7A, 0x44D5, 0x6F45, 0xDE8A, 0xAD35, 0x4A4B, 0x9496, 0x390D, 0x721A,
    0xEB23, 0xC667, 0x9CEF, 0x29FF, 0x53FE, 0xA7FC, 0x5FD9, 0x47D3, 0x8FA6, 0x0F6D, 0x1EDA, 0x3DB4, 0x7B68, 0xF6D0,
    0xB861, 0x60E3, 0xC1C6, 0x93AD, 0x377B, 0x6EF6, 0xDDEC, 0x45A0, 0x8B40, 0x06A1, 0x0D42, 0x1A84, 0x3508, 0x6A10,
    0xAA51, 0x4483, 0x8906, 0x022D, 0x045A, 0x08B4, 0x1168, 0x76B4, 0xED68, 0xCAF1, 0x85C3, 0x1BA7, 0x374E, 0x6E9C,
    0x3730, 0x6E60, 0xDCC0, 0xA9A1, 0x4363, 0x86C6, 0x1DAD, 0x3331, 0x6662, 0xCCC4, 0x89A9, 0x0373, 0x06E6, 0x0DCC,
    0x1021, 0x2042, 0x4084, 0x8108, 0x1231, 0x2462, 0x48C4};
constexpr uint8_t kXorPad[15] = {0xBB, 0xFF, 0xFF, 0xBA, 0xFF, 0xFF, 0xB9, 0x80, 0x00, 0xBE, 0x0F, 0x00, 0xBF, 0x0F, 0x00};

inline uint8_t rotl8(uint8_t v, int n) { return static_cast<uint8_t>((v << n) | (v >> (8 - n))); }

uint16_t xorKey(const std::string& pw) {
  uint16_t key = kXorInitialCode[pw.size() - 1];
  int element = 104;
  for (size_t i = pw.size(); i-- > 0;) {
    uint8_t c = static_cast<uint8_t>(pw[i]);
    for (int bit = 0; bit < 7; ++bit, --element) {
      if (c & 0x40) key ^= kXorMatrix[element];
      c = static_cast<uint8_t>(c << 1);
    }
  }
  return key;
}

uint16_t xorVerifier(const std::string& pw) {
  uint16_t v = 0;
  std::vector<uint8_t> bytes{static_cast<uint8_t>(pw.size())};
  bytes.insert(bytes.end(), pw.begin(), pw.end());
  for (size_t i = bytes.size(); i-- > 0;) {
    const uint16_t high = (v & 0x4000) ? 1 : 0;
    v = static_cast<uint16_t>((((v << 1) & 0x7FFF) | high) ^ bytes[i]);
  }
  return static_cast<uint16_t>(v ^ 0xCE4B);
}

// The 16-byte array the data is XORed with: password and pad bytes mixed
// with the key, rotated as Excel (not Word) does.
std::array<uint8_t, 16> xorArray(const std::string& pw, uint16_t key) {
  std::array<uint8_t, 16> a{};
  for (size_t i = 0; i < 16; ++i) a[i] = i < pw.size() ? static_cast<uint8_t>(pw[i]) : kXorPad[i - pw.size()];
  for (size_t i = 0; i < 16; ++i) {
    const uint8_t k = (i & 1) ? static_cast<uint8_t>(key >> 8) : static_cast<uint8_t>(key);
    a[i] = rotl8(static_cast<uint8_t>(a[i] ^ k), 2);
  }
  return a;
}

// ---- RC4 keys per 1024-byte block -------------------------------------------

// RC4 ([MS-OFFCRYPTO] 2.3.6.2): MD5 of the 5-byte truncated intermediate key
// and the block number.
struct Rc4Key {
  std::vector<uint8_t> truncated;  // 5 bytes
  void blockKey(uint32_t block, arcfour_ctx& ctx) const {
    const uint8_t le[4] = {static_cast<uint8_t>(block), static_cast<uint8_t>(block >> 8),
                           static_cast<uint8_t>(block >> 16), static_cast<uint8_t>(block >> 24)};
    std::vector<uint8_t> k = crypt::hashOf(&nettle_md5, {truncated.data(), truncated.size()}, {le, 4});
    arcfour_set_key(&ctx, k.size(), k.data());
    crypt::wipe(k);
  }
};

// RC4 CryptoAPI ([MS-OFFCRYPTO] 2.3.5.2): SHA-1 of H0 and the block number,
// cut to the key size; a 40-bit key is padded with zeros to 128 bits.
struct CryptoApiKey {
  std::vector<uint8_t> h0;
  size_t keyBytes = 16;
  void blockKey(uint32_t block, arcfour_ctx& ctx) const {
    const uint8_t le[4] = {static_cast<uint8_t>(block), static_cast<uint8_t>(block >> 8),
                           static_cast<uint8_t>(block >> 16), static_cast<uint8_t>(block >> 24)};
    std::vector<uint8_t> k = crypt::hashOf(&nettle_sha1, {h0.data(), h0.size()}, {le, 4});
    if (keyBytes == 5) std::fill(k.begin() + 5, k.begin() + 16, 0);
    arcfour_set_key(&ctx, keyBytes == 5 ? 16 : keyBytes, k.data());
    crypt::wipe(k);
  }
};

constexpr size_t kRc4Block = 1024;

// Decrypts data[from, to) where the keystream is a function of the stream
// offset: block n of 1024 bytes is RC4 under block key n.
template <typename Key>
class Rc4Stream {
 public:
  explicit Rc4Stream(const Key& key) : key_(key) {}
  void apply(uint8_t* data, size_t from, size_t to) {
    while (from < to) {
      const uint64_t block = from / kRc4Block;
      if (block != block_) load(block);
      const size_t inBlock = from % kRc4Block;
      const size_t n = std::min(to - from, kRc4Block - inBlock);
      for (size_t i = 0; i < n; ++i) data[from + i] ^= stream_[inBlock + i];
      from += n;
    }
  }
  ~Rc4Stream() { std::memset(stream_, 0, sizeof stream_); }
  Rc4Stream(const Rc4Stream&) = delete;
  Rc4Stream& operator=(const Rc4Stream&) = delete;

 private:
  void load(uint64_t block) {
    arcfour_ctx ctx;
    key_.blockKey(static_cast<uint32_t>(block), ctx);
    std::memset(stream_, 0, sizeof stream_);
    arcfour_crypt(&ctx, sizeof stream_, stream_, stream_);
    std::memset(&ctx, 0, sizeof ctx);
    block_ = block;
  }
  const Key& key_;
  uint64_t block_ = UINT64_MAX;
  uint8_t stream_[kRc4Block];
};

// Whether the RC4 block-0 key turns the encrypted verifier into the one its
// hash was made from: the password check of both RC4 schemes.
template <typename Key>
bool verifierMatches(const Key& key, const nettle_hash* hash, const std::vector<uint8_t>& verifier,
                     const std::vector<uint8_t>& verifierHash) {
  arcfour_ctx ctx;
  key.blockKey(0, ctx);
  std::vector<uint8_t> plain(verifier.size()), plainHash(verifierHash.size());
  arcfour_crypt(&ctx, plain.size(), plain.data(), verifier.data());
  arcfour_crypt(&ctx, plainHash.size(), plainHash.data(), verifierHash.data());
  std::memset(&ctx, 0, sizeof ctx);
  const std::vector<uint8_t> expect = crypt::hashOf(hash, {plain.data(), plain.size()});
  const bool ok = plainHash.size() >= expect.size() &&
                  std::memcmp(plainHash.data(), expect.data(), expect.size()) == 0;
  crypt::wipe(plain);
  crypt::wipe(plainHash);
  return ok;
}

// Walks the records after FILEPASS and hands each encrypted byte range to
// `decrypt(from, to, dataStart, recordLength)`. A record cut by the end of
// the stream is decrypted as far as it goes. False when cancelled.
template <typename Fn>
bool forEachEncryptedRange(uint8_t* data, size_t size, size_t pos, const Book& book, Fn&& decrypt) {
  size_t nextCheck = pos + (1u << 20);
  while (size - pos >= 4) {
    if (pos >= nextCheck) {
      if (book.cancelled()) return false;
      nextCheck = pos + (1u << 20);
    }
    const uint16_t id = le16(data + pos);
    const size_t len = le16(data + pos + 2);
    const size_t start = pos + 4;
    const size_t end = std::min(size, start + len);
    if (!isClearRecord(id)) {
      const size_t from = id == kBoundsheet ? std::min(end, start + 4) : start;
      if (from < end) decrypt(from, end, start, len);
    }
    if (end < start + len) break;
    pos = end;
  }
  return true;
}

bool decryptXor(uint8_t* data, size_t size, size_t after, ByteReader& r, const Book& book, LoadError& error) {
  uint16_t key = 0, verifier = 0;
  if (!r.u16(key) || !r.u16(verifier)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  const std::string pw = crypt::kDefaultPassword;
  if (key != xorKey(pw) || verifier != xorVerifier(pw)) {
    error = LoadCause::EncryptedNeedsPassword;
    return false;
  }
  const std::array<uint8_t, 16> a = xorArray(pw, key);
  return forEachEncryptedRange(data, size, after, book, [&](size_t from, size_t to, size_t start, size_t len) {
    // The array index runs with the stream offset, begun at the record's
    // data offset plus its length.
    size_t index = (start + len + (from - start)) & 15;
    for (size_t i = from; i < to; ++i, index = (index + 1) & 15)
      data[i] = static_cast<uint8_t>(rotl8(data[i], 3) ^ a[index]);
  });
}

bool decryptRc4(uint8_t* data, size_t size, size_t after, ByteReader& r, const Book& book, LoadError& error) {
  const uint8_t* salt = nullptr;
  const uint8_t* verifier = nullptr;
  const uint8_t* verifierHash = nullptr;
  if (!r.bytes(16, salt) || !r.bytes(16, verifier) || !r.bytes(16, verifierHash)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  const std::vector<uint8_t> pw = crypt::defaultPasswordUtf16();
  std::vector<uint8_t> h0 = crypt::hashOf(&nettle_md5, {pw.data(), pw.size()});
  std::vector<uint8_t> buffer;
  for (int i = 0; i < 16; ++i) {
    buffer.insert(buffer.end(), h0.begin(), h0.begin() + 5);
    buffer.insert(buffer.end(), salt, salt + 16);
  }
  std::vector<uint8_t> h1 = crypt::hashOf(&nettle_md5, {buffer.data(), buffer.size()});
  Rc4Key key{std::vector<uint8_t>(h1.begin(), h1.begin() + 5)};
  crypt::wipe(h0);
  crypt::wipe(h1);
  crypt::wipe(buffer);
  if (!verifierMatches(key, &nettle_md5, std::vector<uint8_t>(verifier, verifier + 16),
                       std::vector<uint8_t>(verifierHash, verifierHash + 16))) {
    error = LoadCause::EncryptedNeedsPassword;
    return false;
  }
  Rc4Stream<Rc4Key> stream(key);
  const bool done = forEachEncryptedRange(data, size, after, book,
                                          [&](size_t from, size_t to, size_t, size_t) { stream.apply(data, from, to); });
  crypt::wipe(key.truncated);
  return done;
}

bool decryptCryptoApi(uint8_t* data, size_t size, size_t after, ByteReader& r, const Book& book, LoadError& error) {
  crypt::BinaryHeader h;
  if (!crypt::readBinaryHeader(r, h)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  // A key size of 0 means 40 bits; RC4 keys go up to 128 bits in 8-bit steps.
  if (h.keyBits == 0) h.keyBits = 40;
  if (h.algId != crypt::kAlgRc4 && h.algId != 0) {
    error = LoadCause::EncryptedUnsupported;
    return false;
  }
  if ((h.algIdHash != crypt::kAlgSha1 && h.algIdHash != 0) || h.keyBits < 40 || h.keyBits > 128 ||
      h.keyBits % 8 != 0) {
    error = LoadCause::EncryptedUnsupported;
    return false;
  }
  const std::vector<uint8_t> pw = crypt::defaultPasswordUtf16();
  CryptoApiKey key{crypt::hashOf(&nettle_sha1, {h.salt.data(), h.salt.size()}, {pw.data(), pw.size()}),
                   h.keyBits / 8};
  if (!verifierMatches(key, &nettle_sha1, h.encryptedVerifier, h.encryptedVerifierHash)) {
    crypt::wipe(key.h0);
    error = LoadCause::EncryptedNeedsPassword;
    return false;
  }
  Rc4Stream<CryptoApiKey> stream(key);
  const bool done = forEachEncryptedRange(data, size, after, book,
                                          [&](size_t from, size_t to, size_t, size_t) { stream.apply(data, from, to); });
  crypt::wipe(key.h0);
  return done;
}

}  // namespace

bool decryptStream(uint8_t* data, size_t size, size_t filepassPos, bool biff8, const Book& book,
                   LoadError& error) {
  if (filepassPos > size || size - filepassPos < 4) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  const size_t len = le16(data + filepassPos + 2);
  if (size - filepassPos - 4 < len) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  const size_t after = filepassPos + 4 + len;
  ByteReader r(data + filepassPos + 4, len);
  // BIFF2-5 FILEPASS holds the XOR key and verifier alone.
  if (!biff8) return decryptXor(data, size, after, r, book, error);
  uint16_t type = 0;
  if (!r.u16(type)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  if (type == 0) return decryptXor(data, size, after, r, book, error);
  if (type != 1) {
    error = LoadCause::EncryptedUnsupported;
    return false;
  }
  uint16_t major = 0, minor = 0;
  if (!r.u16(major) || !r.u16(minor)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  if (major == 1 && minor == 1) return decryptRc4(data, size, after, r, book, error);
  if (major >= 2 && major <= 4 && minor == 2) return decryptCryptoApi(data, size, after, r, book, error);
  error = LoadCause::EncryptedUnsupported;
  return false;
}

}  // namespace xl::biff
