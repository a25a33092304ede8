#pragma once
// The modification dates of saved files and folders, from their entries.

#include <cstdint>
#include <string>

namespace vantrel {

// Whether a FAT date and time name a moment that can be: a month of 1 to
// 12, a day the month has, hours, minutes and seconds in range, not the
// zero date.
bool FATDateIsValid(std::uint16_t date, std::uint16_t time);

// Gives the file or folder at path the FAT date and time of its entry, taken
// as the local time of this machine; false when the date cannot be (the
// file keeps the time it was written) or the date could not be set.
bool SetFATModificationTime(const std::string& path, std::uint16_t date, std::uint16_t time);

// The FAT date and time as "YYYY-MM-DDThh:mm:ss" (local time, no zone), or
// empty when it cannot be.
std::string FATDateIso(std::uint16_t date, std::uint16_t time);

}  // namespace vantrel
