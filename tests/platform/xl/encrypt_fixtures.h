// Encrypted workbooks made by the tests themselves: a plain .xls workbook
// stream or .xlsx package encrypted as Excel does, in every scheme Excel
// writes, with any password. Used by test_decrypt and by make_encrypted (the
// command that writes such files for the LibreOffice and msoffcrypto checks
// and for the fuzzers' seeds).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace xltest {

using ByteVec = std::vector<uint8_t>;
using Streams = std::vector<std::pair<std::string, ByteVec>>;

enum class BiffScheme { Xor, Rc4, CryptoApi40, CryptoApi128 };
enum class OoxmlScheme { Standard128, Standard256, AgileSha1Aes128, AgileSha256Aes256, AgileSha384Aes192, AgileSha512Aes256 };

inline constexpr const char* kVelvet = "VelvetSweatshop";

// A BIFF5/BIFF8 workbook stream with a FILEPASS record inserted after its
// first BOF (sheet offsets moved to match) and the records after it
// encrypted. BIFF5 streams take XOR only. `clear`, when given, receives the
// stream as it was just before the encryption: what a decryption must give
// back byte for byte.
ByteVec encryptBiffStream(const ByteVec& plain, BiffScheme scheme, const std::string& password,
                          ByteVec* clear = nullptr);

// The EncryptionInfo and EncryptedPackage streams of an encrypted OOXML
// file holding `package` (the bytes of the .xlsx zip).
Streams encryptPackage(const ByteVec& package, OoxmlScheme scheme, const std::string& password);

// An OLE2 compound file holding the streams; and the workbook stream
// ("Workbook" or "Book") read back out of one. Empty on failure.
ByteVec ole2File(const Streams& streams);
ByteVec workbookStreamOf(const ByteVec& ole2);

const char* schemeName(BiffScheme s);
const char* schemeName(OoxmlScheme s);

}  // namespace xltest
