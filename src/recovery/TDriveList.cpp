#include "recovery/TDriveList.h"

#include <algorithm>
#include <vector>

#include "common/Bytes.h"
#include "common/DebugLog.h"
#include "devices/TDevice.h"
#include "format/FATFormat.h"
#include "fs/TExFATdrive.h"
#include "fs/TFATdrive.h"
#include "recovery/GPTPartitions.h"

namespace vantrel {
namespace {
// Device sectors in one sector of the volume.
std::uint32_t DeviceSectorsPer(const TFATdrive& drive) {
  const std::uint32_t deviceSize = drive.Device && drive.Device->BytesPerSector ? drive.Device->BytesPerSector : 512;
  return drive.BytesPerSector >= deviceSize ? drive.BytesPerSector / deviceSize : 1;
}
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

TFATdrive* TDriveList::AddVolume(TDevice& device, std::uint64_t bootSector, std::uint64_t startSector,
                                 std::uint64_t sectorCount, std::uint8_t flags, bool quiet) {
  // exFAT names itself in its boot sector (or in the backup behind it).
  std::unique_ptr<TFATdrive> drive;
  if (HoldsExFAT(device, bootSector))
    drive = std::make_unique<TExFATdrive>();
  else
    drive = std::make_unique<TFATdrive>();
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
    // A protective entry hands the disk to its GUID partition table; the
    // other entries of a hybrid record only repeat part of it. Without an
    // intact table the record's own entries are all there is.
    if (HasProtectiveEntry(sector) && ReadGUIDPartitionTable(device)) return;
    ReadPartitionTable(device, 0, 0);
    // The volume of a boot sector that the table was written over: it may
    // still hold what the user is looking for.
    if (device.Partitioned & 2) AddVolume(device, 0, 0, device.TotalSectors, 0, false);
  } else {
    AddVolume(device, 0, 0, device.TotalSectors, 0, false);
  }
}

void TDriveList::ReadPartitionTable(TDevice& device, std::uint64_t tableSector, std::uint64_t extendedBase) {
  // A table that points back at one already read would loop forever.
  if (!tablesSeen_.insert(tableSector).second) {
    DebugMessage(Format("分区表循环: 扇区 %llu", static_cast<unsigned long long>(tableSector)), 3);
    return;
  }
  if (tablesSeen_.size() > kMaxPartitionTables) return;
  std::vector<std::uint8_t> sector(device.BytesPerSector ? device.BytesPerSector : 512);
  if (sector.size() < 512 || !device.ReadSectors(tableSector, 1, false, sector.data())) return;
  const ByteSpan table(sector);
  // A sector without the marker holds a table only when its entries are
  // plausible and a FAT boot sector stands where one of them starts: a
  // superfloppy's boot sector or any other data is none.
  std::string note;
  if (table[510] != 0x55 || table[511] != 0xAA) {
    DebugMessage(Format("分区表无 0x55AA 标志: 扇区 %llu", static_cast<unsigned long long>(tableSector)), 3);
    if (!PlausibleUnmarkedTable(device, table, tableSector, extendedBase)) return;
    note = Format("分区表 (扇区 %llu) 缺少 0x55AA 标志", static_cast<unsigned long long>(tableSector));
  }

  struct Entry {
    std::uint8_t type;
    std::uint32_t start, count;
  };
  Entry entries[4];
  for (int i = 0; i < 4; ++i) {
    const std::size_t at = kPartitionTable + i * kPartitionEntrySize;
    entries[i] = {table[at + kPartitionType], Le32(table, at + kPartitionStart), Le32(table, at + kPartitionSectors)};
  }
  // FAT entries count from the table that holds them.
  for (const Entry& e : entries) {
    const std::uint64_t start = tableSector + e.start;
    // Type 0x07 is exFAT or NTFS: only exFAT is a volume of ours.
    if (!IsFATPartitionType(e.type) && !(e.type == 0x07 && HoldsExFAT(device, start))) continue;
    AddVolume(device, start, start, e.count, 0, false)->TableNote = note;
  }
  // Extended entries count from the first extended partition of the disk.
  for (const Entry& e : entries) {
    if (!IsExtendedPartitionType(e.type)) continue;
    if (extendedBase == 0) {
      ReadPartitionTable(device, e.start, e.start);
    } else {
      ReadPartitionTable(device, extendedBase + e.start, extendedBase);
    }
  }
}

bool TDriveList::PlausibleUnmarkedTable(TDevice& device, ByteSpan table, std::uint64_t tableSector,
                                        std::uint64_t extendedBase) {
  std::vector<std::uint8_t> boot(device.BytesPerSector >= 512 ? device.BytesPerSector : 512);
  bool bootFound = false;
  int used = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t at = kPartitionTable + i * kPartitionEntrySize;
    const std::uint8_t type = table[at + kPartitionType];
    if (type == 0) continue;
    if ((table[at] != 0x00 && table[at] != 0x80) || (!IsFATPartitionType(type) && !IsExtendedPartitionType(type)))
      return false;
    const std::uint64_t base = IsExtendedPartitionType(type) && extendedBase != 0 ? extendedBase : tableSector;
    const std::uint64_t start = base + Le32(table, at + kPartitionStart), count = Le32(table, at + kPartitionSectors);
    if (start == base || count == 0 || start + count > device.TotalSectors) return false;
    ++used;
    if (!bootFound && IsFATPartitionType(type) && device.ReadSectors(start, 1, false, boot.data()))
      bootFound = IsBootSectorStrict(boot.data(), boot.size());
  }
  return used > 0 && bootFound;
}

