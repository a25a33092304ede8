#pragma once
// Reading 32-byte directory entries with their long names.

#include <cstdint>
#include <string>

#include "format/FATFormat.h"

namespace vantrel {

class TFATdrive;
struct TChainCursor;

// The 8.3 name of an entry in UTF-8: blanks dropped, the volume's code page
// decoded, the lower-case flags of the entry applied. A first byte 0x05
// stands for a real 0xE5 character; a deleted entry keeps its raw 0xE5
// deletion mark as the first byte, in front of the decoded rest.
std::string DecodeShortName(const std::uint8_t* entry);

// Reads the next entry of a directory with its name (long name when one
// precedes it). False at the end of the directory or when a read fails.
bool ReadDirEntry(TFATdrive& drive, TChainCursor& cursor, bool includeDeleted, std::string& name,
                  std::uint8_t* entry);

// Assembles a long name whose first (last-part) entry was just read; on
// success entry holds the short entry that follows the name.
bool ReadLongName(TFATdrive& drive, TChainCursor& cursor, std::uint8_t* entry, std::string& name);

}  // namespace vantrel
