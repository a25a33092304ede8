#pragma once
// The check of a 7z archive's packed streams: the header (LZMA-encoded, as
// archivers write it, or plain) names the folders, their coders and the
// CRC-32 of every file; each folder is unpacked and the CRCs compared.

#include <cstdint>

namespace vantrel {

class FileBytes;

// Checks the archive of size bytes at offset 0 whose start header and next
// header's CRCs have held. Damaged where a stream fails to unpack or a CRC
// differs; verified when every folder unpacked with all its CRCs holding.
// Coders other than LZMA, LZMA2 and Copy (filters, encryption) leave their
// streams unchecked; so does a build without liblzma.
void CheckSevenZip(FileBytes& b, std::uint64_t size);

}  // namespace vantrel
