#pragma once
// A FAT12, FAT16 or FAT32 volume: its boot sector and geometry, FAT entries
// through a one-sector cache, and cursors that walk cluster chains through a
// FAT copy or, when the FAT is gone, as consecutive clusters.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/FATChoice.h"
#include "format/FATFormat.h"
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
  // The chain ended at a sector (of the folder or of the FAT) that could not
  // be read, not at its end: what was read of it is not all there is.
  bool ReadFailed = false;
  // A folder listing goes on past a sector it cannot read (losing only that
  // sector's entries); the content tests of a cluster stop there.
  bool SkipUnreadable = false;
};

class TFATdrive : public TCustomDrive {
 public:
  TFATdrive();
  ~TFATdrive() override;

  std::uint8_t FATChoice = 1;        // 0: consecutive clusters; k: FAT copy k; kFATChoiceFree: free ones
  // Why FATChoice is not the first copy ("" when it is), for the drive
  // dialog and the debug log.
  std::string FATChoiceNote;
  // What the partition table that lists the drive lacks ("" when nothing),
  // for the drive dialog and the drive list.
  std::string TableNote;
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
  // The file system's name as the drive list shows it.
  virtual const char* TypeName() const { return GeometryValid ? FATTypeName(FATType) : "none"; }

  // Volume-relative sectors of BytesPerSector bytes (one device sector before
  // the geometry is known).
  bool ReadSectors(std::uint32_t firstSector, std::uint16_t count, bool prompt, void* buffer) override;
  bool Open(bool quiet) override;
  void FillTree(ITreeView& tree) override;
  void SetupColumns(IListView& list) override;
  // Collects copies of the items matching the dialog's mask in the search folder.
  bool Find(IFindDialog& dialog);

  // Ends the volume at sectors (of BytesPerSector bytes) when it is larger,
  // as far as its FAT type keeps the clusters it needs: a volume rebuilt
  // from an estimate must not run past its device or into the next volume.
  // The boot record follows; the name stays. True when it changed.
  bool LimitSectors(std::uint32_t sectors);
  // The geometry from BootRecord, without reading anything.
  bool ComputeGeometry(bool quiet);
  void CreateTopFolders();

  std::uint32_t ClusterToSector(std::uint32_t cluster) const;
  bool IsValidCluster(std::uint32_t cluster) const { return cluster >= 2 && cluster - 1 <= ClusterCount; }
  std::uint32_t MaxCluster() const { return ClusterCount + 1; }
  std::uint32_t GetFATEntry(std::uint32_t cluster, std::uint32_t copy);
  // True when FAT copy `copy` (from 0) describes files: an entry of a data
  // cluster (the FAT32 root's own excepted) is in use or ends a chain. With
  // withMedia, entry 0 must also carry a media byte, as in every FAT written
  // by a format. Unreadable sectors count as empty.
  bool FATCopyHoldsChains(std::uint32_t copy, bool withMedia);
  bool IsEndOfChain(std::uint32_t value) const;
  // The first cluster after this one that the first FAT copy marks free;
  // the next cluster on a volume without a usable FAT; 0 when none is left.
  virtual std::uint32_t NextFreeCluster(std::uint32_t cluster);
  // The cluster after this one by FATChoice; 0 when the chain ends there.
  std::uint32_t NextCluster(std::uint32_t cluster, std::uint8_t fatChoice);

  // The next sector or entry of a folder's chain. False at its end and where
  // a sector cannot be read; the cursor's ReadFailed tells the two apart.
  bool ReadChainSector(TChainCursor& cursor, std::uint8_t* buffer);
  bool ReadChainEntry(TChainCursor& cursor, std::uint8_t* entry);
  // Chain reads of this drive that an unreadable sector cut short (each
  // also sets its cursor's ReadFailed and leaves a line in the debug log).
  std::uint32_t ChainReadFailures = 0;

  // Volume sectors among these that the device could not read (an Ignore
  // answer delivers them as zeros).
  bool HasUnreadableSectors(std::uint32_t firstSector, std::uint32_t count) const;

  // The data cache of the file reader: one sector.
  const std::uint8_t* ReadDataSector(std::uint32_t sector, bool& ok);
  // Puts a sector read with others into that cache.
  void KeepDataSector(std::uint32_t sector, const std::uint8_t* data);

