#include "analysis/GifCheck.h"

#include <array>

#include "analysis/FileBytes.h"

namespace vantrel {

std::uint64_t CheckGifImageData(FileBytes& b, std::uint64_t pos, std::uint64_t pixels) {
  const int minSize = b.Byte(pos);
  if (minSize < 0) return 0;
  ++pos;
  const bool codesValid = minSize >= 2 && minSize <= 11;
  if (!codesValid) b.Damaged(pos - 1);
  const std::uint32_t clear = 1u << (codesValid ? minSize : 2), stop = clear + 1;
  // Only the length of each table entry's string matters to the count of
  // pixels; the pixels themselves are not kept.
  std::array<std::uint32_t, 4096> length{};
  for (std::uint32_t i = 0; i < clear; ++i) length[i] = 1;
  std::uint32_t next = clear + 2, width = static_cast<std::uint32_t>(minSize) + 1;
  std::int32_t previous = -1;
  std::uint64_t decoded = 0;
  std::uint32_t bits = 0, held = 0;
  bool stopped = !codesValid;
  for (;;) {
    const int n = b.Byte(pos);
    if (n < 0) return 0;
    const std::uint64_t block = pos;
    pos += 1 + static_cast<unsigned>(n);
    if (n == 0) break;
    // The sub-block's bytes through the clusters that hold them.
    const std::uint8_t* p = nullptr;
    std::size_t avail = 0;
    for (int i = 1; i <= n && !stopped; ++i) {
      if (avail == 0) {
        p = b.At(block + static_cast<unsigned>(i), avail);
        if (!p) return 0;
      }
      const std::uint32_t c = *p++;
      --avail;
      bits |= c << held;
      held += 8;
      while (held >= width && !stopped) {
        const std::uint32_t code = bits & ((1u << width) - 1);
        bits >>= width;
        held -= width;
        if (code == clear) {
          next = clear + 2;
          width = static_cast<std::uint32_t>(minSize) + 1;
          previous = -1;
          continue;
        }
        if (code == stop) {
          stopped = true;
          break;
        }
        if (code > next || (code == next && previous < 0) || (previous < 0 && code >= clear)) {
          b.Damaged(block + static_cast<unsigned>(i));
          stopped = true;
          break;
        }
        std::uint32_t added = 0;
        if (previous >= 0) added = length[static_cast<std::size_t>(previous)] + 1;
        const std::uint32_t got = code == next ? added : length[code];
        if (previous >= 0 && next < 4096) {
          length[next] = added;
          if (++next == (1u << width) && width < 12) ++width;
        }
        decoded += got;
        previous = static_cast<std::int32_t>(code);
        if (decoded > pixels) {
          b.Damaged(block + static_cast<unsigned>(i));
          stopped = true;
        }
      }
    }
  }
  if (decoded != pixels) b.Damaged(pos - 1);
  return pos;
}

}  // namespace vantrel
