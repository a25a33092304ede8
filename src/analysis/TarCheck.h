#pragma once
// The size and the check of a TAR archive: every header (ustar, GNU, pax, the
// GNU long names) with its checksum where the member before it ends, the
// records of pax headers and the long names adding up to their sizes, and
// the zero blocks at its end. Members' contents have nothing to check: a
// cluster that lies inside one leaves a hole in the coverage.

#include <cstdint>

namespace vantrel {

class FileBytes;

// The archive's size through its end blocks; 0 when its headers break off.
std::uint64_t TarSize(FileBytes& b);

}  // namespace vantrel
