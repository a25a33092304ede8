#pragma once
// Tests on a cluster of an open volume. A directory is addressed by its start
// cluster, or with cluster 0 by a sector of the fixed root area of FAT12/16.

#include <cstdint>
#include <string>

namespace vantrel {

class TFATdrive;

// The first two entries are the folders "." and "..".
bool ClusterHasDotEntries(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector);

}  // namespace vantrel
