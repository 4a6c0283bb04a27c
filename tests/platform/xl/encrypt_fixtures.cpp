// The encrypting side of [MS-OFFCRYPTO] and [MS-XLS] 2.2.10, written for the
// tests on nettle's primitives. Salts and keys come from a fixed-seed
// generator so every run makes the same files.
#include "tests/platform/xl/encrypt_fixtures.h"

#include <gsf/gsf.h>
#include <nettle/aes.h>
#include <nettle/arcfour.h>
#include <nettle/base64.h>
#include <nettle/cbc.h>
#include <nettle/hmac.h>
#include <nettle/md5.h>
#include <nettle/nettle-meta.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "tests/platform/xl/ole2_parts.h"

namespace xltest {

namespace {

std::mt19937& rng() {
  static std::mt19937 r(20261209);
  return r;
}
ByteVec randomBytes(size_t n) {
  ByteVec v(n);
  for (uint8_t& b : v) b = static_cast<uint8_t>(rng()());
  return v;
}

void put16(ByteVec& v, unsigned x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(ByteVec& v, uint32_t x) {
  put16(v, x & 0xFFFF);
  put16(v, x >> 16);
}
void append(ByteVec& v, const ByteVec& w) { v.insert(v.end(), w.begin(), w.end()); }
uint16_t get16(const ByteVec& v, size_t at) { return static_cast<uint16_t>(v[at] | (v[at + 1] << 8)); }
ByteVec le32(uint32_t x) {
  ByteVec v;
  put32(v, x);
  return v;
}

ByteVec utf16(const std::string& ascii) {
  ByteVec v;
  for (char c : ascii) put16(v, static_cast<unsigned char>(c));
  return v;
}

ByteVec hash(const nettle_hash* h, const ByteVec& a, const ByteVec& b = {}) {
  std::vector<uint8_t> ctx(h->context_size);
  ByteVec out(h->digest_size);
  h->init(ctx.data());
  h->update(ctx.data(), a.size(), a.data());
  h->update(ctx.data(), b.size(), b.data());
  h->digest(ctx.data(), out.size(), out.data());
  return out;
}

ByteVec rc4(const ByteVec& key, const ByteVec& data) {
  arcfour_ctx ctx;
  arcfour_set_key(&ctx, key.size(), key.data());
  ByteVec out(data.size());
  arcfour_crypt(&ctx, out.size(), out.data(), data.data());
  return out;
}

// ---- BIFF ---------------------------------------------------------------------

bool clearRecord(uint16_t id) {
  static const uint16_t ids[] = {0x0809, 0x0009, 0x0209, 0x0409, 0x002F, 0x0194, 0x0195, 0x00E1, 0x0196, 0x0138};
  return std::find(std::begin(ids), std::end(ids), id) != std::end(ids);
}

// The XOR key and verifier as a shift register over the password's bits
// (the same values [MS-OFFCRYPTO] 2.3.7 computes from its tables).
uint16_t rotl16(uint16_t v, int n) { return static_cast<uint16_t>((v << n) | (v >> (16 - n))); }
uint16_t xorKeyOf(const std::string& pw) {
  uint16_t key = 0, base = 0x8000, end = 0xFFFF;
  for (size_t i = pw.size(); i-- > 0;) {
    uint8_t c = static_cast<uint8_t>(pw[i]) & 0x7F;
    for (int bit = 0; bit < 8; ++bit, c >>= 1) {
      base = rotl16(base, 1);
      if (base & 1) base ^= 0x1020;
      if (c & 1) key ^= base;
      end = rotl16(end, 1);
      if (end & 1) end ^= 0x1020;
    }
  }
  return key ^ end;
}
uint16_t xorHashOf(const std::string& pw) {
  uint16_t h = static_cast<uint16_t>(pw.size() ^ 0xCE4B);
  for (size_t i = 0; i < pw.size(); ++i) {
    const int rot = static_cast<int>((i + 1) % 15);
    uint16_t c = static_cast<unsigned char>(pw[i]);
    c = static_cast<uint16_t>(((c << rot) | (c >> (15 - rot))) & 0x7FFF);
    h ^= c;
  }
  return h;
}

struct BiffCipher {
  BiffScheme scheme = BiffScheme::Xor;
  uint8_t xorArray[16] = {};
  ByteVec rc4Truncated;  // RC4: 5 bytes
  ByteVec h0;            // CryptoAPI
  size_t keyBytes = 16;

  ByteVec blockKey(uint32_t block) const {
    if (scheme == BiffScheme::Rc4) return hash(&nettle_md5, rc4Truncated, le32(block));
    ByteVec k = hash(&nettle_sha1, h0, le32(block));
    k.resize(16);
    if (keyBytes == 5) std::fill(k.begin() + 5, k.end(), 0);
    return k;
  }
};

ByteVec filepassBody(BiffCipher& c, const std::string& pw, bool biff8) {
  ByteVec body;
  if (c.scheme == BiffScheme::Xor) {
    const uint16_t key = xorKeyOf(pw);
    static const uint8_t pad[15] = {0xBB, 0xFF, 0xFF, 0xBA, 0xFF, 0xFF, 0xB9, 0x80, 0x00, 0xBE, 0x0F, 0x00, 0xBF, 0x0F, 0x00};
    for (size_t i = 0; i < 16; ++i) {
      uint8_t b = i < pw.size() ? static_cast<uint8_t>(pw[i]) : pad[i - pw.size()];
      b ^= static_cast<uint8_t>((i & 1) ? key >> 8 : key);
      c.xorArray[i] = static_cast<uint8_t>((b << 2) | (b >> 6));
    }
    if (biff8) put16(body, 0);
    put16(body, key);
    put16(body, xorHashOf(pw));
    return body;
  }
  const ByteVec pw16 = utf16(pw);
  const ByteVec salt = randomBytes(16);
  const ByteVec verifier = randomBytes(16);
  put16(body, 1);
  if (c.scheme == BiffScheme::Rc4) {
    const ByteVec h0 = hash(&nettle_md5, pw16);
    ByteVec buf;
    for (int i = 0; i < 16; ++i) {
      buf.insert(buf.end(), h0.begin(), h0.begin() + 5);
      append(buf, salt);
    }
    const ByteVec h1 = hash(&nettle_md5, buf);
    c.rc4Truncated.assign(h1.begin(), h1.begin() + 5);
    ByteVec both = verifier;
    append(both, hash(&nettle_md5, verifier));
    const ByteVec enc = rc4(c.blockKey(0), both);
    put16(body, 1);
    put16(body, 1);
    append(body, salt);
    append(body, enc);
    return body;
  }
  c.keyBytes = c.scheme == BiffScheme::CryptoApi40 ? 5 : 16;
  c.h0 = hash(&nettle_sha1, salt, pw16);
  ByteVec both = verifier;
  append(both, hash(&nettle_sha1, verifier));
  const ByteVec enc = rc4(c.blockKey(0), both);
  ByteVec header;
  put32(header, 0x04);  // fCryptoAPI
  put32(header, 0);
  put32(header, 0x6801);  // RC4
  put32(header, 0x8004);  // SHA-1
  put32(header, static_cast<uint32_t>(c.keyBytes * 8));
  put32(header, 1);  // PROV_RSA_FULL
  put32(header, 0);
  put32(header, 0);
  append(header, utf16(std::string("Microsoft Enhanced Cryptographic Provider v1.0") + '\0'));
  put16(body, 4);
  put16(body, 2);
  put32(body, 0x04);
  put32(body, static_cast<uint32_t>(header.size()));
  append(body, header);
  put32(body, 16);
  append(body, salt);
  body.insert(body.end(), enc.begin(), enc.begin() + 16);
  put32(body, 20);
  body.insert(body.end(), enc.begin() + 16, enc.end());
  return body;
}

// ---- OOXML --------------------------------------------------------------------

const nettle_cipher* aesFor(size_t keyBytes) {
  return keyBytes == 16 ? &nettle_aes128 : keyBytes == 24 ? &nettle_aes192 : &nettle_aes256;
}

ByteVec padTo(ByteVec v, size_t block, uint8_t fill = 0) {
  v.resize((v.size() + block - 1) / block * block, fill);
  return v;
}

ByteVec aesEcb(const ByteVec& key, ByteVec data) {
  const nettle_cipher* c = aesFor(key.size());
  std::vector<uint8_t> ctx(c->context_size);
  c->set_encrypt_key(ctx.data(), key.data());
  data = padTo(std::move(data), 16);
  c->encrypt(ctx.data(), data.size(), data.data(), data.data());
  return data;
}

ByteVec aesCbc(const ByteVec& key, ByteVec iv, ByteVec data) {
  const nettle_cipher* c = aesFor(key.size());
  std::vector<uint8_t> ctx(c->context_size);
  c->set_encrypt_key(ctx.data(), key.data());
  data = padTo(std::move(data), 16);
  iv.resize(16, 0x36);
  cbc_encrypt(ctx.data(), c->encrypt, 16, iv.data(), data.size(), data.data(), data.data());
  return data;
}

std::string base64(const ByteVec& v) {
  std::string out(BASE64_ENCODE_RAW_LENGTH(v.size()), '\0');
  base64_encode_raw(reinterpret_cast<char*>(out.data()), v.size(), v.data());
  return out;
}

ByteVec packageStream(const ByteVec& package) {
  ByteVec out;
  put32(out, static_cast<uint32_t>(package.size()));
  put32(out, static_cast<uint32_t>(static_cast<uint64_t>(package.size()) >> 32));
  return out;
}

Streams standard(const ByteVec& package, size_t keyBytes, const std::string& pw) {
  const ByteVec salt = randomBytes(16);
  ByteVec h = hash(&nettle_sha1, salt, utf16(pw));
  for (uint32_t i = 0; i < 50000; ++i) h = hash(&nettle_sha1, le32(i), h);
  h = hash(&nettle_sha1, h, le32(0));
  ByteVec x1(64, 0x36), x2(64, 0x5C);
  for (size_t i = 0; i < h.size(); ++i) {
    x1[i] ^= h[i];
    x2[i] ^= h[i];
  }
  ByteVec key = hash(&nettle_sha1, x1);
  append(key, hash(&nettle_sha1, x2));
  key.resize(keyBytes);

  const ByteVec verifier = randomBytes(16);
  ByteVec info;
  put16(info, 3);
  put16(info, 2);
  put32(info, 0x24);
  ByteVec header;
  put32(header, 0x24);
  put32(header, 0);
  put32(header, keyBytes == 16 ? 0x660E : 0x6610);
  put32(header, 0x8004);
  put32(header, static_cast<uint32_t>(keyBytes * 8));
  put32(header, 0x18);  // PROV_RSA_AES
  put32(header, 0);
  put32(header, 0);
  append(header, utf16(std::string("Microsoft Enhanced RSA and AES Cryptographic Provider") + '\0'));
  put32(info, static_cast<uint32_t>(header.size()));
  append(info, header);
  put32(info, 16);
  append(info, salt);
  append(info, aesEcb(key, verifier));
  put32(info, 20);
  append(info, aesEcb(key, hash(&nettle_sha1, verifier)));

  ByteVec data = packageStream(package);
  append(data, aesEcb(key, package));
  return {{"EncryptionInfo", info}, {"EncryptedPackage", data}};
}

Streams agile(const ByteVec& package, const nettle_hash* h, const char* hashName, size_t keyBytes,
              const std::string& pw) {
  const ByteVec keySalt = randomBytes(16), pwSalt = randomBytes(16), secret = randomBytes(keyBytes);
  const ByteVec verifierInput = randomBytes(16);
  const uint32_t spins = 100000;
  ByteVec pwHash = hash(h, pwSalt, utf16(pw));
  for (uint32_t i = 0; i < spins; ++i) pwHash = hash(h, le32(i), pwHash);
  auto keyFor = [&](const ByteVec& blockKey) {
    ByteVec k = hash(h, pwHash, blockKey);
    k.resize(keyBytes, 0x36);
    return k;
  };
  const ByteVec kInput{0xfe, 0xa7, 0xd2, 0x76, 0x3b, 0x4b, 0x9e, 0x79};
  const ByteVec kValue{0xd7, 0xaa, 0x0f, 0x6d, 0x30, 0x61, 0x34, 0x4e};
  const ByteVec kKey{0x14, 0x6e, 0x0b, 0xe7, 0xab, 0xac, 0xd0, 0xd6};
  const ByteVec encInput = aesCbc(keyFor(kInput), pwSalt, verifierInput);
  const ByteVec encValue = aesCbc(keyFor(kValue), pwSalt, hash(h, verifierInput));
  const ByteVec encKey = aesCbc(keyFor(kKey), pwSalt, secret);

  ByteVec data = packageStream(package);
  for (size_t at = 0, seg = 0; at < package.size(); at += 4096, ++seg) {
    ByteVec chunk(package.begin() + static_cast<long>(at),
                  package.begin() + static_cast<long>(std::min(package.size(), at + 4096)));
    append(data, aesCbc(secret, hash(h, keySalt, le32(static_cast<uint32_t>(seg))), chunk));
  }
  // The HMAC of the whole EncryptedPackage stream, which LibreOffice and
  // Excel check (our reader does not).
  const ByteVec hmacKey = randomBytes(h->digest_size);
  std::vector<uint8_t> outer(h->context_size), inner(h->context_size), state(h->context_size);
  ByteVec hmacValue(h->digest_size);
  hmac_set_key(outer.data(), inner.data(), state.data(), h, hmacKey.size(), hmacKey.data());
  hmac_update(state.data(), h, data.size(), data.data());
  hmac_digest(outer.data(), inner.data(), state.data(), h, hmacValue.size(), hmacValue.data());
  const ByteVec encHmacKey = aesCbc(secret, hash(h, keySalt, {0x5f, 0xb2, 0xad, 0x01, 0x0c, 0xb9, 0xe1, 0xf6}), hmacKey);
  const ByteVec encHmacValue =
      aesCbc(secret, hash(h, keySalt, {0xa0, 0x67, 0x7f, 0x02, 0xb2, 0x2c, 0x84, 0x33}), hmacValue);

  const std::string bits = std::to_string(keyBytes * 8), hashSize = std::to_string(h->digest_size);
  const std::string common = "saltSize=\"16\" blockSize=\"16\" keyBits=\"" + bits + "\" hashSize=\"" + hashSize +
                             "\" cipherAlgorithm=\"AES\" cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"" +
                             hashName + "\" ";
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<encryption xmlns=\"http://schemas.microsoft.com/office/2006/encryption\" "
      "xmlns:p=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\">"
      "<keyData " + common + "saltValue=\"" + base64(keySalt) + "\"/>"
      "<dataIntegrity encryptedHmacKey=\"" + base64(encHmacKey) + "\" encryptedHmacValue=\"" +
      base64(encHmacValue) + "\"/>"
      "<keyEncryptors><keyEncryptor uri=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\">"
      "<p:encryptedKey spinCount=\"" + std::to_string(spins) + "\" " + common + "saltValue=\"" + base64(pwSalt) +
      "\" encryptedVerifierHashInput=\"" + base64(encInput) + "\" encryptedVerifierHashValue=\"" +
      base64(encValue) + "\" encryptedKeyValue=\"" + base64(encKey) + "\"/>"
      "</keyEncryptor></keyEncryptors></encryption>";
  ByteVec info;
  put16(info, 4);
  put16(info, 4);
  put32(info, 0x40);
  info.insert(info.end(), xml.begin(), xml.end());
  return {{"EncryptionInfo", info}, {"EncryptedPackage", data}};
}

}  // namespace

ByteVec encryptBiffStream(const ByteVec& plain, BiffScheme scheme, const std::string& password, ByteVec* clear) {
  if (plain.size() < 8 || get16(plain, 0) != 0x0809) return {};
  const size_t bofEnd = 4 + get16(plain, 2);
  const bool biff8 = get16(plain, 4) != 0x0500;
  BiffCipher cipher;
  cipher.scheme = scheme;
  const ByteVec body = filepassBody(cipher, password, biff8);
  const uint32_t delta = static_cast<uint32_t>(4 + body.size());

  ByteVec out(plain.begin(), plain.begin() + static_cast<long>(bofEnd));
  put16(out, 0x002F);
  put16(out, static_cast<unsigned>(body.size()));
  append(out, body);
  const size_t first = out.size();
  out.insert(out.end(), plain.begin() + static_cast<long>(bofEnd), plain.end());
  // Sheet offsets move by the inserted record.
  for (size_t pos = first; pos + 4 <= out.size();) {
    const uint16_t id = get16(out, pos), len = get16(out, pos + 2);
    if (pos + 4 + len > out.size()) break;
    if (id == 0x0085 && len >= 4) {
      uint32_t off = 0;
      for (int i = 0; i < 4; ++i) off |= static_cast<uint32_t>(out[pos + 4 + i]) << (8 * i);
      off += delta;
      for (int i = 0; i < 4; ++i) out[pos + 4 + i] = static_cast<uint8_t>(off >> (8 * i));
    }
    pos += 4 + len;
  }
  if (clear) *clear = out;
  // Encrypt: the keystream runs with the stream offset, over clear bytes too.
  uint32_t block = UINT32_MAX;
  ByteVec stream;
  for (size_t pos = first; pos + 4 <= out.size();) {
    const uint16_t id = get16(out, pos), len = get16(out, pos + 2);
    const size_t start = pos + 4, end = std::min(out.size(), start + len);
    if (!clearRecord(id)) {
      for (size_t i = id == 0x0085 ? start + 4 : start; i < end; ++i) {
        if (scheme == BiffScheme::Xor) {
          const uint8_t b = out[i] ^ cipher.xorArray[(start + len + (i - start)) & 15];
          out[i] = static_cast<uint8_t>((b << 5) | (b >> 3));
          continue;
        }
        if (i / 1024 != block) {
          block = static_cast<uint32_t>(i / 1024);
          stream = rc4(cipher.blockKey(block), ByteVec(1024, 0));
        }
        out[i] ^= stream[i % 1024];
      }
    }
    pos = end;
  }
  return out;
}

Streams encryptPackage(const ByteVec& package, OoxmlScheme scheme, const std::string& password) {
  switch (scheme) {
    case OoxmlScheme::Standard128: return standard(package, 16, password);
    case OoxmlScheme::Standard256: return standard(package, 32, password);
    case OoxmlScheme::AgileSha1Aes128: return agile(package, &nettle_sha1, "SHA1", 16, password);
    case OoxmlScheme::AgileSha256Aes256: return agile(package, &nettle_sha256, "SHA256", 32, password);
    case OoxmlScheme::AgileSha384Aes192: return agile(package, &nettle_sha384, "SHA384", 24, password);
    case OoxmlScheme::AgileSha512Aes256: return agile(package, &nettle_sha512, "SHA512", 32, password);
  }
  return {};
}

ByteVec ole2File(const Streams& streams) {
  fixtures::Ole2Streams views;
  for (const auto& [name, data] : streams)
    views.emplace_back(name, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  const std::string file = fixtures::ole2Parts(views);
  return ByteVec(file.begin(), file.end());
}

ByteVec workbookStreamOf(const ByteVec& file) {
  gsf_init();
  ByteVec out;
  GsfInput* in = gsf_input_memory_new(file.data(), static_cast<gsf_off_t>(file.size()), FALSE);
  GError* err = nullptr;
  GsfInfile* ole = gsf_infile_msole_new(in, &err);
  if (err) g_error_free(err);
  if (ole) {
    GsfInput* s = gsf_infile_child_by_name(ole, "Workbook");
    if (!s) s = gsf_infile_child_by_name(ole, "Book");
    if (s) {
      out.resize(static_cast<size_t>(gsf_input_size(s)));
      if (!out.empty() && !gsf_input_read(s, out.size(), out.data())) out.clear();
      g_object_unref(s);
    }
    g_object_unref(ole);
  }
  g_object_unref(in);
  return out;
}

const char* schemeName(BiffScheme s) {
  switch (s) {
    case BiffScheme::Xor: return "xor";
    case BiffScheme::Rc4: return "rc4";
    case BiffScheme::CryptoApi40: return "cryptoapi40";
    case BiffScheme::CryptoApi128: return "cryptoapi128";
  }
  return "?";
}

const char* schemeName(OoxmlScheme s) {
  switch (s) {
    case OoxmlScheme::Standard128: return "standard128";
    case OoxmlScheme::Standard256: return "standard256";
    case OoxmlScheme::AgileSha1Aes128: return "agile-sha1-aes128";
    case OoxmlScheme::AgileSha256Aes256: return "agile-sha256-aes256";
    case OoxmlScheme::AgileSha384Aes192: return "agile-sha384-aes192";
    case OoxmlScheme::AgileSha512Aes256: return "agile-sha512-aes256";
  }
  return "?";
}

}  // namespace xltest
