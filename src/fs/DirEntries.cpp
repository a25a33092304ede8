#include "fs/DirEntries.h"

#include <array>
#include <cstring>

#include "common/Bytes.h"
#include "common/CodePage.h"
#include "common/Routines.h"
#include "fs/TFATdrive.h"

namespace vantrel {
namespace {

constexpr int kMaxLongNameEntries = 18;
constexpr int kUnitsPerEntry = 13;

ByteSpan Entry(const std::uint8_t* e) { return ByteSpan(e, 32); }

bool StartsLongName(const std::uint8_t* e) {
  return e[kDirAttr] == kAttrLongName && Le16(Entry(e), kDirClusterLow) == 0 && (e[0] & 0x40) != 0;
}

void LowerAscii(std::string& s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
}

}  // namespace

std::string DecodeShortName(const std::uint8_t* e) {
  std::string base, ext;
  SplitShortName(e, base, ext);
  const bool deleted = e[0] == kDeletedMark;
  if (!deleted && e[0] == 0x05 && !base.empty()) base[0] = static_cast<char>(0xE5);
  auto decode = [](const std::string& raw, std::size_t from) {
    return OemToUtf8(reinterpret_cast<const std::uint8_t*>(raw.data()) + from, raw.size() - from, OemCodePage());
  };

  std::string name;
  if (deleted) {
    // The first byte is gone; what is left is decoded on its own.
    name = std::string(1, static_cast<char>(kDeletedMark));
    std::string rest = decode(base, 1);
    if (e[kDirCaseFlags] & 0x08) LowerAscii(rest);
    name += rest;
  } else {
    name = decode(base, 0);
    if (e[kDirCaseFlags] & 0x08) LowerAscii(name);
  }
  if (!ext.empty()) {
    std::string extension = decode(ext, 0);
    if (e[kDirCaseFlags] & 0x10) LowerAscii(extension);
    name += "." + extension;
  }
  return name;
}

bool ReadLongName(TFATdrive& drive, TChainCursor& cursor, std::uint8_t* entry, std::string& name) {
  if (!StartsLongName(entry)) return false;
  std::array<std::uint16_t, kMaxLongNameEntries * kUnitsPerEntry> units{};
  std::size_t position = units.size();
  const std::uint8_t checksum = entry[kLfnChecksum];
  int taken = 0;
  while (entry[kDirAttr] == kAttrLongName && Le16(Entry(entry), kDirClusterLow) == 0 && entry[kLfnChecksum] == checksum) {
    // A name of more than 18 parts is not taken: the file is listed under its short name.
    if (taken == kMaxLongNameEntries) return false;
    position -= kUnitsPerEntry;
    static constexpr std::size_t kOffsets[kUnitsPerEntry] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < kUnitsPerEntry; ++i) units[position + i] = Le16(Entry(entry), kOffsets[i]);
    ++taken;
    if (!drive.ReadChainEntry(cursor, entry)) return false;
  }
  name = WideToUtf8(units.data() + position, static_cast<std::size_t>(taken) * kUnitsPerEntry);
  return true;
}

bool ReadDirEntry(TFATdrive& drive, TChainCursor& cursor, bool includeDeleted, std::string& name,
                  std::uint8_t* entry) {
  for (;;) {
    if (!drive.ReadChainEntry(cursor, entry) || entry[0] == 0) return false;
    if (!includeDeleted && entry[0] == kDeletedMark) continue;
    if (entry[kDirAttr] == kAttrLongName) {
      std::string longName;
      const std::uint8_t longNameChecksum = entry[kLfnChecksum];
      if (ReadLongName(drive, cursor, entry, longName)) {
        // A long name at the very end of the directory has no entry of its own.
        if (entry[0] == 0) return false;
        // A system without long names deletes by marking the short entry
        // only: the name belongs to a deleted file.
        if (!includeDeleted && entry[0] == kDeletedMark) continue;
        // A long name belongs to the short entry it was made for: one that
        // another entry follows (the end of one folder's cluster read on
        // into another's) leaves that entry its short name.
        if (entry[0] != kDeletedMark && entry[kDirAttr] != kAttrLongName &&
            ShortNameChecksum(entry) != longNameChecksum) {
          name = DecodeShortName(entry);
          return true;
        }
        name = longName;
        return true;
      }
    }
    name = DecodeShortName(entry);
    return true;
  }
}

}  // namespace vantrel
