#include "fs/ClusterTests.h"

#include <array>

#include "fs/DirEntries.h"
#include "fs/FATBlocks.h"
#include "fs/TFATdrive.h"

namespace vantrel {

bool ClusterHasDotEntries(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector) {
  TChainCursor cursor(cluster, sector);
  std::array<std::uint8_t, 64> entries{};
  if (!drive.ReadChainEntry(cursor, entries.data()) || !drive.ReadChainEntry(cursor, entries.data() + 32))
    return false;
  std::uint32_t dotCluster = 0;
  return HasDotEntries(entries.data(), entries.size(), dotCluster);
}

bool IsDirectoryCluster(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector) {
  // The lost-data search asks this for every cluster it scans: the sector
  // goes on the stack (an open volume has sectors of 4096 bytes at most).
  std::array<std::uint8_t, 4096> buffer;
  if (drive.BytesPerSector == 0 || drive.BytesPerSector > buffer.size()) return false;
  TChainCursor cursor(cluster, sector);
  if (!drive.ReadChainSector(cursor, buffer.data())) return false;
  // The directory test judges 512 bytes, the size of a sector it was made for.
  return IsDirectorySector(buffer.data(), 512, drive.ClusterCount, drive.DataSectors);
}

bool ClusterHasVolumeLabel(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector) {
  TChainCursor cursor(cluster, sector);
  const std::uint32_t entries = drive.BytesPerCluster / 32;
  int labels = 0;
  std::array<std::uint8_t, 32> e{};
  for (std::uint32_t i = 0; i < entries && drive.ReadChainEntry(cursor, e.data()); ++i)
    if (HasVolumeLabel(e.data(), e.size()) && ++labels > 1) return false;
  return labels == 1;
}

bool DirectoryClusterEmpty(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector) {
  TChainCursor cursor(cluster, sector);
  std::array<std::uint8_t, 32> e{};
  // Past "." and "..".
  if (!drive.ReadChainEntry(cursor, e.data()) || !drive.ReadChainEntry(cursor, e.data())) return true;
  std::string name;
  return !ReadDirEntry(drive, cursor, false, name, e.data());
}

bool DirectoryClusterHoldsDeleted(TFATdrive& drive, std::uint32_t cluster, std::uint32_t sector) {
  TChainCursor cursor(cluster, sector);
  std::array<std::uint8_t, 32> e{};
  if (!drive.ReadChainEntry(cursor, e.data()) || !drive.ReadChainEntry(cursor, e.data())) return false;
  std::string name;
  while (ReadDirEntry(drive, cursor, true, name, e.data()))
    if (e[0] == kDeletedMark && !(e[kDirAttr] & kAttrVolumeLabel)) return true;
  return false;
}

}  // namespace vantrel
