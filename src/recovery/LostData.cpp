#include "recovery/LostData.h"

#include <algorithm>
#include <array>
#include <functional>

#include "analysis/FileSize.h"
#include "analysis/FileType.h"
#include "common/DebugLog.h"
#include "devices/TDevice.h"
#include "fs/ClusterTests.h"
#include "fs/DirEntries.h"
#include "fs/TExFATDirectory.h"
#include "fs/TExFATdrive.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/RangeDialogs.h"
#include "host/RunSettings.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"

namespace vantrel {

void FindLostData(TFATdrive& drive, TStatusDialog& dialog, TClusterDialog& clusterDialog, IClusterDialogView& view) {
  if (!drive.GeometryValid) return;
  clusterDialog.SetDefaults(static_cast<std::int32_t>(std::min<std::uint32_t>(drive.ClusterCount, 0x7FFFFFFE)),
                            drive.BytesPerCluster);
  if (!clusterDialog.Execute(view)) return;
  TLostDataSearch search(drive, dialog);
  search.Run(clusterDialog.RangeStart, clusterDialog.RangeEnd);
}

void TLostDataSearch::SetReadAhead(bool on) {
  if (drive_.Device) drive_.Device->SetCacheEnabled(on);
}

bool TLostDataSearch::Marked(std::uint32_t cluster) const {
  const std::size_t byte = cluster / 8;
  return byte < bitmap_.size() && (bitmap_[byte] >> (cluster % 8) & 1);
}

void TLostDataSearch::Mark(std::uint32_t cluster) {
  const std::size_t byte = cluster / 8;
  if (byte < bitmap_.size()) bitmap_[byte] = static_cast<std::uint8_t>(bitmap_[byte] | (1u << (cluster % 8)));
}

void TLostDataSearch::CountLost(std::uint32_t& folders, std::uint32_t& files) const {
  folders = files = 0;
  for (const auto& item : *drive_.LostDir->Items) (item->IsDirectory() ? folders : files)++;
}

void TLostDataSearch::Refresh(const std::string& line1) {
  if (!dialog_.IsRefreshDue()) return;
  dialog_.SetTexts("", line1, "", "", "");
  ProcessMessages();
}

void TLostDataSearch::RemoveLostItems(std::uint32_t cluster) {
  // Every lost item stands at a cluster the search marked before it added
  // the item: a file entry that leads anywhere else, as most do, need not
  // look through the whole list.
  if (!Marked(cluster)) return;
  auto& items = *drive_.LostDir->Items;
  items.erase(std::remove_if(items.begin(), items.end(),
                             [&](const std::unique_ptr<TFSObject>& item) {
                               if (item->IsDirectory()) {
                                 const auto& d = static_cast<const TFATDirectory&>(*item);
                                 return d.StartCluster == cluster && (cluster != 0 || d.Sector == 0);
                               }
                               return static_cast<const TFATFile&>(*item).StartCluster == cluster && cluster != 0;
                             }),
              items.end());
}

void TLostDataSearch::Attach(const std::string& name, std::uint32_t cluster, std::uint32_t sector,
                             bool deletedChildren) {
  if (exfat_) return AttachExFAT(name, cluster);
  auto folder = std::make_unique<TFATDirectory>();
  folder->DeletedChildren = deletedChildren;
  folder->Name = name;
  folder->StartCluster = cluster;
  folder->Sector = sector;
  folder->Expanded = 0;
  folder->Status = isLost;
  folder->Drive = &drive_;
  folder->Parent = drive_.LostDir.get();
  drive_.LostDir->Items->push_back(std::move(folder));
  SetReadAhead(false);
  Walk(cluster, sector);
  SetReadAhead(true);
}

namespace {

// The clusters from a lost file's first on, to the end of the volume or the
// first cluster that something found already holds. The first cluster comes
// from the scan's buffer and is not read again.
class TLostClusters : public IClusterSource {
 public:
  TLostClusters(TFATdrive& drive, std::uint32_t first, const std::vector<std::uint8_t>& firstData,
                const std::function<bool(std::uint32_t)>& marked)
      : drive_(drive), first_(first), firstData_(firstData), marked_(marked) {}
  std::uint32_t ClusterSize() const override { return drive_.BytesPerCluster; }
  std::uint64_t ClusterLimit() const override { return drive_.MaxCluster() + 1ull - first_; }
  bool ReadCluster(std::uint64_t index, std::uint8_t* buffer) override {
    if (index == 0) {
      std::copy(firstData_.begin(), firstData_.end(), buffer);
      return true;
    }
    if (index >= ClusterLimit()) return false;
    const auto cluster = static_cast<std::uint32_t>(first_ + index);
    if (marked_(cluster)) return false;
    return drive_.ReadSectors(drive_.ClusterToSector(cluster), static_cast<std::uint16_t>(drive_.SectorsPerCluster),
                              true, buffer);
  }

