#include "fs/FATBlocks.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string_view>

#include "common/Bytes.h"
#include "devices/TDevice.h"

namespace vantrel {

namespace {

// The FAT test never looks past this many bytes of a sector, so that its
// entries fit fixed arrays on the stack.
constexpr std::size_t kMaxFATTestBytes = 8192;

// A used value held by this many examined entries (itself and five others)
// is no FAT: next-cluster values are unique in a real chain.
constexpr std::size_t kTooManyHolders = 6;
constexpr unsigned kLinksNeeded = 17;

constexpr std::size_t ExaminedEntries(std::size_t sectorSize, std::uint8_t fatType) {
  switch (fatType) {
    case ftFAT12:
      return sectorSize * 2 / 3;
    case ftFAT16:
      return sectorSize / 2;
    default:
      return sectorSize / 4;
  }
}

// The FAT test runs for every sector of a scan that is not yet past the FAT
// phase, three types a sector, so it decodes the entries of a type once into
// an array of lanes as narrow as the type allows, and its loops over them
// have no branches on the data: the kinds of ClassifyEntry are two range
// tests and the chain state is kept by selects.
template <std::uint8_t Type>
struct FATLanes;
template <>
struct FATLanes<ftFAT12> {
  using Lane = std::uint16_t;
  static constexpr std::uint32_t ReservedFrom = 0xFF1, EndFrom = 0xFF8, Mask = 0xFFF;
};
template <>
struct FATLanes<ftFAT16> {
  using Lane = std::uint16_t;
  static constexpr std::uint32_t ReservedFrom = 0xFFF1, EndFrom = 0xFFF8, Mask = 0xFFFF;
};
template <>
struct FATLanes<ftFAT32> {
  using Lane = std::uint32_t;
  static constexpr std::uint32_t ReservedFrom = 0x0FFFFFF1, EndFrom = 0x0FFFFFF8, Mask = 0x0FFFFFFF;
};

// A little-endian value at p; on a little-endian host one plain load.
template <typename T>
T LoadLe(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  if constexpr (std::endian::native != std::endian::little) {
    T swapped = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) swapped |= static_cast<T>(static_cast<T>(p[i]) << (8 * i));
    value = swapped;
  }
  return value;
}

// Entries 0 .. count - 1 of the sector, whose bytes lie inside it. FAT32
// lanes keep their top four bits; the loops mask them.
template <std::uint8_t Type>
void DecodeEntries(const std::uint8_t* sector, std::uint32_t count, typename FATLanes<Type>::Lane* entries) {
  using Lane = typename FATLanes<Type>::Lane;
  if constexpr (Type == ftFAT12) {
    // Six bytes hold four entries; the eight-byte load of the last group
    // would reach past them, so the tail is read entry by entry.
    std::uint32_t j = 0;
    for (; j + 6 <= count; j += 4) {
      const auto w = LoadLe<std::uint64_t>(sector + j / 2 * 3);
      Lane* out = entries + j;
      out[0] = static_cast<Lane>(w & 0xFFF);
      out[1] = static_cast<Lane>((w >> 12) & 0xFFF);
      out[2] = static_cast<Lane>((w >> 24) & 0xFFF);
      out[3] = static_cast<Lane>((w >> 36) & 0xFFF);
    }
    for (; j < count; ++j) entries[j] = static_cast<Lane>(DecodeFATEntry(sector + FATEntryOffset(j, ftFAT12), j, ftFAT12));
  } else if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(entries, sector, count * sizeof(Lane));
  } else {
    for (std::uint32_t j = 0; j < count; ++j) entries[j] = LoadLe<Lane>(sector + j * sizeof(Lane));
  }
}

