#pragma once
// Tests on a cluster of an open volume. A directory is addressed by its start
// cluster, or with cluster 0 by a sector of the fixed root area of FAT12/16.

#include <cstdint>

namespace vantrel {

class TFATdrive;

// The first two entries are the folders "." and "..".
bool ClusterHasDotEntries(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector);
// The first sector reads as a plausible directory sector.
bool IsDirectoryCluster(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector);
// The entries of the first cluster hold exactly one volume label.
bool ClusterHasVolumeLabel(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector);
// No live entry follows "." and "..".
bool DirectoryClusterEmpty(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector);
// A deleted file or folder entry follows "." and "..".
bool DirectoryClusterHoldsDeleted(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector);
}  // namespace vantrel
