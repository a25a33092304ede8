#pragma once
// The check of an H.263 picture (baseline, as 3GP files carry it): its
// macroblocks decoded through their variable-length codes, every code one
// the tables hold, to as many macroblocks as the picture has and the end of
// its bytes.

#include <cstdint>

namespace vantrel {

class FileBytes;

enum class TH263Result : std::uint8_t {
  Whole,      // every macroblock decoded, ending with the bytes
  Damaged,    // a code no table holds, or the picture does not end with its bytes
  Unchecked,  // a picture with options this check does not decode, or bytes that cannot be read
};

// Decodes the picture of size bytes at offset; on damage, badAt is the byte
// where decoding failed.
TH263Result CheckH263Picture(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt);

}  // namespace vantrel
