#include "analysis/EmbeddedImage.h"

#include <algorithm>
#include <array>
#include <cstring>
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

bool Id3TagChecked(FileBytes& b, std::uint64_t size) {
  std::array<std::uint8_t, 10> header{};
  if (!b.Get(0, header.data(), header.size()) || header[0] != 'I' || header[1] != 'D' || header[2] != '3') return false;
  const int version = header[3];
  const std::uint64_t end = size - ((header[5] & 0x10) ? 10 : 0);
  // A tag unsynchronised as a whole, or with an extended header, is not read.
  if (version < 2 || version > 4 || (header[5] & 0xC0) || end > size || end < 10) return false;
  const auto syncsafe = [](const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 21 | p[1] << 14 | p[2] << 7 | p[3];
  };
  TClusterCoverage coverage(b.ClusterSize());
  coverage.CheckedRange(0, 10);
  coverage.CheckedRange(end, size);
  const std::size_t headerSize = version == 2 ? 6 : 10;
  std::uint64_t pos = 10;
  while (pos + headerSize <= end) {
    std::array<std::uint8_t, 10> frame{};
    if (!b.Get(pos, frame.data(), headerSize)) return false;
    if (frame[0] == 0) {
      // Padding: zeros to the end of the tag.
      if (!b.AllZeros(pos, end)) return false;
      coverage.CheckedRange(pos, end);
      break;
    }
    for (std::size_t i = 0; i < (version == 2 ? 3u : 4u); ++i)
      if (!((frame[i] >= 'A' && frame[i] <= 'Z') || (frame[i] >= '0' && frame[i] <= '9'))) return false;
    const std::uint32_t length = version == 2 ? static_cast<std::uint32_t>(frame[3]) << 16 | frame[4] << 8 | frame[5]
                                 : version == 3 ? static_cast<std::uint32_t>(frame[4]) << 24 | frame[5] << 16 |
                                                      frame[6] << 8 | frame[7]
                                                : syncsafe(frame.data() + 4);
    const std::uint64_t data = pos + headerSize, next = data + length;
    if (next > end) return false;
    coverage.CheckedRange(pos, data);
    const bool plain = version == 2 || (version == 3 ? (frame[9] & 0xC0) == 0 : (frame[9] & 0x0F) == 0);
    const bool picture = version == 2 ? std::memcmp(frame.data(), "PIC", 3) == 0 : std::memcmp(frame.data(), "APIC", 4) == 0;
    if (plain && picture && length > 4) {
      // Encoding, the image's format (three letters, or a MIME type ended
      // by a zero), its kind, a description ended by one or two zeros.
      const int encoding = b.Byte(data);
      std::uint64_t at = data + 1;
      if (version == 2) {
        at += 3;
      } else {
        at = b.Find(at, next, std::string_view("\0", 1));
        if (at == FileBytes::npos) return false;
        ++at;
      }
      at += 1;
      const bool wide = encoding == 1 || encoding == 2;
      for (; at < next; at += wide ? 2 : 1)
        if (b.Byte(at) == 0 && (!wide || b.Byte(at + 1) == 0)) break;
      at += wide ? 2 : 1;
      if (encoding < 0 || encoding > 3 || at >= next || !b.ok) return false;
      coverage.CheckedRange(data, at);
      if (CheckEmbeddedImage(b, at, next, coverage) == 0) return false;
    }
    pos = next;
  }
  return b.ok && coverage.Covers(size);
}

}  // namespace vantrel
