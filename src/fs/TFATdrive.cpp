#include "fs/TFATdrive.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/CodePage.h"
#include "common/DebugLog.h"
#include "devices/TDevice.h"
#include "fs/FATBlocks.h"
#include "fs/TFATDirectory.h"
#include "host/UserInterface.h"

namespace vantrel {
namespace {

// The largest cluster count a FAT32 volume can address.
constexpr std::uint32_t kMaxFAT32Clusters = 0x0FFFFFF5;

}  // namespace

TFATdrive::TFATdrive() = default;
TFATdrive::~TFATdrive() = default;

TFATDirectory* TFATdrive::Root() const { return static_cast<TFATDirectory*>(RootDir.get()); }
TFATDirectory* TFATdrive::Deleted() const { return static_cast<TFATDirectory*>(DeletedDir.get()); }
TFATDirectory* TFATdrive::Lost() const { return static_cast<TFATDirectory*>(LostDir.get()); }
TFATDirectory* TFATdrive::Search() const { return static_cast<TFATDirectory*>(SearchDir.get()); }

bool TFATdrive::ReadSectors(std::uint32_t firstSector, std::uint16_t count, bool prompt, void* buffer) {
  if (!Device) return false;
  const std::uint64_t scale = deviceSectorsPerSector_;
  // A start read from a disk can be anything: past the last sector
  // number there is nothing to read.
  const std::uint64_t offset = static_cast<std::uint64_t>(firstSector) * scale;
  if (StartSector > ~std::uint64_t{0} - offset - 0x10000 * scale) return false;
  std::uint64_t device = StartSector + offset;
  std::uint64_t remaining = count * scale;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (remaining > 0) {
    const auto n = static_cast<std::uint16_t>(std::min<std::uint64_t>(remaining, 0x8000));
    if (!Device->ReadSectors(device, n, prompt, out)) return false;
    out += static_cast<std::size_t>(n) * Device->BytesPerSector;
    device += n;
    remaining -= n;
  }
  return true;
}

bool TFATdrive::ReadVolumeSector(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t sectors) {
  return ReadSectors(sector, static_cast<std::uint16_t>(sectors), true, buffer);
}

bool TFATdrive::HasUnreadableSectors(std::uint32_t firstSector, std::uint32_t count) const {
  if (!Device) return false;
  const std::uint64_t scale = deviceSectorsPerSector_;
  return Device->HasUnreadableSectors(StartSector + std::uint64_t{firstSector} * scale, std::uint64_t{count} * scale);
}

namespace {
constexpr std::uint32_t kFATWindowSectors = 64;
}  // namespace

bool TFATdrive::ReadFATWindow(std::uint32_t sector, std::uint32_t copy, std::uint8_t* buffer) {
  const std::uint64_t copyStart = std::uint64_t{ReservedSectors} + std::uint64_t{copy} * FATSize;
  return ReadThroughWindow(fatWindow_, copyStart, FATSize, sector, buffer);
}

bool TFATdrive::ReadThroughWindow(TFATWindow& w, std::uint64_t regionStart, std::uint64_t regionSize,
                                  std::uint32_t sector, std::uint8_t* buffer) {
  if (BytesPerSector == 0 || sector < regionStart || sector >= regionStart + regionSize) return false;
  const std::size_t bytes = BytesPerSector;
  if (w.Device != Device || w.Count == 0 || sector < w.First || sector - w.First >= w.Count) {
    // Windows start at multiples of their size within the region and end with it.
    const std::uint64_t first = regionStart + (sector - regionStart) / kFATWindowSectors * kFATWindowSectors;
    const std::uint64_t count = std::min<std::uint64_t>(kFATWindowSectors, regionStart + regionSize - first);
    if (first + count > 0xFFFFFFFFull) return false;
    w.Count = 0;
    w.Data.resize(static_cast<std::size_t>(count) * bytes);
    w.Readable.assign(static_cast<std::size_t>(count), true);
    if (!ReadSectors(static_cast<std::uint32_t>(first), static_cast<std::uint16_t>(count), false, w.Data.data())) {
      // The sectors that failed are known now, and the others were read;
      // a read that failed without naming any sector gives nothing.
      bool named = false;
      for (std::uint32_t i = 0; i < count; ++i)
        if (HasUnreadableSectors(static_cast<std::uint32_t>(first) + i, 1)) {
          w.Readable[i] = false;
          named = true;
        }
      if (!named) return false;
    }
    w.First = static_cast<std::uint32_t>(first);
    w.Count = static_cast<std::uint32_t>(count);
    w.Device = Device;
  }
  const std::uint32_t i = sector - w.First;
  if (!w.Readable[i]) return false;
  std::memcpy(buffer, w.Data.data() + static_cast<std::size_t>(i) * bytes, bytes);
  return true;
}

bool TFATdrive::ReadFATSector(std::uint32_t sector, std::uint32_t copy, std::uint8_t* buffer) {
  if (ReadFATWindow(sector, copy, buffer)) return true;
  if (ReadSectors(sector, 1, false, buffer)) return true;
  const std::uint32_t copies = std::min<std::uint32_t>(NumberOfFATs, kMaxFATCopiesProbed);
  const std::uint64_t base = std::uint64_t{sector} - std::uint64_t{copy} * FATSize;
  for (std::uint32_t other = 0; other < copies; ++other) {
    if (other == copy) continue;
    const std::uint64_t at = base + std::uint64_t{other} * FATSize;
    if (at >= 0xFFFFFFFFull) break;
    if (ReadSectors(static_cast<std::uint32_t>(at), 1, false, buffer)) {
      DebugMessage(Format("FAT %u 的扇区 %u 无法读取, 使用 FAT %u 中的同一扇区", copy + 1, sector, other + 1), 3);
      return true;
    }
  }
  // No copy holds it: the user decides (Retry reads it again; Ignore gives
  // zeros, which are no FAT entries).
  return ReadVolumeSector(sector, buffer) && !HasUnreadableSectors(sector, 1);
}

bool TFATdrive::Open(bool quiet) {
  GeometryValid = false;
  std::vector<std::uint8_t> sector(Device && Device->BytesPerSector ? Device->BytesPerSector : 512);
  bool read = Device && Device->ReadSectors(BootSector, 1, true, sector.data());
  if (read) {
    DebugHexDump(sector.data(), std::min<std::size_t>(sector.size(), 512));
    std::memcpy(BootRecord.data(), sector.data(), BootRecord.size());
  }
  // The top folders exist even for a volume whose boot sector was refused,
  // so that the window can show it (empty) like any other.
  const bool ok = read && ComputeGeometry(quiet);
  CreateTopFolders();
  return ok;
}

bool TFATdrive::ComputeGeometry(bool quiet) {
  GeometryValid = false;
  if (!DeriveLayout()) {
    if (!quiet) ShowMessageBox("从引导扇区计算逻辑驱动器的信息参数错误", "错误", TMsgType::mtInformation);
    return false;
  }
  if (!quiet) ReportOddFields();
  fatCache_.assign(2 * static_cast<std::size_t>(BytesPerSector), 0);
  dirCache_.assign(BytesPerSector, 0);
  dataCache_.assign(BytesPerSector, 0);
  fatCacheValid_ = dirCacheValid_ = dataCacheValid_ = false;
  fatWindow_ = dirWindow_ = TFATWindow{};
  FATChoice = 1;
  GeometryValid = true;
  Name = VolumeLabel();
  ChooseFAT();
  return true;
}

bool TFATdrive::DeriveLayout() {
  const ByteSpan b(BootRecord);
  BytesPerSector = Le16(b, kBpbBytesPerSector);
  SectorsPerCluster = b[kBpbSectorsPerCluster];
  ReservedSectors = Le16(b, kBpbReservedSectors);
  NumberOfFATs = b[kBpbNumberOfFATs];
  RootEntries = Le16(b, kBpbRootEntries);
  const std::uint32_t deviceSectorSize = Device && Device->BytesPerSector ? Device->BytesPerSector : 512;

  // A zero size divides by zero; a sector size the device cannot read whole
  // sectors of, or one a FAT volume never has, gives nothing readable.
  if (BytesPerSector == 0 || SectorsPerCluster == 0) return false;
  if (BytesPerSector < 512 || BytesPerSector > 4096 || (BytesPerSector & (BytesPerSector - 1)) != 0 ||
      BytesPerSector % deviceSectorSize != 0)
    return false;
  deviceSectorsPerSector_ = BytesPerSector / deviceSectorSize;

  RootDirSectors = (RootEntries * 32 + BytesPerSector - 1) / BytesPerSector;
  FATSize = Le16(b, kBpbFATSize16) ? Le16(b, kBpbFATSize16) : Le32(b, kBpbFATSize32);
  const std::uint64_t fatSectors = static_cast<std::uint64_t>(FATSize) * NumberOfFATs;
  const std::uint64_t firstData = fatSectors + ReservedSectors + RootDirSectors;
  TotalSectors = Le16(b, kBpbTotalSectors16) ? Le16(b, kBpbTotalSectors16) : Le32(b, kBpbTotalSectors32);
  // FATs and root area larger than the volume would wrap the data size.
  if (firstData > TotalSectors) return false;
  FATSectors = static_cast<std::uint32_t>(fatSectors);
  FirstDataSector = static_cast<std::uint32_t>(firstData);
  DataSectors = TotalSectors - FirstDataSector;
  ClusterCount = DataSectors / SectorsPerCluster;
  if (ClusterCount < 4085)
    FATType = ftFAT12;
  else if (ClusterCount < 65525)
    FATType = ftFAT16;
  else
    FATType = ftFAT32;
  if (FATType == ftFAT32 && ClusterCount > kMaxFAT32Clusters) ClusterCount = kMaxFAT32Clusters;

  BytesPerCluster = BytesPerSector * SectorsPerCluster;
  const std::uint32_t rootCluster = Le32(b, kBpbRootCluster32);
  RootCluster = FATType == ftFAT32 ? rootCluster : 0;
  RootSector = FATType == ftFAT32 ? ClusterToSector(rootCluster) : FATSectors + ReservedSectors;
  return true;
}

void TFATdrive::ReportOddFields() const {
  if (BytesPerCluster > 32768)
    ShowMessageBox("启动扇区参数错误: bytes per sector (" + std::to_string(BytesPerCluster) + ") > 32768 !",
                   "信息", TMsgType::mtInformation);
  if (FATType != ftFAT32) return;
  const std::uint32_t rootCluster = Le32(ByteSpan(BootRecord), kBpbRootCluster32);
  if (rootCluster > ClusterCount)
    ShowMessageBox("启动扇区参数错误:  root directory cluster (" + std::to_string(rootCluster) +
                       ") > count of clusters !",
                   "信息", TMsgType::mtInformation);
  else if (rootCluster < 2)
    ShowMessageBox("启动扇区参数错误:  root directory cluster (" + std::to_string(rootCluster) + ") < 2 !",
                   "信息", TMsgType::mtInformation);
}

std::string TFATdrive::VolumeLabel() const {
  const std::size_t labelAt = FATType == ftFAT32 ? kBpbVolumeLabel32 : kBpbVolumeLabel16;
  std::size_t labelLength = 0;
  while (labelLength < 11 && BootRecord[labelAt + labelLength] != 0) ++labelLength;
  return OemToUtf8(BootRecord.data() + labelAt, labelLength, OemCodePage());
}

// The FAT copy to follow: the first one that describes files, preferring a
// copy whose first entry still carries the media byte. A volume has no FAT
// only when no copy holds a single chain: a freshly formatted volume, or one
// whose FATs were all wiped.
void TFATdrive::ChooseFAT() {
  Flags &= static_cast<std::uint8_t>(~dfNoFAT);  // a second opening judges again
  FATChoiceNote.clear();
  FATChoice = 1;
  // A boot sector may claim up to 255 copies; real volumes have one or two.
  const std::uint32_t copies = std::min<std::uint32_t>(NumberOfFATs, kMaxFATCopiesProbed);
  std::uint32_t chosen = 0;
  for (const bool withMedia : {true, false}) {
    for (std::uint32_t copy = 0; copy < copies && chosen == 0; ++copy)
      if (FATCopyHoldsChains(copy, withMedia)) chosen = copy + 1;
    if (chosen) break;
  }
  if (chosen == 0) {
    Flags |= dfNoFAT;
    FATChoice = 0;
    // The flag says it; the log says why.
    DebugMessage(Name + ": 没有包含簇链的FAT (空或无法读取), 按连续簇读取", 1);
  } else if (chosen > 1) {
    FATChoice = static_cast<std::uint8_t>(chosen);
    FATChoiceNote = Format("FAT 1 为空或已损坏, 使用包含簇链的 FAT %u", chosen);
  }
  if (!FATChoiceNote.empty()) DebugMessage(Name + ": " + FATChoiceNote, 1);
}

bool TFATdrive::FATCopyHoldsChains(std::uint32_t copy, bool withMedia) {
  if (!GeometryValid || copy >= NumberOfFATs || FATSize == 0) return false;
  // Bytes of the copy that hold entries 0 to MaxCluster, inside its FATSize sectors.
  std::uint64_t bytes;
  switch (FATType) {
    case ftFAT16: bytes = (std::uint64_t{MaxCluster()} + 1) * 2; break;
    case ftFAT32: bytes = (std::uint64_t{MaxCluster()} + 1) * 4; break;
    default: bytes = (std::uint64_t{MaxCluster()} + 1) * 3 / 2 + 1; break;
  }
  bytes = std::min<std::uint64_t>(bytes, std::uint64_t{FATSize} * BytesPerSector);
  std::uint64_t sectors = (bytes + BytesPerSector - 1) / BytesPerSector;
  const std::uint64_t firstSector = ReservedSectors + std::uint64_t{copy} * FATSize;
  // A boot sector may claim a FAT far larger than its device: what lies past
  // the device's end is not read (each failed piece would be tried sector by
  // sector) and holds no chain.
  if (Device && Device->TotalSectors != 0) {
    const std::uint64_t deviceSectors = Device->TotalSectors > StartSector ? Device->TotalSectors - StartSector : 0;
    const std::uint64_t onDevice = deviceSectors / std::max<std::uint64_t>(deviceSectorsPerSector_, 1);
    if (firstSector >= onDevice) return false;
    sectors = std::min(sectors, onDevice - firstSector);
  }
  // Pieces of a multiple of three sectors: a FAT12 entry pair (three bytes)
  // never straddles two pieces.
  constexpr std::uint32_t kPieceSectors = 48;
  std::vector<std::uint8_t> piece(std::size_t{kPieceSectors} * BytesPerSector);
  for (std::uint64_t done = 0; done < sectors; done += kPieceSectors) {
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPieceSectors, sectors - done));
    const std::uint64_t at = firstSector + done;
    if (at + count > 0xFFFFFFFFull) return false;
    if (!ReadSectors(static_cast<std::uint32_t>(at), static_cast<std::uint16_t>(count), false, piece.data())) {
      // Only the bad sectors of the piece count as empty.
      for (std::uint32_t i = 0; i < count; ++i)
        if (!ReadSectors(static_cast<std::uint32_t>(at + i), 1, false, piece.data() + std::size_t{i} * BytesPerSector))
          std::fill_n(piece.begin() + static_cast<std::ptrdiff_t>(std::size_t{i} * BytesPerSector), BytesPerSector, 0);
    }
    const ByteSpan p(piece.data(), std::size_t{count} * BytesPerSector);
    const std::uint64_t pieceStart = done * BytesPerSector;
    const std::uint64_t pieceEnd = std::min<std::uint64_t>(pieceStart + p.size(), bytes);
    // Entries whose bytes lie wholly in this piece.
    std::uint64_t cluster = FATType == ftFAT32 ? pieceStart / 4 : FATType == ftFAT16 ? pieceStart / 2 : pieceStart / 3 * 2;
    for (;; ++cluster) {
      const std::uint64_t offset = FATType == ftFAT32 ? cluster * 4 : FATType == ftFAT16 ? cluster * 2 : cluster + cluster / 2;
      if (offset + FATEntryWidth(FATType) > pieceEnd) break;
      const std::uint32_t value =
          DecodeFATEntry(p.data() + (offset - pieceStart), static_cast<std::uint32_t>(cluster), FATType);
      if (cluster == 0) {
        // Entry 0: the media byte with every higher bit set.
        if (withMedia && !IsMediaEntry(value)) return false;
        continue;
      }
      if (cluster < 2 || cluster == RootCluster) continue;
      if (cluster > MaxCluster()) break;
      const TFATEntryKind kind = ClassifyEntry(FATType, value);
      if (kind == feEndOfChain || (kind == feUsed && IsValidCluster(value))) return true;
    }
  }
  return false;
}