// Whether entry v, read after entry before, can be a link of the chain rule:
// a used value one more than a used neighbour, a used 1 (the rule starts
// from 0 and returns to 0 after an end of chain), or any used value behind a
// free or reserved neighbour, which hides the value that came before it.
template <std::uint8_t Type>
inline unsigned MayLink(typename FATLanes<Type>::Lane v, typename FATLanes<Type>::Lane before) {
  using L = FATLanes<Type>;
  using Lane = typename L::Lane;
  constexpr auto mask = static_cast<Lane>(L::Mask);
  constexpr auto usedSpan = static_cast<Lane>(L::ReservedFrom - 1);  // used values: 1 .. ReservedFrom - 1
  v &= mask;
  before &= mask;
  const unsigned used = static_cast<Lane>(v - 1) < usedSpan;
  const unsigned next = static_cast<Lane>(v - before) == 1;
  // Free or reserved: not used and below the end-of-chain values.
  const unsigned hidden = (static_cast<Lane>(before - 1) >= usedSpan) & (before < L::EndFrom);
  return used & (next | hidden | (v == 1));
}

template <std::uint8_t Type>
bool PassesFATType(const std::uint8_t* sector, std::size_t sectorSize, bool& isStart) {
  using L = FATLanes<Type>;
  using Lane = typename L::Lane;
  static_assert(ClassifyEntry(Type, L::ReservedFrom - 1) == feUsed &&
                ClassifyEntry(Type, L::ReservedFrom) == feReserved &&
                ClassifyEntry(Type, L::EndFrom - 1) == feReserved && ClassifyEntry(Type, L::EndFrom) == feEndOfChain &&
                ClassifyEntry(Type, L::Mask) == feEndOfChain);
  isStart = IsFATStart(sector, sectorSize, Type);
  const auto count = static_cast<std::uint32_t>(ExaminedEntries(std::min(sectorSize, kMaxFATTestBytes), Type));
  const std::uint32_t first = isStart ? 2 : 0;
  if (first >= count) return false;
  // Zeros after the last entry let the blocks below run past it: a free
  // entry is never a link.
  constexpr std::uint32_t kBlock = 32;
  constexpr std::size_t kMaxEntries = ExaminedEntries(kMaxFATTestBytes, Type);
  std::array<Lane, kMaxEntries + kBlock> entries;
  DecodeEntries<Type>(sector, count, entries.data());
  std::fill_n(entries.data() + count, kBlock, Lane{0});

  // An upper bound of the links that needs no chain state turns away the
  // sectors that are plainly no FAT (zeros, text, compressed data) at the
  // cost of one pass over neighbouring entries, in fixed blocks that the
  // compiler turns into vector code.
  unsigned bound = MayLink<Type>(entries[first], 0);
  std::uint32_t j = first + 1;
  for (; j < count; j += kBlock) {
    const Lane* current = entries.data() + j;
    const Lane* before = current - 1;
    unsigned blockBound = 0;
    for (std::size_t k = 0; k < kBlock; ++k) blockBound += MayLink<Type>(current[k], before[k]);
    bound += blockBound;
  }
  if (bound < kLinksNeeded) return false;

  std::array<Lane, kMaxEntries> used;
  std::size_t usedCount = 0;
  std::uint32_t previous = 0;
  unsigned links = 0;
  for (j = first; j < count; ++j) {
    const std::uint32_t v = entries[j] & L::Mask;
    const bool inUse = v - 1 < L::ReservedFrom - 1;
    links += inUse & (v == previous + 1);
    previous = inUse ? v : (v >= L::EndFrom ? 0 : previous);
    used[usedCount] = static_cast<Lane>(v);
    usedCount += inUse;
  }
  if (links < kLinksNeeded) return false;
  // Only a sector that could pass pays for the duplicate count: sorted, the
  // holders of one value stand together.
  std::sort(used.begin(), used.begin() + static_cast<std::ptrdiff_t>(usedCount));
  std::size_t run = 1;
  for (std::size_t i = 1; i < usedCount; ++i) {
    run = used[i] == used[i - 1] ? run + 1 : 1;
    if (run >= kTooManyHolders) return false;
  }
  return true;
}

