#pragma once
// Windows backend of the sector layer (the NT family).
//  - Physical drives 0x80 + n: first the disk image files the user named, in
//    that order, then the machine's disks "\\.\PhysicalDriveN" that can be
//    opened for reading, in the order of N. 0x00 and 0x01 are "\\.\A:" and
//    "\\.\B:" where the machine has such a floppy drive.
//  - Logical drives 1..26 are the drive letters A: .. Z: that hold a FAT file
//    system; their device is "\\.\X:".
// Everything is opened for reading only, through the wide-character calls:
// names are UTF-8 and turned into UTF-16 for the system. A device that cannot
// be opened (no permission, no medium) is a missing drive.

#include <cstdint>
#include <string>
#include <vector>

#include "diskio/DiskProbe.h"
#include "diskio/HostDiskPlatform.h"

namespace vantrel {

class WindowsDiskPlatform : public HostDiskPlatform {
 public:
  WindowsDiskPlatform() = default;
  ~WindowsDiskPlatform() override;
  WindowsDiskPlatform(const WindowsDiskPlatform&) = delete;
  WindowsDiskPlatform& operator=(const WindowsDiskPlatform&) = delete;

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
    std::uint8_t drive = 0;  // 1 = A:
    std::string label;
    std::string fsName;
  };
  void ScanMachineDrives() override;
  const LogicalDrive* FindLogical(std::uint8_t drive);

  bool floppies_[2] = {false, false};
  std::vector<std::size_t> disks_;  // N of the "\\.\PhysicalDriveN" that open
  std::vector<LogicalDrive> logical_;
  std::vector<void*> handles_;  // the system's handles; the sector layer holds their index
};

// The process-wide Windows backend (the default platform on Windows).
WindowsDiskPlatform& WindowsPlatform();

// A UTF-8 name as the wide-character calls take it; empty when it is not UTF-8.
std::wstring WideFromUtf8(const std::string& text);
// A system text in UTF-8.
std::string Utf8FromWide(const std::wstring& text);

}  // namespace vantrel
