// The lost-data search on exFAT: what the root reaches is marked through
// entry sets, and a lost folder is a cluster that starts with entry sets.

#include <algorithm>
#include <vector>

#include "fs/TExFATDirectory.h"
#include "fs/TExFATdrive.h"
#include "host/TStatusDialog.h"
#include "recovery/LostData.h"

namespace vantrel {

void TLostDataSearch::MarkExFATData(std::uint32_t first, bool noFatChain, std::uint64_t length) {
  if (!noFatChain) return MarkChain(first);
  const std::uint64_t clusters =
      std::min<std::uint64_t>((length + drive_.BytesPerCluster - 1) / drive_.BytesPerCluster, drive_.ClusterCount);
  for (std::uint64_t i = 0; i < clusters; ++i) {
    const auto c = static_cast<std::uint32_t>(first + i);
    if (!drive_.IsValidCluster(c)) return;
    if (Marked(c)) continue;
    Mark(c);
    if (InRange(c)) dialog_.StepIt();
  }
}

void TLostDataSearch::WalkExFAT(std::uint32_t startCluster, bool noFatChain, std::uint64_t length) {
  if (!exfat_ || !drive_.IsValidCluster(startCluster)) return;
  struct Folder {
    std::uint32_t cluster;
    bool noFatChain;
    std::uint64_t length;
  };
  // Depth first without recursion; each folder once (its first cluster is marked).
  std::vector<Folder> stack{{startCluster, noFatChain, length}};
  // The walk's own folder is marked by its data below; its first cluster now.
  bool first = true;
  while (!stack.empty() && !dialog_.Cancelled) {
    const Folder f = stack.back();
    stack.pop_back();
    if (!first && Marked(f.cluster)) continue;
    first = false;
    Refresh("扫描蔟 " + std::to_string(f.cluster) + " (子目录)");
    if (f.noFatChain && f.length == 0) {
      Mark(f.cluster);
    } else {
      MarkExFATData(f.cluster, f.noFatChain, f.length);
    }
    TExFATDirectory folder;
    folder.Drive = exfat_;
    folder.StartCluster = f.cluster;
    folder.NoFatChain = f.noFatChain;
    folder.DataLength = f.length;
    folder.ForEachSet(true, [&](const TExFATEntrySet& set) {
      if (!drive_.IsValidCluster(set.FirstCluster)) return !dialog_.Cancelled;
      const bool contiguous = (set.Flags & kExFATNoFatChain) != 0;
      if (set.Attributes & kExFATAttrDirectory) {
        // A lost folder found before is part of this tree.
        RemoveLostItems(set.FirstCluster);
        if (!Marked(set.FirstCluster) && stack.size() < 4096)
          stack.push_back({set.FirstCluster, contiguous, set.DataLength});
      } else {
        RemoveLostItems(set.FirstCluster);
        MarkExFATData(set.FirstCluster, contiguous, set.DataLength);
      }
      return !dialog_.Cancelled;
    });
  }
}

void TLostDataSearch::AttachExFAT(const std::string& name, std::uint32_t cluster) {
  auto folder = std::make_unique<TExFATDirectory>();
  folder->Name = name;
  folder->StartCluster = cluster;
  // Its length and chain went with the entry that named it: its entries are
  // read over consecutive clusters up to their end.
  folder->NoFatChain = true;
  folder->Status = isLost;
  folder->Drive = &drive_;
  folder->Parent = drive_.LostDir.get();
  drive_.LostDir->Items->push_back(std::move(folder));
  SetReadAhead(false);
  WalkExFAT(cluster, true, 0);
  SetReadAhead(true);
}

}  // namespace vantrel