bool TFATdrive::IsMediaEntry(std::uint32_t value) const {
  std::uint32_t high;
  switch (FATType) {
    case ftFAT16: high = 0xFF00; break;
    case ftFAT32: high = 0x0FFFFF00; break;
    default: high = 0xF00; break;
  }
  if (value < high) return false;
  const std::uint32_t media = value - high;
  return media == 0xF0 || (media >= 0xF8 && media <= 0xFF);
}

bool TFATdrive::LimitSectors(std::uint32_t sectors) {
  if (!GeometryValid || sectors >= TotalSectors || SectorsPerCluster == 0) return false;
  const std::uint64_t smallest = FirstDataSector + std::uint64_t{MinClusterCount(FATType)} * SectorsPerCluster;
  if (sectors < smallest) sectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(smallest, TotalSectors));
  if (sectors >= TotalSectors) return false;
  if (FATType != ftFAT32 && sectors <= 0xFFFF) {
    BootRecord[kBpbTotalSectors16] = static_cast<std::uint8_t>(sectors);
    BootRecord[kBpbTotalSectors16 + 1] = static_cast<std::uint8_t>(sectors >> 8);
    std::fill_n(BootRecord.begin() + kBpbTotalSectors32, 4, 0);
  } else {
    BootRecord[kBpbTotalSectors16] = BootRecord[kBpbTotalSectors16 + 1] = 0;
    for (int i = 0; i < 4; ++i) BootRecord[kBpbTotalSectors32 + i] = static_cast<std::uint8_t>(sectors >> (8 * i));
  }
  const std::string name = Name;
  ComputeGeometry(true);
  Name = name;
  if (SectorCount > TotalSectors) SectorCount = TotalSectors;
  return true;
}

