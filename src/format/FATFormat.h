#pragma once
// The FAT format in one place: the fields of the boot sector, of directory
// entries and of partition entries, the decoding of FAT entries of 12, 16
// and 32 bits, short names, and the two tests of a boot sector. Every reader
// of these structures, from the platform backend up to the searches, goes
// through the names and functions here.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

enum TFATType : std::uint8_t { ftNone = 0, ftFAT12 = 1, ftFAT16 = 2, ftFAT32 = 3 };

enum TFATEntryKind : std::uint8_t { feUsed = 1, feFree = 2, feReserved = 4, feEndOfChain = 8 };

// Kind of a FAT entry value (FAT32 values with their top four bits cleared).
// With an unknown type, 0 is free and everything else used.
constexpr TFATEntryKind ClassifyEntry(std::uint8_t fatType, std::uint32_t value) {
  if (value == 0) return feFree;
  std::uint32_t reservedFrom, endFrom;
  switch (fatType) {
    case ftFAT12: reservedFrom = 0xFF1; endFrom = 0xFF8; break;
    case ftFAT16: reservedFrom = 0xFFF1; endFrom = 0xFFF8; break;
    case ftFAT32: reservedFrom = 0x0FFFFFF1; endFrom = 0x0FFFFFF8; break;
    default: return feUsed;
  }
  if (value >= endFrom) return feEndOfChain;
  if (value >= reservedFrom) return feReserved;
  return feUsed;
}

constexpr const char* FATTypeName(std::uint8_t fatType) {
  switch (fatType) {
    case ftFAT12: return "FAT12";
    case ftFAT16: return "FAT16";
    case ftFAT32: return "FAT32";
    default: return "none";
  }
}

// Fields of the boot sector.
constexpr std::size_t kBpbJump = 0;
constexpr std::size_t kBpbBytesPerSector = 11;
constexpr std::size_t kBpbSectorsPerCluster = 13;
constexpr std::size_t kBpbReservedSectors = 14;
constexpr std::size_t kBpbNumberOfFATs = 16;
constexpr std::size_t kBpbRootEntries = 17;
constexpr std::size_t kBpbTotalSectors16 = 19;
constexpr std::size_t kBpbMedia = 21;
constexpr std::size_t kBpbFATSize16 = 22;
constexpr std::size_t kBpbTotalSectors32 = 32;
constexpr std::size_t kBpbFATSize32 = 36;
constexpr std::size_t kBpbVolumeLabel16 = 43;
constexpr std::size_t kBpbRootCluster32 = 44;
constexpr std::size_t kBpbBackupBootSector32 = 50;
constexpr std::size_t kBpbVolumeLabel32 = 71;
constexpr std::size_t kBootSignature = 510;  // 0x55 0xAA

// Fields of a 32-byte directory entry, and its attribute bits.
constexpr std::size_t kDirEntrySize = 32;
constexpr std::size_t kDirAttr = 11;
constexpr std::size_t kDirCaseFlags = 12;  // 0x08: base in lower case, 0x10: extension
constexpr std::size_t kDirCreateTime = 14;
constexpr std::size_t kDirCreateDate = 16;
constexpr std::size_t kDirAccessDate = 18;
constexpr std::size_t kDirClusterHigh = 20;
constexpr std::size_t kDirWriteTime = 22;
constexpr std::size_t kDirWriteDate = 24;
constexpr std::size_t kDirClusterLow = 26;
constexpr std::size_t kDirFileSize = 28;

// A long-name entry (attribute kAttrLongName) keeps the checksum of its short name here.
constexpr std::size_t kLfnChecksum = 13;

constexpr std::uint8_t kAttrVolumeLabel = 0x08;
constexpr std::uint8_t kAttrDirectory = 0x10;
constexpr std::uint8_t kAttrLongName = 0x0F;
constexpr std::uint8_t kDeletedMark = 0xE5;

// Fields of the partition table in a master or extended boot record.
constexpr std::size_t kPartitionTable = 446;
constexpr std::size_t kPartitionEntrySize = 16;
constexpr std::size_t kPartitionType = 4;
constexpr std::size_t kPartitionStart = 8;
constexpr std::size_t kPartitionSectors = 12;

// Where entry index of a FAT of the type starts, in bytes from the FAT's start.
constexpr std::size_t FATEntryOffset(std::uint32_t index, std::uint8_t fatType) {
  switch (fatType) {
    case ftFAT12: return static_cast<std::size_t>(index) + index / 2;
    case ftFAT16: return static_cast<std::size_t>(index) * 2;
    default: return static_cast<std::size_t>(index) * 4;
  }
}
// Bytes that hold one entry (a FAT12 entry shares its two bytes with a neighbour).
constexpr std::size_t FATEntryWidth(std::uint8_t fatType) { return fatType == ftFAT32 ? 4 : 2; }

// The entry whose bytes start at p, FATEntryWidth bytes of which must be
// readable; index only tells the halves of FAT12 apart. FAT32 values lose
// their top four bits.
constexpr std::uint32_t DecodeFATEntry(const std::uint8_t* p, std::uint32_t index, std::uint8_t fatType) {
  switch (fatType) {
    case ftFAT12: {
      const std::uint32_t word = p[0] | (p[1] << 8);
      return (index & 1) ? word >> 4 : word & 0xFFF;
    }
    case ftFAT16: return static_cast<std::uint32_t>(p[0] | (p[1] << 8));
    default:
      return (static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
              (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24)) &
             0x0FFFFFFF;
  }
}

// Fields of a directory entry (32 bytes at entry).
std::uint32_t EntryCluster(const std::uint8_t* entry);
std::uint32_t EntrySize(const std::uint8_t* entry);
std::uint16_t EntryTime(const std::uint8_t* entry);
std::uint16_t EntryDate(const std::uint8_t* entry);

// The 8.3 name of an entry as raw bytes, blanks dropped: the base and the
// extension, each without code page or case applied.
void SplitShortName(const std::uint8_t* entry, std::string& base, std::string& extension);
// The raw 8.3 name as "BASE.EXT" (a 0xE5 deletion mark stays).
std::string ShortNameToString(const std::uint8_t* entry);
// True when the 32 bytes at entry cannot be a short entry any system wrote:
// a name byte below 0x20 (a first byte 0x05, standing for 0xE5, excepted),
// a first byte 0x20, or attribute bits above 0x20 set. A long-name entry
// is no short entry and is not judged here.
bool ShortEntryDamaged(const std::uint8_t* entry);
// The checksum of the 11 name bytes of a short entry that its long-name
// entries carry.
std::uint8_t ShortNameChecksum(const std::uint8_t* entry);

// The strict test, before a sector is opened as a volume with nothing else
// to go by: marker 0x55 0xAA, a jump (EB xx 90 or E9), a sector size of 512
// to 4096 bytes, a power of two of sectors per cluster, reserved sectors, 1
// to 4 FATs and a media byte.
bool IsBootSectorStrict(const std::uint8_t* sector, std::size_t size);
// The lenient test, while scanning a device for lost volumes, where damaged
// fields are common and the analyser judges the rest: marker 0x55 0xAA, a
// short jump at byte 0 and a sector size of 512 to 8192 bytes.
bool IsBootSectorLenient(const std::uint8_t* sector, std::size_t size);

}  // namespace vantrel
