#include "analysis/TFATAnalyser.h"

#include "common/Bytes.h"

#include <algorithm>
#include <array>
#include <limits>

#include "common/DebugLog.h"
#include "common/Routines.h"
#include "devices/TDevice.h"

namespace vantrel {

namespace {

// The part of a FAT start that a copy must repeat, and how many bytes of it
// may differ (the copies of a live volume can lag by a few entries).
constexpr std::size_t kComparedBytes = 512;
constexpr std::size_t kCopyTolerance = 16;

// Largest cluster that a boot record can describe (its byte field).
constexpr std::uint32_t kMaxSectorsPerCluster = 128;

constexpr std::uint32_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

std::uint32_t ClampToU32(std::uint64_t value) { return value > kMaxU32 ? kMaxU32 : static_cast<std::uint32_t>(value); }

bool IsPowerOfTwo(std::uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

void TFATAnalyser::Start(TDevice* device) {
  SkipUntil = 0;
  Base = 0;
  Device = device;
  const std::size_t sectorSize = device && device->BytesPerSector ? device->BytesPerSector : 512;
  SavedFATSector.assign(std::max(sectorSize, kComparedBytes), 0);
  Reset();
}

void TFATAnalyser::Reset() {
  FATStart = 0;
  FATEnd = 0;
  FATCount = 0;
  FATSize = 0;
  FATType = ftNone;
  FATFound = false;
  DataFound = false;
  RootFound = false;
  SectorsPerCluster = 0;
  ClusterCount = 0;
  FirstDirCluster = 0;
  FirstDirSector = 0;
  DataStart = 0;
  DirRun = 0;
  RootSector = 0;
  RootCluster = 0;
  RootEntries = 0;
  RootDirRun = 0;
}

void TFATAnalyser::Finish() {
  SavedFATSector.clear();
  SavedFATSector.shrink_to_fit();
}

bool TFATAnalyser::AnalyseSector(TDevice* device, std::uint64_t sectorNo, std::uint32_t sectorSize,
                                 const std::uint8_t* sector) {
  if (!sector || sectorSize == 0) return false;
  if (device) Device = device;
  if (sectorNo < Base) return false;
  if (sectorNo - Base > kMaxU32) {
    Reset();
    SkipUntil = 0;
    Base = sectorNo - 1;  // 0 stands for "none"
  }
  return AnalyseFromBase(static_cast<std::uint32_t>(sectorNo - Base), sectorSize, sector);
}

bool TFATAnalyser::AnalyseFromBase(std::uint32_t sectorNo, std::uint32_t sectorSize, const std::uint8_t* sector) {
  if (sectorNo < SkipUntil) {
    // The rest of a volume rebuilt in this scan, whose size is only an
    // estimate: the next volume's first FAT ends the skip.
    if (!IsFATStartSector(sector, sectorSize)) return false;
    SkipUntil = 0;
  }

  if (!DataFound) {
    std::uint8_t type = ftNone;
    bool isStart = false;
    if (DetectFAT(sector, sectorSize, type, isStart)) {
      FATFound = true;
      FATType = type;
      if (isStart) NoteFATStart(sectorNo, sectorSize, sector);
    }
  }
  if (!FATFound) return false;

  // Until FATSize gives the estimate, directory entries are bounded by the
  // largest volume of the FAT type: a tighter guess would reject the root
  // of FAT32, which usually comes right after the FATs, before any "." entry.
  const std::uint32_t maxCluster = ClusterCount ? ClusterCount : MaxClusterCount(FATType);
  std::uint32_t dotCluster = 0;
  const bool dotFound = HasDotEntries(sector, sectorSize, dotCluster);
  const bool isDir =
      IsDirectorySector(sector, sectorSize, maxCluster, ClampToU32(std::uint64_t{maxCluster} * kMaxSectorsPerCluster));
  DirRun = isDir ? static_cast<std::uint8_t>(std::min(DirRun + 1, 255)) : 0;

  if (!dotFound && isDir && HasVolumeLabel(sector, sectorSize)) {
    RootFound = true;
    RootSector = sectorNo;
    RootDirRun = DirRun;
  }
  if (dotFound) {
    DataFound = true;
    NoteDotEntry(sectorNo, dotCluster, sectorSize);
  }
  if (RootFound && SectorsPerCluster != 0) RootFound = RootStillPlausible(sectorSize);
  if (RootFound && SectorsPerCluster != 0) return Complete(sectorSize);
  if (SectorsPerCluster == 0 && TakeFloppyFormat(sectorNo, sectorSize)) return Complete(sectorSize);
  return false;
}

bool TFATAnalyser::IsFATStartSector(const std::uint8_t* sector, std::uint32_t sectorSize) const {
  if (!IsFATStart(sector, sectorSize, ftFAT12) && !IsFATStart(sector, sectorSize, ftFAT16) &&
      !IsFATStart(sector, sectorSize, ftFAT32))
    return false;
  std::uint8_t type = ftNone;
  bool isStart = false;
  return DetectFAT(sector, sectorSize, type, isStart) && isStart;
}

// A floppy holds no folder of its own in many cases, so that no "." entry
// gives the cluster size; its format does. When the device has the size of
// a standard floppy and its FATs lie where that format puts them (one
// reserved sector, two copies of the format's size), the root area and the
// clusters are the format's too, once the scan has passed the root area.
bool TFATAnalyser::TakeFloppyFormat(std::uint32_t sectorNo, std::uint32_t sectorSize) {
  struct Format {
    std::uint32_t sectors, fatSize;
    std::uint16_t perCluster, rootEntries;
  };
  static constexpr Format kFormats[] = {
      {720, 2, 2, 112}, {1440, 3, 2, 112}, {2400, 7, 1, 224}, {2880, 9, 1, 224}, {5760, 9, 2, 240}};
  if (!Device || FATType != ftFAT12 || FATStart != 1 || FATCount != 2 || sectorSize != 512) return false;
  for (const Format& f : kFormats) {
    if (Device->TotalSectors != f.sectors || FATSize != f.fatSize) continue;
    const std::uint32_t rootStart = FATStart + 2 * f.fatSize;
    const std::uint32_t dataStart = rootStart + f.rootEntries * kDirEntrySize / 512;
    if (sectorNo + 1 < dataStart) return false;
    SectorsPerCluster = f.perCluster;
    DataStart = dataStart;
    RootSector = rootStart;
    RootFound = RootStillPlausible(sectorSize);
    return RootFound;
  }
  return false;
}

void TFATAnalyser::NoteFATStart(std::uint32_t sectorNo, std::uint32_t sectorSize, const std::uint8_t* sector) {
  // A FAT needs its boot sector in front of it, and 0 stands for "none".
  if (sectorNo == 0) return;
  if (SavedFATSector.size() < kComparedBytes) SavedFATSector.assign(kComparedBytes, 0);
  const std::size_t compared = std::min<std::size_t>(kComparedBytes, sectorSize);
  if (FATStart == 0) {
    FATStart = sectorNo;
    FATCount = 1;
    std::fill(SavedFATSector.begin(), SavedFATSector.end(), 0);
    std::copy(sector, sector + compared, SavedFATSector.begin());
    return;
  }
  if (sectorNo <= FATStart || FATCount == std::numeric_limits<std::uint8_t>::max()) return;
  if (CountDifferentBytes(sector, SavedFATSector.data(), compared) >= kCopyTolerance) return;
  if (FATSize == 0) {
    // The first copy fixes the size of one FAT.
    FATEnd = sectorNo - 1;
    FATSize = sectorNo - FATStart;
    ClusterCount = EstimateClusterCount(FATType, FATSize, sectorSize);
  } else if (std::uint64_t{FATStart} + std::uint64_t{FATCount} * FATSize != sectorNo) {
    // Further copies follow at the same distance; a look-alike elsewhere is
    // not one of them and must not stretch the FAT size.
    return;
  }
  ++FATCount;
}

void TFATAnalyser::NoteDotEntry(std::uint32_t sectorNo, std::uint32_t dotCluster, std::uint32_t sectorSize) {
  // "." always names its own cluster, so it is 2 or above in a real folder.
  if (dotCluster < 2) return;
  if (FirstDirCluster == 0) {
    FirstDirCluster = dotCluster;
    FirstDirSector = sectorNo;
    return;
  }
  if (SectorsPerCluster != 0) return;
  // The pair gives the cluster size only when the later folder lies further
  // on by a whole number of clusters of a size a boot record can hold;
  // anything else is skipped and the next "." entry tried.
  if (dotCluster <= FirstDirCluster || sectorNo <= FirstDirSector) return;
  const std::uint32_t sectors = sectorNo - FirstDirSector;
  const std::uint32_t clusters = dotCluster - FirstDirCluster;
  if (sectors % clusters != 0) return;
  const std::uint32_t perCluster = sectors / clusters;
  if (perCluster > kMaxSectorsPerCluster || !IsPowerOfTwo(perCluster)) return;
  const std::uint64_t offset = std::uint64_t{dotCluster - 2} * perCluster;
  if (offset > sectorNo) return;
  const auto dataStart = static_cast<std::uint32_t>(sectorNo - offset);
  // The data area lies behind every FAT seen; on FAT32 right behind the last
  // copy, as nothing else lies between them and a boot record has no way to
  // describe a gap there.
  const std::uint64_t fatsEnd = std::uint64_t{FATStart} + std::uint64_t{FATCount} * FATSize;
  if (dataStart <= FATStart || dataStart < fatsEnd) return;
  if (FATType == ftFAT32 && FATSize != 0 && dataStart != fatsEnd) return;

  SectorsPerCluster = static_cast<std::uint16_t>(perCluster);
  DataStart = dataStart;
  if (FATEnd == 0) {
    // A single FAT: it ends where the data area starts, except on FAT12/16,
    // whose root area lies between them; there it ends in front of the root
    // sector that carries the label (the label is the root's first entry).
    FATEnd = DataStart - 1;
    if (FATType != ftFAT32 && RootFound && RootSector > FATStart && RootSector < DataStart) FATEnd = RootSector - 1;
    FATSize = FATEnd - FATStart + 1;
    ClusterCount = EstimateClusterCount(FATType, FATSize, sectorSize);
  }
  DebugMessage(Format("FAT开始扇区: %llu, 结束扇区: %llu", static_cast<unsigned long long>(Base + FATStart),
                      static_cast<unsigned long long>(Base + FATEnd)),
               3);
  DebugMessage(Format("数据开始扇区: %llu", static_cast<unsigned long long>(Base + DataStart)), 3);
}

bool TFATAnalyser::RootStillPlausible(std::uint32_t sectorSize) {
  if (FATType == ftFAT32) {
    // The root is a cluster chain like any folder: its candidate lies in the
    // data area, and no deeper in its cluster than the run of directory
    // sectors that ended at it.
    if (RootSector < DataStart) return false;
    const std::uint32_t offset = RootSector - DataStart;
    if (offset % SectorsPerCluster > RootDirRun) return false;
    const std::uint64_t cluster = std::uint64_t{offset / SectorsPerCluster} + 2;
    if (cluster > std::uint64_t{ClusterCount} + 1) return false;
    RootCluster = static_cast<std::uint32_t>(cluster);
    RootEntries = 0;
    return true;
  }
  // FAT12/16: the root is the fixed area between the last FAT and cluster 2;
  // its size goes into the boot record as the root entry count, else the
  // data area computed from the record would start right after the FATs.
  const std::uint64_t areaStart = std::uint64_t{FATStart} + std::uint64_t{FATCount} * FATSize;
  if (RootSector < areaStart || RootSector >= DataStart) return false;
  const std::uint64_t entries = (DataStart - areaStart) * (sectorSize / kDirEntrySize);
  if (entries == 0 || entries > std::numeric_limits<std::uint16_t>::max()) return false;
  RootCluster = 0;
  RootEntries = static_cast<std::uint16_t>(entries);
  return true;
}

bool TFATAnalyser::Complete(std::uint32_t sectorSize) {
  ClusterCount = EstimateClusterCount(FATType, FATSize, sectorSize);
  // The estimate may reach past what 32-bit sector numbers can hold; the
  // real volume fits, so the count is trimmed to what fits.
  const std::uint32_t bytesPerSector = Device && Device->BytesPerSector ? Device->BytesPerSector : 512;
  const std::uint64_t rootSectors = (std::uint64_t{RootEntries} * 32 + bytesPerSector - 1) / bytesPerSector;
  const std::uint64_t overhead = 1 + rootSectors + std::uint64_t{FATCount} * FATSize;
  if (overhead < kMaxU32) {
    const std::uint64_t fitting = (kMaxU32 - overhead) / SectorsPerCluster;
    if (fitting < ClusterCount) ClusterCount = static_cast<std::uint32_t>(fitting);
  }
  // Nor does it run past the end of its device (the FAT's size gives only
  // an upper bound), as long as its type keeps the count it needs.
  const std::uint64_t volumeStart = FATStart - 1;
  if (Device && Device->TotalSectors > volumeStart + overhead) {
    const std::uint64_t fitting = (Device->TotalSectors - volumeStart - overhead) / SectorsPerCluster;
    if (fitting < ClusterCount && fitting >= MinClusterCount(FATType)) ClusterCount = static_cast<std::uint32_t>(fitting);
  }
  std::array<std::uint8_t, kBootRecordSize> bootRecord{};
  if (ClusterCount < MinClusterCount(FATType) || RootCluster > std::uint64_t{ClusterCount} + 1 ||
      !BuildBootSector(Device, bootRecord, ClusterCount, FATCount, FATSize, RootCluster, RootEntries, SectorsPerCluster,
                       FATType)) {
    // No boot record can describe this evidence; look for the next volume.
    Reset();
    return false;
  }
  DebugMessage(Format("根群: %u\r", RootCluster), 3);
  const bool added = !Sink || Sink->AddRebuiltVolume64(Device, Base + FATStart - 1, bootRecord.data());
  // The rest of this volume is its own data: no other volume starts inside
  // it, and looking for FATs in every one of its sectors would cost most of
  // a whole-disk scan.
  const std::uint64_t end = std::uint64_t{FATStart} - 1 + Le32(ByteSpan(bootRecord), kBpbTotalSectors32) + Le16(ByteSpan(bootRecord), kBpbTotalSectors16);
  SkipUntil = static_cast<std::uint32_t>(std::min<std::uint64_t>(end, kMaxU32));
  Reset();
  return added;
}

}  // namespace vantrel
