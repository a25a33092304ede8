#pragma once
// Rebuilds FAT volumes whose boot sector is gone. The lost-drive search feeds
// every sector of its range, in ascending order; the analyser collects where
// the first FAT starts, its copies and their size, the FAT type, the cluster
// size from two "." entries, and the root directory (the directory sector
// holding the volume label). Once all of that is known it writes a boot
// sector for the volume, hands it to its sink and starts afresh, so that one
// pass can rebuild several volumes.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/FATBlocks.h"

namespace vantrel {

class TDevice;

// Receives each rebuilt volume: the device, the sector in front of its first
// FAT (where the volume is taken to start, with one reserved sector) and the
// 90 bytes of the boot record written for it.
class IRebuiltVolumeSink {
 public:
  virtual ~IRebuiltVolumeSink() = default;
  // False when the volume was not taken (it is one already listed).
  virtual bool AddRebuiltVolume(TDevice* device, std::uint32_t startSector, const std::uint8_t* bootRecord) = 0;
};

class TFATAnalyser {
 public:
  // Sector numbers are absolute on the device.
  TDevice* Device = nullptr;                 // not owned
  std::vector<std::uint8_t> SavedFATSector;  // first 512 bytes of the first FAT start
  std::uint32_t FATStart = 0;                // 0 = none yet
  std::uint32_t FATEnd = 0;                  // last sector of the first FAT; 0 = not known
  std::uint8_t FATCount = 0;
  std::uint32_t FATSize = 0;      // sectors in one FAT; 0 = not known
  std::uint8_t FATType = ftNone;  // of the last sector that passed the FAT test
  bool FATFound = false;
  bool DataFound = false;  // a "." sector was met: the FAT phase is over
  bool RootFound = false;
  std::uint16_t SectorsPerCluster = 0;  // 0 = not known
  std::uint32_t ClusterCount = 0;       // estimate from FATSize; 0 = not known
  std::uint32_t FirstDirCluster = 0;
  std::uint32_t FirstDirSector = 0;
  std::uint32_t DataStart = 0;  // sector of cluster 2
  std::uint8_t DirRun = 0;      // directory sectors in a row up to the current one
  std::uint32_t RootSector = 0;
  std::uint32_t RootCluster = 0;  // FAT32; 0 for the fixed root area of FAT12/16
  std::uint16_t RootEntries = 0;  // size of the fixed root area of FAT12/16
  std::uint8_t RootDirRun = 0;    // DirRun when the root candidate was taken

  // Sectors below this one belong to a volume rebuilt in this scan and are
  // not examined again; kept by Reset.
  std::uint32_t SkipUntil = 0;

  IRebuiltVolumeSink* Sink = nullptr;  // not owned; kept by Reset

  void Start(TDevice* device);
  void Reset();
  void Finish();
  bool IsBootSector(const std::uint8_t* sector, std::size_t size) const;
  // Feeds one sector; true when it completed a volume that went to the sink.
  bool AnalyseSector(TDevice* device, std::uint32_t sectorNo, std::uint32_t sectorSize, const std::uint8_t* sector);

 private:
  void NoteFATStart(std::uint32_t sectorNo, std::uint32_t sectorSize, const std::uint8_t* sector);
  void NoteDotEntry(std::uint32_t sectorNo, std::uint32_t dotCluster, std::uint32_t sectorSize);
  bool RootStillPlausible(std::uint32_t sectorSize);
  bool Complete(std::uint32_t sectorSize);
};

}  // namespace vantrel
