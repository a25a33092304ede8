#include "recovery/GPTPartitions.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/DebugLog.h"
#include "common/Routines.h"
#include "devices/TDevice.h"
#include "diskio/DiskProbe.h"
#include "format/FATFormat.h"
#include "fs/TExFATdrive.h"
#include "fs/TFATdrive.h"
#include "recovery/TDriveList.h"

namespace vantrel {
namespace {


// Header fields.
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kHeaderCRC = 16;
constexpr std::size_t kMyLBA = 24;
constexpr std::size_t kAlternateLBA = 32;
constexpr std::size_t kEntriesLBA = 72;
constexpr std::size_t kEntryCount = 80;
constexpr std::size_t kEntrySize = 84;
constexpr std::size_t kEntriesCRC = 88;
constexpr std::size_t kMinHeaderSize = 92;

// Entry fields.
constexpr std::size_t kEntryFirstLBA = 32;
constexpr std::size_t kEntryLastLBA = 40;
constexpr std::size_t kEntryName = 56;
constexpr std::size_t kEntryNameUnits = 36;

constexpr TGUID kBasicData{0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                           0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
constexpr TGUID kEFISystem{0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                           0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

unsigned long long Ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

// Reads and checks one header and its entry array.
bool ReadTableAt(TDevice& device, std::uint64_t lba, TGPTHeader& header, std::vector<TGPTEntry>& entries,
                 const char* which) {
  const std::size_t sectorSize = device.BytesPerSector ? device.BytesPerSector : 512;
  std::vector<std::uint8_t> sector(std::max<std::size_t>(sectorSize, 512));
  if (!device.ReadSectors(lba, 1, false, sector.data())) {
    DebugMessage(Format("GPT %s: 表头不可读: 扇区 %llu", which, Ull(lba)), 3);
    return false;
  }
  if (!ParseGPTHeader(std::span(sector).first(sectorSize), lba, device.TotalSectors, header)) {
    DebugMessage(Format("GPT %s: 表头损坏: 扇区 %llu", which, Ull(lba)), 3);
    return false;
  }
  const std::uint64_t bytes = std::uint64_t{header.EntryCount} * header.EntrySize;
  const std::uint64_t sectors = (bytes + sectorSize - 1) / sectorSize;
  std::vector<std::uint8_t> array(static_cast<std::size_t>(sectors * sectorSize));
  if (!device.ReadSectors(header.EntriesLBA, static_cast<std::uint16_t>(sectors), false, array.data())) {
    DebugMessage(Format("GPT %s: 分区项不可读: 扇区 %llu", which, Ull(header.EntriesLBA)), 3);
    return false;
  }
  if (Crc32(array.data(), static_cast<std::size_t>(bytes)) != header.EntriesCRC) {
    DebugMessage(Format("GPT %s: 分区项 CRC32 错误: 扇区 %llu", which, Ull(header.EntriesLBA)), 3);
    return false;
  }
  entries = ParseGPTEntries(std::span(array).first(static_cast<std::size_t>(bytes)), header);
  return true;
}

// True when a first sector carries the boot sector of a file system other
// than FAT (NTFS, exFAT, an encrypted volume): signature and jump, but no
// FAT parameters.
bool HoldsOtherBootSector(std::span<const std::uint8_t> s) {
  if (s.size() < 512 || s[510] != 0x55 || s[511] != 0xAA) return false;
  if (!(s[0] == 0xEB && s[2] == 0x90) && s[0] != 0xE9) return false;
  return !LooksLikeFATBootSector(s);
}

// A label the boot sector holds, or none ("NO NAME" is what formatting
// without a label writes there).
bool HasLabel(const std::string& name) {
  const auto end = name.find_last_not_of(' ');
  if (end == std::string::npos) return false;
  return name.substr(0, end + 1) != "NO NAME";
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  static const auto kTable = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

bool HasProtectiveEntry(std::span<const std::uint8_t> mbr) {
  for (std::size_t i = 0; i < 4; ++i)
    if (Le8(mbr, kPartitionTable + i * kPartitionEntrySize + kPartitionType) == kProtectiveMBRType) return true;
  return false;
}

bool ParseGPTHeader(std::span<const std::uint8_t> sector, std::uint64_t lba, std::uint64_t totalSectors,
                    TGPTHeader& header) {
  if (sector.size() < 512 || std::memcmp(sector.data(), "EFI PART", 8) != 0) return false;
  const std::uint32_t size = Le32(sector, kHeaderSize);
  if (size < kMinHeaderSize || size > sector.size()) return false;
  std::vector<std::uint8_t> copy(sector.begin(), sector.begin() + size);
  std::fill(copy.begin() + kHeaderCRC, copy.begin() + kHeaderCRC + 4, 0);
  if (Crc32(copy.data(), copy.size()) != Le32(sector, kHeaderCRC)) return false;

  TGPTHeader h;
  h.MyLBA = Le64(sector, kMyLBA);
  h.AlternateLBA = Le64(sector, kAlternateLBA);
  h.EntriesLBA = Le64(sector, kEntriesLBA);
  h.EntryCount = Le32(sector, kEntryCount);
  h.EntrySize = Le32(sector, kEntrySize);
  h.EntriesCRC = Le32(sector, kEntriesCRC);
  // A header copied to another place is not the header of that place.
  if (h.MyLBA != lba) return false;
  if (h.EntrySize < kMinGPTEntrySize || h.EntrySize > kMaxGPTEntrySize || h.EntrySize % 8 != 0) return false;
  const std::uint64_t bytes = std::uint64_t{h.EntryCount} * h.EntrySize;
  if (bytes == 0 || bytes > kMaxGPTEntryArrayBytes) return false;
  const std::uint64_t sectors = (bytes + sector.size() - 1) / sector.size();
  if (h.EntriesLBA < 2 && lba == 1) return false;  // the array overlaps the record or the header
  if (h.EntriesLBA >= totalSectors || sectors > totalSectors - h.EntriesLBA) return false;
  header = h;
  return true;
}

std::vector<TGPTEntry> ParseGPTEntries(std::span<const std::uint8_t> array, const TGPTHeader& header) {
  std::vector<TGPTEntry> entries;
  for (std::uint32_t i = 0; i < header.EntryCount; ++i) {
    const std::uint64_t at = std::uint64_t{i} * header.EntrySize;
    if (at + header.EntrySize > array.size()) break;
    const auto raw = array.subspan(static_cast<std::size_t>(at), header.EntrySize);
    TGPTEntry e;
    e.Index = i;
    std::copy(raw.begin(), raw.begin() + 16, e.Type.begin());
    if (std::all_of(e.Type.begin(), e.Type.end(), [](std::uint8_t b) { return b == 0; })) continue;
    e.FirstLBA = Le64(raw, kEntryFirstLBA);
    e.LastLBA = Le64(raw, kEntryLastLBA);
    std::uint16_t units[kEntryNameUnits];
    for (std::size_t k = 0; k < kEntryNameUnits; ++k) units[k] = Le16(raw, kEntryName + 2 * k);
    e.Name = WideToUtf8(units, kEntryNameUnits);
    for (char& c : e.Name)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    entries.push_back(std::move(e));
  }
  return entries;
}

bool ReadGPT(TDevice& device, std::vector<TGPTEntry>& entries) {
  entries.clear();
  if (device.TotalSectors < 3) return false;
  TGPTHeader primary;
  if (ReadTableAt(device, 1, primary, entries, "主表")) return true;
  // The backup lies in the disk's last sector; a disk that grew after it
  // was partitioned keeps it where the primary header says.
  const std::uint64_t last = device.TotalSectors - 1;
  TGPTHeader backup;
  if (ReadTableAt(device, last, backup, entries, "备份表")) {
    DebugMessage(Format("GPT: 使用备份表: 扇区 %llu", Ull(last)), 3);
    return true;
  }
  if (primary.AlternateLBA != 0 && primary.AlternateLBA != last && primary.AlternateLBA < last &&
      ReadTableAt(device, primary.AlternateLBA, backup, entries, "备份表")) {
    DebugMessage(Format("GPT: 使用备份表: 扇区 %llu", Ull(primary.AlternateLBA)), 3);
    return true;
  }
  entries.clear();
  return false;
}

bool IsBasicDataGUID(const TGUID& type) { return type == kBasicData; }
bool IsEFISystemGUID(const TGUID& type) { return type == kEFISystem; }

bool TDriveList::ReadGUIDPartitionTable(TDevice& device) {
  std::vector<TGPTEntry> entries;
  if (!ReadGPT(device, entries)) return false;
  std::vector<std::uint8_t> sector(device.BytesPerSector ? device.BytesPerSector : 512);
  for (const TGPTEntry& e : entries) {
    if (e.FirstLBA > e.LastLBA || e.FirstLBA >= device.TotalSectors) {
      DebugMessage(Format("GPT: 分区项 %u 错误: 扇区 %llu - %llu (valid range is 0-%llu)", e.Index + 1,
                          Ull(e.FirstLBA), Ull(e.LastLBA), Ull(device.TotalSectors - 1)),
                   3);
      continue;
    }
    // Basic data partitions hold NTFS and exFAT as well as FAT: those are
    // told by their boot sectors. Any other type is FAT when its first
    // sector says so.
    const bool read = sector.size() >= 512 && device.ReadSectors(e.FirstLBA, 1, false, sector.data());
    const bool fatType = IsBasicDataGUID(e.Type) || IsEFISystemGUID(e.Type);
    const bool fat = HoldsExFAT(device, e.FirstLBA) ||
                     (read ? LooksLikeFATBootSector(sector) || (fatType && !HoldsOtherBootSector(sector)) : fatType);
    if (!fat) continue;
    TFATdrive* d = AddVolume(device, e.FirstLBA, e.FirstLBA, e.LastLBA - e.FirstLBA + 1, 0, false);
    if (!HasLabel(d->Name) && !e.Name.empty()) d->Name = e.Name;
  }
  return true;
}

}  // namespace vantrel
