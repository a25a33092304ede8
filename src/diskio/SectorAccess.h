#pragma once
// The only place that touches a disk. Reads ranges of raw sectors of a
// physical disk (by BIOS drive number) or a logical drive (1 = A: .. 26 = Z:)
// and reports their geometry. There is no write operation.

#include <cstdint>
#include <string>

namespace vantrel {

struct TDiskGeometry {
  std::uint16_t MediaKind = 0;  // 0 unknown, 1 floppy, 2 removable, 3 fixed, 4 CD-ROM
  std::uint16_t Removable = 0;  // 1 when the medium can be removed
  std::uint32_t Heads = 0;
  std::uint32_t Cylinders = 0;
  std::uint32_t SectorsPerTrack = 0;
  std::uint32_t BytesPerSector = 0;
  // Exact size in 512-byte sectors (the last partial cylinder included).
  std::uint64_t TotalSectors = 0;
  // Sector 0 holds a FAT boot sector: a volume without a partition table.
  bool Unpartitioned = false;
  // Sector 0 holds both a FAT boot sector and a valid partition table (a
  // disk formatted whole and partitioned later): both are read.
  bool AlsoWholeVolume = false;
  // The exact size in bytes, when the platform knows it (0 otherwise).
  std::uint64_t TotalBytes = 0;
};

// Physical reads always use sectors of this size.
constexpr std::uint32_t kPhysicalSectorSize = 512;

// The user's answer to a failed read.
enum class TPromptAnswer { Abort = 3, Retry = 4, Ignore = 5 };

class IErrorPrompt {
 public:
  virtual ~IErrorPrompt() = default;
  virtual TPromptAnswer AskAbortRetryIgnore(const std::string& caption, const std::string& text) = 0;
};

// The prompt the front end installed; none answers Abort.
void SetErrorPrompt(IErrorPrompt* prompt);

// True when all count sectors are in buffer (ignored sectors count as read).
bool ReadPhysicalSectors(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count,
                         bool prompt, void* buffer);
// Logical drives never prompt.
bool ReadLogicalSectors(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count,
                        void* buffer);
// The error code of the last physical read that failed (0 when none did).
int LastReadError();
// Asks the installed prompt about a failed read of a physical drive, with the
// text the sector layer's own prompt shows; none installed answers Abort.
TPromptAnswer AskReadError(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count, int error);
bool GetPhysicalGeometry(std::uint8_t drive, TDiskGeometry& geometry);
bool GetLogicalGeometry(std::uint8_t drive, TDiskGeometry& geometry);

// Closes the cached read handles (program end, or after the platform's
// device table changed).
void CloseSectorHandles();

// True on the NT family and on systems with device files (Linux): the reads
// go through device files. False on Windows 95/98/ME, where they go through
// the BIOS and DOS services. Found once from the system's version; tests
// set it.
bool IsNT();
void SetIsNT(bool value);

// The switches of the Windows 95/98/ME services (the UseINT13, UseVEV13UDI
// and UseINT25 options), all on at start: floppy geometry through INT 13h,
// hard-disk geometry and every physical read through the BIOS extensions,
// logical drives other than CD-ROM through the DOS absolute reads.
void SetLegacyAccessSwitches(bool useINT13, bool useVEV13UDI, bool useINT25);

}  // namespace vantrel
