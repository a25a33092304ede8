#pragma once
// Linux backend of the sector layer.
//  - Physical drives 0x80 + n: first the disk image files the user named, in
//    that order, then the machine's whole-disk block devices (/sys/block,
//    sorted by name). 0x00 and 0x01 are /dev/fd0 and /dev/fd1 where they exist.
//  - Logical drives C:, D:, ...: the block devices (disks and partitions)
//    that hold a FAT file system, mounted or not, sorted by name.
// Everything is opened read-only.

#include <cstdint>
#include <string>
#include <vector>

#include "diskio/DiskProbe.h"
#include "diskio/HostDiskPlatform.h"

namespace vantrel {

class LinuxDiskPlatform : public HostDiskPlatform {
 public:
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
  void ScanMachineDrives() override;

  std::vector<std::string> disks_;  // whole-disk block devices
  std::vector<LogicalDrive> logical_;
};

// The process-wide Linux backend (the default platform).
LinuxDiskPlatform& LinuxPlatform();

}  // namespace vantrel
