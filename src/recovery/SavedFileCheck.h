#pragma once
// What a saved file's bytes say of it, and where they came from on the
// device.

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/FileSize.h"
#include "recovery/Saving.h"

namespace vantrel {

class TFATdrive;

// The verdict of the size bytes written to path, read back in clusters of
// clusterSize: the type of its first cluster, the checks of that type, and
// whether they reach exactly to the last byte.
TFileExtent CheckSavedFile(const std::string& path, std::uint32_t clusterSize, std::uint64_t size);

// The runs of device bytes a file of size bytes from firstCluster is read
// from with fatChoice, at most maxRuns of them.
std::vector<TSavedFile::TRun> FileRuns(TFATdrive& drive, std::uint32_t firstCluster, std::uint64_t size,
                                       std::uint8_t fatChoice, std::size_t maxRuns = 65536);

}  // namespace vantrel
