#pragma once
// Disks whose bytes are held in memory (images made by the real tools,
// patched as a test needs) as disks 0x80, 0x81, ... of an in-memory
// platform, with the drive list's scan of each. The read-ahead cache is on
// while the disks exist, so that long scans run through it as on a machine.

#include <cstdint>
#include <string>
#include <vector>

#include "devices/TDevice.h"
#include "fs/TFATdrive.h"
#include "recovery/TDriveList.h"
#include "support/FakePlatform.h"

namespace vantrel::test {

class MemoryDisk {
 public:
  MemoryDisk();
  // One disk with these bytes.
  MemoryDisk(std::vector<std::uint8_t> bytes, bool partitioned);
  ~MemoryDisk();
  MemoryDisk(const MemoryDisk&) = delete;
  MemoryDisk& operator=(const MemoryDisk&) = delete;

  // Appends a disk and the drives of its partition table (or its one volume).
  TDevice& AddDisk(std::vector<std::uint8_t> bytes, bool partitioned);
  TDevice& Device(int index = 0) const { return *devices.Items(index); }
  // The FAT drive at index of the drive list.
  TFATdrive& Drive(int index) const;

  FakePlatform platform;
  TDeviceList devices;
  TDriveList drives;

 private:
  bool cacheSwitch_;
};

// The bytes of a file.
std::vector<std::uint8_t> ImageBytes(const std::string& path);

}  // namespace vantrel::test