void TFATdrive::CreateTopFolders() {
  auto make = [this](const char* name, std::uint32_t cluster, std::uint32_t sector, bool withList) {
    auto d = std::make_unique<TFATDirectory>();
    d->Drive = this;
    d->Name = name;
    d->StartCluster = cluster;
    d->Sector = sector;
    if (withList) d->Items = std::make_unique<TItemList>();
    return d;
  };
  RootDir = make("根目录", RootCluster, RootSector, false);
  DeletedDir = make("删除", RootCluster, RootSector, false);
  LostDir = make("丢失", 0, 0, true);
  SearchDir = make("搜索", 0, 0, true);
}

std::uint32_t TFATdrive::ClusterToSector(std::uint32_t cluster) const {
  return (cluster - 2) * SectorsPerCluster + FirstDataSector;
}

std::uint32_t TFATdrive::GetFATEntry(std::uint32_t cluster, std::uint32_t copy) {
  if (!GeometryValid) return 0;
  if (!IsValidCluster(cluster)) {
    DebugMessage(Format("获取FAT错误, 参数错误: N %u (valid range is 2-%u)", cluster, ClusterCount + 1), 3);
    return 0;
  }
  const std::uint64_t offset = FATEntryOffset(cluster, FATType);
  const std::uint64_t width = FATEntryWidth(FATType);
  // A copy the boot sector does not count, or an entry that does not fit in
  // a copy's FATSize sectors, is none: what lies there is the next copy, the
  // root area or data.
  if (copy >= NumberOfFATs || (offset + width - 1) / BytesPerSector >= FATSize) return 0;
  const std::uint64_t sector64 = offset / BytesPerSector + static_cast<std::uint64_t>(copy) * FATSize + ReservedSectors;
  if (sector64 >= 0xFFFFFFFFull) return 0;
  const auto sector = static_cast<std::uint32_t>(sector64);
  if (!fatCacheValid_ || fatCacheSector_ != sector) {
    fatCacheValid_ = false;
    if (!ReadFATSector(sector, copy, fatCache_.data())) {
      fatReadFailed_ = true;
      fatFailedSector_ = sector;
      return 0;
    }
    fatCacheValid_ = true;
    fatCacheSector_ = sector;
  }
  const auto position = static_cast<std::size_t>(offset % BytesPerSector);
  // A FAT12 entry can straddle two sectors: the next one goes right behind
  // (the cache holds two sectors for it).
  if (FATType == ftFAT12 && position == BytesPerSector - 1u &&
      !ReadFATSector(sector + 1, copy, fatCache_.data() + BytesPerSector)) {
    fatReadFailed_ = true;
    fatFailedSector_ = sector + 1;
    return 0;
  }
  return DecodeFATEntry(fatCache_.data() + position, cluster, FATType);
}

