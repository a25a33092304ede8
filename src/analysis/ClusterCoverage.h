#pragma once
// Which clusters of a found file the checks of its format looked into. A
// structure whose checks test only some of its bytes (chunk headers, sample
// starts, page headers) vouches for the whole file only when every cluster
// holds a tested byte: a cluster of another file that sits wholly inside a
// long chunk is seen by nothing.

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vantrel {

// Whether the bytes [from, to) wholly hold a cluster of the file, clusters
// counted from the file's start: bytes there that no check looks into could
// all be another file's.
inline bool HoldsWholeCluster(std::uint64_t from, std::uint64_t to, std::uint32_t clusterSize) {
  if (clusterSize == 0 || to <= from) return false;
  const std::uint64_t first = (from + clusterSize - 1) / clusterSize * clusterSize;
  return first + clusterSize <= to;
}

class TClusterCoverage {
 public:
  // Files are taken for no more than maxBytes; offsets past it are ignored.
  explicit TClusterCoverage(std::uint32_t clusterSize, std::uint64_t maxBytes = 0xFFFFFFFFull)
      : clusterSize_(clusterSize == 0 ? 512 : clusterSize), maxClusters_(maxBytes / clusterSize_ + 1) {}

  // A check tested the byte at offset.
  void Checked(std::uint64_t offset) { Mark(offset / clusterSize_); }
  // A checksum or a decoder covered the bytes [from, to).
  void CheckedRange(std::uint64_t from, std::uint64_t to) {
    if (to <= from) return;
    const std::uint64_t last = std::min((to - 1) / clusterSize_, maxClusters_ - 1);
    for (std::uint64_t c = from / clusterSize_; c <= last; ++c) Mark(c);
  }
  // Whether every cluster of the first size bytes holds a tested byte.
  bool Covers(std::uint64_t size) const {
    if (size == 0) return false;
    const std::uint64_t clusters = (size + clusterSize_ - 1) / clusterSize_;
    if (clusters > seen_.size()) return false;
    return std::all_of(seen_.begin(), seen_.begin() + static_cast<std::ptrdiff_t>(clusters), [](bool v) { return v; });
  }
  // The offset of the first cluster no check looked into (size when none).
  std::uint64_t FirstUnchecked(std::uint64_t size) const {
    const std::uint64_t clusters = (size + clusterSize_ - 1) / clusterSize_;
    for (std::uint64_t c = 0; c < clusters; ++c)
      if (c >= seen_.size() || !seen_[c]) return c * clusterSize_;
    return size;
  }

 private:
  void Mark(std::uint64_t cluster) {
    if (cluster >= maxClusters_) return;
    if (cluster >= seen_.size()) seen_.resize(cluster + 1, false);
    seen_[cluster] = true;
  }

  std::uint64_t clusterSize_;
  std::uint64_t maxClusters_;
  std::vector<bool> seen_;
};

}  // namespace vantrel
