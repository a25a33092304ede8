#pragma once
// Pictures stored inside other files (a song's cover, a thumbnail), and the
// chunks of a PNG wherever it starts.

#include <cstdint>

namespace vantrel {

class FileBytes;
class TClusterCoverage;

// The chunks of a PNG from pos (just after its signature) to IEND, each with
// its CRC-32 over type and data; a failed CRC or a chunk type that is no
// name is damage there. One past IEND, or 0 when the chunks run past end or
// cannot be read.
std::uint64_t PngChunks(FileBytes& b, std::uint64_t pos, std::uint64_t end);

// A JPEG or PNG image stored in [at, end): 1 when it is whole (its bytes are
// marked checked), 0 when it is damaged (told to b), -1 when it is of
// another kind or cannot be checked here.
int CheckEmbeddedImage(FileBytes& b, std::uint64_t at, std::uint64_t end, TClusterCoverage& coverage);

// Whether an ID3v2 tag of size bytes at the file's start (header and
// footer included) has every cluster checked: its frame headers in their
// places, pictures decoded, padding of zeros. Frames that are compressed,
// encrypted or unsynchronised, and texts long enough to hold a whole
// cluster, leave it unchecked.
bool Id3TagChecked(FileBytes& b, std::uint64_t size);

}  // namespace vantrel