// Characters that 8.3 names exclude, among the bytes 0x20 to 0x7F.
constexpr auto kExcludedNameBytes = [] {
  std::array<bool, 0x80> excluded{};
  for (const char c : std::string_view("\"*+,./:;<=>?[\\]|")) excluded[static_cast<unsigned char>(c)] = true;
  return excluded;
}();

bool ValidTime(std::uint16_t t) { return t == 0 || ((t & 0x1F) <= 29 && ((t >> 5) & 0x3F) <= 59 && (t >> 11) <= 23); }

bool ValidDate(std::uint16_t d) {
  if (d == 0) return true;
  const unsigned day = d & 0x1F, month = (d >> 5) & 0x0F;
  return day >= 1 && month >= 1 && month <= 12;
}

TDirSectorVerdict CheckShortEntry(ByteSpan e, std::uint32_t maxCluster, std::uint32_t maxSectors) {
  for (std::size_t i = 0; i < 11; ++i) {
    const std::uint8_t b = e[i];
    if (b < 0x20 && !(i == 0 && b == 0x05)) return dsBadName;
    if (b < 0x80 && kExcludedNameBytes[b]) return dsBadName;
  }
  const std::uint8_t attr = e[kDirAttr];
  const std::uint32_t cluster = EntryCluster(e.data());
  if (attr & kAttrVolumeLabel) {
    if (cluster != 0) return dsBadCluster;
    // A label is a label and at most archived, and holds no bytes: a line
    // of text whose twelfth byte is a line end or a full stop is none.
    if ((attr & ~0x20) != kAttrVolumeLabel) return dsBadAttribute;
    if (Le32(e, kDirFileSize) != 0) return dsTooLarge;
  } else if (cluster == 0) {
    // An empty file has no cluster; anything else without one is no entry.
    if ((attr & kAttrDirectory) || Le32(e, kDirFileSize) != 0) return dsBadCluster;
  } else if (cluster < 2 || cluster - 1 > maxCluster) {
    return dsBadCluster;
  }
  if (attr & 0xC0) return dsBadAttribute;
  if (Le32(e, kDirFileSize) / 512 > maxSectors) return dsTooLarge;
  if (!ValidTime(Le16(e, kDirWriteTime)) || !ValidTime(Le16(e, kDirCreateTime))) return dsBadTime;
  if (!ValidDate(Le16(e, kDirWriteDate)) || !ValidDate(Le16(e, kDirCreateDate)) || !ValidDate(Le16(e, kDirAccessDate)))
    return dsBadDate;
  return dsOk;
}

bool IsLabelEntry(ByteSpan e) {
  const std::uint8_t attr = e[kDirAttr];
  return attr != kAttrLongName && (attr & kAttrVolumeLabel) && Le16(e, kDirClusterHigh) == 0 &&
         Le16(e, kDirClusterLow) == 0 && (e[0] & 0x40);
}

std::uint16_t BootBytesPerSector(const TDevice* device) {
  const std::uint32_t size = device ? device->BytesPerSector : 512;
  const bool valid = size >= 512 && size <= 4096 && (size & (size - 1)) == 0;
  return static_cast<std::uint16_t>(valid ? size : 512);
}

}  // namespace

std::uint32_t GetEntry(const std::uint8_t* sector, std::size_t sectorSize, std::uint32_t index, std::uint8_t fatType) {
  if (fatType != ftFAT12 && fatType != ftFAT16 && fatType != ftFAT32) return static_cast<std::uint32_t>(sectorSize);
  const std::size_t width = FATEntryWidth(fatType);
  const std::size_t offset = FATEntryOffset(index, fatType);
  if (!sector || offset > sectorSize || sectorSize - offset < width) return 0;
  return DecodeFATEntry(sector + offset, index, fatType);
}

