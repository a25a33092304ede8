#pragma once
// Every volume the user can open: the FAT partitions of each device's
// partition tables, one volume for each device without a table, and the
// drives the lost-drive search appends.

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "analysis/TFATAnalyser.h"
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
  void ReadPartitionTable(TDevice& device, std::uint32_t tableSector, std::uint32_t extendedBase);
  // Appends a drive found by the lost-drive search, named by its label + " (lost)".
  TFATdrive* AddLostDrive(TDevice& device, std::uint32_t bootSector, bool quiet, std::uint32_t sectorCount,
                          std::uint32_t startSector);
  // Appends a drive made elsewhere.
  TCustomDrive* Add(std::unique_ptr<TCustomDrive> drive);
  // A volume the analyser rebuilt from its FATs and folders: its boot record
  // is made up, so the drive is opened from it without reading a boot sector.
  bool AddRebuiltVolume(TDevice* device, std::uint32_t startSector, const std::uint8_t* bootRecord) override;
  // True when a drive found at its boot sector already starts at this sector of the device.
  bool HasDriveAt(const TDevice& device, std::uint32_t startSector) const;
  // True when the sector is the backup copy of the boot sector of a FAT32
  // drive already listed (it lies a few sectors behind the original).
  bool IsBackupBootSector(const TDevice& device, std::uint32_t sectorNo, const std::uint8_t* sector) const;

  // Partition tables read for one device at most; a chain beyond that (or
  // one that comes back to a table it passed) is cut off.
  static constexpr std::size_t kMaxPartitionTables = 256;

 private:
  TFATdrive* AddVolume(TDevice& device, std::uint32_t bootSector, std::uint32_t startSector,
                       std::uint32_t sectorCount, std::uint8_t flags, bool quiet);
  std::vector<std::unique_ptr<TCustomDrive>> items_;
  std::set<std::uint32_t> tablesSeen_;
};

// Scans sectors first..last of the device for lost volumes and appends them to drives.
void FindLostDrives(TDevice& device, std::uint32_t firstSector, std::uint32_t lastSector, TDriveList& drives,
                    TStatusDialog* dialog);

bool IsFATPartitionType(std::uint8_t type);
bool IsExtendedPartitionType(std::uint8_t type);

}  // namespace vantrel
