#pragma once
// What a device's first sector and size say about it, the same for every
// platform backend: a volume without partition table, a floppy by its size,
// a plausible CHS layout for showing.

#include <cstdint>
#include <span>

#include "diskio/SectorAccess.h"

namespace vantrel {

// True when a sector 0 looks like a FAT boot sector (jump, plausible BIOS
// parameter block and the 0x55 0xAA signature): a volume without partition table.
// The strict boot-sector test of the FAT format: a device without a partition
// table that starts with a boot sector is one volume.
bool LooksLikeFATBootSector(std::span<const std::uint8_t> sector);
// A master boot record that can be read as a table: marker 0x55 0xAA, at
// least one entry, every entry with a boot flag of 0x00 or 0x80 and inside a
// device of totalSectors, no two entries overlapping.
bool LooksLikePartitionTable(std::span<const std::uint8_t> sector, std::uint64_t totalSectors);
// The sizes, in sectors of 512 bytes, of the standard floppy formats.
bool IsFloppySize(std::uint64_t sectors);

// A plausible CHS layout for a size in 512-byte sectors; only shown, never
// used for reading.
void FillPlausibleChs(TDiskGeometry& g, std::uint64_t sectors);

// Sets Unpartitioned and AlsoWholeVolume from sector 0 (empty when it could
// not be read) of a device of totalSectors.
void ClassifySectorZero(TDiskGeometry& g, std::span<const std::uint8_t> sector0, std::uint64_t totalSectors);

// A floppy by its size holds one volume over the whole medium, even when its
// boot sector is damaged; so does a small volume without table. True when g
// (size and sector 0 already classified) is such a medium: it becomes one.
bool MakeFloppyWhenItIsOne(TDiskGeometry& g, bool floppyDevice);

}  // namespace vantrel