bool TFATdrive::IsEndOfChain(std::uint32_t value) const { return ClassifyEntry(FATType, value) == feEndOfChain; }

std::uint32_t TFATdrive::NextFreeCluster(std::uint32_t cluster) {
  if (Flags & dfNoFAT) return IsValidCluster(cluster + 1) ? cluster + 1 : 0;
  for (std::uint32_t c = cluster + 1; IsValidCluster(c); ++c)
    if (ClassifyEntry(FATType, GetFATEntry(c, 0)) == feFree) return c;
  return 0;
}

std::uint32_t TFATdrive::NextCluster(std::uint32_t cluster, std::uint8_t fatChoice) {
  if (fatChoice == kFATChoiceFree) return NextFreeCluster(cluster);
  const std::uint32_t next = fatChoice >= 1 ? GetFATEntry(cluster, fatChoice - 1u) : cluster + 1;
  if (IsEndOfChain(next) || !IsValidCluster(next)) return 0;
  return next;
}

// Steps a directory cursor to its next cluster; false at the end of the
// chain, at a cluster out of range and where the chain comes back on itself.
bool TFATdrive::StepCluster(TChainCursor& cursor, const char* context, bool entries) {
  if (cursor.Visited.empty()) cursor.Visited.insert(cursor.Cluster);
  fatReadFailed_ = false;
  std::uint32_t next;
  bool guessed = false;  // the next cluster comes from no chain
  // "free clusters only" is for deleted and lost folders: a cluster that the
  // first FAT copy gives to a chain belongs to a live folder, which goes on
  // through its chain whatever the choice.
  const std::uint32_t own = FATChoice == kFATChoiceFree && !(Flags & dfNoFAT) ? GetFATEntry(cursor.Cluster, 0) : 0;
  const TFATEntryKind ownKind = ClassifyEntry(FATType, own);
  if (FATChoice == kFATChoiceFree && (ownKind == feUsed || ownKind == feEndOfChain) && !fatReadFailed_) {
    next = own;
  } else if (FATChoice == kFATChoiceFree) {
    next = NextFreeCluster(cursor.Cluster);
    if (next == 0 && !fatReadFailed_) return false;
    guessed = true;
  } else {
    next = FATChoice >= 1 ? GetFATEntry(cursor.Cluster, FATChoice - 1u) : cursor.Cluster + 1;
    guessed = FATChoice == 0;
  }
  if (fatReadFailed_) return ChainReadFailed(cursor, fatFailedSector_);
  if (IsEndOfChain(next)) return false;
  if (!IsValidCluster(next)) {
    if (next > MaxCluster()) DebugMessage(Format(context, next, MaxCluster()), 3);
    return false;
  }
  if (entries && guessed && !ContinuesFolder(next)) return false;
  if (!cursor.Visited.insert(next).second || cursor.Visited.size() > ClusterCount) {
    DebugMessage(Format("簇链循环: cluster %u", next), 3);
    return false;
  }
  cursor.Cluster = next;
  return true;
}

