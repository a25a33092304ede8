#pragma once
// A readable unit of the machine: a physical disk (BIOS drive number) or a
// logical drive holding FAT. Every sector the program reads goes through
// TDevice::ReadSectors, which puts the read-ahead cache in front of the
// sector layer during long scans.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vantrel {

class TStatusDialog;

enum TDeviceKind : std::uint8_t { dkBIOS = 0, dkWindows = 1 };

class TDevice {
 public:
  TDevice() = default;
  ~TDevice();
  TDevice(const TDevice&) = delete;
  TDevice& operator=(const TDevice&) = delete;

  bool CacheEnabled = false;
  std::string Name;
  TDeviceKind Kind = dkBIOS;
  std::uint8_t MediaType = 0;  // 0 unknown, 1 floppy, 2 removable, 3 fixed, 4 remote, 5 CD-ROM, 6 RAM disk
  std::uint16_t Flags = 0;     // bit 0: removable medium
  std::uint32_t TotalSectors = 0;
  std::uint16_t BytesPerSector = 512;
  std::uint16_t Partitioned = 0;
  std::uint8_t Number = 0;
  std::uint32_t ReadAhead = 0;  // sectors per cache fill; 0 = never cached
  // Detection leaves the 100 ms measurement to the first read that could use
  // the cache: most runs never scan, and each device would cost it at start.
  bool ReadAheadPending = false;

  // Reads count sectors into buffer (count × BytesPerSector bytes).
  bool ReadSectors(std::uint32_t firstSector, std::uint16_t count, bool prompt, void* buffer);
  // The read without the cache.
  bool ReadSectorsDirect(std::uint32_t firstSector, std::uint16_t count, bool prompt, void* buffer);
  void SetCacheEnabled(bool value) { CacheEnabled = value; }
  void MeasureReadAhead();
};

class TDeviceList {
 public:
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  TDevice* Items(int index) const { return items_.at(static_cast<std::size_t>(index)).get(); }
  int IndexOf(const TDevice* device) const;
  // Appends every device found (the caller clears the list first).
  void Detect(TStatusDialog* dialog);
  std::string GetDeviceName(int index, bool withSize) const;
  // Appends a device made by the caller (tests and in-memory devices).
  TDevice* Add(std::unique_ptr<TDevice> device);

 private:
  std::vector<std::unique_ptr<TDevice>> items_;
};

}  // namespace vantrel
