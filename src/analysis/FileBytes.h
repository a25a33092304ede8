#pragma once
// The bytes of a found file by offset, for the parsers that size and check
// it: they move forward through the file and hold two clusters at a time.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "analysis/FileSize.h"
#include "common/Verdict.h"

namespace vantrel {

// No lost file is taken for larger than this (the size of a FAT file entry).
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

// The file's bytes by offset, through the two clusters read last.
class FileBytes {
 public:
  explicit FileBytes(IClusterSource& source)
      : source_(source), clusterSize_(source.ClusterSize()),
        limit_(std::min<std::uint64_t>(source.ClusterLimit() * source.ClusterSize(), kMaxFileSize)) {
    for (auto& slot : slots_) slot.data.resize(clusterSize_);
  }

  std::uint64_t Limit() const { return limit_; }
  std::uint32_t ClusterSize() const { return clusterSize_; }

  // The cluster that holds offset, or nullptr when it is beyond the volume or
  // cannot be read.
  const std::uint8_t* Cluster(std::uint64_t index) {
    for (auto& slot : slots_)
      if (slot.valid && slot.index == index) return slot.data.data();
    if (index * clusterSize_ >= limit_) {
      Cut = true;
      return nullptr;
    }
    Slot& slot = slots_[next_];
    next_ ^= 1;
    slot.valid = source_.ReadCluster(index, slot.data.data());
    if (!slot.valid) Cut = true;
    if (slot.valid && StopAtZeros && index > 0)
      slot.valid = std::any_of(slot.data.begin(), slot.data.end(), [](std::uint8_t c) { return c != 0; });
    slot.index = index;
    return slot.valid ? slot.data.data() : nullptr;
  }

  // The bytes from offset to the end of its cluster; avail is 0 when none.
  const std::uint8_t* At(std::uint64_t offset, std::size_t& avail) {
    avail = 0;
    if (offset >= limit_) return nullptr;
    const std::uint8_t* c = Cluster(offset / clusterSize_);
    if (!c) return nullptr;
    const std::size_t in = static_cast<std::size_t>(offset % clusterSize_);
    avail = static_cast<std::size_t>(std::min<std::uint64_t>(clusterSize_ - in, limit_ - offset));
    return c + in;
  }

  bool Get(std::uint64_t offset, void* out, std::size_t count) {
    auto* o = static_cast<std::uint8_t*>(out);
    while (count > 0) {
      std::size_t avail = 0;
      const std::uint8_t* p = At(offset, avail);
      if (!p) return false;
      const std::size_t take = std::min(avail, count);
      std::memcpy(o, p, take);
      o += take;
      offset += take;
      count -= take;
    }
    return true;
  }

  int Byte(std::uint64_t offset) {
    std::uint8_t b = 0;
    return Get(offset, &b, 1) ? b : -1;
  }
  bool Is(std::uint64_t offset, std::string_view text) {
    std::array<char, 16> buf{};
    return text.size() <= buf.size() && Get(offset, buf.data(), text.size()) &&
           std::memcmp(buf.data(), text.data(), text.size()) == 0;
  }
  // Big- and little-endian numbers; ok turns false for good when one cannot be read.
  std::uint64_t Num(std::uint64_t offset, int bytes, bool bigEndian) {
    std::array<std::uint8_t, 8> b{};
    if (!Get(offset, b.data(), static_cast<std::size_t>(bytes))) {
      ok = false;
      return 0;
    }
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(b[bigEndian ? bytes - 1 - i : i]) << (8 * i);
    return v;
  }
  std::uint32_t Be16(std::uint64_t o) { return static_cast<std::uint32_t>(Num(o, 2, true)); }
  std::uint32_t Be32(std::uint64_t o) { return static_cast<std::uint32_t>(Num(o, 4, true)); }
  std::uint32_t Le16(std::uint64_t o) { return static_cast<std::uint32_t>(Num(o, 2, false)); }
  std::uint32_t Le32(std::uint64_t o) { return static_cast<std::uint32_t>(Num(o, 4, false)); }
  std::uint64_t Be64(std::uint64_t o) { return Num(o, 8, true); }
  std::uint64_t Le64(std::uint64_t o) { return Num(o, 8, false); }

  // The first offset from `from` on (below `to`) where text starts; npos when none.
  static constexpr std::uint64_t npos = ~0ull;
  std::uint64_t Find(std::uint64_t from, std::uint64_t to, std::string_view text) {
    to = std::min(to, limit_);
    while (from < to) {
      std::size_t avail = 0;
      const std::uint8_t* p = At(from, avail);
      if (!p) return npos;
      avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, to - from));
      const void* hit = std::memchr(p, static_cast<unsigned char>(text[0]), avail);
      if (!hit) {
        from += avail;
        continue;
      }
      const std::uint64_t at = from + static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
      if (Is(at, text)) return at;
      from = at + 1;
    }
    return npos;
  }

  // Whether the bytes [from, to) can be read and are all zeros.
  bool AllZeros(std::uint64_t from, std::uint64_t to) {
    while (from < to) {
      std::size_t avail = 0;
      const std::uint8_t* p = At(from, avail);
      if (!p) return false;
      avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, to - from));
      if (std::any_of(p, p + avail, [](std::uint8_t c) { return c != 0; })) return false;
      from += avail;
    }
    return true;
  }

  bool ok = true;
  // A read went past the end of the volume, or met a cluster that cannot be
  // read or is another file's: a structure that breaks off there was cut.
  bool Cut = false;
  // What the checks of the format found, as they go: a failed check keeps
  // its first bad offset; Verified is set by a parser whose checks covered
  // the file to its end.
  TVerdict Verdict = vdNone;
  std::uint64_t BadOffset = 0;
  void Damaged(std::uint64_t offset) {
    if (Verdict == vdDamaged) return;
    Verdict = vdDamaged;
    BadOffset = offset;
  }
  void Verified() {
    if (Verdict == vdNone) Verdict = vdVerified;
  }
  // A cluster of zeros after the first ends the file's bytes: a scan for a
  // marker does not run on through the zeros of a formatted volume.
  bool StopAtZeros = false;

 private:
  struct Slot {
    std::vector<std::uint8_t> data;
    std::uint64_t index = 0;
    bool valid = false;
  };
  IClusterSource& source_;
  std::uint32_t clusterSize_;
  std::uint64_t limit_;
  std::array<Slot, 2> slots_;
  int next_ = 0;
};

}  // namespace vantrel
