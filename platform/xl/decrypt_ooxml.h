// Encrypted .xlsx files: an OLE2 container around the streams
// "EncryptionInfo" and "EncryptedPackage" ([MS-OFFCRYPTO] 2.3.4). Standard
// (AES-128/192/256 with SHA-1) and Agile (AES with SHA-1/256/384/512, its
// parameters in an XML descriptor) encryption are decrypted with Excel's
// default password; the package then goes through the zip readers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/xl/book.h"

namespace xl {

struct EncryptedPackage {
  bool present = false;
  std::vector<uint8_t> info;     // the EncryptionInfo stream
  std::vector<uint8_t> package;  // the EncryptedPackage stream
};

// Decrypts the package into anonymous memory and reads it as a zip
// workbook; the encrypted bytes are freed before the package is read, so a
// big file is held twice at most for a moment. False with
// book.setError(...) on a wrong password, a damaged header or a package
// that does not read.
bool readEncryptedPackage(EncryptedPackage& enc, Book& book);

}  // namespace xl
