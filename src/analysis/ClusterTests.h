#pragma once
// Tests on a cluster of an open volume. A directory is addressed by its start
// cluster, or with cluster 0 by a sector of the fixed root area of FAT12/16.

#include <cstdint>
#include <string>
#include <vector>

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
// The type of file the whole cluster starts (kind 1), or continues as a run
// of audio frames (kind 2). scratch is reused between calls.
bool DetectClusterFileType(TFATdrive& drive, std::uint32_t cluster, int& kind, std::string& typeName,
                           std::vector<std::uint8_t>& scratch);

}  // namespace vantrel
