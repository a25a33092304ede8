#pragma once
// The check of a GIF image's data: its LZW codes decoded through the data
// sub-blocks, every code one the table holds, to as many pixels as the image
// descriptor tells.

#include <cstdint>

namespace vantrel {

class FileBytes;

// Decodes the image data whose LZW minimum code size byte is at pos, for an
// image of pixels pixels. Returns the offset after the closing empty
// sub-block, or 0 when the sub-blocks break off; marks the bytes damaged at
// the first code the table does not hold or when the count of pixels is not
// the image's.
std::uint64_t CheckGifImageData(FileBytes& b, std::uint64_t pos, std::uint64_t pixels);

}  // namespace vantrel
