#pragma once
// A failing disk for the tests (Linux only): an image file served through
// FUSE by failing_disk.py with sectors that cannot be read and sectors that
// read slowly, and a count of the reads of every sector.

#include <cstdint>
#include <map>
#include <string>

namespace vantrel::test {

struct FailingDiskSetup {
  std::string Bad;    // "A[-B],..." in 512-byte sectors
  std::string Slow;
  double BadDelay = 0.0;   // seconds a failing read takes
  double SlowDelay = 0.0;  // seconds a slow read takes
};

// Why no failing disk can be served here ("" when one can): no /dev/fuse,
// no Debian python3 with fusepy, or a Windows build.
std::string FailingDiskUnavailable();

// The volume the failing-disk tests serve: count files of about 64 KiB
// ("F00.BIN", "F01.BIN", ...; the i-th is Pattern(seed + i, 65536 - 300 i))
// on a fresh FAT16 volume of 8 MiB with 1 KiB clusters, made by mkfs.fat and
// mtools in dir. Each file lies in consecutive clusters.
struct FailingVolume {
  std::string image;
  std::map<std::string, std::string> files;          // name → content
  std::map<std::string, std::uint64_t> firstSector;  // name → its first sector
  std::uint64_t fat1 = 0, fatSize = 0;               // the first FAT's first sector and its length
};
// False when a tool failed or a file's entry was not found.
bool MakeFailingVolume(const std::string& dir, int count, std::uint32_t seed, FailingVolume& v);

class FailingDisk {
 public:
  // Serves image under the folder mount (made when missing).
  FailingDisk(const std::string& image, const std::string& mount, const FailingDiskSetup& setup);
  ~FailingDisk();
  FailingDisk(const FailingDisk&) = delete;
  FailingDisk& operator=(const FailingDisk&) = delete;

  bool Ready() const { return ready_; }
  // The served image.
  std::string Path() const { return mount_ + "/disk.img"; }
  // Reads per sector so far (sectors never read are missing).
  std::map<std::uint64_t, unsigned> Counts() const;
  // The most reads of one sector among first..last.
  unsigned MostReads(std::uint64_t first, std::uint64_t last) const;

 private:
  std::string mount_;
  int pid_ = -1;
  bool ready_ = false;
};

}  // namespace vantrel::test
