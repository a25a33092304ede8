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
class TFATFile;

// The verdict of the size bytes written to path, in clusters of
// clusterSize: the type of its first cluster, the checks of that type, and
// whether they reach exactly to the last byte. The first headSize bytes are
// taken from head, the bytes the save just wrote; only what lies beyond them
// is read back from the file.
TFileExtent CheckSavedFile(const std::string& path, std::uint32_t clusterSize, std::uint64_t size,
                           const std::uint8_t* head = nullptr, std::size_t headSize = 0);

// The verdict of a file read from its volume with fatChoice, as the viewer
// reads it, kept in the file.
void CheckFileOnVolume(TFATdrive& drive, TFATFile& file, std::uint8_t fatChoice);

// The runs of device bytes a file of size bytes from firstCluster is read
// from with fatChoice, at most maxRuns of them.
std::vector<TSavedFile::TRun> FileRuns(TFATdrive& drive, std::uint32_t firstCluster, std::uint64_t size,
                                       std::uint8_t fatChoice, std::size_t maxRuns = 65536);

}  // namespace vantrel
