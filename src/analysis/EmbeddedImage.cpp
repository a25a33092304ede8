#include "analysis/EmbeddedImage.h"

#include <array>
#include <string_view>

#include "analysis/ClusterCoverage.h"
#include "analysis/FileBytes.h"
#include "analysis/Inflate.h"
#include "analysis/JpegScan.h"

namespace vantrel {

std::uint64_t PngChunks(FileBytes& b, std::uint64_t pos, std::uint64_t end) {
  for (;;) {
    const std::uint32_t length = b.Be32(pos);
    std::array<char, 4> type{};
    if (!b.ok || length > 0x7FFFFFFF || !b.Get(pos + 4, type.data(), 4)) return 0;
    for (char c : type)
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
        b.Damaged(pos);
        return 0;
      }
    std::uint32_t crc = 0;
    if (pos + 12ull + length <= end && Crc32At(b, pos + 4, 4ull + length, crc)) {
      const std::uint32_t stored = b.Be32(pos + 8 + length);
      if (b.ok && stored != crc) b.Damaged(pos);
    }
    pos += 12ull + length;
    if (std::string_view(type.data(), 4) == "IEND") return pos;
    if (pos > end) return 0;
  }
}

int CheckEmbeddedImage(FileBytes& b, std::uint64_t at, std::uint64_t end, TClusterCoverage& coverage) {
  if (end < at + 8) return -1;
  const bool wasDamaged = b.Verdict == vdDamaged;
  int result = -1;
  std::uint64_t imageEnd = 0;
  if (b.Be16(at) == 0xFFD8 && b.ok) {
    std::uint64_t bad = 0;
    result = CheckJpegImage(b, at, end, imageEnd, bad);
    if (result == 0) b.Damaged(bad);
  } else if (b.Is(at, "\x89PNG\r\n\x1A\n")) {
    imageEnd = PngChunks(b, at + 8, end);
    result = b.Verdict == vdDamaged && !wasDamaged ? 0 : imageEnd == 0 ? -1 : 1;
  }
  if (!b.ok) {
    b.ok = true;
    return -1;
  }
  if (result == 1) coverage.CheckedRange(at, imageEnd);
  return result < -1 ? -1 : result;
}

}  // namespace vantrel
