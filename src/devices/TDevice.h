#pragma once
// A readable unit of the machine: a physical disk (BIOS drive number) or a
// logical drive holding FAT. Every sector the program reads goes through
// TDevice::ReadSectors, which puts the read-ahead cache in front of the
// sector layer during long scans.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/SectorRanges.h"

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
  std::uint64_t TotalSectors = 0;
  std::uint16_t BytesPerSector = 512;
  std::uint16_t Partitioned = 0;  // bit 0: read the partition table; bit 1: sector 0 is also a boot sector
  std::uint8_t Number = 0;
  std::uint32_t ReadAhead = 0;  // sectors per cache fill; 0 = never cached
  // Detection leaves the 100 ms measurement to the first read that could use
  // the cache: most runs never scan, and each device would cost it at start.
  bool ReadAheadPending = false;

  // Reads count sectors into buffer (count × BytesPerSector bytes).
  // A dying disk can lose more with every read: a sector that failed is
  // remembered for the run and not read again unless the user answers
  // Retry. A read that fails is split once into single sectors, so that
  // every good sector of it is still delivered; the bad ones become zeros.
  // Without prompt such a read is false; with it the user's Ignore makes
  // it true (the sector stays remembered as unreadable) and Abort false.
  bool ReadSectors(std::uint64_t firstSector, std::uint16_t count, bool prompt, void* buffer);
  // The read without the cache.
  bool ReadSectorsDirect(std::uint64_t firstSector, std::uint16_t count, bool prompt, void* buffer);

  // Sectors that could not be read in this run, or that an imaging map
  // marks as not rescued.
  const TSectorRanges& Unreadable() const { return unreadable_; }
  bool HasUnreadableSectors(std::uint64_t firstSector, std::uint64_t count) const {
    return unreadable_.Intersects(firstSector, count);
  }
  // Marks sectors unreadable without reading them: an imaging map says the
  // copy holds no bytes of theirs, so even Retry does not read them (the
  // image would give zeros that look like data).
  void MarkUnreadable(std::uint64_t firstSector, std::uint64_t count) {
    unreadable_.Add(firstSector, count);
    notCopied_.Add(firstSector, count);
  }
  // Forgets every sector marked unreadable (a map applied again after the
  // image it describes grew).
  void ForgetUnreadable() {
    unreadable_.Clear();
    notCopied_.Clear();
  }
  // Reads the sector layer was spared because the sector was known bad.
  std::uint64_t SparedReads = 0;
  // Reads of the sector layer that failed in this run: the device is
  // failing. Sectors an imaging map marks unreadable are never read and
  // count for nothing here.
  std::uint64_t FailedReads = 0;
  void SetCacheEnabled(bool value) { CacheEnabled = value; }
  void MeasureReadAhead();

 private:
  // One read of the sector layer, never prompting.
  bool RawRead(std::uint64_t firstSector, std::uint16_t count, std::uint8_t* buffer);
  // Each sector of the request alone; the bad ones become zeros.
  bool ReadSplit(std::uint64_t firstSector, std::uint16_t count, bool prompt, std::uint8_t* buffer);
  // The answer to a bad sector: false when it stays unread.
  bool AnswerBadSector(std::uint64_t sector, bool prompt, std::uint8_t* buffer, std::uint64_t requestFirst,
                       std::uint16_t requestCount);
  TSectorRanges unreadable_;
  TSectorRanges notCopied_;  // marked by MarkUnreadable
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
