#include "platform/xl/decrypt_common.h"

#include <nettle/nettle-meta.h>

#include <cstring>

#include "platform/xl/book.h"

namespace xl::crypt {

std::vector<uint8_t> defaultPasswordUtf16() {
  std::vector<uint8_t> out;
  for (const char* c = kDefaultPassword; *c; ++c) {
    out.push_back(static_cast<uint8_t>(*c));
    out.push_back(0);
  }
  return out;
}

bool ByteReader::bytes(size_t count, const uint8_t*& out) {
  if (!ok_ || count > n_ - pos_) {
    ok_ = false;
    return false;
  }
  out = p_ + pos_;
  pos_ += count;
  return true;
}

bool ByteReader::u16(uint16_t& v) {
  const uint8_t* b = nullptr;
  if (!bytes(2, b)) return false;
  v = static_cast<uint16_t>(b[0] | (b[1] << 8));
  return true;
}

bool ByteReader::u32(uint32_t& v) {
  const uint8_t* b = nullptr;
  if (!bytes(4, b)) return false;
  v = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
      (static_cast<uint32_t>(b[3]) << 24);
  return true;
}

bool ByteReader::u64(uint64_t& v) {
  uint32_t lo = 0, hi = 0;
  if (!u32(lo) || !u32(hi)) return false;
  v = lo | (static_cast<uint64_t>(hi) << 32);
  return true;
}

std::vector<uint8_t> hashOf(const nettle_hash* h, Bytes a, Bytes b, Bytes c) {
  std::vector<uint8_t> ctx(h->context_size);
  std::vector<uint8_t> out(h->digest_size);
  h->init(ctx.data());
  for (const Bytes& part : {a, b, c})
    if (part.n) h->update(ctx.data(), part.n, part.p);
  h->digest(ctx.data(), out.size(), out.data());
  wipe(ctx);
  return out;
}

std::vector<uint8_t> spunHash(const nettle_hash* h, const std::vector<uint8_t>& salt,
                              const std::vector<uint8_t>& password, uint32_t spins, const Book& book) {
  std::vector<uint8_t> ctx(h->context_size);
  std::vector<uint8_t> digest = hashOf(h, {salt.data(), salt.size()}, {password.data(), password.size()});
  for (uint32_t i = 0; i < spins; ++i) {
    if ((i & 0xFFFF) == 0xFFFF && book.cancelled()) {
      wipe(ctx);
      wipe(digest);
      return {};
    }
    const uint8_t le[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i >> 16),
                           static_cast<uint8_t>(i >> 24)};
    h->init(ctx.data());
    h->update(ctx.data(), 4, le);
    h->update(ctx.data(), digest.size(), digest.data());
    h->digest(ctx.data(), digest.size(), digest.data());
  }
  wipe(ctx);
  return digest;
}

bool readBinaryHeader(ByteReader& r, BinaryHeader& out) {
  uint32_t flags = 0, headerSize = 0;
  if (!r.u32(flags) || !r.u32(headerSize)) return false;
  // Eight fixed fields, then the provider's name.
  if (headerSize < 32 || headerSize > r.left()) return false;
  ByteReader h(nullptr, 0);
  {
    const uint8_t* p = nullptr;
    if (!r.bytes(headerSize, p)) return false;
    h = ByteReader(p, headerSize);
  }
  uint32_t headerFlags = 0, sizeExtra = 0, providerType = 0;
  if (!h.u32(headerFlags) || !h.u32(sizeExtra) || !h.u32(out.algId) || !h.u32(out.algIdHash) ||
      !h.u32(out.keyBits) || !h.u32(providerType))
    return false;

  uint32_t saltSize = 0;
  if (!r.u32(saltSize) || saltSize != 16) return false;
  const uint8_t* p = nullptr;
  if (!r.bytes(16, p)) return false;
  out.salt.assign(p, p + 16);
  if (!r.bytes(16, p)) return false;
  out.encryptedVerifier.assign(p, p + 16);
  if (!r.u32(out.verifierHashSize) || out.verifierHashSize != 20) return false;
  // RC4 keeps the 20 bytes of the SHA-1 as they are; AES pads them to two blocks.
  const size_t stored = out.algId == kAlgRc4 ? 20 : 32;
  if (!r.bytes(stored, p)) return false;
  out.encryptedVerifierHash.assign(p, p + stored);
  return true;
}

void wipe(std::vector<uint8_t>& v) {
  volatile uint8_t* p = v.data();
  for (size_t i = 0; i < v.size(); ++i) p[i] = 0;
}

}  // namespace xl::crypt
