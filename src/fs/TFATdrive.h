#pragma once
// A FAT12, FAT16 or FAT32 volume: its boot sector and geometry, FAT entries
// through a one-sector cache, and cursors that walk cluster chains through a
// FAT copy or, when the FAT is gone, as consecutive clusters.

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "fs/FATEntries.h"
#include "fs/TCustom.h"

namespace vantrel {

class IFindDialog;
class TFATDirectory;

// Where a walk over a directory or any cluster chain stands. Cluster 0 is
// the fixed root area of FAT12/16, addressed by Sector.
struct TChainCursor {
  std::uint32_t Cluster = 0;
  std::uint32_t Sector = 0;
  std::uint32_t Index = 0;  // sectors or entries read in the current cluster (or sector)

  TChainCursor() = default;
  TChainCursor(std::uint32_t cluster, std::uint32_t sector) : Cluster(cluster), Sector(sector) {}

  // Clusters passed so far: a chain that comes back to one of them ends there.
  std::unordered_set<std::uint32_t> Visited;
  // The first sector of the fixed root area has been read.
  bool RootAreaStarted = false;
};

class TFATdrive : public TCustomDrive {
 public:
  TFATdrive();
  ~TFATdrive() override;

  std::uint8_t FATChoice = 1;        // 0: consecutive clusters; k: FAT copy k
  std::uint8_t SkipBadClusters = 1;  // pass over clusters the FAT marks bad in the lost-data search
  std::array<std::uint8_t, 90> BootRecord{};

  // Boot sector values.
  std::uint32_t BytesPerSector = 0;
  std::uint32_t SectorsPerCluster = 0;
  std::uint32_t ReservedSectors = 0;
  std::uint32_t NumberOfFATs = 0;
  std::uint32_t RootEntries = 0;

  // Geometry, in sectors of BytesPerSector bytes relative to the volume's start.
  std::uint8_t FATType = ftNone;
  std::uint32_t TotalSectors = 0;
  std::uint32_t BytesPerCluster = 0;
  std::uint32_t RootCluster = 0;
  std::uint32_t RootDirSectors = 0;
  std::uint32_t RootSector = 0;
  std::uint32_t FATSize = 0;
  std::uint32_t FATSectors = 0;
  std::uint32_t FirstDataSector = 0;
  std::uint32_t DataSectors = 0;
  std::uint32_t ClusterCount = 0;
  bool GeometryValid = false;

  // Volume-relative sectors of BytesPerSector bytes (one device sector before
  // the geometry is known).
  bool ReadSectors(std::uint32_t firstSector, std::uint16_t count, bool prompt, void* buffer) override;
  bool Open(bool quiet) override;
  void FillTree(ITreeView& tree) override;
  void SetupColumns(IListView& list) override;
  // Collects copies of the items matching the dialog's mask in the search folder.
  bool Find(IFindDialog& dialog);

  // The geometry from BootRecord, without reading anything.
  bool ComputeGeometry(bool quiet);
  void CreateTopFolders();

  std::uint32_t ClusterToSector(std::uint32_t cluster) const;
  bool IsValidCluster(std::uint32_t cluster) const { return cluster >= 2 && cluster - 1 <= ClusterCount; }
  std::uint32_t MaxCluster() const { return ClusterCount + 1; }
  std::uint32_t GetFATEntry(std::uint32_t cluster, std::uint32_t copy);
  bool IsEndOfChain(std::uint32_t value) const;
  // The cluster after this one by FATChoice; 0 when the chain ends there.
  std::uint32_t NextCluster(std::uint32_t cluster, std::uint8_t fatChoice);

  bool ReadChainSector(TChainCursor& cursor, std::uint8_t* buffer);
  bool ReadChainEntry(TChainCursor& cursor, std::uint8_t* entry);

  // The data cache of the file reader: one sector.
  const std::uint8_t* ReadDataSector(std::uint32_t sector, bool& ok);

  TFATDirectory* Root() const;
  TFATDirectory* Deleted() const;
  TFATDirectory* Lost() const;
  TFATDirectory* Search() const;

 private:
  bool ReadVolumeSector(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t sectors = 1);
  bool LoadDirSector(std::uint32_t sector);
  bool StepCluster(TChainCursor& cursor, const char* context);
  bool CanReadChain(const TChainCursor& cursor, const char* context) const;

  std::uint32_t deviceSectorsPerSector_ = 1;
  std::vector<std::uint8_t> fatCache_;  // two sectors back to back
  bool fatCacheValid_ = false;
  std::uint32_t fatCacheSector_ = 0;
  std::vector<std::uint8_t> dirCache_;
  bool dirCacheValid_ = false;
  std::uint32_t dirCacheSector_ = 0;
  std::vector<std::uint8_t> dataCache_;
  bool dataCacheValid_ = false;
  std::uint32_t dataCacheSector_ = 0;
};

}  // namespace vantrel
