#pragma once
// Fixture images opened the way the program opens a disk: image files as the
// only devices of the Linux backend, device detection, the drive list's scan.
// The backend, the sector handles and the read-ahead cache are process-wide;
// a FixtureDisk installs its own backend and leaves everything clean behind.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/TDevice.h"
#include "diskio/HostDiskPlatform.h"
#include "fs/TFATdrive.h"
#include "recovery/TDriveList.h"
#include "support/FakePlatform.h"
#include "support/FixtureList.h"

namespace vantrel::test {

class FixtureDisk {
 public:
  // Image files by full path; they become disks 0x80, 0x81, ... in this order.
  explicit FixtureDisk(const std::vector<std::string>& images);
  explicit FixtureDisk(const std::string& image) : FixtureDisk(std::vector<std::string>{image}) {}
  ~FixtureDisk();
  FixtureDisk(const FixtureDisk&) = delete;
  FixtureDisk& operator=(const FixtureDisk&) = delete;

  TFATdrive& Drive(int index) const;

  TDeviceList devices;
  TDriveList drives;

 private:
  std::unique_ptr<HostDiskPlatform> platform_ = NewHostPlatform();
};

// The content of a fixture image, the first limit bytes at most.
std::vector<std::uint8_t> ReadFixtureBytes(const std::string& name, std::size_t limit = SIZE_MAX);

// A disk device over physical drive number of the installed platform, made
// without detection (no read-ahead measurement).
std::unique_ptr<TDevice> MakeDisk(std::uint8_t number, std::uint32_t totalSectors, bool partitioned);

// A volume over bytes in memory (a fixture image, patched as a test needs)
// on the in-memory platform, as disk 0x80 without a partition table.
class MemoryVolume {
 public:
  explicit MemoryVolume(std::vector<std::uint8_t> bytes);
  // Writes bytes at a byte offset of the volume.
  void Poke(std::size_t offset, const std::vector<std::uint8_t>& bytes);
  // Sets a FAT entry in every FAT copy (the drive must be open).
  void SetFATEntry(std::uint32_t cluster, std::uint32_t value);
  std::vector<std::uint8_t>& Bytes() { return platform.devices["phys128"].data; }

  FakePlatform platform;
  std::unique_ptr<TDevice> device;
  TFATdrive drive;
};

}  // namespace vantrel::test
