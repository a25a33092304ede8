#include "fs/TExFATDirectory.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/Bytes.h"
#include "common/DebugLog.h"
#include "common/Routines.h"
#include "format/ExFATFormat.h"
#include "fs/TExFATdrive.h"

namespace vantrel {
namespace {

using TEntry = std::array<std::uint8_t, 32>;

// The entries of one folder in order: through the FAT volume's chain reader,
// over consecutive clusters for a folder without a chain, and never past
// the folder's length (or 256 MiB, the most a folder holds).
class TEntryReader {
 public:
  TEntryReader(TExFATdrive& drive, const TExFATDirectory& folder)
      : drive_(drive), cursor_(folder.StartCluster, 0), noFatChain_(folder.NoFatChain) {
    const std::uint64_t bytes = folder.DataLength != 0 ? std::min(folder.DataLength, kExFATMaxDirectoryBytes)
                                                       : kExFATMaxDirectoryBytes;
    left_ = bytes / 32;
    if (!drive.IsValidCluster(folder.StartCluster)) left_ = 0;
  }

  bool Next(TEntry& entry) {
    if (hasPending_) {
      hasPending_ = false;
      entry = pending_;
      return true;
    }
    if (left_ == 0) return false;
    --left_;
    // A folder without a chain lies on consecutive clusters whatever the FAT choice.
    const std::uint8_t choice = drive_.FATChoice;
    if (noFatChain_) drive_.FATChoice = 0;
    const bool ok = drive_.ReadChainEntry(cursor_, entry.data());
    drive_.FATChoice = choice;
    if (!ok) left_ = 0;
    return ok;
  }
  // The entry goes back: the next Next gives it again.
  void PushBack(const TEntry& entry) {
    pending_ = entry;
    hasPending_ = true;
  }

 private:
  TExFATdrive& drive_;
  TChainCursor cursor_;
  bool noFatChain_;
  std::uint64_t left_ = 0;
  TEntry pending_{};
  bool hasPending_ = false;
};

TExFATTimes TimesOf(const TEntry& e) {
  const ByteSpan b(e);
  TExFATTimes t;
  t.Create = Le32(b, kExFATCreateTimestamp);
  t.Modify = Le32(b, kExFATModifyTimestamp);
  t.Access = Le32(b, kExFATAccessTimestamp);
  t.Create10ms = e[kExFATCreate10ms];
  t.Modify10ms = e[kExFATModify10ms];
  t.CreateOffset = ExFATUtcOffsetMinutes(e[kExFATCreateUtcOffset]);
  t.ModifyOffset = ExFATUtcOffsetMinutes(e[kExFATModifyUtcOffset]);
  t.AccessOffset = ExFATUtcOffsetMinutes(e[kExFATAccessUtcOffset]);
  return t;
}

std::uint32_t SizeOf(std::uint64_t length) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(length, 0xFFFFFFFFu));
}

// Clusters that length bytes take.
std::uint64_t ClustersOf(const TExFATdrive& drive, std::uint64_t length) {
  return (length + drive.BytesPerCluster - 1) / drive.BytesPerCluster;
}

// Good when every cluster the deleted item took is still free in the
// bitmap (for an item with a chain: its first one, the rest are unknown).
std::uint8_t ConditionOf(TExFATdrive& drive, const TExFATEntrySet& set) {
  if (set.DataLength == 0) return ccGood;
  const std::uint64_t clusters = (set.Flags & kExFATNoFatChain) ? ClustersOf(drive, set.DataLength) : 1;
  return drive.RunIsFree(set.FirstCluster, clusters) ? ccGood : ccBad;
}

}  // namespace

// ---- TExFATFile ----

void TExFATFile::AssignTo(TCustomFile& target) const {
  TFATFile::AssignTo(target);
  if (auto* f = dynamic_cast<TExFATFile*>(&target)) {
    f->Attributes = Attributes;
    f->NoFatChain = NoFatChain;
    f->DataLength = DataLength;
    f->ValidDataLength = ValidDataLength;
    f->Times = Times;
  }
}

std::unique_ptr<TFSObject> TExFATFile::Clone() const {
  auto copy = std::make_unique<TExFATFile>();
  AssignTo(*copy);
  return copy;
}

// ---- TExFATDirectory ----

TExFATdrive* TExFATDirectory::ExFATDrive() const { return static_cast<TExFATdrive*>(Drive); }

void TExFATDirectory::AssignTo(TCustomDirectory& target) const {
  TFATDirectory::AssignTo(target);
  if (auto* d = dynamic_cast<TExFATDirectory*>(&target)) {
    d->NoFatChain = NoFatChain;
    d->DataLength = DataLength;
    d->Times = Times;
  }
}

std::unique_ptr<TFSObject> TExFATDirectory::Clone() const {
  auto copy = std::make_unique<TExFATDirectory>();
  AssignTo(*copy);
  return copy;
}

