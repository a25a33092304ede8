#pragma once
// The parts of the Windows backend that are plain arithmetic: device names
// per drive number, the kind of medium a disk driver reports, the sizes from
// its geometry and the UTF-16 form of a UTF-8 name. They build on every
// system, so that they are tested everywhere.

#include <cstdint>
#include <string>
#include <string_view>

#include "diskio/SectorAccess.h"

namespace vantrel {

// "\\.\PhysicalDrive" + n: the n-th disk of the machine.
std::string NTDiskDeviceName(std::size_t n);
// Physical drive 0x00 or 0x01: "\\.\A:" or "\\.\B:"; "" for any other number.
std::string NTFloppyDeviceName(std::uint8_t drive);
// Logical drive 1..26: "\\.\" + letter + ":"; "" outside that range.
std::string NTLogicalDeviceName(std::uint8_t drive);
// The drive root "X:\" of logical drive 1..26; "" outside that range.
std::string NTDriveRoot(std::uint8_t drive);
// True for names in the device namespace ("\\.\..."); anything else is an
// image file.
bool IsNTDeviceName(std::string_view name);
// The logical drive 1..26 that an "\\.\X:" name stands for, 0 for any other name.
std::uint8_t NTDriveOfDeviceName(std::string_view name);
// The number n of an "\\.\PhysicalDriveN" name, -1 for any other name.
long NTDiskNumberOfDeviceName(std::string_view name);

// MEDIA_TYPE values of the disk drivers that the table below names.
enum : std::uint32_t { kMediaUnknown = 0, kMediaRemovable = 11, kMediaFixed = 12 };

// Sets MediaKind and Removable from a driver's MEDIA_TYPE: 1..10 and 13..22
// are floppy formats (kind 1, removable), 11 a removable disk (2, removable),
// 12 a fixed disk (3); anything else is unknown (0).
void ApplyNTMediaType(std::uint32_t mediaType, TDiskGeometry& g);

// What a driver's DISK_GEOMETRY (and, when known, the exact size in bytes)
// gives: CHS, bytes per sector, the medium's kind and the size in 512-byte
// sectors. Without an exact size, the cylinders make it. False when the
// driver's numbers cannot describe a disk (negative cylinders, no bytes per
// sector).
bool FillFromNTGeometry(TDiskGeometry& g, std::int64_t cylinders, std::uint32_t mediaType,
                        std::uint32_t tracksPerCylinder, std::uint32_t sectorsPerTrack,
                        std::uint32_t bytesPerSector, std::uint64_t exactBytes);

// Strict UTF-8 to UTF-16 (surrogate pairs above U+FFFF). False on bytes that
// are not UTF-8 (overlong forms, surrogates, truncated sequences, values above
// U+10FFFF): such a name names no file.
bool Utf8ToUtf16(std::string_view text, std::u16string& out);

}  // namespace vantrel
