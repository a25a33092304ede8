#include "fs/TFATdrive.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/CodePage.h"
#include "common/DebugLog.h"
#include "devices/TDevice.h"
#include "fs/TFATDirectory.h"
#include "host/UserInterface.h"

namespace vantrel {
namespace {

// Offsets in the boot sector.
constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kReservedSectors = 14;
constexpr std::size_t kNumberOfFATs = 16;
constexpr std::size_t kRootEntries = 17;
constexpr std::size_t kTotalSectors16 = 19;
constexpr std::size_t kFATSize16 = 22;
constexpr std::size_t kTotalSectors32 = 32;
constexpr std::size_t kFATSize32 = 36;
constexpr std::size_t kLabel16 = 43;
constexpr std::size_t kRootCluster32 = 44;
constexpr std::size_t kLabel32 = 71;

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
  std::uint64_t device = StartSector + static_cast<std::uint64_t>(firstSector) * scale;
  std::uint64_t remaining = count * scale;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (remaining > 0) {
    if (device > 0xFFFFFFFFull) return false;  // beyond a 32-bit sector address
    const auto n = static_cast<std::uint16_t>(std::min<std::uint64_t>(remaining, 0x8000));
    if (!Device->ReadSectors(static_cast<std::uint32_t>(device), n, prompt, out)) return false;
    out += static_cast<std::size_t>(n) * Device->BytesPerSector;
    device += n;
    remaining -= n;
  }
  return true;
}

bool TFATdrive::ReadVolumeSector(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t sectors) {
  return ReadSectors(sector, static_cast<std::uint16_t>(sectors), true, buffer);
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
  const ByteSpan b(BootRecord);
  BytesPerSector = Le16(b, kBytesPerSector);
  SectorsPerCluster = b[kSectorsPerCluster];
  ReservedSectors = Le16(b, kReservedSectors);
  NumberOfFATs = b[kNumberOfFATs];
  RootEntries = Le16(b, kRootEntries);
  const std::uint32_t deviceSectorSize = Device && Device->BytesPerSector ? Device->BytesPerSector : 512;

  auto fault = [&] {
    if (!quiet)
      ShowMessageBox("从引导扇区计算逻辑驱动器的信息参数错误", "错误", TMsgType::mtInformation);
    return false;
  };
  // A zero size divides by zero; a sector size the device cannot read whole
  // sectors of, or one a FAT volume never has, gives nothing readable.
  if (BytesPerSector == 0 || SectorsPerCluster == 0) return fault();
  if (BytesPerSector < 512 || BytesPerSector > 4096 || (BytesPerSector & (BytesPerSector - 1)) != 0 ||
      BytesPerSector % deviceSectorSize != 0)
    return fault();
  deviceSectorsPerSector_ = BytesPerSector / deviceSectorSize;

  RootDirSectors = (RootEntries * 32 + BytesPerSector - 1) / BytesPerSector;
  FATSize = Le16(b, kFATSize16) ? Le16(b, kFATSize16) : Le32(b, kFATSize32);
  const std::uint64_t fatSectors = static_cast<std::uint64_t>(FATSize) * NumberOfFATs;
  const std::uint64_t firstData = fatSectors + ReservedSectors + RootDirSectors;
  TotalSectors = Le16(b, kTotalSectors16) ? Le16(b, kTotalSectors16) : Le32(b, kTotalSectors32);
  // FATs and root area larger than the volume would wrap the data size.
  if (firstData > TotalSectors) return fault();
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
  if (!quiet && BytesPerCluster > 32768)
    ShowMessageBox("启动扇区参数错误: bytes per sector (" + std::to_string(BytesPerCluster) + ") > 32768 !",
                   "信息", TMsgType::mtInformation);
  const std::uint32_t rootCluster = Le32(b, kRootCluster32);
  if (FATType == ftFAT32 && !quiet) {
    if (rootCluster > ClusterCount)
      ShowMessageBox("启动扇区参数错误:  root directory cluster (" + std::to_string(rootCluster) +
                         ") > count of clusters !",
                     "信息", TMsgType::mtInformation);
    else if (rootCluster < 2)
      ShowMessageBox("启动扇区参数错误:  root directory cluster (" + std::to_string(rootCluster) + ") < 2 !",
                     "信息", TMsgType::mtInformation);
  }
  RootCluster = FATType == ftFAT32 ? rootCluster : 0;
  RootSector = FATType == ftFAT32 ? ClusterToSector(rootCluster) : FATSectors + ReservedSectors;

  fatCache_.assign(2 * static_cast<std::size_t>(BytesPerSector), 0);
  dirCache_.assign(BytesPerSector, 0);
  dataCache_.assign(BytesPerSector, 0);
  fatCacheValid_ = dirCacheValid_ = dataCacheValid_ = false;
  FATChoice = 1;
  GeometryValid = true;

  const std::size_t labelAt = FATType == ftFAT32 ? kLabel32 : kLabel16;
  std::size_t labelLength = 0;
  while (labelLength < 11 && BootRecord[labelAt + labelLength] != 0) ++labelLength;
  Name = OemToUtf8(BootRecord.data() + labelAt, labelLength, OemCodePage());

  // A FAT whose first entries are all free is of no use: a freshly
  // formatted volume, or one whose FAT was wiped. The root directory's own
  // entry does not count, a quick format writes it; any other cluster in use,
  // even as a one-cluster chain, shows a FAT that describes files.
  Flags &= static_cast<std::uint8_t>(~dfNoFAT);  // a second opening judges again
  bool usable = false;
  const std::uint32_t last = std::min<std::uint32_t>(16, ClusterCount + 1);
  for (std::uint32_t n = 2; n <= last && !usable; ++n) {
    if (n == RootCluster) continue;
    const TFATEntryKind kind = ClassifyEntry(FATType, GetFATEntry(n, 0));
    usable = kind == feUsed || kind == feEndOfChain;
  }
  if (!usable) {
    Flags |= dfNoFAT;
    FATChoice = 0;
  }
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
  std::uint64_t offset;
  std::uint32_t width;
  switch (FATType) {
    case ftFAT16: offset = static_cast<std::uint64_t>(cluster) * 2; width = 2; break;
    case ftFAT32: offset = static_cast<std::uint64_t>(cluster) * 4; width = 4; break;
    default: offset = cluster + cluster / 2; width = 2; break;
  }
  // A copy the boot sector does not count, or an entry that does not fit in
  // a copy's FATSize sectors, is none: what lies there is the next copy, the
  // root area or data.
  if (copy >= NumberOfFATs || (offset + width - 1) / BytesPerSector >= FATSize) return 0;
  const std::uint64_t sector64 = offset / BytesPerSector + static_cast<std::uint64_t>(copy) * FATSize + ReservedSectors;
  if (sector64 >= 0xFFFFFFFFull) return 0;
  const auto sector = static_cast<std::uint32_t>(sector64);
  if (!fatCacheValid_ || fatCacheSector_ != sector) {
    fatCacheValid_ = false;
    if (!ReadVolumeSector(sector, fatCache_.data())) return 0;
    fatCacheValid_ = true;
    fatCacheSector_ = sector;
  }
  const auto position = static_cast<std::size_t>(offset % BytesPerSector);
  const ByteSpan fat(fatCache_);
  switch (FATType) {
    case ftFAT16: return Le16(fat, position);
    case ftFAT32: return Le32(fat, position) & 0x0FFFFFFF;
    default: break;
  }
  // A FAT12 entry can straddle two sectors: the next one goes right behind.
  if (position == BytesPerSector - 1 && !ReadVolumeSector(sector + 1, fatCache_.data() + BytesPerSector))
    return 0;
  const std::uint16_t word = Le16(fat, position);
  return (cluster & 1) ? word >> 4 : word & 0xFFF;
}

bool TFATdrive::IsEndOfChain(std::uint32_t value) const { return ClassifyEntry(FATType, value) == feEndOfChain; }

std::uint32_t TFATdrive::NextCluster(std::uint32_t cluster, std::uint8_t fatChoice) {
  const std::uint32_t next = fatChoice >= 1 ? GetFATEntry(cluster, fatChoice - 1u) : cluster + 1;
  if (IsEndOfChain(next) || !IsValidCluster(next)) return 0;
  return next;
}

// Steps a directory cursor to its next cluster; false at the end of the
// chain, at a cluster out of range and where the chain comes back on itself.
bool TFATdrive::StepCluster(TChainCursor& cursor, const char* context) {
  if (cursor.Visited.empty()) cursor.Visited.insert(cursor.Cluster);
  const std::uint32_t next = FATChoice >= 1 ? GetFATEntry(cursor.Cluster, FATChoice - 1u) : cursor.Cluster + 1;
  if (IsEndOfChain(next)) return false;
  if (!IsValidCluster(next)) {
    if (next > MaxCluster()) DebugMessage(Format(context, next, MaxCluster()), 3);
    return false;
  }
  if (!cursor.Visited.insert(next).second || cursor.Visited.size() > ClusterCount) {
    DebugMessage(Format("簇链循环: cluster %u", next), 3);
    return false;
  }
  cursor.Cluster = next;
  return true;
}

bool TFATdrive::LoadDirSector(std::uint32_t sector) {
  if (dirCacheValid_ && dirCacheSector_ == sector) return true;
  dirCacheValid_ = false;
  if (!ReadVolumeSector(sector, dirCache_.data())) return false;
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
  if (!LoadDirSector(sector)) return false;
  std::memcpy(buffer, dirCache_.data(), BytesPerSector);
  ++cursor.Index;
  return true;
}

bool TFATdrive::ReadChainEntry(TChainCursor& cursor, std::uint8_t* entry) {
  static const char* kContext = "获取下个记录错误, 参数错误: cluster %u (valid range is 0-%u)";
  if (!CanReadChain(cursor, kContext)) return false;
  const std::uint32_t perSector = BytesPerSector / 32;
  std::uint32_t sector;
  if (cursor.Cluster != 0) {
    if (cursor.Index >= BytesPerCluster / 32) {
      if (!StepCluster(cursor, kContext)) return false;
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
  if (!LoadDirSector(sector)) return false;
  std::memcpy(entry, dirCache_.data() + (cursor.Index % perSector) * 32, 32);
  ++cursor.Index;
  return true;
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
