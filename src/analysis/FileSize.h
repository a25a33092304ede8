#pragma once
// The size of a lost file from its own bytes: the structure of its format
// followed through consecutive clusters from its first. Every parser moves
// forward through the file, reads each cluster at most once while it does,
// holds two clusters in memory and stops at the end of what the volume holds,
// whatever sizes the bytes claim.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Verdict.h"

namespace vantrel {

// The clusters a lost file may cover, counted from its first.
class IClusterSource {
 public:
  virtual ~IClusterSource() = default;
  virtual std::uint32_t ClusterSize() const = 0;
  // Clusters from the first to the end of the volume.
  virtual std::uint64_t ClusterLimit() const = 0;
  // Reads the index-th cluster into buffer (ClusterSize bytes); false when it
  // cannot be read or belongs to something else already.
  virtual bool ReadCluster(std::uint64_t index, std::uint8_t* buffer) = 0;
};

// Clusters cut from one buffer, for byte-level tests and fuzzing.
class TMemoryClusterSource : public IClusterSource {
 public:
  TMemoryClusterSource(const std::uint8_t* data, std::size_t size, std::uint32_t clusterSize)
      : data_(data), size_(size), clusterSize_(clusterSize == 0 ? 512 : clusterSize) {}
  std::uint32_t ClusterSize() const override { return clusterSize_; }
  std::uint64_t ClusterLimit() const override { return (size_ + clusterSize_ - 1) / clusterSize_; }
  bool ReadCluster(std::uint64_t index, std::uint8_t* buffer) override;
  std::uint64_t Reads = 0;  // clusters read so far

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::uint32_t clusterSize_;
};

struct TFileExtent {
  std::uint64_t Size = 0;  // 0: the bytes tell no size
  std::string TypeName;    // a closer type name the structure gives ("DOCX"), or empty
  // What the checks of the format say of the bytes up to Size (vdNone for a
  // type the finder has no structure for), and where the first one failed.
  TVerdict Verdict = vdNone;
  std::uint64_t BadOffset = 0;
};

// The size of the file of type typeName (a name of DetectFileType) that
// starts at the source's first cluster. A structure that breaks off, or
// claims more than the clusters up to the volume's end, gives size 0.
TFileExtent FindFileExtent(const std::string& typeName, IClusterSource& source);

}  // namespace vantrel