// Without a chain to tell, the cluster after a folder's is its continuation
// only when it reads as one: directory entries that pass the test, and not
// another folder's first cluster with its own "." and "..". Otherwise the
// folder ends, and the cluster stands as what it is.
bool TFATdrive::ContinuesFolder(std::uint32_t cluster) {
  // A cluster that cannot be read proves nothing: the folder ends before it.
  // (Taken as a continuation, a walk that skips unreadable sectors would go
  // on over every cluster past the end of a disk that claims more.)
  if (!LoadDirSector(ClusterToSector(cluster))) return false;
  std::uint32_t dot = 0;
  const std::size_t size = std::min<std::size_t>(BytesPerSector, 512);
  return !HasDotEntries(dirCache_.data(), size, dot) &&
         IsDirectorySector(dirCache_.data(), size, ClusterCount, DataSectors);
}

bool TFATdrive::ChainReadFailed(TChainCursor& cursor, std::uint32_t sector) {
  if (!cursor.ReadFailed) {
    cursor.ReadFailed = true;
    ++ChainReadFailures;
    DebugMessage(Format("簇链读取中断: 扇区 %u 无法读取 (cluster %u), 列表不完整", sector, cursor.Cluster), 3);
  }
  return false;
}

bool TFATdrive::LoadDirSector(std::uint32_t sector, bool walk) {
  if (dirCacheValid_ && dirCacheSector_ == sector) return true;
  dirCacheValid_ = false;
  bool read = false;
  if (walk && SectorsPerCluster != 0) {
    if (sector >= FirstDataSector)
      read = ReadThroughWindow(dirWindow_,
                               FirstDataSector + (sector - FirstDataSector) / SectorsPerCluster * SectorsPerCluster,
                               SectorsPerCluster, sector, dirCache_.data());
    else if (RootDirSectors != 0)
      read = ReadThroughWindow(dirWindow_, FirstDataSector - RootDirSectors, RootDirSectors, sector, dirCache_.data());
  }
  // A sector the window could not give goes the one-sector way, to the
  // user; an Ignore answer gives zeros, which would end the folder there.
  if (!read && (!ReadVolumeSector(sector, dirCache_.data()) || HasUnreadableSectors(sector, 1))) return false;
  dirCacheValid_ = true;
  dirCacheSector_ = sector;
  return true;
}

