#pragma once
// An exFAT volume under the same model as a FAT one: the boot region (or its
// backup when the main one is damaged) gives the geometry, the FAT is read
// as 32-bit entries through the FAT volume's own readers, and the
// allocation bitmap, read a sector at a time, tells which clusters are free.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "format/ExFATFormat.h"
#include "fs/TFATdrive.h"

namespace vantrel {

class TExFATDirectory;

// What the root directory names is kept as the root entries say.
class TExFATdrive : public TFATdrive, public TExFATRootEntries {
 public:
  TExFATdrive();
  ~TExFATdrive() override;

  TExFATLayout Layout;
  // The boot region the volume was opened from (12 sectors).
  std::vector<std::uint8_t> BootRegion;
  bool FromBackup = false;
  // Why the main boot region was not used ("" when it was).
  std::string BootNote;

  bool Open(bool quiet) override;
  const char* TypeName() const override { return GeometryValid ? "exFAT" : "none"; }
  void CreateExFATTopFolders();

  // True when the allocation bitmap marks the cluster free (an unreadable
  // bitmap sector counts as in use).
  bool IsClusterFree(std::uint32_t cluster);
  // True when every one of count clusters from first on is free.
  bool RunIsFree(std::uint32_t first, std::uint64_t count);
  // The first cluster after this one that the bitmap marks free; 0 when none is left.
  std::uint32_t NextFreeCluster(std::uint32_t cluster) override;

  // Files listed so far that lie without a chain or end before their size.
  void NoteFile(std::uint32_t firstCluster, bool contiguous, std::uint64_t validLength, bool live);
  bool FileLayout(std::uint32_t firstCluster, TFileLayout& layout) const override;

  // The boot region that starts at deviceSector when its first sector is an
  // exFAT boot sector; checksumOk tells whether its checksum sector holds.
  static bool ReadBootRegion(TDevice& device, std::uint64_t deviceSector, std::vector<std::uint8_t>& region,
                             bool& checksumOk);

 protected:
  bool DeriveLayout() override;
  void ReportOddFields() const override {}
  std::string VolumeLabel() const override { return Label; }

 private:
  bool LoadBitmapSector(std::uint64_t sectorOfBitmap);
  void ReadRootEntries();

  struct TNote {
    TFileLayout Layout;
    bool Live = false;
  };
  std::unordered_map<std::uint32_t, TNote> notes_;
  // The bitmap's clusters in order, as its chain gives them; a sector of it
  // in the cache.
  std::vector<std::uint32_t> bitmapClusters_;
  std::vector<std::uint8_t> bitmapSector_;
  bool bitmapValid_ = false;
  std::uint64_t bitmapSectorNo_ = 0;
};

// True when the sector at deviceSector of the device, or the backup boot
// sector behind it, is an exFAT boot sector.
bool HoldsExFAT(TDevice& device, std::uint64_t deviceSector);

// Where the volume of an exFAT boot sector met at deviceSector starts: there
// when it is a main boot sector, 12 sectors earlier when it is the backup
// (told apart by where the first FAT then lies); kNoVolume when its fields
// are not those of a volume.
constexpr std::uint64_t kNoVolume = ~std::uint64_t{0};
std::uint64_t ExFATVolumeStart(TDevice& device, std::uint64_t deviceSector, const std::uint8_t* sector,
                               std::size_t size);

}  // namespace vantrel
