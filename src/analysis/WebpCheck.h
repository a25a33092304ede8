#pragma once
// The size and the check of a WebP file: its RIFF chunks each in its place,
// the extended header's flags and canvas matching the chunks and frames it
// holds, and every VP8, VP8L and lossless alpha bitstream decoded to its end.

#include <cstdint>

namespace vantrel {

class FileBytes;

// The file's size from its RIFF header; the verdict goes to b.
std::uint64_t WebpSize(FileBytes& b);

}  // namespace vantrel
