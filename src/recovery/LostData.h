#pragma once
// The search for folders and files that are still on a volume but no longer
// reachable from its root.

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

class IClusterDialogView;
class TClusterDialog;
class TExFATdrive;
class TFATdrive;
class TStatusDialog;

class TLostDataSearch {
 public:
  TLostDataSearch(TFATdrive& drive, TStatusDialog& dialog) : drive_(drive), dialog_(dialog) {}

  // Scans clusters first..last (clamped to the volume) after walking what the
  // root reaches; results go into the drive's lost folder.
  void Run(std::int64_t first, std::int64_t last);

 private:
  bool Marked(std::uint32_t cluster) const;
  void Mark(std::uint32_t cluster);
  bool InRange(std::uint32_t cluster) const { return cluster >= first_ && cluster <= last_; }
  void Attach(const std::string& name, std::uint32_t cluster, std::uint32_t sector, bool deletedChildren = false);
  // Adds the lost file that starts at cluster (whose bytes are data) with
  // the size its bytes tell, and marks the clusters it covers; the result
  // is the number of clusters it covers, 0 when its size is not known.
  std::uint32_t AddLostFile(std::uint32_t cluster, const std::string& typeName, const std::vector<std::uint8_t>& data);
  void TrimUnsizedFiles();
  void RemoveLostItems(std::uint32_t cluster);
  // Marks everything a folder reaches, depth first, without recursion.
  void Walk(std::uint32_t cluster, std::uint32_t sector);
  void MarkChain(std::uint32_t cluster);
  // exFAT: folders hold entry sets, and files and folders without a chain
  // take the clusters their length needs from the first one on.
  void WalkExFAT(std::uint32_t cluster, bool noFatChain, std::uint64_t length);
  void MarkExFATData(std::uint32_t first, bool noFatChain, std::uint64_t length);
  void AttachExFAT(const std::string& name, std::uint32_t cluster);
  void Refresh(const std::string& line1);
  void CountLost(std::uint32_t& folders, std::uint32_t& files) const;
  void SetReadAhead(bool on);

  TFATdrive& drive_;
  TExFATdrive* exfat_ = nullptr;  // the drive when it is exFAT
  TStatusDialog& dialog_;
  std::uint32_t first_ = 0, last_ = 0;
  std::vector<std::uint8_t> bitmap_;
  // The last root-area sector that the listing of the live root, or of a
  // lost root found in the root area, read: sectors up to it are no roots of
  // their own.
  std::uint32_t rootReach_ = 0;
  // Lost files of this run whose size is the default one.
  std::vector<std::uint32_t> unsized_;
};

// The drive's lost-data search behind the cluster range dialog.
void FindLostData(TFATdrive& drive, TStatusDialog& dialog, TClusterDialog& clusterDialog, IClusterDialogView& view);

}  // namespace vantrel
