// Decryption of an .xls workbook stream protected by a FILEPASS record
// ([MS-XLS] 2.2.10, [MS-OFFCRYPTO] 2.3.5-2.3.7): XOR obfuscation (BIFF5 and
// BIFF8), RC4 and RC4 CryptoAPI (40- and 128-bit keys), with Excel's
// default password only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/xl/book.h"

namespace xl::biff {

// Decrypts, in place, every record after the FILEPASS record whose header
// starts at data[filepassPos]; record headers, the records Excel leaves in
// the clear and BOUNDSHEET's stream offset stay as they are. `biff8` tells
// the FILEPASS layout (BIFF2-5 know only XOR). False with `error` set when
// the header cannot be read, the scheme is unknown or the password is not
// the default one; the data is then left untouched.
// A load cancelled through `book` stops the work and returns false.
bool decryptStream(uint8_t* data, size_t size, size_t filepassPos, bool biff8, const Book& book,
                   LoadError& error);

}  // namespace xl::biff
