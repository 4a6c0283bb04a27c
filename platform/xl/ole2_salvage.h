// A tolerant reader of OLE2 compound files ([MS-CFB]) for the containers
// libgsf refuses although the workbook stream inside is intact: a file cut
// inside its last sector, a header counting more FAT or directory sectors
// than the file holds, a directory chain running past the end, a FAT loop,
// a directory tree whose broken entries hide the stream from libgsf.
// Used only after libgsf has failed; it reads what the sector chains give,
// stopping at a loop, at a broken link and at the end of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace xl::ole2 {

// Where the stream may be found: among the root's children only, or, when
// the directory tree is too broken to lead there, anywhere in the directory.
enum class Search { TopLevel, Anywhere };

// Copies the "Workbook" stream (else the "Book" stream; names matched
// without case) of the compound file file[0, size) into `stream`, as far as
// its chain reaches. False when the file holds no such stream that can be
// reached. Never reads outside the file, never takes more memory than a
// small multiple of its size.
bool salvageWorkbookStream(const uint8_t* file, size_t size, std::vector<uint8_t>& stream,
                           Search where = Search::Anywhere);

}  // namespace xl::ole2
