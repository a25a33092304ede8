#include "recovery/TDriveList.h"

#include <algorithm>
#include <vector>

#include "common/Bytes.h"
#include "common/DebugLog.h"
#include "devices/TDevice.h"
#include "fs/TFATdrive.h"

namespace vantrel {
namespace {
constexpr std::size_t kFirstPartitionEntry = 446;
constexpr std::size_t kPartitionEntrySize = 16;
}  // namespace

bool IsFATPartitionType(std::uint8_t type) {
  return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E;
}

bool IsExtendedPartitionType(std::uint8_t type) { return type == 0x05 || type == 0x0F; }

TDriveList::TDriveList() = default;
TDriveList::~TDriveList() = default;

TCustomDrive* TDriveList::Add(std::unique_ptr<TCustomDrive> drive) {
  items_.push_back(std::move(drive));
  return items_.back().get();
}

TFATdrive* TDriveList::AddVolume(TDevice& device, std::uint32_t bootSector, std::uint32_t startSector,
                                 std::uint32_t sectorCount, std::uint8_t flags, bool quiet) {
  auto drive = std::make_unique<TFATdrive>();
  TFATdrive* d = drive.get();
  Add(std::move(drive));
  d->Flags = flags;
  d->Device = &device;
  d->BootSector = bootSector;
  d->StartSector = startSector;
  d->SectorCount = sectorCount;
  // A refused boot sector still leaves the drive in the list.
  d->Open(quiet);
  return d;
}

void TDriveList::ScanDevice(TDevice& device) {
  DebugMessage(Format("检测驱动器在设备 %s...", device.Name.c_str()), 1);
  std::vector<std::uint8_t> sector(device.BytesPerSector ? device.BytesPerSector : 512);
  // An empty removable drive must not nag with the error prompt.
  if (!device.ReadSectors(0, 1, device.Flags != 1, sector.data())) return;
  if (device.Partitioned & 1) {
    tablesSeen_.clear();
    ReadPartitionTable(device, 0, 0);
  } else {
    AddVolume(device, 0, 0, device.TotalSectors, 0, false);
  }
}

void TDriveList::ReadPartitionTable(TDevice& device, std::uint32_t tableSector, std::uint32_t extendedBase) {
  // A table that points back at one already read would loop forever.
  if (!tablesSeen_.insert(tableSector).second) {
    DebugMessage(Format("分区表循环: 扇区 %u", tableSector), 3);
    return;
  }
  if (tablesSeen_.size() > kMaxPartitionTables) return;
  std::vector<std::uint8_t> sector(device.BytesPerSector ? device.BytesPerSector : 512);
  if (sector.size() < 512 || !device.ReadSectors(tableSector, 1, false, sector.data())) return;
  const ByteSpan table(sector);

  struct Entry {
    std::uint8_t type;
    std::uint32_t start, count;
  };
  Entry entries[4];
  for (int i = 0; i < 4; ++i) {
    const std::size_t at = kFirstPartitionEntry + i * kPartitionEntrySize;
    entries[i] = {table[at + 4], Le32(table, at + 8), Le32(table, at + 12)};
  }
  // FAT entries count from the table that holds them.
  for (const Entry& e : entries) {
    if (!IsFATPartitionType(e.type)) continue;
    const std::uint64_t start = static_cast<std::uint64_t>(tableSector) + e.start;
    if (start > 0xFFFFFFFFull) continue;
    AddVolume(device, static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(start), e.count, 0, false);
  }
  // Extended entries count from the first extended partition of the disk.
  for (const Entry& e : entries) {
    if (!IsExtendedPartitionType(e.type)) continue;
    if (extendedBase == 0) {
      ReadPartitionTable(device, e.start, e.start);
    } else {
      const std::uint64_t next = static_cast<std::uint64_t>(extendedBase) + e.start;
      if (next <= 0xFFFFFFFFull) ReadPartitionTable(device, static_cast<std::uint32_t>(next), extendedBase);
    }
  }
}

bool TDriveList::AddRebuiltVolume(TDevice* device, std::uint32_t startSector, const std::uint8_t* bootRecord) {
  auto drive = std::make_unique<TFATdrive>();
  drive->Device = device;
  drive->Flags = dfLost | dfRebuilt;
  drive->BootSector = drive->StartSector = startSector;
  std::copy(bootRecord, bootRecord + drive->BootRecord.size(), drive->BootRecord.begin());
  drive->ComputeGeometry(true);
  // A volume whose boot sector is still there is found by its evidence as
  // well, and a second search finds the volumes the first one rebuilt: its
  // data area is where a listed drive already has it.
  const std::uint64_t dataStart = static_cast<std::uint64_t>(startSector) + drive->FirstDataSector;
  for (const auto& d : items_) {
    const auto* listed = dynamic_cast<const TFATdrive*>(d.get());
    if (listed && listed->Device == device && listed->GeometryValid &&
        static_cast<std::uint64_t>(listed->StartSector) + listed->FirstDataSector == dataStart &&
        listed->SectorsPerCluster == drive->SectorsPerCluster)
      return false;
  }
  drive->SectorCount = drive->TotalSectors;
  drive->Name += "驱动器 (不包含启动扇区)";
  drive->CreateTopFolders();
  DebugMessage(Format("重建驱动器: 扇区 %u, %s", startSector, FATTypeName(drive->FATType)), 3);
  Add(std::move(drive));
  return true;
}

bool TDriveList::HasDriveAt(const TDevice& device, std::uint32_t startSector) const {
  for (const auto& d : items_)
    if (d->Device == &device && !(d->Flags & dfRebuilt) && d->StartSector == startSector) return true;
  return false;
}

bool TDriveList::IsBackupBootSector(const TDevice& device, std::uint32_t sectorNo, const std::uint8_t* sector) const {
  const std::uint16_t backupAt = Le16(ByteSpan(sector, 90), 50);
  if (backupAt == 0 || backupAt == 0xFFFF || backupAt > sectorNo) return false;
  for (const auto& d : items_) {
    const auto* fat = dynamic_cast<const TFATdrive*>(d.get());
    if (fat && fat->Device == &device && !(fat->Flags & dfRebuilt) && fat->StartSector == sectorNo - backupAt &&
        std::equal(fat->BootRecord.begin(), fat->BootRecord.end(), sector))
      return true;
  }
  return false;
}

TFATdrive* TDriveList::AddLostDrive(TDevice& device, std::uint32_t bootSector, bool quiet,
                                    std::uint32_t sectorCount, std::uint32_t startSector) {
  TFATdrive* d = AddVolume(device, bootSector, startSector, sectorCount, dfLost, quiet);
  d->Name += " (lost)";
  return d;
}

}  // namespace vantrel
