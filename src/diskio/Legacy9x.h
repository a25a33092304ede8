#pragma once
// The sector layer's four operations on Windows 95, 98 and ME: physical
// disks through the BIOS (INT 13h and its extensions), logical drives
// through DOS (INT 25h, INT 21h 7305h and 440Dh) and CD-ROM drives through
// the DOS CD-ROM extensions, each reached through a virtual device driver.
// The sector layer runs these when the system is not of the NT family.

#include <cstdint>

#include "diskio/Legacy9xDrivers.h"
#include "diskio/SectorAccess.h"

namespace vantrel {

// Installs the drivers (tests); nullptr goes back to the system's own. The
// drivers in use are closed first, and the new ones are opened at the next
// call that needs them.
void SetLegacy9xDrivers(I9xDrivers* drivers);

// Opens the three drivers once (start-up on these systems); a driver that
// cannot be loaded is reported once, and what needs it fails from then on.
void StartLegacy9x();
// Unloads the BIOS-extensions driver and closes the others (program end).
void EndLegacy9x();

// The system understands FAT32 volumes: Windows 98 and ME, and Windows 95
// whose service text is "B" (OSR2).
bool Is9xFAT32(const TVersionInfo& version);

bool Read9xPhysicalSectors(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count,
                           bool prompt, void* buffer);
bool Read9xLogicalSectors(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count,
                          void* buffer);
bool Get9xPhysicalGeometry(std::uint8_t drive, TDiskGeometry& geometry);
bool Get9xLogicalGeometry(std::uint8_t drive, TDiskGeometry& geometry);

// The prompt that the front end installed (nullptr: every failure aborts).
IErrorPrompt* CurrentErrorPrompt();

}  // namespace vantrel
