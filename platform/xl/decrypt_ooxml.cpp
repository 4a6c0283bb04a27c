#include "platform/xl/decrypt_ooxml.h"

#include <expat.h>
#include <nettle/aes.h>
#include <nettle/base64.h>
#include <nettle/cbc.h>
#include <nettle/nettle-meta.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "platform/xl/decrypt_common.h"
#include "platform/xl/write_all.h"

namespace xl {

namespace {

using crypt::ByteReader;

// The descriptor of a real file is a few kilobytes.
constexpr size_t kMaxInfoBytes = 1u << 20;
// [MS-OFFCRYPTO] caps the spin count at ten million; Excel writes 100,000.
constexpr uint32_t kMaxSpinCount = 10'000'000;
constexpr size_t kSegment = 4096;  // Agile data segments
constexpr size_t kWriteChunk = 1u << 20;

const nettle_cipher* aesFor(size_t keyBytes) {
  switch (keyBytes) {
    case 16: return &nettle_aes128;
    case 24: return &nettle_aes192;
    case 32: return &nettle_aes256;
    default: return nullptr;
  }
}

// An AES key schedule, wiped when it goes.
class Aes {
 public:
  Aes(const nettle_cipher* c, const std::vector<uint8_t>& key) : c_(c), ctx_(c->context_size) {
    c_->set_decrypt_key(ctx_.data(), key.data());
  }
  ~Aes() { crypt::wipe(ctx_); }
  Aes(const Aes&) = delete;
  Aes& operator=(const Aes&) = delete;
  // Whole blocks only; `n` is a multiple of 16.
  void ecb(uint8_t* data, size_t n) { c_->decrypt(ctx_.data(), n, data, data); }
  void cbc(uint8_t* data, size_t n, std::vector<uint8_t> iv) {
    cbc_decrypt(ctx_.data(), c_->decrypt, 16, iv.data(), n, data, data);
  }

 private:
  const nettle_cipher* c_;
  std::vector<uint8_t> ctx_;
};

// The decrypted package goes to anonymous memory, so the zip layer opens it
// as it opens any file and nothing reaches the disk.
class MemSink {
 public:
  MemSink() : fd_(::memfd_create("quorvane-decrypted", MFD_CLOEXEC)) {}
  ~MemSink() {
    if (fd_ >= 0) ::close(fd_);
  }
  MemSink(const MemSink&) = delete;
  MemSink& operator=(const MemSink&) = delete;
  int fd() const { return fd_; }
  bool write(const uint8_t* p, size_t n) { return writeAll(fd_, p, n); }

