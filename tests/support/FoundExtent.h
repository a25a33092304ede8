#pragma once
// What the size finder makes of a file held in memory.

#include <cstdint>
#include <string>

#include "analysis/FileSize.h"

namespace vantrel::test {

// The extent of the file of type at the start of bytes, on a volume of
// clusterSize clusters that goes on past the file with a cluster of zeros;
// reads, when given, counts the clusters read.
inline TFileExtent FoundExtent(const std::string& type, const std::string& bytes, std::uint32_t clusterSize,
                               std::uint64_t* reads = nullptr) {
  const std::string volume = bytes + std::string(clusterSize, '\0');
  TMemoryClusterSource source(reinterpret_cast<const std::uint8_t*>(volume.data()), volume.size(), clusterSize);
  const TFileExtent extent = FindFileExtent(type, source);
  if (reads) *reads = source.Reads;
  return extent;
}

}  // namespace vantrel::test
