#pragma once
// Little-endian readers over byte buffers that came from a disk.
// Every read is bounds-checked: an offset past the end reads as zero and
// marks the reader as failed, so that a parser can pull several fields and
// check once.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace vantrel {

using ByteSpan = std::span<const std::uint8_t>;

inline std::uint8_t Le8(ByteSpan b, std::size_t off) {
  return off < b.size() ? b[off] : 0;
}

inline std::uint16_t Le16(ByteSpan b, std::size_t off) {
  if (off > b.size() || b.size() - off < 2) return 0;
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}

inline std::uint32_t Le32(ByteSpan b, std::size_t off) {
  if (off > b.size() || b.size() - off < 4) return 0;
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) |
         (static_cast<std::uint32_t>(b[off + 3]) << 24);
}

inline std::uint64_t Le64(ByteSpan b, std::size_t off) {
  if (off > b.size() || b.size() - off < 8) return 0;
  return Le32(b, off) | (static_cast<std::uint64_t>(Le32(b, off + 4)) << 32);
}

inline void PutLe16(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
  if (off > b.size() || b.size() - off < 2) return;
  b[off] = static_cast<std::uint8_t>(v);
  b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void PutLe32(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
  if (off > b.size() || b.size() - off < 4) return;
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A cursor over a buffer whose first failure sticks.
class ByteReader {
 public:
  explicit ByteReader(ByteSpan data) : data_(data) {}
  std::uint8_t U8(std::size_t off) { return Check(off, 1) ? data_[off] : 0; }
  std::uint16_t U16(std::size_t off) { return Check(off, 2) ? Le16(data_, off) : 0; }
  std::uint32_t U32(std::size_t off) { return Check(off, 4) ? Le32(data_, off) : 0; }
  bool Ok() const { return ok_; }

 private:
  bool Check(std::size_t off, std::size_t n) {
    if (off > data_.size() || data_.size() - off < n) ok_ = false;
    return ok_;
  }
  ByteSpan data_;
  bool ok_ = true;
};

}  // namespace vantrel
