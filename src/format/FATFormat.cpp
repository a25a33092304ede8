#include "format/FATFormat.h"

#include "common/Bytes.h"

namespace vantrel {
namespace {

ByteSpan Entry(const std::uint8_t* e) { return ByteSpan(e, kDirEntrySize); }

bool IsPowerOfTwo(unsigned v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

std::uint32_t EntryCluster(const std::uint8_t* e) {
  return (static_cast<std::uint32_t>(Le16(Entry(e), kDirClusterHigh)) << 16) | Le16(Entry(e), kDirClusterLow);
}
std::uint32_t EntrySize(const std::uint8_t* e) { return Le32(Entry(e), kDirFileSize); }
std::uint16_t EntryTime(const std::uint8_t* e) { return Le16(Entry(e), kDirWriteTime); }
std::uint16_t EntryDate(const std::uint8_t* e) { return Le16(Entry(e), kDirWriteDate); }

void SplitShortName(const std::uint8_t* entry, std::string& base, std::string& extension) {
  base.clear();
  extension.clear();
  for (std::size_t i = 0; i < 11; ++i) {
    if (entry[i] == 0x20) continue;
    (i < 8 ? base : extension) += static_cast<char>(entry[i]);
  }
}

bool ShortEntryDamaged(const std::uint8_t* entry) {
  if (entry[kDirAttr] == kAttrLongName) return false;
  if (entry[kDirAttr] & 0xC0 || entry[0] == 0x20) return true;
  for (std::size_t i = 0; i < 11; ++i)
    if (entry[i] < 0x20 && !(i == 0 && entry[i] == 0x05)) return true;
  return false;
}

std::uint8_t ShortNameChecksum(const std::uint8_t* entry) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[i]);
  return sum;
}

std::string ShortNameToString(const std::uint8_t* entry) {
  std::string base, extension;
  SplitShortName(entry, base, extension);
  return extension.empty() ? base : base + "." + extension;
}

bool IsBootSectorStrict(const std::uint8_t* sector, std::size_t size) {
  if (!sector || size < 512) return false;
  const ByteSpan s(sector, size);
  if (s[kBootSignature] != 0x55 || s[kBootSignature + 1] != 0xAA) return false;
  if (!(s[kBpbJump] == 0xEB && s[kBpbJump + 2] == 0x90) && s[kBpbJump] != 0xE9) return false;
  const unsigned bytesPerSector = Le16(s, kBpbBytesPerSector);
  const unsigned fats = s[kBpbNumberOfFATs];
  const unsigned media = s[kBpbMedia];
  return bytesPerSector >= 512 && bytesPerSector <= 4096 && IsPowerOfTwo(bytesPerSector) &&
         IsPowerOfTwo(s[kBpbSectorsPerCluster]) && Le16(s, kBpbReservedSectors) >= 1 && fats >= 1 && fats <= 4 &&
         (media >= 0xF8 || media == 0xF0);
}

bool IsBootSectorLenient(const std::uint8_t* sector, std::size_t size) {
  if (!sector || size < 512) return false;
  const ByteSpan s(sector, size);
  const std::uint16_t bytesPerSector = Le16(s, kBpbBytesPerSector);
  return s[kBootSignature] == 0x55 && s[kBootSignature + 1] == 0xAA && s[kBpbJump] == 0xEB &&
         (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096 ||
          bytesPerSector == 8192);
}

}  // namespace vantrel
