#pragma once
// Recognising FAT structures by their content alone: FAT sectors, directory
// sectors, "." entries, volume labels and boot sectors, and the boot sector
// written for a volume whose own is gone. Every byte tested here comes from
// a disk and may be anything; no function reads outside the size it is given.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fs/FATEntries.h"

namespace vantrel {

class TDevice;

constexpr std::size_t kDirEntrySize = 32;
constexpr std::size_t kBootRecordSize = 90;

// FAT entry number index of a sector read as if it began with entry 0.
// Unknown type: sectorSize. An entry that does not fit in the sector: 0.
std::uint32_t GetEntry(const std::uint8_t* sector, std::size_t sectorSize, std::uint32_t index, std::uint8_t fatType);

// Entry 0 is a media byte (0xF0, 0xF8 to 0xFE) with every higher bit set.
bool IsFATStart(const std::uint8_t* sector, std::size_t sectorSize, std::uint8_t fatType);

// Tries FAT32, FAT16 and FAT12 in this order. A type passes when more than 16
// used entries continue an ascending chain by exactly one and no used value
// is held by more than five examined entries. Sectors above 8192 bytes are
// judged by their first 8192 bytes.
bool DetectFAT(const std::uint8_t* sector, std::size_t sectorSize, std::uint8_t& fatType, bool& isStart);

// Copies directory entry number index and advances index; false, with
// nothing copied, when the entry does not fit in size bytes.
bool NextDirEntry(const std::uint8_t* buffer, std::size_t size, std::uint8_t entry[kDirEntrySize],
                  std::uint32_t& index);

// The 8.3 name with every blank dropped, as raw bytes: no case change, no
// code page, a 0xE5 deletion mark stays.
std::string ShortNameToString(const std::uint8_t entry[kDirEntrySize]);

// Why a buffer is not taken for a directory sector; dsOk when it is.
enum TDirSectorVerdict : std::uint8_t {
  dsOk = 0,
  dsTooShort,        // fewer than 16 entries
  dsEndOfDirectory,  // the first entry ends the directory
  dsBadName,         // a control character or a character that 8.3 names exclude
  dsBadCluster,      // start cluster outside 2..maxCluster + 1 (0 for a label)
  dsBadAttribute,    // attribute bit 0x40 or 0x80 set
  dsTooLarge,        // file size above maxSectors sectors of 512 bytes
  dsBadTime,
  dsBadDate,
};

// Judges the first 16 entries of the buffer.
TDirSectorVerdict CheckDirectorySector(const std::uint8_t* buffer, std::size_t size, std::uint32_t maxCluster,
                                       std::uint32_t maxSectors);
inline bool IsDirectorySector(const std::uint8_t* buffer, std::size_t size, std::uint32_t maxCluster,
                              std::uint32_t maxSectors) {
  return CheckDirectorySector(buffer, size, maxCluster, maxSectors) == dsOk;
}

// The buffer starts with a "." and a ".." folder entry; cluster gets the
// start cluster of ".".
bool HasDotEntries(const std::uint8_t* buffer, std::size_t size, std::uint32_t& cluster);

// Exactly one volume-label entry among the size / 32 entries.
bool HasVolumeLabel(const std::uint8_t* buffer, std::size_t size);

// Marker 0x55 0xAA, a short jump at byte 0 and a plausible sector size.
bool IsBootSector(const std::uint8_t* sector, std::size_t size);

// Writes the first 90 bytes of a boot sector for a volume with one reserved
// sector in front of its first FAT. Bytes per sector is the device's (512
// when the device has none from 512 to 4096). False, with the record left
// all zero, when the total does not fit 32 bits or a field does not fit its
// bytes.
bool BuildBootSector(const TDevice* device, std::span<std::uint8_t, kBootRecordSize> bootRecord,
                     std::uint32_t clusterCount, std::uint8_t fatCount, std::uint32_t fatSize,
                     std::uint32_t rootCluster, std::uint16_t rootEntries, std::uint16_t sectorsPerCluster,
                     std::uint8_t fatType);

// The cluster counts a volume of this type can have (the type follows from
// the count: below 4085 FAT12, below 65525 FAT16, else FAT32). 0 for no type.
std::uint32_t MinClusterCount(std::uint8_t fatType);
std::uint32_t MaxClusterCount(std::uint8_t fatType);

// Data clusters that fatSize sectors of the type can describe, less the two
// reserved entries, kept inside the type's range so that a volume built with
// it gets that type back. 0 when fatSize or the type is 0.
std::uint32_t EstimateClusterCount(std::uint8_t fatType, std::uint32_t fatSize, std::uint32_t sectorSize);

}  // namespace vantrel
