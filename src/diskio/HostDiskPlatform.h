#pragma once
// The backend of the machine the program runs on. Its physical drives
// 0x80 + n are first the disk image files the user named, in that order, then
// the machine's own disks; SetOnlyImages leaves the machine's drives out
// (no floppies, disks or logical drives). The build picks the backend: block
// devices on Linux, device files through the Win32 calls on Windows.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diskio/DiskPlatform.h"

namespace vantrel {

class HostDiskPlatform : public IDiskPlatform {
 public:
  void AddImageFile(const std::string& path);
  void ClearImageFiles();
  // Only the image files: no floppies, disks or logical drives.
  void SetOnlyImages(bool only);
  // Forgets the device tables so that the next query looks again.
  void Rescan();
  // Device files of the machine's whole disks that exist but that this user
  // may not open for reading (none where the system has no such rights).
  virtual std::vector<std::string> DisksWithoutReadPermission() { return {}; }

 protected:
  // Looks for the machine's drives once after a change; never with only images.
  void BuildTables();
  virtual void ScanMachineDrives() = 0;
  // The image file of drive 0x80 + n, or the index of the machine's disk after
  // the images in diskIndex; "" and false when drive is below 0x80.
  bool SplitDiskNumber(std::uint8_t drive, std::string& image, std::size_t& diskIndex) const;

  std::vector<std::string> images_;
  bool onlyImages_ = false;

 private:
  bool built_ = false;
};

// The process-wide backend of this machine (the default platform).
HostDiskPlatform& HostPlatform();
// A backend of this machine's kind of its own (tests install one).
std::unique_ptr<HostDiskPlatform> NewHostPlatform();

}  // namespace vantrel