bool TDriveList::AddRebuiltVolume64(TDevice* device, std::uint64_t startSector, const std::uint8_t* bootRecord) {
  auto drive = std::make_unique<TFATdrive>();
  drive->Device = device;
  drive->Flags = dfLost | dfRebuilt;
  drive->BootSector = drive->StartSector = startSector;
  std::copy(bootRecord, bootRecord + drive->BootRecord.size(), drive->BootRecord.begin());
  drive->ComputeGeometry(true);
  // A volume whose boot sector is still there is found by its evidence as
  // well, and a second search finds the volumes the first one rebuilt: its
  // data area is where a listed drive already has it.
  const std::uint64_t dataStart = startSector + drive->FirstDataSector;
  for (const auto& d : items_) {
    const auto* listed = dynamic_cast<const TFATdrive*>(d.get());
    if (listed && listed->Device == device && listed->GeometryValid &&
        listed->StartSector + listed->FirstDataSector == dataStart &&
        listed->SectorsPerCluster == drive->SectorsPerCluster)
      return false;
  }
  drive->SectorCount = drive->TotalSectors;
  // Its size is an estimate from the FAT's: it ends at the device's end.
  if (device && device->TotalSectors > startSector &&
      drive->LimitSectors(static_cast<std::uint32_t>(
          std::min<std::uint64_t>((device->TotalSectors - startSector) / DeviceSectorsPer(*drive), 0xFFFFFFFFu))))
    DebugMessage(Format("重建驱动器大小限制在设备结尾: %u 扇区", drive->TotalSectors), 3);
  if (device) EndVolumesBefore(*device, startSector);
  drive->Name += "驱动器 (不包含启动扇区)";
  drive->CreateTopFolders();
  DebugMessage(Format("重建驱动器: 扇区 %llu, %s", static_cast<unsigned long long>(startSector),
                      FATTypeName(drive->FATType)), 3);
  Add(std::move(drive));
  return true;
}

// Volumes rebuilt earlier on the device that run into a volume found at
// startSector end in front of it.
void TDriveList::EndVolumesBefore(const TDevice& device, std::uint64_t startSector) {
  for (const auto& d : items_) {
    auto* rebuilt = dynamic_cast<TFATdrive*>(d.get());
    if (!rebuilt || rebuilt->Device != &device || !(rebuilt->Flags & dfRebuilt) || !rebuilt->GeometryValid ||
        rebuilt->StartSector >= startSector)
      continue;
    const auto room = static_cast<std::uint32_t>(
        std::min<std::uint64_t>((startSector - rebuilt->StartSector) / DeviceSectorsPer(*rebuilt), 0xFFFFFFFFu));
    if (rebuilt->LimitSectors(room))
      DebugMessage(Format("重建驱动器 (扇区 %llu) 在下一个驱动器 (扇区 %llu) 前结束: %u 扇区",
                          static_cast<unsigned long long>(rebuilt->StartSector),
                          static_cast<unsigned long long>(startSector), rebuilt->TotalSectors),
                   3);
  }
}

bool TDriveList::HasDriveAt(const TDevice& device, std::uint64_t startSector) const {
  for (const auto& d : items_)
    if (d->Device == &device && !(d->Flags & dfRebuilt) && d->StartSector == startSector) return true;
  return false;
}

bool TDriveList::IsBackupBootSector(const TDevice& device, std::uint64_t sectorNo, const std::uint8_t* sector) const {
  const std::uint16_t backupAt = Le16(ByteSpan(sector, 90), kBpbBackupBootSector32);
  if (backupAt == 0 || backupAt == 0xFFFF || backupAt > sectorNo) return false;
  for (const auto& d : items_) {
    const auto* fat = dynamic_cast<const TFATdrive*>(d.get());
    if (fat && fat->Device == &device && !(fat->Flags & dfRebuilt) && fat->StartSector == sectorNo - backupAt &&
        std::equal(fat->BootRecord.begin(), fat->BootRecord.end(), sector))
      return true;
  }
  return false;
}

TFATdrive* TDriveList::AddLostDrive(TDevice& device, std::uint64_t bootSector, bool quiet,
                                    std::uint64_t sectorCount, std::uint64_t startSector) {
  EndVolumesBefore(device, startSector);
  TFATdrive* d = AddVolume(device, bootSector, startSector, sectorCount, dfLost, quiet);
  d->Name += " (lost)";
  return d;
}

}  // namespace vantrel
