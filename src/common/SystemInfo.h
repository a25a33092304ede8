#pragma once
// What the system information dialog shows of the machine, gathered from
// what the system offers (on Linux sysconf, sysinfo, /proc, statvfs; on
// Windows the version, memory status, registry, folders and logical drives;
// the environment on both), and the lenient number reading of the
// properties dialog.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

struct TInfoRow {
  std::string Name;
  std::string Value;
};

// One mounted file system.
struct TMountRow {
  std::string Caption;     // mount point, and the volume label when there is one
  std::string FileSystem;  // empty for the kinds whose sizes are not asked
  int Image = 1;           // 0 removable, 1 fixed, 2 CD-ROM, 3 remote
  bool HasSizes = false;
  std::uint64_t TotalBytes = 0;
  std::uint64_t FreeBytes = 0;
};

struct TSystemInfo {
  std::vector<TInfoRow> Hardware;  // without the screen, which the window measures
  std::vector<TInfoRow> Software;
  std::vector<TMountRow> Drives;
  std::vector<TInfoRow> Environment;
};

TSystemInfo CollectSystemInfo();

// "%dx%d, %d-位(%d 色)": resolution, bits per pixel and 2 to their power.
std::string DisplayInfoText(int width, int height, int bitsPerPixel);

// An amount of bytes in MB, or in GB from 1024 MB on.
struct TCapacity {
  double Amount;
  const char* Unit;  // " MB" or " GB"
};
TCapacity CapacityOf(std::uint64_t bytes);

// An environment entry split at its first "=" (an entry starting with "="
// has an empty name).
TInfoRow SplitEnvironmentEntry(std::string_view entry);

// Reads an integer the lenient way: leading blanks skipped, an optional
// sign, decimal digits or hex digits after "$" or "0x"; the value of the
// valid leading part (0 when there is none). Never fails.
std::int64_t LenientStrToInt(std::string_view text);

}  // namespace vantrel