void TExFATDirectory::ForEachSet(bool includeDeleted, const std::function<bool(const TExFATEntrySet&)>& callback,
                                 TSpecialEntries* special) {
  TExFATdrive& drive = *ExFATDrive();
  if (!drive.GeometryValid) return;
  TEntryReader reader(drive, *this);
  TEntry entry{};
  std::array<std::uint8_t, 32 * (kExFATMaxSecondary + 1)> set{};
  while (reader.Next(entry)) {
    const std::uint8_t type = entry[0];
    if (type == kExFATEndOfDirectory) return;
    const ByteSpan e(entry);
    if (special && type == kExFATLabelEntry) {
      std::array<std::uint16_t, 11> units{};
      const std::uint32_t length = std::min<std::uint32_t>(entry[1], 11);
      for (std::uint32_t i = 0; i < length; ++i) units[i] = Le16(e, 2 + 2 * i);
      special->Label = WideToUtf8(units.data(), length);
      continue;
    }
    if (special && type == kExFATBitmapEntry && special->BitmapCluster == 0) {
      // The first bitmap; a second one belongs to the second FAT of TexFAT.
      special->BitmapCluster = Le32(e, kExFATFirstCluster);
      special->BitmapLength = Le64(e, kExFATDataLength);
      continue;
    }
    if (special && type == kExFATUpcaseEntry) {
      special->UpcaseChecksum = Le32(e, 4);
      special->UpcaseCluster = Le32(e, kExFATFirstCluster);
      special->UpcaseLength = Le64(e, kExFATDataLength);
      continue;
    }
    const bool deleted = type == kExFATDeletedFile;
    if (type != kExFATFileEntry && !(deleted && includeDeleted)) continue;
    const std::uint32_t secondary = entry[kExFATSecondaryCount];
    if (secondary < kExFATMinSecondary || secondary > kExFATMaxSecondary) {
      DebugMessage(Format("exFAT: 目录项集的次级项数 %u 错误 (valid range is 2-18)", secondary), 3);
      continue;
    }
    std::copy(entry.begin(), entry.end(), set.begin());
    const std::uint8_t streamType = deleted ? kExFATDeletedStream : kExFATStreamEntry;
    const std::uint8_t nameType = deleted ? kExFATDeletedName : kExFATNameEntry;
    std::uint32_t got = 0;
    bool broken = false;
    while (got < secondary) {
      if (!reader.Next(entry)) {
        broken = true;
        break;
      }
      const std::uint8_t want = got == 0 ? streamType : nameType;
      // Vendor entries may follow the names; a primary entry starts the next set.
      if (entry[0] != want && !(got > 0 && entry[0] >= 0xC2 && !deleted) &&
          !(got > 0 && deleted && entry[0] >= 0x42 && entry[0] < 0x80)) {
        reader.PushBack(entry);
        broken = true;
        break;
      }
      std::copy(entry.begin(), entry.end(), set.begin() + 32 * (got + 1));
      ++got;
    }
    if (got == 0) continue;
    const ByteSpan s(set.data(), 32 * (got + 1));
    TExFATEntrySet result;
    result.Deleted = deleted;
    result.Attributes = Le16(s, kExFATAttributes);
    TEntry primary{};
    std::copy(set.begin(), set.begin() + 32, primary.begin());
    result.Times = TimesOf(primary);
    result.Flags = set[32 + kExFATStreamFlags];
    result.FirstCluster = Le32(s, 32 + kExFATFirstCluster);
    result.DataLength = Le64(s, 32 + kExFATDataLength);
    result.ValidDataLength = std::min(Le64(s, 32 + kExFATValidDataLength), result.DataLength);
    // A deleted set was summed while it was in use.
    std::array<std::uint8_t, 32 * (kExFATMaxSecondary + 1)> live = set;
    for (std::uint32_t i = 0; deleted && i <= got; ++i) live[32 * i] |= kExFATInUse;
    result.ChecksumOk = !broken && ExFATSetChecksum(live.data(), got + 1) == Le16(s, kExFATSetChecksum);
    if (!result.ChecksumOk && !deleted)
      DebugMessage(Format("exFAT: 目录项集校验和错误 (cluster %u)", result.FirstCluster), 3);
    // The name: as many units as the stream says, from the name entries there are.
    std::uint32_t length = set[32 + kExFATNameLength];
    if (length > kExFATMaxNameLength) length = kExFATMaxNameLength;
    const std::uint32_t names = got - 1;
    length = std::min(length, names * kExFATUnitsPerNameEntry);
    std::array<std::uint16_t, kExFATMaxSecondary * kExFATUnitsPerNameEntry> units{};
    for (std::uint32_t i = 0; i < length; ++i)
      units[i] = Le16(s, 64 + 32 * (i / kExFATUnitsPerNameEntry) + kExFATNameUnits + 2 * (i % kExFATUnitsPerNameEntry));
    result.Name = WideToUtf8(units.data(), length);
    if (result.Name.empty()) result.Name = Format("_%u", result.FirstCluster);
    if (!callback(result)) return;
  }
}

