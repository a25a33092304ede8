#pragma once
// Linux backend of the sector layer.
//  - Physical drives 0x80 + n: first the disk image files the user named, in
//    that order, then the machine's whole-disk block devices (/sys/block,
//    sorted by name). 0x00 and 0x01 are /dev/fd0 and /dev/fd1 where they exist.
//  - Logical drives C:, D:, ...: the block devices (disks and partitions)
//    that hold a FAT file system, mounted or not, sorted by name.
// Everything is opened read-only.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "diskio/DiskPlatform.h"

namespace vantrel {

class LinuxDiskPlatform : public IDiskPlatform {
 public:
  void AddImageFile(const std::string& path);
  void ClearImageFiles();
  // Only the image files: no floppies, block devices or logical drives.
  void SetOnlyImages(bool only);
  // Forgets the device tables so that the next query looks again.
  void Rescan();

  std::string PhysicalDeviceName(std::uint8_t drive) override;
  std::string LogicalDeviceName(std::uint8_t drive) override;
  int Open(const std::string& name) override;
  void Close(int handle) override;
  bool ReadAt(int handle, std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got,
              int& error) override;
  bool QueryGeometry(const std::string& name, TDiskGeometry& geometry) override;
  bool GetVolumeInformation(std::uint8_t drive, std::string& label, std::string& fsName) override;
  TDriveType GetDriveType(std::uint8_t drive) override;
  bool PathLiesOnDevice(const std::string& path, const std::string& deviceName) override;

 private:
  struct LogicalDrive {
    std::string device;
    std::string label;
    std::string fsName;
  };
  void BuildTables();

  std::vector<std::string> images_;
  bool onlyImages_ = false;
  bool built_ = false;
  std::vector<std::string> disks_;  // whole-disk block devices
  std::vector<LogicalDrive> logical_;
};

// The process-wide Linux backend (the default platform).
LinuxDiskPlatform& LinuxPlatform();

// True when a sector 0 looks like a FAT boot sector (jump, plausible BIOS
// parameter block and the 0x55 0xAA signature): a volume without partition table.
// The strict boot-sector test of the FAT format: a device without a partition
// table that starts with a boot sector is one volume.
bool LooksLikeFATBootSector(std::span<const std::uint8_t> sector);
// A master boot record that can be read as a table: marker 0x55 0xAA, at
// least one entry, every entry with a boot flag of 0x00 or 0x80 and inside a
// device of totalSectors, no two entries overlapping.
bool LooksLikePartitionTable(std::span<const std::uint8_t> sector, std::uint64_t totalSectors);
// The sizes, in sectors of 512 bytes, of the standard floppy formats.
bool IsFloppySize(std::uint64_t sectors);

}  // namespace vantrel