  // How the data of the file that starts at firstCluster lies where the FAT
  // does not tell: a file system that keeps a file's clusters back to back
  // without a chain has it read as consecutive clusters whatever the FAT
  // choice, and bytes past its valid length read as zeros. False when the
  // chain (or the FAT choice) says all, as on every FAT volume.
  struct TFileLayout {
    bool Contiguous = false;
    std::uint64_t ValidLength = ~std::uint64_t{0};
  };
  virtual bool FileLayout(std::uint32_t firstCluster, TFileLayout& layout) const {
    (void)firstCluster;
    (void)layout;
    return false;
  }

  TFATDirectory* Root() const;
  TFATDirectory* Deleted() const;
  TFATDirectory* Lost() const;
  TFATDirectory* Search() const;

 protected:
  // The steps of ComputeGeometry: the fields of the boot record and the layout
  // they give (false when they give none), the messages on fields that are
  // odd but usable, the label, and the judgement whether the FAT is of use.
  virtual bool DeriveLayout();
  virtual void ReportOddFields() const;
  virtual std::string VolumeLabel() const;
  void SetDeviceSectorsPerSector(std::uint32_t n) { deviceSectorsPerSector_ = n; }

 private:

  // FAT copies looked at when choosing one.
  static constexpr std::uint32_t kMaxFATCopiesProbed = 8;
  void ChooseFAT();
  bool IsMediaEntry(std::uint32_t value) const;
  bool ReadVolumeSector(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t sectors = 1);
  // A sector of FAT copy `copy`; where it cannot be read, the same sector of
  // the other copies, before the user is asked about it.
  bool ReadFATSector(std::uint32_t sector, std::uint32_t copy, std::uint8_t* buffer);
  // The sector from the window of FAT sectors read last (reading the window
  // that holds it first); false when it could not be read that way.
  bool ReadFATWindow(std::uint32_t sector, std::uint32_t copy, std::uint8_t* buffer);
  // A folder's sectors in the walk of its chain come through a window over
  // their cluster (or the fixed root area); tests of single clusters read
  // one sector.
  bool LoadDirSector(std::uint32_t sector, bool walk = false);
  // With entries, a step that follows no chain (consecutive or free
  // clusters) ends where the next cluster is no continuation of a folder.
  bool StepCluster(TChainCursor& cursor, const char* context, bool entries = false);
  bool ContinuesFolder(std::uint32_t cluster);
  bool ChainReadFailed(TChainCursor& cursor, std::uint32_t sector);
  bool CanReadChain(const TChainCursor& cursor, const char* context) const;

  std::uint32_t deviceSectorsPerSector_ = 1;
  std::vector<std::uint8_t> fatCache_;  // two sectors back to back
  bool fatCacheValid_ = false;
  std::uint32_t fatCacheSector_ = 0;
  // FAT sectors read a window at a time: the walks of many chains ask for
  // the same few sectors again and again, and a slow disk takes as long for
  // one sector as for 64.
  struct TFATWindow {
    const TDevice* Device = nullptr;
    std::uint32_t First = 0;
    std::uint32_t Count = 0;
    std::vector<std::uint8_t> Data;
    std::vector<bool> Readable;
  } fatWindow_, dirWindow_;
  // Reads sector of the region [regionStart, regionStart + regionSize)
  // through w, a window of up to 64 sectors aligned within the region.
  bool ReadThroughWindow(TFATWindow& w, std::uint64_t regionStart, std::uint64_t regionSize, std::uint32_t sector,
                         std::uint8_t* buffer);
  // The FAT sector of the last GetFATEntry that could not be read; cleared by
  // the steps of a chain before they ask.
  bool fatReadFailed_ = false;
  std::uint32_t fatFailedSector_ = 0;
  std::vector<std::uint8_t> dirCache_;
  bool dirCacheValid_ = false;
  std::uint32_t dirCacheSector_ = 0;
  std::vector<std::uint8_t> dataCache_;
  bool dataCacheValid_ = false;
  std::uint32_t dataCacheSector_ = 0;
};

}  // namespace vantrel