 private:
  int fd_;
};

// The EncryptedPackage stream: its 8-byte plain size, then the ciphertext.
// The size may not claim more than the ciphertext holds.
bool packageSize(const std::vector<uint8_t>& package, uint64_t& size) {
  ByteReader r(package.data(), package.size());
  if (!r.u64(size)) return false;
  const uint64_t cipherBytes = (package.size() - 8) / 16 * 16;
  return size <= cipherBytes;
}

// ---- Standard encryption ([MS-OFFCRYPTO] 2.3.4.5-2.3.4.9) -------------------

bool decryptStandard(ByteReader& r, const std::vector<uint8_t>& package, MemSink& out, const Book& book,
                     LoadError& error) {
  crypt::BinaryHeader h;
  if (!crypt::readBinaryHeader(r, h)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  size_t keyBytes = 0;
  switch (h.algId) {
    case 0:  // "determined by the flags": AES-128
    case crypt::kAlgAes128: keyBytes = 16; break;
    case crypt::kAlgAes192: keyBytes = 24; break;
    case crypt::kAlgAes256: keyBytes = 32; break;
    default: error = LoadCause::EncryptedUnsupported; return false;
  }
  if ((h.algIdHash != 0 && h.algIdHash != crypt::kAlgSha1) || (h.keyBits != 0 && h.keyBits != keyBytes * 8)) {
    error = LoadCause::EncryptedUnsupported;
    return false;
  }
  const std::vector<uint8_t> pw = crypt::defaultPasswordUtf16();
  std::vector<uint8_t> hn = crypt::spunHash(&nettle_sha1, h.salt, pw, 50000, book);
  if (hn.empty()) return false;
  const uint8_t block0[4] = {0, 0, 0, 0};
  std::vector<uint8_t> hfinal = crypt::hashOf(&nettle_sha1, {hn.data(), hn.size()}, {block0, 4});
  uint8_t x1[64], x2[64];
  std::memset(x1, 0x36, sizeof x1);
  std::memset(x2, 0x5C, sizeof x2);
  for (size_t i = 0; i < hfinal.size(); ++i) {
    x1[i] ^= hfinal[i];
    x2[i] ^= hfinal[i];
  }
  std::vector<uint8_t> key = crypt::hashOf(&nettle_sha1, {x1, sizeof x1});
  const std::vector<uint8_t> key2 = crypt::hashOf(&nettle_sha1, {x2, sizeof x2});
  key.insert(key.end(), key2.begin(), key2.end());
  key.resize(keyBytes);
  crypt::wipe(hn);
  crypt::wipe(hfinal);

  Aes aes(aesFor(keyBytes), key);
  crypt::wipe(key);
  std::vector<uint8_t> verifier = h.encryptedVerifier, verifierHash = h.encryptedVerifierHash;
  aes.ecb(verifier.data(), verifier.size());
  aes.ecb(verifierHash.data(), verifierHash.size());
  const std::vector<uint8_t> expect = crypt::hashOf(&nettle_sha1, {verifier.data(), verifier.size()});
  const bool match = std::equal(expect.begin(), expect.end(), verifierHash.begin());
  crypt::wipe(verifier);
  crypt::wipe(verifierHash);
  if (!match) {
    error = LoadCause::EncryptedNeedsPassword;
    return false;
  }

  uint64_t size = 0;
  if (!packageSize(package, size)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  std::vector<uint8_t> buf;
  for (uint64_t done = 0; done < size;) {
    if (book.cancelled()) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kWriteChunk, size - done));
    buf.assign(package.begin() + static_cast<long>(8 + done),
               package.begin() + static_cast<long>(8 + done + (n + 15) / 16 * 16));
    aes.ecb(buf.data(), buf.size());
    if (!out.write(buf.data(), n)) {
      error = LoadCause::DecryptNoMemory;
      return false;
    }
    done += n;
  }
  crypt::wipe(buf);
  return true;
}

// ---- Agile encryption ([MS-OFFCRYPTO] 2.3.4.10-2.3.4.15) --------------------

struct AgileParams {
  std::map<std::string, std::string> keyData;       // attributes of <keyData>
  std::map<std::string, std::string> passwordKey;   // of the password <encryptedKey>
  bool doctype = false;
};

const char* localName(const char* name) {
  const char* colon = std::strrchr(name, ':');
  return colon ? colon + 1 : name;
}

void XMLCALL onStart(void* user, const char* name, const char** atts) {
  auto* p = static_cast<AgileParams*>(user);
  const char* local = localName(name);
  std::map<std::string, std::string>* into = nullptr;
  if (std::strcmp(local, "keyData") == 0 && p->keyData.empty()) into = &p->keyData;
  // Certificate encryptors carry an encryptedKey too, without a spin count.
  else if (std::strcmp(local, "encryptedKey") == 0 && p->passwordKey.empty()) into = &p->passwordKey;
  if (!into) return;
  for (int i = 0; atts[i] && atts[i + 1]; i += 2) (*into)[localName(atts[i])] = atts[i + 1];
  if (into == &p->passwordKey && !into->count("spinCount")) into->clear();
}

void XMLCALL onDoctype(void* user, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  static_cast<AgileParams*>(user)->doctype = true;
}

bool base64Value(const std::map<std::string, std::string>& m, const char* name, std::vector<uint8_t>& out) {
  auto it = m.find(name);
  if (it == m.end() || it->second.empty() || it->second.size() > 4096) return false;
  base64_decode_ctx ctx;
  base64_decode_init(&ctx);
  out.resize(BASE64_DECODE_LENGTH(it->second.size()));
  size_t n = out.size();
  if (!base64_decode_update(&ctx, &n, out.data(), it->second.size(), it->second.data()) ||
      !base64_decode_final(&ctx))
    return false;
  out.resize(n);
  return !out.empty();
}

bool uintValue(const std::map<std::string, std::string>& m, const char* name, uint32_t& out) {
  auto it = m.find(name);
  if (it == m.end() || it->second.empty() || it->second.size() > 10) return false;
  uint64_t v = 0;
  for (char c : it->second) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT32_MAX) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

const nettle_hash* hashNamed(const std::string& name) {
  if (name == "SHA1" || name == "SHA-1") return &nettle_sha1;
  if (name == "SHA256" || name == "SHA-256") return &nettle_sha256;
  if (name == "SHA384" || name == "SHA-384") return &nettle_sha384;
  if (name == "SHA512" || name == "SHA-512") return &nettle_sha512;
  return nullptr;
}

// The cipher and hash one element names, checked against each other.
struct Suite {
  const nettle_hash* hash = nullptr;
  const nettle_cipher* cipher = nullptr;
  size_t keyBytes = 0;
  std::vector<uint8_t> salt;
};

// False with `error`: LoadCause::EncryptedUnsupported for what Excel never writes,
// LoadCause::DamagedEncryptionInfo for values that cannot be.
bool readSuite(const std::map<std::string, std::string>& m, Suite& s, LoadError& error) {
  uint32_t keyBits = 0, blockSize = 0, hashSize = 0, saltSize = 0;
  if (!uintValue(m, "keyBits", keyBits) || !uintValue(m, "blockSize", blockSize) ||
      !uintValue(m, "hashSize", hashSize) || !uintValue(m, "saltSize", saltSize) ||
      !base64Value(m, "saltValue", s.salt)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  auto alg = m.find("cipherAlgorithm"), chain = m.find("cipherChaining"), hash = m.find("hashAlgorithm");
  if (alg == m.end() || chain == m.end() || hash == m.end()) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  s.hash = hashNamed(hash->second);
  s.keyBytes = keyBits / 8;
  s.cipher = keyBits % 8 == 0 ? aesFor(s.keyBytes) : nullptr;
  if (alg->second != "AES" || chain->second != "ChainingModeCBC" || !s.hash || !s.cipher) {
    error = LoadCause::EncryptedUnsupported;
    return false;
  }
  if (blockSize != 16 || hashSize != s.hash->digest_size || saltSize != s.salt.size() || saltSize > 64) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  return true;
}

// The IV of a key-encryptor value or of a data segment: the salt, or the
// hash of salt and block key, cut or padded with 0x36 to the block size.
std::vector<uint8_t> blockSized(std::vector<uint8_t> v) {
  v.resize(16, 0x36);
  return v;
}

bool decryptAgile(const uint8_t* xml, size_t xmlSize, const std::vector<uint8_t>& package, MemSink& out,
                  const Book& book, LoadError& error) {
  AgileParams params;
  {
    std::unique_ptr<XML_ParserStruct, void (*)(XML_Parser)> parser(XML_ParserCreate(nullptr), XML_ParserFree);
    if (!parser) throw std::bad_alloc();
    XML_SetUserData(parser.get(), &params);
    XML_SetStartElementHandler(parser.get(), onStart);
    XML_SetStartDoctypeDeclHandler(parser.get(), onDoctype);
    const bool parsed = XML_Parse(parser.get(), reinterpret_cast<const char*>(xml), static_cast<int>(xmlSize), 1) ==
                        XML_STATUS_OK;
    // A descriptor never declares a document type; one that does is not
    // expanded (entity bombs).
    if (!parsed || params.doctype || params.keyData.empty() || params.passwordKey.empty()) {
      error = parsed && !params.doctype && !params.keyData.empty() ? LoadCause::EncryptedUnsupported : LoadCause::DamagedEncryptionInfo;
      return false;
    }
  }
  Suite data, pwKey;
  if (!readSuite(params.keyData, data, error) || !readSuite(params.passwordKey, pwKey, error)) return false;
  uint32_t spins = 0;
  std::vector<uint8_t> encInput, encValue, encKey;
  if (!uintValue(params.passwordKey, "spinCount", spins) ||
      !base64Value(params.passwordKey, "encryptedVerifierHashInput", encInput) ||
      !base64Value(params.passwordKey, "encryptedVerifierHashValue", encValue) ||
      !base64Value(params.passwordKey, "encryptedKeyValue", encKey) || spins > kMaxSpinCount ||
      encInput.size() % 16 || encValue.size() % 16 || encKey.size() % 16 || encInput.size() < pwKey.salt.size() ||
      encValue.size() < pwKey.hash->digest_size || encKey.size() < data.keyBytes) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }

  const std::vector<uint8_t> pw = crypt::defaultPasswordUtf16();
  std::vector<uint8_t> hn = crypt::spunHash(pwKey.hash, pwKey.salt, pw, spins, book);
  if (hn.empty()) return false;
  auto decryptValue = [&](std::vector<uint8_t>& value, const uint8_t (&blockKey)[8]) {
    std::vector<uint8_t> k = crypt::hashOf(pwKey.hash, {hn.data(), hn.size()}, {blockKey, 8});
    k.resize(pwKey.keyBytes, 0x36);
    Aes aes(pwKey.cipher, k);
    crypt::wipe(k);
    aes.cbc(value.data(), value.size(), blockSized(pwKey.salt));
  };
  static const uint8_t kInputKey[8] = {0xfe, 0xa7, 0xd2, 0x76, 0x3b, 0x4b, 0x9e, 0x79};
  static const uint8_t kValueKey[8] = {0xd7, 0xaa, 0x0f, 0x6d, 0x30, 0x61, 0x34, 0x4e};
  static const uint8_t kSecretKey[8] = {0x14, 0x6e, 0x0b, 0xe7, 0xab, 0xac, 0xd0, 0xd6};
  decryptValue(encInput, kInputKey);
  decryptValue(encValue, kValueKey);
  const std::vector<uint8_t> expect = crypt::hashOf(pwKey.hash, {encInput.data(), pwKey.salt.size()});
  if (!std::equal(expect.begin(), expect.end(), encValue.begin())) {
    crypt::wipe(hn);
    error = LoadCause::EncryptedNeedsPassword;
    return false;
  }
  decryptValue(encKey, kSecretKey);
  crypt::wipe(hn);
  encKey.resize(data.keyBytes);
  Aes aes(data.cipher, encKey);
  crypt::wipe(encKey);

  uint64_t size = 0;
  if (!packageSize(package, size)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  std::vector<uint8_t> buf;
  buf.reserve(kWriteChunk);
  uint32_t segment = 0;
  for (uint64_t done = 0; done < size; ++segment) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kSegment, size - done));
    const size_t at = buf.size();
    buf.insert(buf.end(), package.begin() + static_cast<long>(8 + done),
               package.begin() + static_cast<long>(8 + done + (n + 15) / 16 * 16));
    const uint8_t le[4] = {static_cast<uint8_t>(segment), static_cast<uint8_t>(segment >> 8),
                           static_cast<uint8_t>(segment >> 16), static_cast<uint8_t>(segment >> 24)};
    aes.cbc(buf.data() + at, buf.size() - at,
            blockSized(crypt::hashOf(data.hash, {data.salt.data(), data.salt.size()}, {le, 4})));
    buf.resize(at + n);
    done += n;
    if (buf.size() >= kWriteChunk || done == size) {
      if (book.cancelled()) return false;
      if (!out.write(buf.data(), buf.size())) {
        error = LoadCause::DecryptNoMemory;
        return false;
      }
      crypt::wipe(buf);
      buf.clear();
    }
  }
  return true;
}

