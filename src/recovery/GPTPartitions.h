#pragma once
// The GUID partition table (GPT) that disks partitioned today carry: a
// master boot record with one protective entry of type 0xEE, a header at
// sector 1 guarded by a CRC32, an array of 128-byte partition entries guarded
// by another, and a copy of both at the end of the disk. Every number in the
// header, the entry count and size included, comes from the disk and may be
// anything.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vantrel {

class TDevice;

// The partition type of the protective entry.
constexpr std::uint8_t kProtectiveMBRType = 0xEE;
// An entry array larger than this (a header asking for millions of entries)
// is taken for a damaged header; the usual array has 128 entries of 128 bytes.
constexpr std::uint64_t kMaxGPTEntryArrayBytes = 1024 * 1024;
constexpr std::uint32_t kMinGPTEntrySize = 128;
constexpr std::uint32_t kMaxGPTEntrySize = 4096;

using TGUID = std::array<std::uint8_t, 16>;  // as stored on disk

struct TGPTHeader {
  std::uint64_t MyLBA = 0;
  std::uint64_t AlternateLBA = 0;
  std::uint64_t EntriesLBA = 0;
  std::uint32_t EntryCount = 0;
  std::uint32_t EntrySize = 0;
  std::uint32_t EntriesCRC = 0;
};

struct TGPTEntry {
  std::uint32_t Index = 0;  // position in the array, from 0
  TGUID Type{};
  std::uint64_t FirstLBA = 0;
  std::uint64_t LastLBA = 0;
  std::string Name;  // UTF-8, control characters as '?'
};

// The CRC32 of the header and the entry array (the one of zip and Ethernet).
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size);

// A master boot record with an entry of type 0xEE: the disk is described by
// its GPT (a hybrid record's other entries only repeat part of it).
bool HasProtectiveEntry(std::span<const std::uint8_t> mbr);

// Decodes the header in a sector read at lba: signature "EFI PART", header
// size, header CRC32, its own position, and an entry array of a sane size
// inside a disk of totalSectors sectors. False when anything fails.
bool ParseGPTHeader(std::span<const std::uint8_t> sector, std::uint64_t lba, std::uint64_t totalSectors,
                    TGPTHeader& header);

// The used entries (type not all zero) of an array whose CRC32 matched, in
// array order.
std::vector<TGPTEntry> ParseGPTEntries(std::span<const std::uint8_t> array, const TGPTHeader& header);

// Reads the table of a device: the primary one at sector 1, else the backup
// at the disk's last sector. False when neither is intact.
bool ReadGPT(TDevice& device, std::vector<TGPTEntry>& entries);

bool IsBasicDataGUID(const TGUID& type);
bool IsEFISystemGUID(const TGUID& type);

}  // namespace vantrel
