#include "diskio/DiskProbe.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "common/Bytes.h"
#include "format/ExFATFormat.h"
#include "format/FATFormat.h"

namespace vantrel {

bool LooksLikeFATBootSector(std::span<const std::uint8_t> s) { return IsBootSectorStrict(s.data(), s.size()); }

bool LooksLikePartitionTable(std::span<const std::uint8_t> s, std::uint64_t totalSectors) {
  if (s.size() < 512 || s[510] != 0x55 || s[511] != 0xAA) return false;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> used;
  for (std::size_t at = kPartitionTable; at < 510; at += kPartitionEntrySize) {
    const std::uint8_t type = s[at + kPartitionType];
    if (type == 0) continue;
    if (s[at] != 0x00 && s[at] != 0x80) return false;
    const std::uint64_t start = Le32(s, at + kPartitionStart), count = Le32(s, at + kPartitionSectors);
    if (start == 0 || count == 0 || start + count > totalSectors) return false;
    for (const auto& [otherStart, otherEnd] : used)
      if (start < otherEnd && otherStart < start + count) return false;
    used.emplace_back(start, start + count);
  }
  return !used.empty();
}

bool IsFloppySize(std::uint64_t sectors) {
  for (const std::uint64_t size : {720u, 1440u, 2400u, 2880u, 5760u})
    if (sectors == size) return true;
  return false;
}

void FillPlausibleChs(TDiskGeometry& g, std::uint64_t sectors) {
  struct Floppy { std::uint64_t sectors; std::uint32_t cylinders, heads, spt; };
  static const std::array<Floppy, 5> kFloppies{{{720, 40, 2, 9}, {1440, 80, 2, 9}, {2400, 80, 2, 15},
                                                {2880, 80, 2, 18}, {5760, 80, 2, 36}}};
  for (const auto& f : kFloppies) {
    if (f.sectors == sectors) {
      g.Cylinders = f.cylinders;
      g.Heads = f.heads;
      g.SectorsPerTrack = f.spt;
      return;
    }
  }
  g.Heads = 255;
  g.SectorsPerTrack = 63;
  g.Cylinders = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors / (255 * 63), 0xFFFFFFFFu));
}

void ClassifySectorZero(TDiskGeometry& g, std::span<const std::uint8_t> sector0, std::uint64_t totalSectors) {
  g.Unpartitioned = false;
  g.AlsoWholeVolume = false;
  if (sector0.size() < 512) return;
  // A disk formatted whole and partitioned later keeps the old boot
  // sector's bytes around its table: a valid table is read as one.
  const bool bootSector = LooksLikeFATBootSector(sector0) || IsExFATBootSector(sector0.data(), sector0.size());
  const bool table = LooksLikePartitionTable(sector0, totalSectors);
  g.Unpartitioned = bootSector && !table;
  g.AlsoWholeVolume = bootSector && table;
}

bool MakeFloppyWhenItIsOne(TDiskGeometry& g, bool floppyDevice) {
  if (!floppyDevice && !IsFloppySize(g.TotalSectors) && !(g.Unpartitioned && g.TotalSectors <= 5760)) return false;
  g.MediaKind = 1;
  g.Unpartitioned = true;
  g.AlsoWholeVolume = false;
  return true;
}

}  // namespace vantrel