// Whether the cursor names a directory: a cluster of the volume, or on
// FAT12/16 with cluster 0 the fixed root area. FAT32 has none; cluster 0
// names nothing there.
bool TFATdrive::CanReadChain(const TChainCursor& cursor, const char* context) const {
  if (!GeometryValid) return false;
  if (cursor.Cluster == 1 || cursor.Cluster > MaxCluster()) {
    DebugMessage(Format(context, cursor.Cluster, MaxCluster()), 3);
    return false;
  }
  return cursor.Cluster != 0 || FATType != ftFAT32;
}

bool TFATdrive::ReadChainSector(TChainCursor& cursor, std::uint8_t* buffer) {
  static const char* kContext = "扇区数据读取错误, 参数错误: cluster %u (valid range is 0-%u)";
  if (!CanReadChain(cursor, kContext)) return false;
  std::uint32_t sector;
  if (cursor.Cluster != 0) {
    if (cursor.Index >= SectorsPerCluster) {
      if (!StepCluster(cursor, kContext)) return false;
      cursor.Index = 0;
    }
    sector = ClusterToSector(cursor.Cluster) + cursor.Index;
  } else {
    if (cursor.Index != 0) {
      cursor.Index = 0;
      ++cursor.Sector;
    }
    // The fixed root area ends where the data area begins.
    if (cursor.RootAreaStarted && cursor.Sector >= FirstDataSector) return false;
    cursor.RootAreaStarted = true;
    sector = cursor.Sector;
  }
  if (!LoadDirSector(sector, true)) return ChainReadFailed(cursor, sector);
  std::memcpy(buffer, dirCache_.data(), BytesPerSector);
  ++cursor.Index;
  return true;
}

