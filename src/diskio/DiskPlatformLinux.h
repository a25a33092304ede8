#pragma once
// Linux backend of the sector layer.
//  - Physical drives 0x80 + n: first the disk image files the user named, in
//    that order, then the machine's whole-disk block devices (/sys/block,
//    sorted by name). 0x00 and 0x01 are /dev/fd0 and /dev/fd1 where they exist.
//  - Logical drives C:, D:, ...: the block devices (disks and partitions)
//    that hold a FAT file system, mounted or not, sorted by name.
// Everything is opened read-only. A device this user may not open can be
// handed over already opened (read-only) by whoever opened it for us: the
// system's disk service through the window.

#include <cstdint>
#include <map>
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
  std::vector<std::string> DisksWithoutReadPermission() override;

  // Takes over descriptor fd, opened elsewhere, as the device file name:
  // every later open of name reads it. Only a descriptor open for reading
  // alone is taken; any other is closed and false returned.
  bool AdoptOpenedDevice(const std::string& name, int fd);
  bool HasOpenedDevice(const std::string& name) const { return adopted_.count(name) != 0; }
  // Closes every descriptor handed over.
  void ForgetOpenedDevices();
  ~LinuxDiskPlatform() override;

 private:
  struct LogicalDrive {
    std::string device;
    std::string label;
    std::string fsName;
  };
  void ScanMachineDrives() override;

  std::vector<std::string> disks_;  // whole-disk block devices
  std::vector<LogicalDrive> logical_;
  std::map<std::string, int> adopted_;  // device file -> descriptor handed over
};

// The process-wide Linux backend (the default platform).
LinuxDiskPlatform& LinuxPlatform();

}  // namespace vantrel
