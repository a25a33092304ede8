#include "recovery/UsedRanges.h"

#include <algorithm>
#include <unordered_set>

#include "common/FATChoice.h"
#include "devices/TDevice.h"
#include "format/FATFormat.h"
#include "fs/FileData.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"

namespace vantrel {
namespace {

// Turns volume sectors and clusters into byte ranges of the imaged area;
// neighbouring clusters become one range.
class TRangeCollector {
 public:
  TRangeCollector(TFATdrive& drive, std::uint64_t first, std::uint64_t count, TByteRanges& ranges)
      : drive_(drive), first_(first), count_(count), ranges_(ranges) {
    ss_ = drive.Device && drive.Device->BytesPerSector ? drive.Device->BytesPerSector : 512;
    scale_ = std::max<std::uint64_t>(1, drive.BytesPerSector / ss_);
  }
  ~TRangeCollector() { Flush(); }

  bool Usable() const { return drive_.GeometryValid && drive_.Device && drive_.SectorsPerCluster != 0; }

  void AddSectors(std::uint64_t volumeSector, std::uint64_t sectors) {
    const std::uint64_t a = drive_.StartSector + volumeSector * scale_, b = a + sectors * scale_;
    const std::uint64_t lo = std::max(a, first_), hi = std::min(b, first_ + count_);
    if (hi > lo) ranges_.emplace_back((lo - first_) * ss_, (hi - lo) * ss_);
  }

  void AddClusters(std::uint32_t cluster, std::uint32_t n) {
    if (!drive_.IsValidCluster(cluster) || n == 0) return;
    n = std::min<std::uint32_t>(n, drive_.MaxCluster() - cluster + 1);
    if (runLength_ && cluster == runStart_ + runLength_) {
      runLength_ += n;
      return;
    }
    Flush();
    runStart_ = cluster;
    runLength_ = n;
  }

  void Flush() {
    if (runLength_)
      AddSectors(drive_.ClusterToSector(runStart_), std::uint64_t{runLength_} * drive_.SectorsPerCluster);
    runLength_ = 0;
  }

  // The clusters a file's reader passes: as many as its readable size
  // needs, moving as ReadFileData moves (a chain that ends early repeats
  // its last cluster, which ends the walk here).
  void AddFile(const TFATFile& file, std::uint8_t fatChoice) {
    if (!drive_.IsValidCluster(file.StartCluster) || drive_.BytesPerCluster == 0) return;
    std::uint8_t choice = ItemFATChoice(drive_, file, fatChoice);
    TFATdrive::TFileLayout layout;
    if (drive_.FileLayout(file.StartCluster, layout) && layout.Contiguous) choice = 0;
    const std::uint32_t size = ItemReadableSize(drive_, file, fatChoice);
    const std::uint64_t clusters = (std::uint64_t{size} + drive_.BytesPerCluster - 1) / drive_.BytesPerCluster;
    std::uint32_t cluster = file.StartCluster;
    for (std::uint64_t i = 0; i < clusters; ++i) {
      AddClusters(cluster, 1);
      const std::uint32_t next = NextFileCluster(drive_, cluster, choice);
      if (next == cluster) break;
      cluster = next;
    }
  }

  // A folder's own clusters: its chain through the FAT copy the drive lists
  // folders with; without one (no FAT, a deleted folder) its first cluster.
  void AddFolderChain(std::uint32_t cluster) {
    std::uint8_t copy = drive_.FATChoice;
    if (copy == kFATChoiceFree && !(drive_.Flags & dfNoFAT)) copy = 1;
    std::unordered_set<std::uint32_t> seen;
    while (drive_.IsValidCluster(cluster) && seen.insert(cluster).second) {
      AddClusters(cluster, 1);
      if (copy < 1 || copy > drive_.NumberOfFATs) break;
      const std::uint32_t next = drive_.GetFATEntry(cluster, copy - 1u);
      if (ClassifyEntry(drive_.FATType, next) != feUsed) break;
      cluster = next;
    }
  }

 private:
  TFATdrive& drive_;
  std::uint64_t first_, count_;
  TByteRanges& ranges_;
  std::uint64_t ss_ = 512, scale_ = 1;
  std::uint32_t runStart_ = 0, runLength_ = 0;
};

}  // namespace

void AddDriveStructureRanges(TFATdrive& drive, std::uint64_t first, std::uint64_t count, TByteRanges& ranges) {
  TRangeCollector collect(drive, first, count, ranges);
  if (!collect.Usable()) return;
  collect.AddSectors(0, drive.FirstDataSector);
  if (drive.FATType == ftFAT32) collect.AddFolderChain(drive.RootCluster);
}

void AddUsedRanges(TFATdrive& drive, std::uint64_t first, std::uint64_t count, TByteRanges& ranges) {
  TRangeCollector collect(drive, first, count, ranges);
  if (!collect.Usable()) return;
  collect.AddSectors(0, drive.FirstDataSector);
  if (drive.FATChoice >= 1 && drive.FATChoice <= drive.NumberOfFATs)
    for (std::uint32_t c = 2; drive.IsValidCluster(c); ++c)
      if (ClassifyEntry(drive.FATType, drive.GetFATEntry(c, drive.FATChoice - 1u)) != feFree) collect.AddClusters(c, 1);
  collect.Flush();
  drive.Deleted()->ForEach(
      [&](TFSObject* item, int) {
        if (item->IsDirectory() || item->Status != isDeleted) return true;
        auto* file = static_cast<TFATFile*>(item);
        if (!drive.IsValidCluster(file->StartCluster)) return true;
        const std::uint64_t clusters = (std::uint64_t{file->Size} + drive.BytesPerCluster - 1) / drive.BytesPerCluster;
        const std::uint64_t room = std::uint64_t{drive.MaxCluster()} - file->StartCluster + 1;
        collect.AddSectors(drive.ClusterToSector(file->StartCluster), std::min(clusters, room) * drive.SectorsPerCluster);
        return true;
      },
      true, 0, true, true);
}

void AddItemRanges(TFATdrive& drive, const std::vector<TFSObject*>& items, bool deletedMode, std::uint8_t fatChoice,
                   std::uint64_t first, std::uint64_t count, TByteRanges& ranges) {
  TRangeCollector collect(drive, first, count, ranges);
  if (!collect.Usable()) return;
  for (TFSObject* item : items) {
    if (!item) continue;
    if (!item->IsDirectory()) {
      collect.AddFile(*static_cast<TFATFile*>(item), fatChoice);
      continue;
    }
    auto& folder = *static_cast<TFATDirectory*>(item);
    collect.AddFolderChain(folder.StartCluster);
    folder.ForEach(
        [&](TFSObject* child, int) {
          if (child->IsDirectory())
            collect.AddFolderChain(static_cast<TFATDirectory*>(child)->StartCluster);
          else
            collect.AddFile(*static_cast<TFATFile*>(child), fatChoice);
          return true;
        },
        deletedMode, 0, true, deletedMode);
  }
}

}  // namespace vantrel