 private:
  TFATdrive& drive_;
  std::uint32_t first_;
  const std::vector<std::uint8_t>& firstData_;
  const std::function<bool(std::uint32_t)>& marked_;
};

}  // namespace

std::uint32_t TLostDataSearch::AddLostFile(std::uint32_t cluster, const std::string& typeName,
                                           const std::vector<std::uint8_t>& data) {
  const std::function<bool(std::uint32_t)> marked = [this](std::uint32_t c) { return Marked(c); };
  TLostClusters source(drive_, cluster, data, marked);
  const TFileExtent extent = FindFileExtent(typeName, source);
  const std::uint64_t toVolumeEnd = source.ClusterLimit() * drive_.BytesPerCluster;
  auto file = std::make_unique<TFATFile>();
  file->Name = "蔟 " + std::to_string(cluster) + "." + (extent.TypeName.empty() ? typeName : extent.TypeName);
  file->StartCluster = cluster;
  file->Verdict = extent.Verdict;
  file->BadOffset = extent.BadOffset;
  std::uint32_t clusters = 0;
  if (extent.Size != 0) {
    file->Size = static_cast<std::uint32_t>(extent.Size);
    // What the file covers is known now: nothing in it is another lost file.
    clusters = static_cast<std::uint32_t>((extent.Size + drive_.BytesPerCluster - 1) / drive_.BytesPerCluster);
    for (std::uint32_t i = 1; i < clusters; ++i) {
      if (Marked(cluster + i)) continue;
      Mark(cluster + i);
      if (InRange(cluster + i)) dialog_.StepIt();
    }
  } else {
    const auto fallback = static_cast<std::uint64_t>(std::max<std::int32_t>(RunSettings().LostDefaultSize, 0));
    file->Size = static_cast<std::uint32_t>(std::min({fallback, toVolumeEnd, std::uint64_t{0xFFFFFFFF}}));
    unsized_.push_back(cluster);
  }
  file->Attr = 32;
  file->Status = isLost;
  file->Drive = &drive_;
  file->Parent = drive_.LostDir.get();
  drive_.LostDir->Items->push_back(std::move(file));
  return clusters;
}

void TLostDataSearch::TrimUnsizedFiles() {
  // A file whose bytes told no size ends where the next lost item starts.
  std::vector<std::uint32_t> starts;
  for (const auto& item : *drive_.LostDir->Items) {
    const std::uint32_t c = item->IsDirectory() ? static_cast<const TFATDirectory&>(*item).StartCluster
                                                : static_cast<const TFATFile&>(*item).StartCluster;
    if (c != 0) starts.push_back(c);
  }
  std::sort(starts.begin(), starts.end());
  std::sort(unsized_.begin(), unsized_.end());
  for (const auto& item : *drive_.LostDir->Items) {
    if (item->IsDirectory()) continue;
    auto& file = static_cast<TFATFile&>(*item);
    if (!std::binary_search(unsized_.begin(), unsized_.end(), file.StartCluster)) continue;
    const auto next = std::upper_bound(starts.begin(), starts.end(), file.StartCluster);
    if (next == starts.end()) continue;
    const std::uint64_t room = static_cast<std::uint64_t>(*next - file.StartCluster) * drive_.BytesPerCluster;
    if (room < file.Size) file.Size = static_cast<std::uint32_t>(room);
  }
}

// Marks the clusters of a file's chain, inside the scan range or not: what
// the root reaches is never lost, whatever part of the volume is scanned. A
// chain that comes back to a cluster already marked ends there.
void TLostDataSearch::MarkChain(std::uint32_t f) {
  while (drive_.IsValidCluster(f) && !Marked(f)) {
    Mark(f);
    if (InRange(f)) dialog_.StepIt();
    if (drive_.FATChoice == 0 || drive_.FATChoice == kFATChoiceFree) return;
    f = drive_.GetFATEntry(f, drive_.FATChoice - 1u);
    const TFATEntryKind kind = ClassifyEntry(drive_.FATType, f);
    if (kind == feFree || kind == feEndOfChain) return;
  }
}

void TLostDataSearch::Walk(std::uint32_t startCluster, std::uint32_t startSector) {
  struct Frame {
    TChainCursor cursor;
    std::uint32_t first, last;
  };
  std::vector<Frame> stack;
  auto enter = [&](std::uint32_t cluster, std::uint32_t sector) {
    if (cluster == 0)
      Refresh("扫描扇区 " + std::to_string(sector) + " (子目录)");
    else
      Refresh("扫描蔟 " + std::to_string(cluster) + " (子目录)");
    Mark(cluster);
    stack.push_back({TChainCursor(cluster, sector), cluster, cluster});
  };
  if (dialog_.Cancelled) return;
  enter(startCluster, startSector);

  std::string name;
  std::array<std::uint8_t, 32> entry{};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (dialog_.Cancelled || !ReadDirEntry(drive_, frame.cursor, true, name, entry.data())) {
      const bool counted = InRange(frame.first);
      stack.pop_back();
      if (!stack.empty() && counted) dialog_.StepIt();
      continue;
    }
    // Folders are walked outside the scan range too, so that nothing they
    // reach is taken for lost; the bar counts the clusters of the range.
    const std::uint32_t current = frame.cursor.Cluster;
    if (current != frame.last) {
      Mark(current);
      if (InRange(current)) dialog_.StepIt();
      frame.last = current;
    }
    // A root in the fixed area runs on over several sectors: the sectors it
    // reached are no roots of their own.
    if (stack.size() == 1 && current == 0) rootReach_ = std::max(rootReach_, frame.cursor.Sector);
    const std::uint8_t attr = entry[kDirAttr];
    const std::uint32_t f = EntryCluster(entry.data());
    if (attr & kAttrDirectory) {
      if (name == "." || name == ".." || attr == kAttrLongName) continue;
      if (drive_.IsValidCluster(f) && !Marked(f) && ClusterHasDotEntries(drive_, f, 0)) {
        if (stack.size() >= 4096) continue;  // deeper than any real tree
        enter(f, 0);
      }
    } else if (!(attr & kAttrVolumeLabel)) {
      RemoveLostItems(f);
      MarkChain(f);
    }
  }
}