bool IsFATStart(const std::uint8_t* sector, std::size_t sectorSize, std::uint8_t fatType) {
  if (!sector) return false;
  const ByteSpan s(sector, sectorSize);
  std::uint32_t value, high;
  switch (fatType) {
    case ftFAT12:
      value = GetEntry(sector, sectorSize, 0, ftFAT12);
      high = 0xF00;
      break;
    case ftFAT16:
      value = Le16(s, 0);
      high = 0xFF00;
      break;
    case ftFAT32:
      value = Le32(s, 0);
      high = 0x0FFFFF00;
      break;
    default:
      return false;
  }
  if (sectorSize < (fatType == ftFAT32 ? 4u : 2u) || value < high) return false;
  const std::uint32_t media = value - high;
  return media == 0xF0 || (media >= 0xF8 && media <= 0xFE);
}

bool DetectFAT(const std::uint8_t* sector, std::size_t sectorSize, std::uint8_t& fatType, bool& isStart) {
  if (!sector) return false;
  for (const std::uint8_t type : {ftFAT32, ftFAT16, ftFAT12}) {
    bool start = false;
    const bool passed = type == ftFAT32   ? PassesFATType<ftFAT32>(sector, sectorSize, start)
                        : type == ftFAT16 ? PassesFATType<ftFAT16>(sector, sectorSize, start)
                                          : PassesFATType<ftFAT12>(sector, sectorSize, start);
    if (passed) {
      fatType = type;
      isStart = start;
      return true;
    }
  }
  return false;
}

bool NextDirEntry(const std::uint8_t* buffer, std::size_t size, std::uint8_t entry[kDirEntrySize],
                  std::uint32_t& index) {
  const std::uint64_t end = (static_cast<std::uint64_t>(index) + 1) * kDirEntrySize;
  if (!buffer || end > size) return false;
  std::memcpy(entry, buffer + (end - kDirEntrySize), kDirEntrySize);
  ++index;
  return true;
}

TDirSectorVerdict CheckDirectorySector(const std::uint8_t* buffer, std::size_t size, std::uint32_t maxCluster,
                                       std::uint32_t maxSectors) {
  constexpr std::uint32_t kEntriesNeeded = 16;
  if (!buffer || size < kEntriesNeeded * kDirEntrySize) return dsTooShort;
  if (buffer[0] == 0) return dsEndOfDirectory;
  bool longNamePending = false;
  std::uint8_t raw[kDirEntrySize];
  std::uint32_t index = 0;
  while (index < kEntriesNeeded && NextDirEntry(buffer, size, raw, index)) {
    const ByteSpan e(raw, kDirEntrySize);
    // The end of a short directory: the rest of the sector is unused and
    // stays zero. Most folders hold fewer than 16 entries.
    if (e[0] == 0) {
      for (std::size_t i = (index - 1) * kDirEntrySize; i < kEntriesNeeded * kDirEntrySize; ++i)
        if (buffer[i] != 0) return dsBadName;
      return dsOk;
    }
    if (e[kDirAttr] == kAttrLongName && Le16(e, kDirClusterLow) == 0 && ((e[0] & 0x40) || longNamePending)) {
      longNamePending = true;
      continue;
    }
    longNamePending = false;
    const TDirSectorVerdict verdict = CheckShortEntry(e, maxCluster, maxSectors);
    if (verdict != dsOk) return verdict;
  }
  return dsOk;
}

bool HasDotEntries(const std::uint8_t* buffer, std::size_t size, std::uint32_t& cluster) {
  std::uint8_t dot[kDirEntrySize], dotDot[kDirEntrySize];
  std::uint32_t index = 0;
  if (!NextDirEntry(buffer, size, dot, index) || !NextDirEntry(buffer, size, dotDot, index)) return false;
  if (!(dot[kDirAttr] & kAttrDirectory) || !(dotDot[kDirAttr] & kAttrDirectory)) return false;
  if (ShortNameToString(dot) != "." || ShortNameToString(dotDot) != "..") return false;
  cluster = EntryCluster(dot);
  return true;
}

bool HasVolumeLabel(const std::uint8_t* buffer, std::size_t size) {
  if (!buffer) return false;
  bool found = false;
  for (std::size_t off = 0; off + kDirEntrySize <= size; off += kDirEntrySize) {
    if (!IsLabelEntry(ByteSpan(buffer + off, kDirEntrySize))) continue;
    if (found) return false;
    found = true;
  }
  return found;
}