bool TFATdrive::ReadChainEntry(TChainCursor& cursor, std::uint8_t* entry) {
  static const char* kContext = "获取下个记录错误, 参数错误: cluster %u (valid range is 0-%u)";
  if (!CanReadChain(cursor, kContext)) return false;
  const std::uint32_t perSector = BytesPerSector / 32;
  std::uint32_t sector;
  // A sector of the folder that cannot be read costs only its own entries:
  // the walk goes on with the next sector, and the cursor tells that what it
  // gave is not all there is.
  for (;;) {
    if (cursor.Cluster != 0) {
      if (cursor.Index >= BytesPerCluster / 32) {
        if (!StepCluster(cursor, kContext, true)) return false;
        cursor.Index = 0;
      }
      sector = ClusterToSector(cursor.Cluster) + cursor.Index / perSector;
    } else {
      if (cursor.Index >= perSector) {
        cursor.Index = 0;
        ++cursor.Sector;
      }
      if (cursor.RootAreaStarted && cursor.Index == 0 && cursor.Sector >= FirstDataSector) return false;
      cursor.RootAreaStarted = true;
      sector = cursor.Sector;
    }
    if (LoadDirSector(sector, true)) break;
    ChainReadFailed(cursor, sector);
    if (!cursor.SkipUnreadable) return false;
    cursor.Index = cursor.Cluster != 0 ? (cursor.Index / perSector + 1) * perSector : perSector;
  }
  std::memcpy(entry, dirCache_.data() + (cursor.Index % perSector) * 32, 32);
  ++cursor.Index;
  return true;
}

void TFATdrive::KeepDataSector(std::uint32_t sector, const std::uint8_t* data) {
  std::memcpy(dataCache_.data(), data, dataCache_.size());
  dataCacheValid_ = true;
  dataCacheSector_ = sector;
}

const std::uint8_t* TFATdrive::ReadDataSector(std::uint32_t sector, bool& ok) {
  ok = true;
  if (dataCacheValid_ && dataCacheSector_ == sector) return dataCache_.data();
  dataCacheValid_ = false;
  if (!ReadVolumeSector(sector, dataCache_.data())) {
    ok = false;
    return nullptr;
  }
  dataCacheValid_ = true;
  dataCacheSector_ = sector;
  return dataCache_.data();
}

}  // namespace vantrel