bool decrypt(const EncryptedPackage& enc, MemSink& out, const Book& book, LoadError& error) {
  if (enc.info.size() > kMaxInfoBytes) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  ByteReader r(enc.info.data(), enc.info.size());
  uint16_t major = 0, minor = 0;
  if (!r.u16(major) || !r.u16(minor)) {
    error = LoadCause::DamagedEncryptionInfo;
    return false;
  }
  if (major == 4 && minor == 4) {
    uint32_t reserved = 0;
    if (!r.u32(reserved)) {
      error = LoadCause::DamagedEncryptionInfo;
      return false;
    }
    const uint8_t* xml = nullptr;
    const size_t n = r.left();
    if (!r.bytes(n, xml)) {
      error = LoadCause::DamagedEncryptionInfo;
      return false;
    }
    return decryptAgile(xml, n, enc.package, out, book, error);
  }
  if ((major == 3 || major == 4) && minor == 2) return decryptStandard(r, enc.package, out, book, error);
  // Extensible encryption (x.3) and anything newer.
  error = LoadCause::EncryptedUnsupported;
  return false;
}

}  // namespace

bool readEncryptedPackage(EncryptedPackage& enc, Book& book) {
  MemSink sink;
  if (sink.fd() < 0) {
    book.setError(LoadCause::DecryptAllocFailed);
    return false;
  }
  LoadError error;
  const bool decrypted = decrypt(enc, sink, book, error);
  std::vector<uint8_t>().swap(enc.package);
  std::vector<uint8_t>().swap(enc.info);
  if (!decrypted) {
    book.setError(error);
    return false;
  }
  return readZipPackage(sink.fd(), book);
}

}  // namespace xl