bool IsExFATDirectoryCluster(TExFATdrive& drive, std::uint32_t cluster) {
  if (!drive.GeometryValid || !drive.IsValidCluster(cluster)) return false;
  // Two sectors hold a set of up to 19 entries with 512-byte sectors.
  const std::uint32_t sectors = std::min<std::uint32_t>(drive.SectorsPerCluster, 2);
  std::vector<std::uint8_t> data(std::size_t{sectors} * drive.BytesPerSector);
  if (!drive.ReadSectors(drive.ClusterToSector(cluster), static_cast<std::uint16_t>(sectors), false, data.data()))
    return false;
  const std::uint8_t type = data[0];
  if (type == kExFATBitmapEntry || type == kExFATUpcaseEntry || type == kExFATLabelEntry) {
    // A root: its bitmap entry names a cluster of the volume.
    for (std::size_t at = 0; at + 32 <= data.size() && data[at] != 0; at += 32)
      if (data[at] == kExFATBitmapEntry) return drive.IsValidCluster(Le32(ByteSpan(data), at + kExFATFirstCluster));
    return false;
  }
  if (type != kExFATFileEntry && type != kExFATDeletedFile) return false;
  const bool deleted = type == kExFATDeletedFile;
  const std::uint32_t secondary = data[kExFATSecondaryCount];
  if (secondary < kExFATMinSecondary || secondary > kExFATMaxSecondary) return false;
  const std::size_t bytes = 32 * std::size_t{secondary + 1};
  if (data.size() >= 64 && data[32] != (deleted ? kExFATDeletedStream : kExFATStreamEntry)) return false;
  if (data.size() >= 96 && data[64] != (deleted ? kExFATDeletedName : kExFATNameEntry)) return false;
  if (bytes > data.size()) return true;
  // A deleted set was summed while it was in use.
  for (std::size_t at = 0; deleted && at < bytes; at += 32) data[at] |= kExFATInUse;
  return ExFATSetChecksum(data.data(), secondary + 1) == Le16(ByteSpan(data), kExFATSetChecksum);
}

void TExFATDirectory::ReadSpecialEntries(TSpecialEntries& special) {
  ForEachSet(false, [](const TExFATEntrySet&) { return true; }, &special);
}

void TExFATDirectory::LoadChildren(bool includeDeleted, bool onlyDeleted) {
  TExFATdrive& drive = *ExFATDrive();
  Items = std::make_unique<TItemList>();
  // A deleted folder's own entries are deleted too: everything in it is shown.
  const bool skipLive = includeDeleted && onlyDeleted && Status != isDeleted;
  ForEachSet(includeDeleted, [&](const TExFATEntrySet& set) {
    const std::uint8_t condition = set.Deleted ? ConditionOf(drive, set) : static_cast<std::uint8_t>(ccNone);
    if (set.Attributes & kExFATAttrDirectory) {
      auto folder = std::make_unique<TExFATDirectory>();
      folder->Drive = &drive;
      folder->StartCluster = drive.IsValidCluster(set.FirstCluster) ? set.FirstCluster : 0;
      folder->NoFatChain = (set.Flags & kExFATNoFatChain) != 0;
      folder->DataLength = set.DataLength;
      folder->Times = set.Times;
      folder->Time = ExFATTime(set.Times.Modify);
      folder->Date = ExFATDate(set.Times.Modify);
      folder->Name = set.Name;
      folder->Status = set.Deleted ? isDeleted : isNormal;
      folder->Condition = condition;
      folder->Parent = this;
      Items->push_back(std::move(folder));
      return true;
    }
    if (skipLive && !set.Deleted) return true;
    auto file = std::make_unique<TExFATFile>();
    file->Drive = &drive;
    file->StartCluster = set.FirstCluster;
    file->Attributes = set.Attributes;
    file->Attr = static_cast<std::uint8_t>(set.Attributes);
    file->NoFatChain = (set.Flags & kExFATNoFatChain) != 0;
    file->DataLength = set.DataLength;
    file->ValidDataLength = set.ValidDataLength;
    if (set.DataLength > 0xFFFFFFFFu)
      DebugMessage(Format("exFAT: %s: %llu 字节, 只读取前 4 GiB", set.Name.c_str(),
                          static_cast<unsigned long long>(set.DataLength)),
                   1);
    file->Size = SizeOf(set.DataLength);
    file->Times = set.Times;
    file->Time = ExFATTime(set.Times.Modify);
    file->Date = ExFATDate(set.Times.Modify);
    file->Name = set.Name;
    file->Parent = this;
    file->Status = set.Deleted ? isDeleted : isNormal;
    file->Condition = condition;
    drive.NoteFile(set.FirstCluster, file->NoFatChain, set.ValidDataLength, !set.Deleted);
    Items->push_back(std::move(file));
    return true;
  });
}

bool TExFATDirectory::ProbeSubDirs(bool includeDeleted) {
  bool found = false;
  ForEachSet(includeDeleted, [&](const TExFATEntrySet& set) {
    found = (set.Attributes & kExFATAttrDirectory) != 0;
    return !found;
  });
  return found;
}

}  // namespace vantrel
