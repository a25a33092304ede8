#pragma once
// What a found file's own bytes say about it: whether every check its format
// offers holds.

#include <cstdint>
#include <string>

namespace vantrel {

enum TVerdict : std::uint8_t {
  vdNone = 0,        // not checked (yet), or a type without a structure to follow
  vdVerified = 1,    // every check of the format holds, through the last byte
  vdPlausible = 2,   // the size comes from the structure; nothing more to check
  vdDamaged = 3,     // a check fails (a CRC, a decoder error, an offset that misses)
  vdCut = 4,         // cut to what the chain or the volume holds
  vdUnreadable = 5,  // sectors of the file could not be read
};

// "verified", "plausible", "damaged", "cut", "unreadable"; empty for vdNone.
std::string VerdictName(TVerdict verdict);
// The window's texts: "完整", "可能", "损坏", "截断", "不可读"; empty for vdNone.
std::string VerdictText(TVerdict verdict);

}  // namespace vantrel
