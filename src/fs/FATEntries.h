#pragma once
// FAT types and the kinds of FAT entries, shared by the volume, the
// directories, the lost-data search and the analyser.

#include <cstdint>

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

}  // namespace vantrel
