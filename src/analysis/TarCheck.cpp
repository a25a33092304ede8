#include "analysis/TarCheck.h"

#include <algorithm>
#include <array>
#include <string>

#include "analysis/ClusterCoverage.h"
#include "analysis/FileBytes.h"

namespace vantrel {

namespace {

std::uint64_t RoundUp(std::uint64_t v, std::uint64_t to) { return (v + to - 1) / to * to; }

std::uint64_t OctalField(const std::uint8_t* p, std::size_t n, bool& ok) {
  if (p[0] & 0x80) {  // base-256 of large sizes
    std::uint64_t v = 0;
    for (std::size_t i = 1; i < n; ++i) v = (v << 8) | p[i];
    return v;
  }
  std::uint64_t v = 0;
  std::size_t i = 0;
  while (i < n && p[i] == ' ') ++i;
  bool digits = false;
  for (; i < n && p[i] >= '0' && p[i] <= '7'; ++i, digits = true) v = v * 8 + (p[i] - '0');
  if (!digits) ok = false;
  return v;
}

// Headers whose contents are read: pax extended headers hold records "LEN
// key=value\n" whose lengths add up to the size; a GNU long name ends with
// its only NUL.
constexpr std::uint64_t kMaxMeta = 1u << 20;

// A "size" record gives the size of the member that follows.
bool PaxRecords(const std::string& data, std::uint64_t& size, bool& hasSize) {
  std::size_t pos = 0;
  while (pos < data.size()) {
    std::uint64_t length = 0;
    std::size_t i = pos;
    for (; i < data.size() && data[i] >= '0' && data[i] <= '9' && length <= data.size(); ++i)
      length = length * 10 + static_cast<std::uint64_t>(data[i] - '0');
    if (i == pos || i >= data.size() || data[i] != ' ' || length < i - pos + 3 || length > data.size() - pos)
      return false;
    const std::size_t end = pos + static_cast<std::size_t>(length);
    if (data[end - 1] != '\n' || data.find('=', i) >= end - 1) return false;
    if (data.compare(i + 1, 5, "size=") == 0) {
      size = 0;
      hasSize = true;
      for (std::size_t k = i + 6; k + 1 < end && size <= kMaxFileSize; ++k) {
        if (data[k] < '0' || data[k] > '9') return false;
        size = size * 10 + static_cast<std::uint64_t>(data[k] - '0');
      }
    }
    pos = end;
  }
  return true;
}

bool LongName(const std::string& data) { return !data.empty() && data.find('\0') == data.size() - 1; }

}  // namespace

std::uint64_t TarSize(FileBytes& b) {
  std::uint64_t pos = 0;
  std::array<std::uint8_t, 512> block{};
  auto zero = [&] { return std::all_of(block.begin(), block.end(), [](std::uint8_t c) { return c == 0; }); };
  TClusterCoverage coverage(b.ClusterSize());
  std::uint64_t paxSize = 0;
  bool hasPaxSize = false;
  // Headers and their data to the two zero blocks, then the zeros that fill
  // the last record of 20 blocks.
  for (;;) {
    if (!b.Get(pos, block.data(), block.size())) return 0;
    if (zero()) break;
    bool ok = true;
    const std::uint64_t sum = OctalField(block.data() + 148, 8, ok);
    // The sum of the bytes, unsigned as the standard has it or signed as
    // some old archivers wrote it.
    std::int64_t check = 0, signedCheck = 0;
    for (std::size_t i = 0; i < block.size(); ++i) {
      const bool field = i >= 148 && i < 156;
      check += field ? ' ' : block[i];
      signedCheck += field ? ' ' : static_cast<std::int8_t>(block[i]);
    }
    std::uint64_t size = OctalField(block.data() + 124, 12, ok);
    if (!ok || (static_cast<std::int64_t>(sum) != check && static_cast<std::int64_t>(sum) != signedCheck)) {
      b.Damaged(pos);
      return 0;
    }
    coverage.CheckedRange(pos, pos + 512);
    const char type = static_cast<char>(block[156]);
    if ((type == 'x' || type == 'g' || type == 'L' || type == 'K') && size <= kMaxMeta) {
      std::string data(static_cast<std::size_t>(size), '\0');
      if (!b.Get(pos + 512, data.data(), data.size())) return 0;
      std::uint64_t recordSize = 0;
      bool hasSize = false;
      if (!(type == 'L' || type == 'K' ? LongName(data) : PaxRecords(data, recordSize, hasSize))) {
        b.Damaged(pos + 512);
        return 0;
      }
      coverage.CheckedRange(pos + 512, pos + 512 + size);
      if (type == 'x' && hasSize) {
        paxSize = recordSize;
        hasPaxSize = true;
      }
    } else if (hasPaxSize && type != 'x' && type != 'g') {
      size = paxSize;
      hasPaxSize = false;
    }
    // An old GNU sparse file's map goes on in blocks of its own before its data.
    for (int extended = type == 'S' ? block[482] : 0, n = 0; extended != 0 && n < 65536; ++n) {
      pos += 512;
      if (!b.Get(pos, block.data(), block.size())) return 0;
      extended = block[504];
    }
    pos += 512 + RoundUp(size, 512);
    if (pos > b.Limit()) return 0;
  }
  if (pos == 0 || !b.Get(pos + 512, block.data(), block.size()) || !zero()) return 0;
  const std::uint64_t endBlocks = pos;
  pos += 1024;
  while (pos % 10240 != 0 && b.Get(pos, block.data(), block.size()) && zero()) pos += 512;
  // The end blocks are zeros throughout.
  coverage.CheckedRange(endBlocks, pos);
  if (coverage.Covers(pos)) b.Verified();
  return pos;
}

}  // namespace vantrel
