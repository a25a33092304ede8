#pragma once
// Deflate streams and CRC-32s of found files, through zlib.

#include <cstddef>
#include <cstdint>

namespace vantrel {

class FileBytes;

struct TInflated {
  bool Ok = false;          // the stream reached its last block without an error
  std::uint64_t End = 0;    // the offset of the first byte after the stream
  std::uint64_t Size = 0;   // the bytes it inflates to
  std::uint32_t Crc = 0;    // their CRC-32
  std::uint64_t BadAt = 0;  // where zlib stopped, when not Ok
  bool RanOut = false;      // not Ok because the bytes ended, not because they were wrong
};

// Inflates the raw deflate stream that starts at offset (with its zlib header
// and Adler-32 when wrapped); reads no further than offset + maxIn.
TInflated InflateAt(FileBytes& b, std::uint64_t offset, std::uint64_t maxIn, bool wrapped = false);

// The CRC-32 of count bytes from offset; false when they cannot all be read.
bool Crc32At(FileBytes& b, std::uint64_t offset, std::uint64_t count, std::uint32_t& crc);

// The CRC-32 of a buffer, continued from crc (0 to start).
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

}  // namespace vantrel
