#pragma once
// The exFAT format: the boot region (boot sector, extended boot sectors, OEM
// parameters, checksum sector) and its backup, the fields of the boot
// sector, and the 32-byte entries of directories: file, stream extension and
// file name entries forming entry sets, the allocation bitmap, up-case table
// and volume label entries. Decoded with bounds-checked readers only.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

// Fields of the exFAT boot sector.
constexpr std::size_t kExFATName = 3;  // "EXFAT   "
constexpr std::size_t kExFATPartitionOffset = 64;
constexpr std::size_t kExFATVolumeLength = 72;
constexpr std::size_t kExFATFatOffset = 80;
constexpr std::size_t kExFATFatLength = 84;
constexpr std::size_t kExFATClusterHeapOffset = 88;
constexpr std::size_t kExFATClusterCount = 92;
constexpr std::size_t kExFATRootCluster = 96;
constexpr std::size_t kExFATSerial = 100;
constexpr std::size_t kExFATRevision = 104;
constexpr std::size_t kExFATVolumeFlags = 106;
constexpr std::size_t kExFATBytesPerSectorShift = 108;
constexpr std::size_t kExFATSectorsPerClusterShift = 109;
constexpr std::size_t kExFATNumberOfFats = 110;
constexpr std::size_t kExFATPercentInUse = 112;

// The boot region: 12 sectors, the checksum sector last; its backup follows it.
constexpr std::uint32_t kExFATBootRegionSectors = 12;
constexpr std::uint32_t kExFATBackupBootSector = 12;

// Entry types of a directory; the top bit is the in-use bit.
constexpr std::uint8_t kExFATEndOfDirectory = 0x00;
constexpr std::uint8_t kExFATInUse = 0x80;
constexpr std::uint8_t kExFATBitmapEntry = 0x81;
constexpr std::uint8_t kExFATUpcaseEntry = 0x82;
constexpr std::uint8_t kExFATLabelEntry = 0x83;
constexpr std::uint8_t kExFATFileEntry = 0x85;
constexpr std::uint8_t kExFATStreamEntry = 0xC0;
constexpr std::uint8_t kExFATNameEntry = 0xC1;
constexpr std::uint8_t kExFATDeletedFile = 0x05;
constexpr std::uint8_t kExFATDeletedStream = 0x40;
constexpr std::uint8_t kExFATDeletedName = 0x41;

// Fields of a file entry.
constexpr std::size_t kExFATSecondaryCount = 1;
constexpr std::size_t kExFATSetChecksum = 2;
constexpr std::size_t kExFATAttributes = 4;
constexpr std::size_t kExFATCreateTimestamp = 8;
constexpr std::size_t kExFATModifyTimestamp = 12;
constexpr std::size_t kExFATAccessTimestamp = 16;
constexpr std::size_t kExFATCreate10ms = 20;
constexpr std::size_t kExFATModify10ms = 21;
constexpr std::size_t kExFATCreateUtcOffset = 22;
constexpr std::size_t kExFATModifyUtcOffset = 23;
constexpr std::size_t kExFATAccessUtcOffset = 24;
// Fields of a stream extension entry (and, first cluster and length, of the
// bitmap and up-case entries).
constexpr std::size_t kExFATStreamFlags = 1;  // bit 0: allocation possible, bit 1: no FAT chain
constexpr std::size_t kExFATNameLength = 3;
constexpr std::size_t kExFATNameHash = 4;
constexpr std::size_t kExFATValidDataLength = 8;
constexpr std::size_t kExFATFirstCluster = 20;
constexpr std::size_t kExFATDataLength = 24;
constexpr std::uint8_t kExFATNoFatChain = 0x02;
// A file name entry holds 15 UTF-16 units from byte 2; a volume label entry
// its length at byte 1 and up to 11 units from byte 2.
constexpr std::size_t kExFATNameUnits = 2;
constexpr std::uint32_t kExFATUnitsPerNameEntry = 15;
constexpr std::uint32_t kExFATMaxNameLength = 255;
// A set is a file entry and 2 to 18 secondary entries.
constexpr std::uint32_t kExFATMinSecondary = 2;
constexpr std::uint32_t kExFATMaxSecondary = 18;
// A directory holds no more than 256 MiB of entries.
constexpr std::uint64_t kExFATMaxDirectoryBytes = 256ull << 20;

constexpr std::uint16_t kExFATAttrDirectory = 0x10;

// True when the sector names itself exFAT ("EXFAT   " after the jump).
bool IsExFATBootSector(const std::uint8_t* sector, std::size_t size);

// The boot checksum over the first 11 sectors of a boot region (bytes of
// sectorSize each): the volume flags and percent-in-use bytes of the first
// sector do not count.
std::uint32_t ExFATBootChecksum(const std::uint8_t* region, std::uint32_t sectorSize);
// True when the checksum sector (the 12th) repeats that checksum.
bool ExFATBootRegionValid(const std::uint8_t* region, std::uint32_t sectorSize);

// The checksum of an entry set (count entries of 32 bytes), its own two
// bytes in the first entry left out.
std::uint16_t ExFATSetChecksum(const std::uint8_t* entries, std::uint32_t count);

// The layout a boot sector states; Valid is false when a field is out of
// what the format allows (shifts, FAT and heap outside the volume).
struct TExFATLayout {
  bool Valid = false;
  std::string Problem;  // why it is not valid
  std::uint32_t BytesPerSectorShift = 0, SectorsPerClusterShift = 0;
  std::uint64_t VolumeLength = 0;
  std::uint32_t FatOffset = 0, FatLength = 0, ClusterHeapOffset = 0, ClusterCount = 0, RootCluster = 0;
  std::uint32_t Serial = 0;
  std::uint16_t Revision = 0, VolumeFlags = 0;
  std::uint8_t NumberOfFats = 0, PercentInUse = 0;
};
TExFATLayout DecodeExFATBootSector(const std::uint8_t* sector, std::size_t size);

// A timestamp of a file entry as the FAT date and time words (the low 16
// bits are the time, the high 16 the date) and its 10 ms part.
inline std::uint16_t ExFATTime(std::uint32_t timestamp) { return static_cast<std::uint16_t>(timestamp); }
inline std::uint16_t ExFATDate(std::uint32_t timestamp) { return static_cast<std::uint16_t>(timestamp >> 16); }
// A UTC offset byte as minutes east of UTC (0 when the offset is not valid).
int ExFATUtcOffsetMinutes(std::uint8_t offset);

// What the root directory of an exFAT volume names besides files: the
// volume label, the allocation bitmap and the up-case table.
struct TExFATRootEntries {
  std::string Label;
  std::uint32_t BitmapCluster = 0;
  std::uint64_t BitmapLength = 0;
  std::uint32_t UpcaseCluster = 0;
  std::uint64_t UpcaseLength = 0;
  std::uint32_t UpcaseChecksum = 0;
};

}  // namespace vantrel
