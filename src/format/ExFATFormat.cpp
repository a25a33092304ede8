#include "format/ExFATFormat.h"

#include <cstring>

#include "common/Bytes.h"

namespace vantrel {

bool IsExFATBootSector(const std::uint8_t* sector, std::size_t size) {
  return size >= 512 && std::memcmp(sector + kExFATName, "EXFAT   ", 8) == 0;
}

std::uint32_t ExFATBootChecksum(const std::uint8_t* region, std::uint32_t sectorSize) {
  std::uint32_t sum = 0;
  const std::size_t bytes = std::size_t{sectorSize} * 11;
  for (std::size_t i = 0; i < bytes; ++i) {
    if (i == kExFATVolumeFlags || i == kExFATVolumeFlags + 1 || i == kExFATPercentInUse) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
  }
  return sum;
}

bool ExFATBootRegionValid(const std::uint8_t* region, std::uint32_t sectorSize) {
  const std::uint32_t sum = ExFATBootChecksum(region, sectorSize);
  const ByteSpan check(region + std::size_t{sectorSize} * 11, sectorSize);
  for (std::size_t at = 0; at + 4 <= sectorSize; at += 4)
    if (Le32(check, at) != sum) return false;
  return true;
}

std::uint16_t ExFATSetChecksum(const std::uint8_t* entries, std::uint32_t count) {
  std::uint16_t sum = 0;
  const std::size_t bytes = std::size_t{count} * 32;
  for (std::size_t i = 0; i < bytes; ++i) {
    if (i == kExFATSetChecksum || i == kExFATSetChecksum + 1) continue;
    sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + entries[i]);
  }
  return sum;
}

TExFATLayout DecodeExFATBootSector(const std::uint8_t* sector, std::size_t size) {
  TExFATLayout l;
  if (!IsExFATBootSector(sector, size)) {
    l.Problem = "no exFAT name";
    return l;
  }
  const ByteSpan b(sector, size);
  l.BytesPerSectorShift = Le8(b, kExFATBytesPerSectorShift);
  l.SectorsPerClusterShift = Le8(b, kExFATSectorsPerClusterShift);
  l.VolumeLength = Le64(b, kExFATVolumeLength);
  l.FatOffset = Le32(b, kExFATFatOffset);
  l.FatLength = Le32(b, kExFATFatLength);
  l.ClusterHeapOffset = Le32(b, kExFATClusterHeapOffset);
  l.ClusterCount = Le32(b, kExFATClusterCount);
  l.RootCluster = Le32(b, kExFATRootCluster);
  l.Serial = Le32(b, kExFATSerial);
  l.Revision = Le16(b, kExFATRevision);
  l.VolumeFlags = Le16(b, kExFATVolumeFlags);
  l.NumberOfFats = Le8(b, kExFATNumberOfFats);
  l.PercentInUse = Le8(b, kExFATPercentInUse);
  // 512 to 4096-byte sectors, clusters of at most 32 MiB.
  if (l.BytesPerSectorShift < 9 || l.BytesPerSectorShift > 12) {
    l.Problem = "bytes per sector shift " + std::to_string(l.BytesPerSectorShift) + " (valid range is 9-12)";
    return l;
  }
  if (l.SectorsPerClusterShift > 25 - l.BytesPerSectorShift) {
    l.Problem = "sectors per cluster shift " + std::to_string(l.SectorsPerClusterShift) + " (valid range is 0-" +
                std::to_string(25 - l.BytesPerSectorShift) + ")";
    return l;
  }
  if (l.NumberOfFats < 1 || l.NumberOfFats > 2) {
    l.Problem = "number of FATs " + std::to_string(l.NumberOfFats) + " (valid range is 1-2)";
    return l;
  }
  const std::uint64_t fatEnd = std::uint64_t{l.FatOffset} + std::uint64_t{l.FatLength} * l.NumberOfFats;
  const std::uint64_t heapEnd =
      l.ClusterHeapOffset + (std::uint64_t{l.ClusterCount} << l.SectorsPerClusterShift);
  if (l.FatOffset < 24 || l.FatLength == 0 || fatEnd > l.ClusterHeapOffset || l.ClusterCount == 0 ||
      heapEnd > l.VolumeLength || l.ClusterCount > 0xFFFFFFF5u ||
      std::uint64_t{l.FatLength} << l.BytesPerSectorShift < (std::uint64_t{l.ClusterCount} + 2) * 4) {
    l.Problem = "FAT or cluster heap outside the volume";
    return l;
  }
  if (l.RootCluster < 2 || l.RootCluster - 2 >= l.ClusterCount) {
    l.Problem = "root directory cluster " + std::to_string(l.RootCluster) + " (valid range is 2-" +
                std::to_string(std::uint64_t{l.ClusterCount} + 1) + ")";
    return l;
  }
  l.Valid = true;
  return l;
}

int ExFATUtcOffsetMinutes(std::uint8_t offset) {
  if (!(offset & 0x80)) return 0;
  // A signed 7-bit count of 15-minute steps.
  int steps = offset & 0x7F;
  if (steps & 0x40) steps -= 0x80;
  return steps * 15;
}

}  // namespace vantrel
