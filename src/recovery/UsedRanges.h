#pragma once
// The parts of a FAT drive an imaging run copies before the rest of its
// device: the drive's own structures, the clusters its files use, or the
// clusters of chosen files and folders. Ranges are bytes (position, size)
// from the start of the imaged area, sectors first .. first + count - 1 of
// the drive's device; parts outside that area are left out. The imaging
// sorts and joins them, so that they are read forward in large runs.

#include <cstdint>
#include <utility>
#include <vector>

namespace vantrel {

class TFATdrive;
class TFSObject;

using TByteRanges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// The boot sectors, the FATs and the root folder (the fixed root area of
// FAT12/16, the root's chain on FAT32).
void AddDriveStructureRanges(TFATdrive& drive, std::uint64_t first, std::uint64_t count, TByteRanges& ranges);

// The drive's structures, the clusters the FAT marks in use (live files and
// folders) and those the deleted entries start (deleted files, as
// consecutive clusters).
void AddUsedRanges(TFATdrive& drive, std::uint64_t first, std::uint64_t count, TByteRanges& ranges);

// The clusters a save of items reads: each file's as its reader follows
// them with fatChoice (the choice of the save), each folder's own and those
// of everything under it, loaded as the save loads them (deletedMode: the
// deleted view). Chains are bounded by the files' sizes and the volume's
// clusters, a folder tree by the walk guard: a damaged volume ends the
// collection, never hangs it.
void AddItemRanges(TFATdrive& drive, const std::vector<TFSObject*>& items, bool deletedMode, std::uint8_t fatChoice,
                   std::uint64_t first, std::uint64_t count, TByteRanges& ranges);

}  // namespace vantrel
