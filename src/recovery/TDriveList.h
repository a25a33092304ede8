#pragma once
// Every volume the user can open: the FAT partitions of each device's
// partition tables, one volume for each device without a table, and the
// drives the lost-drive search appends.

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "analysis/TFATAnalyser.h"
#include "common/Bytes.h"
#include "fs/TCustom.h"

namespace vantrel {

class TDevice;
class TStatusDialog;
class TFATdrive;

class TDriveList : public IRebuiltVolumeSink {
 public:
  TDriveList();
  ~TDriveList() override;
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  TCustomDrive* Items(int index) const { return items_.at(static_cast<std::size_t>(index)).get(); }

  void ScanDevice(TDevice& device);
  void ReadPartitionTable(TDevice& device, std::uint64_t tableSector, std::uint64_t extendedBase);
  // A table sector without 0x55AA whose entries are FAT or extended ones
  // inside the device, at least one of them with a FAT boot sector at its start.
  bool PlausibleUnmarkedTable(TDevice& device, ByteSpan table, std::uint64_t tableSector, std::uint64_t extendedBase);
  // Appends the FAT volumes of the device's GUID partition table, in entry
  // order; false when neither its primary nor its backup table is intact.
  bool ReadGUIDPartitionTable(TDevice& device);
  // Appends a drive found by the lost-drive search, named by its label + " (lost)".
  TFATdrive* AddLostDrive(TDevice& device, std::uint64_t bootSector, bool quiet, std::uint64_t sectorCount,
                          std::uint64_t startSector);
  // Appends a drive made elsewhere.
  TCustomDrive* Add(std::unique_ptr<TCustomDrive> drive);
  // A volume the analyser rebuilt from its FATs and folders: its boot record
  // is made up, so the drive is opened from it without reading a boot sector.
  bool AddRebuiltVolume64(TDevice* device, std::uint64_t startSector, const std::uint8_t* bootRecord) override;
  bool AddRebuiltVolume(TDevice* device, std::uint32_t startSector, const std::uint8_t* bootRecord) override {
    return AddRebuiltVolume64(device, startSector, bootRecord);
  }
  // True when a drive found at its boot sector already starts at this sector of the device.
  bool HasDriveAt(const TDevice& device, std::uint64_t startSector) const;
  // True when the sector is the backup copy of the boot sector of a FAT32
  // drive already listed (it lies a few sectors behind the original).
  bool IsBackupBootSector(const TDevice& device, std::uint64_t sectorNo, const std::uint8_t* sector) const;

  // Partition tables read for one device at most; a chain beyond that (or
  // one that comes back to a table it passed) is cut off.
  static constexpr std::size_t kMaxPartitionTables = 256;

 private:
  void EndVolumesBefore(const TDevice& device, std::uint64_t startSector);
  TFATdrive* AddVolume(TDevice& device, std::uint64_t bootSector, std::uint64_t startSector,
                       std::uint64_t sectorCount, std::uint8_t flags, bool quiet);
  std::vector<std::unique_ptr<TCustomDrive>> items_;
  std::set<std::uint64_t> tablesSeen_;
};

// Scans sectors first..last of the device for lost volumes and appends them to drives.
void FindLostDrives(TDevice& device, std::uint64_t firstSector, std::uint64_t lastSector, TDriveList& drives,
                    TStatusDialog* dialog);

bool IsFATPartitionType(std::uint8_t type);
bool IsExtendedPartitionType(std::uint8_t type);

}  // namespace vantrel
