#pragma once
// The hex dump of the program, in its two layouts: the lines of the viewer
// and the rows of the debug log. Both write the bytes as two upper-case hex
// digits and then as characters, with a dot for every byte a terminal or a
// window would act on or mangle (below 0x20, 0x7F and above).

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

// One line of the viewer: the offset right-aligned in 8 places followed by
// "h", then up to bytesPerLine bytes at data; the hex column is padded so
// that the character column of a short last line stays aligned.
std::string HexDumpLine(std::uint64_t offset, const std::uint8_t* data, std::size_t count,
                        std::size_t bytesPerLine = 16);

// One row of the debug log's dump: row 16-byte row of buffer, bytes past size
// as zeros, "0010h :  41 42 ...  :  AB..." (78 characters including its
// closing line feed).
std::string HexDumpRow(const std::uint8_t* buffer, std::size_t size, std::size_t row);

}  // namespace vantrel