void TLostDataSearch::Run(std::int64_t first, std::int64_t last) {
  TFATdrive& d = drive_;
  // The dialog takes any number; the scan keeps to the volume's clusters.
  first_ = static_cast<std::uint32_t>(std::clamp<std::int64_t>(first, 2, static_cast<std::int64_t>(d.MaxCluster()) + 1));
  last_ = static_cast<std::uint32_t>(std::clamp<std::int64_t>(last, 0, d.MaxCluster()));

  d.Lost()->Clear();
  d.LostDir->Expanded = 0;
  dialog_.Init("查找丢失的数据 - 请稍后...", "", "", "", "", true, true);
  dialog_.Total = last_ >= first_ ? last_ - first_ + 1 : 0;
  dialog_.Step = 1;
  dialog_.RefreshInterval = 500;
  dialog_.Show();
  // The clean-up runs on every way out, an exception's included.
  struct CleanUp {
    TLostDataSearch& search;
    ~CleanUp() {
      search.SetReadAhead(false);
      search.bitmap_.clear();
      search.bitmap_.shrink_to_fit();
      search.dialog_.Hide();
    }
  } cleanUp{*this};
  // One bit for every cluster a walk can mark, the root's included.
  bitmap_.assign(static_cast<std::size_t>(d.MaxCluster()) / 8 + 1, 0);
  rootReach_ = 0;

  SetReadAhead(false);
  exfat_ = dynamic_cast<TExFATdrive*>(&d);
  if (exfat_)
    WalkExFAT(d.RootCluster, false, 0);
  else
    Walk(d.RootCluster, d.RootSector);
  SetReadAhead(true);

  if (d.FATType != ftFAT32) {
    for (std::uint32_t s = d.ReservedSectors + d.FATSectors; s < d.FirstDataSector && !dialog_.Cancelled; ++s) {
      if (s > rootReach_ && !ClusterHasDotEntries(d, 0, s) && IsDirectoryCluster(d, 0, s))
        Attach("扇区 " + std::to_string(s) + " (根目录)", 0, s);
      if (dialog_.IsRefreshDue()) {
        dialog_.SetTexts("", "扫描扇区 " + std::to_string(s),
                         "找到丢失的目录: " + std::to_string(d.LostDir->Items->size()), "", "");
        ProcessMessages();
      }
    }
  }

  std::vector<std::uint8_t> scratch;
  unsized_.clear();
  std::uint32_t previousCluster = 0;
  std::string previousType;
  for (std::uint32_t c = first_; c <= last_ && !dialog_.Cancelled; ++c) {
    if (!Marked(c)) {
      Mark(c);
      bool bad = false;
      if (d.SkipBadClusters && d.FATChoice >= 1) {
        const std::uint32_t copy = d.FATChoice == kFATChoiceFree ? 0 : d.FATChoice - 1u;
        bad = ClassifyEntry(d.FATType, d.GetFATEntry(c, copy)) == feReserved;
      }
      if (!bad) {
        const bool dots = !exfat_ && ClusterHasDotEntries(d, c, 0);
        const bool folderA = exfat_ ? IsExFATDirectoryCluster(*exfat_, c) : dots && !DirectoryClusterEmpty(d, c, 0);
        // A folder whose entries are all deleted, cut off from the root
        // when its deleted parent's entry and cluster were used again.
        const bool orphan = dots && !folderA && DirectoryClusterHoldsDeleted(d, c, 0);
        const bool folderB =
            !exfat_ && !folderA && !orphan && IsDirectoryCluster(d, c, 0) && ClusterHasVolumeLabel(d, c, 0);
        int kind = 1;
        std::string typeName;
        if (folderA || folderB || orphan) {
          Attach("蔟 " + std::to_string(c) + (folderB ? " (根目录)" : ""), c, 0, orphan);
        } else if (RunSettings().FindLostFiles && DetectClusterFileType(d, c, kind, typeName, scratch)) {
          // A run of audio frames over consecutive clusters is one file.
          // A file whose size is known ends there: what follows it starts anew.
          bool sized = false;
          if (!(c == previousCluster + 1 && typeName == previousType && kind == 2))
            sized = AddLostFile(c, typeName, scratch) != 0;
          previousCluster = c;
          previousType = sized ? std::string() : typeName;
        }
      }
      dialog_.StepIt();
    }
    if (dialog_.IsRefreshDue()) {
      std::uint32_t folders = 0, files = 0;
      CountLost(folders, files);
      dialog_.SetTexts("", "扫描蔟 " + std::to_string(c), "找到丢失的目录: " + std::to_string(folders),
                       "找到丢失的文件: " + std::to_string(files), "");
      ProcessMessages();
    }
  }
  TrimUnsizedFiles();
  unsized_.clear();
}

}  // namespace vantrel
