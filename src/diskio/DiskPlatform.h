#pragma once
// What the sector layer needs of the operating system: device names per
// drive number, opening a device for reading, reading at a byte offset and
// the geometry and volume queries. The Linux backend serves block devices
// and disk image files, the Windows one device files and disk image files;
// tests install an in-memory one.

#include <cstddef>
#include <cstdint>
#include <string>

#include "diskio/SectorAccess.h"

namespace vantrel {

enum TDriveType { dtUnknown = 0, dtNoRoot = 1, dtRemovable = 2, dtFixed = 3, dtRemote = 4, dtCDROM = 5, dtRamDisk = 6 };

class IDiskPlatform {
 public:
  virtual ~IDiskPlatform() = default;
  // Device name of a physical drive (0x00/0x01 floppies, 0x80 + n disk n); "" when there is none.
  virtual std::string PhysicalDeviceName(std::uint8_t drive) = 0;
  // Device name of logical drive 1..26; "" when there is none.
  virtual std::string LogicalDeviceName(std::uint8_t drive) = 0;
  // Opens a device read-only; a negative handle on failure.
  virtual int Open(const std::string& name) = 0;
  virtual void Close(int handle) = 0;
  // Reads up to size bytes at offset; false with an error code when the call failed.
  virtual bool ReadAt(int handle, std::uint64_t offset, void* buffer, std::size_t size,
                      std::size_t& got, int& error) = 0;
  virtual bool QueryGeometry(const std::string& name, TDiskGeometry& geometry) = 0;
  // Label and file system name ("FAT12", "FAT16", "FAT32", ...) of a logical drive.
  virtual bool GetVolumeInformation(std::uint8_t drive, std::string& label, std::string& fsName) = 0;
  virtual TDriveType GetDriveType(std::uint8_t drive) = 0;
  // True when a file written at path could land on the named device (the
  // folder is on that disk, or on a file system kept in that image file).
  virtual bool PathLiesOnDevice(const std::string& /*path*/, const std::string& /*deviceName*/) { return false; }
};

// Installs the platform (tests); the backend of this machine (Linux or
// Windows, as built) is the default.
void SetDiskPlatform(IDiskPlatform* platform);
IDiskPlatform& DiskPlatform();

// False only on the Windows 9x family, where sectors are read through the
// BIOS and DOS services instead of device files; true on the NT family and
// on every other system, which read devices as files.
bool IsWindowsNT();

// On: the system shows its own boxes for critical errors (a drive without a
// medium); off: such reads simply fail. Only Windows has such boxes.
void SetCriticalErrorBoxes(bool show);

}  // namespace vantrel
