#pragma once
// Lines of a hex dump as the viewer shows them: the offset in upper-case hex
// right-aligned in 8 places followed by "h", the bytes as two hex digits each,
// then the bytes as characters.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

// One line for up to bytesPerLine bytes at data; the hex column is padded so
// that the character column of a short last line stays aligned.
std::string HexDumpLine(std::uint64_t offset, const std::uint8_t* data, std::size_t count,
                        std::size_t bytesPerLine = 16);

}  // namespace vantrel