bool BuildBootSector(const TDevice* device, std::span<std::uint8_t, kBootRecordSize> bootRecord,
                     std::uint32_t clusterCount, std::uint8_t fatCount, std::uint32_t fatSize,
                     std::uint32_t rootCluster, std::uint16_t rootEntries, std::uint16_t sectorsPerCluster,
                     std::uint8_t fatType) {
  std::fill(bootRecord.begin(), bootRecord.end(), 0);
  if (sectorsPerCluster > 0xFF || (fatType != ftFAT32 && fatSize > 0xFFFF)) return false;
  const std::uint16_t bytesPerSector = BootBytesPerSector(device);
  // The arithmetic is done in 64 bits: a total that only fits by wrapping
  // would describe a volume that ends before its data area.
  const std::uint64_t rootSectors =
      (static_cast<std::uint64_t>(rootEntries) * 32 + bytesPerSector - 1) / bytesPerSector;
  const std::uint64_t total = static_cast<std::uint64_t>(sectorsPerCluster) * clusterCount + rootSectors + 1 +
                              static_cast<std::uint64_t>(fatCount) * fatSize;
  if (total > std::numeric_limits<std::uint32_t>::max()) return false;
  const auto total32 = static_cast<std::uint32_t>(total);

  const std::span<std::uint8_t> b(bootRecord);
  PutLe16(b, kBpbBytesPerSector, bytesPerSector);
  b[kBpbSectorsPerCluster] = static_cast<std::uint8_t>(sectorsPerCluster);
  PutLe16(b, kBpbReservedSectors, 1);
  b[kBpbNumberOfFATs] = fatCount;
  PutLe16(b, kBpbRootEntries, rootEntries);
  PutLe16(b, kBpbTotalSectors16, total32 <= 0xFFFF ? static_cast<std::uint16_t>(total32) : 0);
  b[kBpbMedia] = device && (device->Flags & 1) ? 0xF0 : 0xF8;
  PutLe16(b, kBpbFATSize16, fatType == ftFAT32 ? 0 : static_cast<std::uint16_t>(fatSize));
  PutLe32(b, kBpbTotalSectors32, total32 > 0xFFFF ? total32 : 0);
  PutLe32(b, kBpbFATSize32, fatType == ftFAT32 ? fatSize : 0);
  PutLe32(b, kBpbRootCluster32, fatType == ftFAT32 ? rootCluster : 0);
  return true;
}

std::uint32_t MinClusterCount(std::uint8_t fatType) {
  switch (fatType) {
    case ftFAT12:
      return 1;
    case ftFAT16:
      return 4085;
    case ftFAT32:
      return 65525;
    default:
      return 0;
  }
}

std::uint32_t MaxClusterCount(std::uint8_t fatType) {
  // Cluster numbers run from 2 up to the last value below the reserved ones.
  switch (fatType) {
    case ftFAT12:
      return 4084;
    case ftFAT16:
      return 65524;
    case ftFAT32:
      return 0x0FFFFFF6 - 1;
    default:
      return 0;
  }
}

std::uint32_t EstimateClusterCount(std::uint8_t fatType, std::uint32_t fatSize, std::uint32_t sectorSize) {
  if (fatSize == 0 || MaxClusterCount(fatType) == 0) return 0;
  const std::uint64_t bytes = static_cast<std::uint64_t>(fatSize) * sectorSize;
  std::uint64_t entries;
  switch (fatType) {
    case ftFAT12:
      entries = bytes * 2 / 3;
      break;
    case ftFAT16:
      entries = bytes / 2;
      break;
    default:
      entries = bytes / 4;
      break;
  }
  const std::uint64_t clusters = entries > 2 ? entries - 2 : 0;
  return static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(clusters, MinClusterCount(fatType), MaxClusterCount(fatType)));
}

}  // namespace vantrel
