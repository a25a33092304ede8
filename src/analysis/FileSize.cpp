#include "analysis/FileSize.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "analysis/AviCheck.h"
#include "analysis/ClusterCoverage.h"
#include "analysis/EmbeddedImage.h"
#include "analysis/FileBytes.h"
#include "analysis/FileType.h"
#include "analysis/GifCheck.h"
#include "analysis/Inflate.h"
#include "analysis/JpegScan.h"
#include "analysis/Mp4Check.h"
#include "analysis/PdfCheck.h"
#include "analysis/SevenZipCheck.h"
#include "analysis/SqliteCheck.h"
#include "analysis/TarCheck.h"
#include "analysis/WebpCheck.h"

namespace vantrel {

bool TMemoryClusterSource::ReadCluster(std::uint64_t index, std::uint8_t* buffer) {
  if (index >= ClusterLimit()) return false;
  ++Reads;
  const std::uint64_t at = index * clusterSize_;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(clusterSize_, size_ - at));
  std::memcpy(buffer, data_ + at, n);
  std::memset(buffer + n, 0, clusterSize_ - n);
  return true;
}

namespace {

using namespace std::string_view_literals;

std::uint64_t RoundUp(std::uint64_t v, std::uint64_t to) { return (v + to - 1) / to * to; }

// The images a multi-picture file lists after its first, which ended at
// first: each where the list puts it, in order, decoded whole. The end of
// the last one; first when the list does not fit behind the first image
// (a list that points back into it is not followed) or the bytes cannot
// be read, which leaves the first image as found.
std::uint64_t FollowMpfImages(FileBytes& b, std::uint64_t first, std::vector<TMpfImage> images,
                              TClusterCoverage& coverage, bool& whole) {
  std::sort(images.begin(), images.end(), [](const TMpfImage& x, const TMpfImage& y) { return x.Offset < y.Offset; });
  std::uint64_t end = first;
  for (const TMpfImage& image : images)
    if (image.Offset < end || image.Offset + image.Size > kMaxFileSize) return first;
    else end = image.Offset + image.Size;
  if (end > b.Limit()) return end;  // more than the volume holds: cut
  for (const TMpfImage& image : images) {
    std::uint64_t imageEnd = 0, bad = 0;
    const int result = CheckJpegImage(b, image.Offset, image.Offset + image.Size, imageEnd, bad);
    if (result == -2) {
      b.ok = true;
      whole = false;
      return first;
    }
    if (result == 1) coverage.CheckedRange(image.Offset, imageEnd);
    else whole = false;
    if (result == 0) b.Damaged(bad);
  }
  return end;
}

// Markers to the end of image; the entropy-coded data after a start of scan
// runs to the next marker that is neither a stuffed FF 00 nor a restart.
std::uint64_t JpegSize(FileBytes& b) {
  b.StopAtZeros = true;
  if (b.Be16(0) != 0xFFD8) return 0;
  std::uint64_t pos = 2;
  // Each scan is decoded where the frame allows it; one that is not, or
  // fails, is passed over by its markers.
  TJpegScanCheck check;
  bool allDecoded = true;
  // The markers, the tables and the decoded scans are checked; application
  // data (EXIF, ICC profiles, XMP) only where it holds a thumbnail that decodes.
  TClusterCoverage coverage(b.ClusterSize());
  coverage.CheckedRange(0, 2);
  std::vector<TMpfImage> mpf;
  while (b.ok) {
    if (b.Byte(pos) != 0xFF) {
      b.Damaged(pos);
      return 0;
    }
    int m;
    while ((m = b.Byte(pos)) == 0xFF) ++pos;
    if (m < 0) return 0;
    coverage.Checked(pos);
    ++pos;
    if (m == 0xD9) {
      bool whole = allDecoded && check.SawFrame();
      const std::uint64_t end = mpf.empty() ? pos : FollowMpfImages(b, pos, mpf, coverage, whole);
      if (whole && coverage.Covers(end)) b.Verified();
      return end;
    }
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;
    if (m == 0x00) return 0;
    const std::uint32_t length = b.Be16(pos);
    if (!b.ok || length < 2) return 0;
    const std::uint64_t segment = pos;
    pos += length;
    if (m != 0xDA) {
      coverage.CheckedRange(segment, IsUncheckedSegment(m) ? segment + 2 : pos);
      if (m == 0xE1) CheckExifThumbnail(b, segment + 2, pos, coverage);
      if (m == 0xE2 && mpf.empty()) mpf = MpfImages(b, segment + 2, pos);
      check.Segment(b, m, segment, length);
      continue;
    }
    std::uint64_t end = 0, bad = 0;
    const int decoded = b.Verdict == vdDamaged ? -1 : check.Scan(b, segment, pos, end, bad);
    if (decoded == 1) {
      coverage.CheckedRange(segment, end);
      pos = end;
      continue;
    }
    allDecoded = false;
    if (decoded == 0) b.Damaged(bad);
    for (;;) {
      const std::uint64_t ff = b.Find(pos, b.Limit(), "\xFF"sv);
      if (ff == FileBytes::npos) return 0;
      const int next = b.Byte(ff + 1);
      if (next < 0) return 0;
      if (next == 0x00 || next == 0xFF || (next >= 0xD0 && next <= 0xD7)) {
        pos = ff + (next == 0xFF ? 1 : 2);
        continue;
      }
      pos = ff;
      break;
    }
  }
  return 0;
}

// Chunks to IEND, each with its CRC-32 over its type and data.
std::uint64_t PngSize(FileBytes& b) {
  const std::uint64_t end = PngChunks(b, 8, b.Limit());
  if (end != 0) b.Verified();
  return end;
}

// Data sub-blocks up to the empty one; 0 when they break off.
std::uint64_t SkipSubBlocks(FileBytes& b, std::uint64_t pos) {
  for (;;) {
    const int n = b.Byte(pos);
    if (n < 0) return 0;
    pos += 1 + static_cast<unsigned>(n);
    if (n == 0) return pos;
  }
}

// Blocks to the trailer, the data of each image decoded. The bytes of
// extensions are checked by nothing but their sub-block lengths: a file with
// one as long as a cluster is not verified.
std::uint64_t GifSize(FileBytes& b) {
  if (!b.Is(0, "GIF87a") && !b.Is(0, "GIF89a")) return 0;
  const int flags = b.Byte(10);
  if (flags < 0) return 0;
  std::uint64_t pos = 13;
  if (flags & 0x80) pos += 3u << ((flags & 7) + 1);
  bool covered = true;
  for (;;) {
    const int block = b.Byte(pos);
    if (block == 0x3B) {
      if (covered) b.Verified();
      return pos + 1;
    }
    if (block == 0x21) {
      const std::uint64_t start = pos;
      pos = SkipSubBlocks(b, pos + 2);
      covered = covered && pos - start + 16 <= b.ClusterSize();
    } else if (block == 0x2C) {
      const std::uint64_t pixels = static_cast<std::uint64_t>(b.Le16(pos + 5)) * b.Le16(pos + 7);
      const int local = b.Byte(pos + 9);
      if (local < 0 || !b.ok) return 0;
      pos += 10;
      if (local & 0x80) pos += 3u << ((local & 7) + 1);
      pos = CheckGifImageData(b, pos, pixels);
    } else {
      if (block >= 0) b.Damaged(pos);
      return 0;
    }
    if (pos == 0) return 0;
  }
}

std::uint64_t BmpSize(FileBytes& b) {
  const std::uint32_t size = b.Le32(2), dataAt = b.Le32(10), header = b.Le32(14);
  if (!b.ok || size < 26 || dataAt > size) return 0;
  if (header != 12 && header != 40 && header != 52 && header != 56 && header != 64 && header != 108 && header != 124)
    return 0;
  return size;
}

// The chunks of a list from start to end, each in its place, lists within
// lists; the largest chunk that holds no chunks goes to largestLeaf, the
// place of the last header to lastHeader.
void RiffChunks(FileBytes& b, std::uint64_t start, std::uint64_t end, int depth, std::uint64_t& largestLeaf,
                std::uint64_t& lastHeader) {
  std::uint64_t pos = start;
  while (pos + 8 <= end && b.Verdict != vdDamaged) {
    std::array<char, 4> id{};
    const std::uint32_t size = b.Le32(pos + 4);
    if (!b.Get(pos, id.data(), 4) || !b.ok) return;
    for (char c : id)
      if (c < 0x20 || c > 0x7E) return b.Damaged(pos);
    if (pos + 8 + size > end) return b.Damaged(pos);
    const std::string_view name(id.data(), 4);
    lastHeader = std::max(lastHeader, pos);
    if ((name == "LIST" || name == "RIFF") && size >= 4 && depth < 8)
      RiffChunks(b, pos + 12, pos + 8 + size, depth + 1, largestLeaf, lastHeader);
    else
      largestLeaf = std::max<std::uint64_t>(largestLeaf, size);
    pos += 8ull + size + (size & 1);
  }
  // A pad byte may be left out after the last chunk.
  if (pos != end && pos != end + 1 && b.Verdict != vdDamaged) b.Damaged(pos);
}

// The size the header tells; the chunks it holds are followed to it. A file
// whose chunks are each shorter than a cluster has them all checked by
// their places, as long as the last cluster holds a header too; one of
// large chunks (a WAV of one data chunk) is not.
std::uint64_t RiffSize(FileBytes& b) {
  const std::uint32_t size = b.Le32(4);
  if (!b.ok || size < 4) return 0;
  const std::uint64_t end = 8ull + size;
  if (end <= b.Limit()) {
    std::uint64_t largest = 0, lastHeader = 0;
    RiffChunks(b, 12, end, 0, largest, lastHeader);
    if (largest + 16 <= b.ClusterSize() && lastHeader / b.ClusterSize() == (end - 1) / b.ClusterSize()) b.Verified();
  }
  return RoundUp(end, 2);
}

// Local entries, the central directory and the end record with its comment.
// The names in the central directory tell an Office Open XML document.
TFileExtent ZipExtent(FileBytes& b) {
  TFileExtent result;
  std::uint64_t pos = 0;
  // Each member is inflated (or, stored, summed) and its CRC-32 compared;
  // members packed otherwise leave the archive unchecked.
  bool checked = true;
  std::vector<std::uint64_t> locals;
  while (b.Le32(pos) == 0x04034B50 && b.ok) {
    const std::uint32_t flags = b.Le16(pos + 6), method = b.Le16(pos + 8), packed = b.Le32(pos + 18);
    std::uint32_t crc = b.Le32(pos + 14);
    const std::uint32_t nameLength = b.Le16(pos + 26), extraLength = b.Le16(pos + 28);
    if (!b.ok || packed == 0xFFFFFFFF) return result;  // ZIP64 sizes live in the extra field
    if ((flags & 8) && packed == 0) return result;      // streamed: the size follows the data
    if (locals.size() < 65536) locals.push_back(pos);
    const std::uint64_t data = pos + 30ull + nameLength + extraLength;
    // Names and extra fields are checked by nothing: one long enough to hold
    // a whole cluster could hold another file's.
    if (HoldsWholeCluster(pos + 30, data, b.ClusterSize())) checked = false;
    pos = data + packed;
    if (flags & 8) {
      const bool signature = b.Le32(pos) == 0x08074B50;
      crc = b.Le32(pos + (signature ? 4 : 0));
      pos += signature ? 16 : 12;
    }
    if (pos > b.Limit()) return result;
    if (b.Verdict == vdDamaged || (flags & 1)) {  // encrypted
      checked = false;
      continue;
    }
    if (method == 8) {
      const TInflated out = InflateAt(b, data, packed);
      if (!out.Ok && out.RanOut && b.Cut) checked = false;  // a cluster that cannot be read
      else if (!out.Ok || out.End != data + packed) b.Damaged(out.Ok ? out.End : out.BadAt);
      else if (out.Crc != crc) b.Damaged(data);
    } else if (method == 0) {
      std::uint32_t sum = 0;
      if (Crc32At(b, data, packed, sum) && sum != crc) b.Damaged(data);
    } else {
      checked = false;
    }
  }
  bool contentTypes = false, word = false, excel = false, powerPoint = false;
  std::size_t member = 0;
  while (b.Le32(pos) == 0x02014B50 && b.ok) {
    const std::uint32_t nameLength = b.Le16(pos + 28), extraLength = b.Le16(pos + 30),
                        commentLength = b.Le16(pos + 32);
    // The directory's offsets land on the local entries, in order.
    const std::uint32_t local = b.Le32(pos + 42);
    if (b.ok && local != 0xFFFFFFFF && (member >= locals.size() || locals[member] != local)) b.Damaged(pos);
    ++member;
    std::array<char, 32> name{};
    const std::size_t n = std::min<std::size_t>(nameLength, name.size());
    if (!b.ok || !b.Get(pos + 46, name.data(), n)) return result;
    const std::string_view s(name.data(), n);
    contentTypes |= s == "[Content_Types].xml";
    word |= s == "word/document.xml";
    excel |= s == "xl/workbook.xml";
    powerPoint |= s == "ppt/presentation.xml";
    if (HoldsWholeCluster(pos + 46, pos + 46ull + nameLength + extraLength + commentLength, b.ClusterSize()))
      checked = false;
    pos += 46ull + nameLength + extraLength + commentLength;
  }
  if (b.Le32(pos) == 0x05054B50) pos += 6ull + b.Le16(pos + 4);    // digital signature
  if (b.Le32(pos) == 0x06064B50) pos += 12 + b.Le64(pos + 4);      // ZIP64 end record
  if (b.Le32(pos) == 0x07064B50) pos += 20;                        // its locator
  if (!b.ok || b.Le32(pos) != 0x06054B50 || !b.ok) return result;
  const std::uint32_t commentLength = b.Le16(pos + 20);
  if (!b.ok) return result;
  result.Size = pos + 22 + commentLength;
  if (HoldsWholeCluster(pos + 22, result.Size, b.ClusterSize())) checked = false;
  if (member != locals.size()) b.Damaged(pos);
  if (checked) b.Verified();
  if (contentTypes) result.TypeName = word ? "DOCX" : excel ? "XLSX" : powerPoint ? "PPTX" : "";
  return result;
}

// A variable-length number of RAR 5 (seven bits a byte, low first).
std::uint64_t RarNumber(FileBytes& b, std::uint64_t& pos) {
  std::uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const int c = b.Byte(pos++);
    if (c < 0) {
      b.ok = false;
      return 0;
    }
    v |= static_cast<std::uint64_t>(c & 0x7F) << shift;
    if (!(c & 0x80)) return v;
  }
  b.ok = false;
  return 0;
}

// Blocks to the end-of-archive block, of RAR 1.5-4 or of RAR 5.
std::uint64_t RarSize(FileBytes& b) {
  if (b.Is(0, "Rar!\x1A\x07\x01\x00"sv)) {
    std::uint64_t pos = 8;
    for (;;) {
      std::uint64_t at = pos + 4;
      const std::uint64_t headerSize = RarNumber(b, at);
      const std::uint64_t headerEnd = at + headerSize;
      const std::uint64_t type = RarNumber(b, at);
      const std::uint64_t flags = RarNumber(b, at);
      if (flags & 1) RarNumber(b, at);
      const std::uint64_t data = (flags & 2) ? RarNumber(b, at) : 0;
      if (!b.ok || headerSize == 0 || headerSize > (2u << 20) || type < 1 || type > 5) return 0;
      pos = headerEnd + data;
      if (pos > b.Limit()) return 0;
      if (type == 5) return pos;
    }
  }
  std::uint64_t pos = 0;
  for (;;) {
    const int type = b.Byte(pos + 2);
    const std::uint32_t flags = b.Le16(pos + 3), headerSize = b.Le16(pos + 5);
    if (!b.ok || type < 0x72 || type > 0x7B || headerSize < 7) return 0;
    std::uint64_t data = 0;
    if (type == 0x74 || type == 0x7A || (flags & 0x8000)) {
      data = b.Le32(pos + 7);
      if (type != 0x72 && (flags & 0x100)) data |= static_cast<std::uint64_t>(b.Le32(pos + 32)) << 32;
    }
    if (!b.ok) return 0;
    pos += headerSize + data;
    if (type == 0x7B) return pos;
    if (pos > b.Limit()) return 0;
  }
}

// The events of a track, which end with its end-of-track event at the last
// byte of the chunk. unchecked turns true at a text or system-exclusive
// payload that holds a whole cluster, which nothing looks into.
void MidiTrackEvents(FileBytes& b, std::uint64_t pos, std::uint64_t end, bool& unchecked) {
  auto number = [&](std::uint64_t& at) -> std::int64_t {  // variable length, at most four bytes
    std::int64_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const int c = b.Byte(at++);
      if (c < 0) return -1;
      v = v << 7 | (c & 0x7F);
      if (!(c & 0x80)) return v;
    }
    return -1;
  };
  int running = 0;
  std::uint64_t last = pos;
  while (pos < end && b.Verdict != vdDamaged) {
    const std::uint64_t event = last = pos;
    if (number(pos) < 0) return b.Damaged(event);
    int status = b.Byte(pos);
    if (status < 0) return;
    if (status >= 0x80) ++pos;
    else if (running == 0) return b.Damaged(event);
    else status = running;
    if (status == 0xFF) {
      const int type = b.Byte(pos++);
      const std::int64_t length = number(pos);
      if (type < 0 || type > 0x7F || length < 0) return b.Damaged(event);
      if (HoldsWholeCluster(pos, pos + static_cast<std::uint64_t>(length), b.ClusterSize())) unchecked = true;
      pos += static_cast<std::uint64_t>(length);
      if (type == 0x2F) {
        if (pos != end) b.Damaged(event);
        return;
      }
      running = 0;
    } else if (status == 0xF0 || status == 0xF7) {
      const std::int64_t length = number(pos);
      if (length < 0) return b.Damaged(event);
      if (HoldsWholeCluster(pos, pos + static_cast<std::uint64_t>(length), b.ClusterSize())) unchecked = true;
      pos += static_cast<std::uint64_t>(length);
      running = 0;
    } else if (status >= 0xF1) {
      return b.Damaged(event);
    } else {
      running = status;
      const int data = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
      for (int i = 0; i < data; ++i) {
        const int c = b.Byte(pos++);
        if (c < 0) return;
        if (c >= 0x80) return b.Damaged(event);
      }
    }
  }
  // No end of track: the last event runs over the track's end, or there is none.
  if (b.Verdict != vdDamaged) b.Damaged(last);
}

// The header chunk and as many chunks as it counts tracks.
std::uint64_t MidiSize(FileBytes& b) {
  const std::uint32_t headerLength = b.Be32(4), tracks = b.Be16(10);
  if (!b.ok || headerLength < 6 || tracks == 0) return 0;
  std::uint64_t pos = 8ull + headerLength;
  bool unchecked = HoldsWholeCluster(8, pos, b.ClusterSize());
  for (std::uint32_t found = 0; found < tracks;) {
    std::array<char, 4> type{};
    const std::uint32_t length = b.Be32(pos + 4);
    if (!b.ok || !b.Get(pos, type.data(), 4)) return 0;
    for (char c : type)
      if (c < 0x20 || c > 0x7E) {
        b.Damaged(pos);
        return 0;
      }
    if (std::string_view(type.data(), 4) == "MTrk") {
      ++found;
      if (pos + 8ull + length <= b.Limit()) MidiTrackEvents(b, pos + 8, pos + 8ull + length, unchecked);
    } else if (HoldsWholeCluster(pos + 8, pos + 8ull + length, b.ClusterSize())) {
      unchecked = true;  // a chunk of a kind no check reads
    }
    pos += 8ull + length;
    if (pos > b.Limit()) return 0;
  }
  if (!unchecked) b.Verified();
  return pos;
}

// The end of the last section of a PE program and its certificates, or the
// page count of a plain DOS program.
// The checksum of a Windows program, as its linker or signing tool writes
// it: the 16-bit words of the whole file summed with end-around carry (the
// checksum field itself left out), plus the file's length. It covers every
// byte, so a program whose sum holds is whole; one whose sum does not may
// still be (an installer's appended data, a program patched after linking,
// a size found short of an overlay), so a mismatch is no damage. 0 when the
// bytes cannot be read to the end, or when a cluster is all 0xFF: in an
// end-around-carry sum such a cluster counts the same as one of zeros, and
// erased flash reads as 0xFF where the program had zeros.
std::uint32_t PeChecksum(FileBytes& b, std::uint64_t size, std::uint64_t field) {
  constexpr std::uint64_t kBound = 1ull << 30;
  if (size == 0 || size > kBound || size > b.Limit()) return 0;
  std::uint64_t sum = 0;
  std::uint64_t at = 0;
  int odd = -1;  // the low byte of a word split across two clusters
  while (at < size) {
    std::size_t avail = 0;
    const std::uint8_t* p = b.At(at, avail);
    if (!p) return 0;
    avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, size - at));
    if (std::all_of(p, p + avail, [](std::uint8_t c) { return c == 0xFF; })) return 0;
    std::size_t i = 0;
    if (odd >= 0) {
      sum += static_cast<std::uint32_t>(odd) | static_cast<std::uint32_t>(p[0]) << 8;
      odd = -1;
      i = 1;
    }
    for (; i + 1 < avail; i += 2) sum += static_cast<std::uint32_t>(p[i]) | static_cast<std::uint32_t>(p[i + 1]) << 8;
    if (i < avail) odd = p[i];
    at += avail;
  }
  if (odd >= 0) sum += static_cast<std::uint32_t>(odd);
  // The field was summed with the rest: take its two words out again.
  const std::uint32_t stored = b.Le32(field);
  if (!b.ok) return 0;
  sum -= (stored & 0xFFFF) + (stored >> 16);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + size);
}

std::uint64_t ExeSize(FileBytes& b) {
  const std::uint32_t pe = b.Le32(0x3C);
  if (b.ok && pe >= 0x40 && pe < 0x10000 && b.Is(pe, "PE\0\0"sv)) {
    const std::uint32_t sections = b.Le16(pe + 6), optionalSize = b.Le16(pe + 20);
    const std::uint32_t symbolsAt = b.Le32(pe + 12), symbols = b.Le32(pe + 16);
    const std::uint32_t magic = b.Le16(pe + 24);
    if (!b.ok || sections == 0 || sections > 96) return 0;
    const std::uint64_t table = pe + 24ull + optionalSize;
    std::uint64_t end = table + sections * 40ull;
    for (std::uint32_t i = 0; i < sections; ++i) {
      const std::uint32_t raw = b.Le32(table + i * 40ull + 16), at = b.Le32(table + i * 40ull + 20);
      if (raw != 0) end = std::max<std::uint64_t>(end, static_cast<std::uint64_t>(at) + raw);
    }
    const std::uint64_t directories = magic == 0x20B ? pe + 24 + 112 : pe + 24 + 96;
    const std::uint32_t count = b.Le32(directories - 4);
    if ((magic == 0x10B || magic == 0x20B) && count > 4 && optionalSize >= directories - pe - 24 + 40) {
      const std::uint32_t at = b.Le32(directories + 32), size = b.Le32(directories + 36);
      if (at != 0 && size != 0) end = std::max<std::uint64_t>(end, static_cast<std::uint64_t>(at) + size);
    }
    // The symbol table of a program that was not stripped, and its strings.
    if (symbolsAt != 0 && symbols != 0 && symbols < (1u << 24)) {
      const std::uint64_t strings = symbolsAt + symbols * 18ull;
      const std::uint32_t stringsSize = b.Le32(strings);
      if (!b.ok) return 0;
      end = std::max<std::uint64_t>(end, strings + std::max<std::uint32_t>(stringsSize, 4));
    }
    if (!b.ok) return 0;
    const std::uint32_t checksum = b.Le32(pe + 88);
    if (b.ok && checksum != 0 && pe % 4 == 0 && pe + 92ull <= end && (magic == 0x10B || magic == 0x20B) &&
        optionalSize >= 68 &&
        PeChecksum(b, end, pe + 88) == checksum)
      b.Verified();
    b.ok = true;
    return end;
  }
  b.ok = true;
  if (b.Is(pe, "NE"sv) || b.Is(pe, "LE"sv) || b.Is(pe, "LX"sv)) return 0;
  const std::uint32_t last = b.Le16(2), pages = b.Le16(4);
  if (!b.ok || pages == 0 || last >= 512) return 0;
  return pages * 512ull - (last == 0 ? 0 : 512 - last);
}

// A cluster that plainly starts another file: a signature of three bytes or more.
bool StartsAnotherFile(const std::uint8_t* cluster, std::size_t size) {
  int kind = 1;
  std::string name;
  if (!DetectFileType(cluster, size, kind, name) || kind != 1) return false;
  static constexpr std::string_view kWeak[] = {"TIF", "BMP", "XLS", "DBF", "EXE", "ARJ", "LZH", "HTML", "DXF", "RTF"};
  if (std::find(std::begin(kWeak), std::end(kWeak), name) != std::end(kWeak)) return false;
  return name != "JPG" || (size > 2 && cluster[2] == 0xFF);
}

// The last "%%EOF" (with its line end) before the next file, 512 MiB, or,
// once one is found, a cluster of zeros or 1 MiB past the last one. A linearized document
// states its length in its first object.
std::uint64_t PdfSize(FileBytes& b) {
  std::array<char, 1024> head{};
  const std::size_t headSize = static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), b.Limit()));
  if (!b.Get(0, head.data(), headSize)) return 0;
  const std::string_view h(head.data(), headSize);
  if (const auto lin = h.find("/Linearized"); lin != std::string_view::npos && lin < 512) {
    const auto l = h.find("/L ", lin);
    if (l != std::string_view::npos) {
      std::uint64_t length = 0;
      for (std::size_t i = l + 3; i < h.size() && h[i] >= '0' && h[i] <= '9' && length < kMaxFileSize; ++i)
        length = length * 10 + static_cast<std::uint64_t>(h[i] - '0');
      if (length > 16 && length <= b.Limit() && b.Find(length - std::min<std::uint64_t>(length, 32), length, "%%EOF") !=
                                                     FileBytes::npos)
        return length;
    }
  }
  constexpr std::uint64_t kAfterLast = 1u << 20, kBound = 512u << 20;
  const std::uint32_t cs = b.ClusterSize();
  std::uint64_t end = 0;
  for (std::uint64_t index = 0; index * cs < std::min(b.Limit(), kBound); ++index) {
    if (end != 0 && index * cs > end + kAfterLast) break;
    const std::uint8_t* c = b.Cluster(index);
    if (!c) break;
    if (index > 0) {
      if (StartsAnotherFile(c, cs)) break;
      if (end != 0 && std::all_of(c, c + cs, [](std::uint8_t x) { return x == 0; })) break;
    }
    // "%%EOF" may straddle the boundary: search from 4 bytes before it.
    const std::uint64_t from = index * cs < 4 ? 0 : index * cs - 4;
    for (std::uint64_t at = b.Find(from, (index + 1) * cs, "%%EOF"); at != FileBytes::npos;
         at = b.Find(at + 5, (index + 1) * cs, "%%EOF")) {
      end = at + 5;
      if (b.Byte(end) == '\r') ++end;
      if (b.Byte(end) == '\n') ++end;
    }
  }
  return end;
}

// The CRC-16 (reflected 0x8005, from 0) of the bytes [from, to); a value no
// CRC-16 has when they cannot be read.
std::uint32_t Crc16Arc(FileBytes& b, std::uint64_t from, std::uint64_t to) {
  static const auto kTable = [] {
    std::array<std::uint16_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
      t[i] = static_cast<std::uint16_t>(c);
    }
    return t;
  }();
  std::uint32_t crc = 0;
  while (from < to) {
    std::size_t avail = 0;
    const std::uint8_t* p = b.At(from, avail);
    if (!p) return 0x10000;
    avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, to - from));
    for (std::size_t i = 0; i < avail; ++i) crc = (crc >> 8) ^ kTable[(crc ^ p[i]) & 0xFF];
    from += avail;
  }
  return crc;
}

// The frame chain from the tag or first frame, then a closing tag. A chain
// that starts inside a frame (a cluster from the middle of a file) has its
// first header within the longest frame of its stream.
std::uint64_t Mp3Size(FileBytes& b) {
  std::uint64_t pos = 0;
  if (b.Is(0, "ID3")) {
    std::array<std::uint8_t, 10> tag{};
    if (!b.Get(0, tag.data(), tag.size()) || tag[3] < 2 || tag[3] > 4) return 0;
    std::uint64_t size = 0;
    for (int i = 6; i < 10; ++i) {
      if (tag[i] & 0x80) return 0;
      size = size << 7 | tag[i];
    }
    pos = 10 + size + ((tag[5] & 0x10) ? 10 : 0);
  }
  std::array<std::uint8_t, 4> h{};
  std::uint32_t stream = 0;
  auto frameAt = [&](std::uint64_t p) -> std::uint32_t {
    if (!b.Get(p, h.data(), 4) || h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
    const std::uint32_t key = (h[1] & 0xFE) << 8 | (h[2] & 0x0C);
    if (stream != 0 && key != stream) return 0;
    const std::uint32_t length = MpegFrameLength(h[1], h[2], h[3]);
    if (length != 0) stream = key;
    return length;
  };
  std::uint64_t first = pos;
  if (pos == 0 && frameAt(0) == 0) {
    // Starts inside a frame: a header followed by another.
    bool found = false;
    for (std::uint64_t p = 1; p < 1728 && !found; ++p) {
      stream = 0;
      const std::uint32_t length = frameAt(p);
      if (length != 0 && frameAt(p + length) != 0) {
        first = p;
        found = true;
      }
    }
    if (!found) return 0;
  }
  // The checks cover every byte when each cluster holds a whole header in
  // its place: the chain starts at the first byte, no tag or frame is as
  // long as a cluster, and the last header lies in the last cluster.
  const std::uint64_t clusterSize = b.ClusterSize();
  const bool tagCovered = first == pos && (pos + 4 <= clusterSize || Id3TagChecked(b, pos));
  bool covered = tagCovered;
  std::uint64_t lastStart = 0;
  const std::uint64_t chainStart = first;
  std::array<std::uint8_t, 4> firstHeader{};
  std::uint32_t firstLength = 0;
  stream = 0;
  std::uint64_t frames = 0;
  for (std::uint32_t length; (length = frameAt(pos = first)) != 0; first += length) {
    ++frames;
    covered = covered && length + 4 <= clusterSize;
    lastStart = pos;
    if (frames == 1) {
      firstHeader = h;
      firstLength = length;
    }
    // Layer III frames that carry a CRC-16 have it over the header's last
    // two bytes and the side information.
    if ((h[1] & 0x06) == 0x02 && (h[1] & 0x01) == 0) {
      const bool mono = (h[3] >> 6) == 3, mpeg1 = (h[1] & 0x18) == 0x18;
      const std::size_t side = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
      std::array<std::uint8_t, 34> info{};
      if (side + 6 <= length && b.Get(pos + 4, info.data(), side + 2)) {
        std::uint16_t crc = 0xFFFF;
        UpdateCRC16(static_cast<std::uint32_t>(h[2]) << 8 | h[3], 16, crc);
        for (std::size_t i = 0; i < side; ++i) UpdateCRC16(info[2 + i], 8, crc);
        if (crc != (info[0] << 8 | info[1])) b.Damaged(pos);
      }
    }
  }
  if (frames < 2 && !(frames == 1 && pos > 0 && b.Is(0, "ID3"))) return 0;
  const std::uint64_t chainEnd = pos;
  bool musicChecked = false;
  bool ends = b.Is(pos, "TAG");
  if (ends) {
    lastStart = pos;
    pos += 128;
  }
  // Where the chain ends is told by a closing tag, or by the totals of frames
  // and bytes that an encoder's first frame ("Xing", "Info") gives.
  if (frames > 1 && firstLength > 16) {
    const bool mpeg1 = (firstHeader[1] & 0x18) == 0x18, mono = (firstHeader[3] >> 6) == 3;
    const std::uint64_t at = chainStart + 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17)) +
                             ((firstHeader[1] & 0x01) ? 0 : 2);
    const std::uint32_t flags = b.Be32(at + 4);
    if ((b.Is(at, "Xing") || b.Is(at, "Info")) && (flags & 3) == 3 && b.ok) {
      const std::uint64_t total = b.Be32(at + 8), bytes = b.Be32(at + 12);
      ends = ends || (total + 1 == frames && bytes == chainEnd - chainStart);
      // The encoder's extension of that frame (LAME's, and FFmpeg's that
      // follows it) holds a CRC-16 of all the frames after it, and one of
      // itself: together they test every byte of the music, however long
      // its frames. A file changed since (its gain adjusted) fails them
      // without being damaged.
      // Only read where the headers in their places do not cover the file.
      const std::uint64_t ext = at + 16 + ((flags & 4) ? 100 : 0) + ((flags & 8) ? 4 : 0);
      const std::uint64_t music = chainStart + firstLength;
      const bool headersCover = covered && lastStart / clusterSize == (pos - 1) / clusterSize;
      if (!headersCover && tagCovered && ext + 36 <= music && b.Be32(ext + 28) == chainEnd - chainStart && b.ok &&
          Crc16Arc(b, chainStart, ext + 34) == b.Be16(ext + 34) && Crc16Arc(b, music, chainEnd) == b.Be16(ext + 32) &&
          b.ok && b.AllZeros(ext + 36, music))
        musicChecked = true;  // the rest of that frame is the encoder's zeros
    }
  }
  b.ok = true;
  if (ends && frames > 0 &&
      ((covered && lastStart / clusterSize == (pos - 1) / clusterSize) || (tagCovered && musicChecked)))
    b.Verified();
  return pos;
}

// Sectors up to the last one that the compound document's FAT uses.
std::uint64_t CompoundSize(FileBytes& b) {
  if (!b.Is(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv)) return 0;
  const std::uint32_t shift = b.Le16(0x1E), fatSectors = b.Le32(0x2C);
  std::uint32_t difat = b.Le32(0x44);
  if (!b.ok || (shift != 9 && shift != 12) || fatSectors == 0) return 0;
  const std::uint64_t sectorSize = 1ull << shift;
  // 8192 FAT sectors describe 512 MiB of 512-byte sectors and 4 GiB of
  // 4 KiB ones; more is no document of a FAT volume.
  if (fatSectors > b.Limit() / sectorSize || fatSectors > 8192) return 0;
  const std::uint32_t perSector = static_cast<std::uint32_t>(sectorSize / 4);
  std::vector<std::uint8_t> sector(sectorSize);
  std::uint64_t highest = 0;
  bool any = false;
  auto fatSector = [&](std::uint32_t number, std::uint32_t index) {
    if (!b.Get((number + 1ull) * sectorSize, sector.data(), sector.size())) return false;
    for (std::uint32_t i = 0; i < perSector; ++i) {
      const std::uint32_t v = sector[i * 4] | sector[i * 4 + 1] << 8 | sector[i * 4 + 2] << 16 |
                              static_cast<std::uint32_t>(sector[i * 4 + 3]) << 24;
      if (v != 0xFFFFFFFF) {
        highest = static_cast<std::uint64_t>(index) * perSector + i;
        any = true;
      }
    }
    return true;
  };
  std::uint32_t index = 0;
  for (; index < std::min<std::uint32_t>(fatSectors, 109); ++index) {
    const std::uint32_t number = b.Le32(0x4C + index * 4ull);
    if (!b.ok || !fatSector(number, index)) return 0;
  }
  std::vector<std::uint8_t> list(sectorSize);
  while (index < fatSectors) {
    if (difat >= 0xFFFFFFFA || !b.Get((difat + 1ull) * sectorSize, list.data(), list.size())) return 0;
    for (std::uint32_t i = 0; i + 1 < perSector && index < fatSectors; ++i, ++index) {
      const std::uint32_t number = list[i * 4] | list[i * 4 + 1] << 8 | list[i * 4 + 2] << 16 |
                                   static_cast<std::uint32_t>(list[i * 4 + 3]) << 24;
      if (!fatSector(number, index)) return 0;
    }
    const std::size_t n = (perSector - 1) * 4;
    difat = list[n] | list[n + 1] << 8 | list[n + 2] << 16 | static_cast<std::uint32_t>(list[n + 3]) << 24;
  }
  return any ? (highest + 2) * sectorSize : 0;
}

bool IsAtomType(const std::array<char, 4>& t) {
  static constexpr std::string_view kTop[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot", "uuid",
                                              "meta", "moof", "mfra", "pdin", "sidx", "styp", "junk", "PICT"};
  return std::find(std::begin(kTop), std::end(kTop), std::string_view(t.data(), 4)) != std::end(kTop);
}

// The chain of top-level atoms.
std::uint64_t QuickTimeSize(FileBytes& b) {
  std::uint64_t pos = 0;
  bool movie = false;
  for (;;) {
    std::array<char, 4> type{};
    std::uint64_t size = b.Be32(pos);
    if (!b.ok || !b.Get(pos + 4, type.data(), 4) || !IsAtomType(type)) break;
    if (size == 1) size = b.Be64(pos + 8);
    if (!b.ok || size < 8) return 0;  // 0: to the end of a file whose end is unknown
    movie |= std::string_view(type.data(), 4) == "moov";
    pos += size;
    if (pos > b.Limit()) return 0;
  }
  if (movie) CheckIsoMedia(b, pos);
  return movie ? pos : 0;
}

// Pages to the last one of the stream.
// Each page's CRC-32 (0x04C11DB7, most significant bit first, over the page
// with its own CRC field as zeros).
std::uint32_t OggPageCrc(FileBytes& b, std::uint64_t pos, std::uint64_t size, bool& ok) {
  static constexpr std::array<std::uint32_t, 256> kTable = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0;
  for (std::uint64_t at = pos; at < pos + size;) {
    std::size_t avail = 0;
    const std::uint8_t* p = b.At(at, avail);
    if (!p) {
      ok = false;
      return 0;
    }
    avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, pos + size - at));
    for (std::size_t i = 0; i < avail; ++i, ++at) {
      const std::uint8_t c = at >= pos + 22 && at < pos + 26 ? 0 : p[i];
      crc = crc << 8 ^ kTable[(crc >> 24) ^ c];
    }
  }
  return crc;
}

std::uint64_t OggSize(FileBytes& b) {
  std::uint64_t pos = 0;
  bool last = false;
  std::array<std::uint8_t, 255> lacing{};
  while (b.Is(pos, "OggS\0"sv)) {
    const int type = b.Byte(pos + 5), segments = b.Byte(pos + 26);
    if (type < 0 || segments < 0 || !b.Get(pos + 27, lacing.data(), static_cast<std::size_t>(segments))) return 0;
    std::uint64_t size = 27ull + static_cast<unsigned>(segments);
    for (int i = 0; i < segments; ++i) size += lacing[static_cast<std::size_t>(i)];
    bool whole = true;
    const std::uint32_t stored = b.Le32(pos + 22);
    const std::uint32_t crc = OggPageCrc(b, pos, size, whole);
    if (b.ok && whole && crc != stored) b.Damaged(pos);
    pos += size;
    last = (type & 4) != 0;
  }
  if (last) b.Verified();
  else if (pos > 0 && !b.Cut) b.Damaged(pos);
  return last ? pos : 0;
}

// The start header tells where the next header lies; the CRC-32s of both
// are checked, the packed streams between them are not.
std::uint64_t SevenZipSize(FileBytes& b) {
  const std::uint64_t offset = b.Le64(12), size = b.Le64(20);
  if (!b.ok || offset > kMaxFileSize || size > kMaxFileSize || size == 0) return 0;
  std::uint32_t crc = 0;
  if (Crc32At(b, 12, 20, crc) && crc != b.Le32(8)) b.Damaged(8);
  if (32 + offset + size <= b.Limit() && Crc32At(b, 32 + offset, size, crc) && crc != b.Le32(28))
    b.Damaged(32 + offset);
  return 32 + offset + size;
}

std::uint64_t SqliteSize(FileBytes& b) {
  std::uint64_t page = b.Be16(16);
  const std::uint32_t changes = b.Be32(24), pages = b.Be32(28), validFor = b.Be32(92);
  if (page == 1) page = 65536;
  if (!b.ok || page < 512 || (page & (page - 1)) != 0 || pages == 0 || changes != validFor) return 0;
  return page * pages;
}

// Tables of the CRC-8 (0x07) and CRC-16 (0x8005) of FLAC, most significant bit first.
constexpr std::array<std::uint8_t, 256> MakeCrc8() {
  std::array<std::uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    std::uint8_t c = static_cast<std::uint8_t>(i);
    for (int k = 0; k < 8; ++k) c = static_cast<std::uint8_t>((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
    t[static_cast<std::size_t>(i)] = c;
  }
  return t;
}
constexpr std::array<std::uint16_t, 256> MakeCrc16() {
  std::array<std::uint16_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    std::uint16_t c = static_cast<std::uint16_t>(i << 8);
    for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>((c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1);
    t[static_cast<std::size_t>(i)] = c;
  }
  return t;
}

// CRC-16 (0x8005) tables for eight bytes at a time: entry i of table k is
// the sum of byte i followed by k zero bytes.
constexpr std::array<std::array<std::uint16_t, 256>, 8> MakeCrc16Slices() {
  std::array<std::array<std::uint16_t, 256>, 8> t{};
  t[0] = MakeCrc16();
  for (std::size_t k = 1; k < 8; ++k)
    for (std::size_t i = 0; i < 256; ++i)
      t[k][i] = static_cast<std::uint16_t>(t[k - 1][i] << 8 ^ t[0][t[k - 1][i] >> 8]);
  return t;
}
constexpr auto kCrc16Slices = MakeCrc16Slices();

std::uint16_t UpdateCrc16(std::uint16_t crc, const std::uint8_t* p, std::size_t n) {
  const auto& t = kCrc16Slices;
  for (; n >= 8; p += 8, n -= 8) {
    const std::uint32_t x = crc ^ (static_cast<std::uint32_t>(p[0]) << 8 | p[1]);
    crc = static_cast<std::uint16_t>(t[7][x >> 8] ^ t[6][x & 0xFF] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^
                                     t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
  }
  for (; n > 0; ++p, --n) crc = static_cast<std::uint16_t>(crc << 8 ^ t[0][(crc >> 8) ^ *p]);
  return crc;
}

// Bits of the file from an offset on, least significant first (deflate) or
// most significant first (FLAC). Bytes are fetched one at a time as the bits
// are needed, so that the offset of the next unread byte is always known and
// each byte passes once through the running checks.
class BitStream {
 public:
  BitStream(FileBytes& b, std::uint64_t offset, bool msbFirst) : b_(b), offset_(offset), msb_(msbFirst) {}

  bool Failed() const { return failed_; }
  // The offset of the first byte not yet fetched, after dropping the bits
  // left of the current one.
  std::uint64_t AlignedOffset() {
    count_ = 0;
    bits_ = 0;
    return offset_;
  }
  std::uint64_t Offset() const { return offset_; }

  std::uint32_t Get(int n) {  // n <= 32
    while (count_ < n) {
      const int c = Fetch();
      if (c < 0) return 0;
      if (msb_)
        bits_ = bits_ << 8 | static_cast<std::uint64_t>(c);
      else
        bits_ |= static_cast<std::uint64_t>(c) << count_;
      count_ += 8;
    }
    std::uint32_t v;
    if (msb_) {
      v = static_cast<std::uint32_t>((bits_ >> (count_ - n)) & ((1ull << n) - 1));
      count_ -= n;
      bits_ &= (1ull << count_) - 1;
    } else {
      v = static_cast<std::uint32_t>(bits_ & ((1ull << n) - 1));
      bits_ >>= n;
      count_ -= n;
    }
    return v;
  }
  // Passes over n bits (most significant first) as Gets of them would; the
  // whole bytes among them go into the CRC-16 a run at a time. The CRC-8,
  // the header's, is not kept past the header. False where they cannot be read.
  bool SkipBits(std::uint64_t n) {
    if (failed_) return false;
    const int held = static_cast<int>(std::min<std::uint64_t>(n, static_cast<std::uint64_t>(count_)));
    count_ -= held;
    bits_ &= (1ull << count_) - 1;
    n -= static_cast<std::uint64_t>(held);
    for (std::uint64_t bytes = n / 8; bytes > 0;) {
      if (avail_ == 0) {
        p_ = b_.At(offset_, avail_);
        if (!p_) {
          failed_ = true;
          return false;
        }
      }
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(avail_, bytes));
      crc16 = UpdateCrc16(crc16, p_, take);
      p_ += take;
      avail_ -= take;
      offset_ += take;
      bytes -= take;
    }
    if (n % 8) Get(static_cast<int>(n % 8));
    return !failed_;
  }

  // Zero bits up to the next one, which is consumed; -1 past limit zeros.
  std::int64_t Unary(std::int64_t limit) {
    std::int64_t zeros = 0;
    while (!failed_) {
      if (count_ == 0) {
        const int c = Fetch();
        if (c < 0) return -1;
        bits_ = static_cast<std::uint64_t>(c);
        count_ = 8;
      }
      if (bits_ == 0) {  // the whole rest of the byte
        zeros += count_;
        count_ = 0;
        if (zeros > limit) return -1;
        continue;
      }
      const int top = 63 - __builtin_clzll(bits_);  // highest set bit
      zeros += count_ - 1 - top;
      count_ = top;
      bits_ &= (1ull << count_) - 1;
      return zeros > limit ? -1 : zeros;
    }
    return -1;
  }

  // Passes over count Rice codes of parameter param, each a unary quotient
  // of no more than limit zeros and param bits, the residual of a FLAC
  // subframe being most of its bytes. Local copies of the reader's state
  // hold up to 64 bits at a time from the cluster at hand; the next cluster
  // is taken only for bits a code needs, and whole bytes read ahead are
  // handed back at the end, so that the reader leaves off as Get and Unary
  // would. The CRC-16 takes in the bytes a run at a time; the CRC-8, the
  // header's, is not kept past the header. False where a code cannot be read
  // or runs too long.
  bool SkipRice(std::uint32_t count, int param, std::int64_t limit) {
    if (failed_) return false;
    std::uint64_t bits = bits_;
    int have = count_;
    const std::uint8_t* p = p_;
    const std::uint8_t* summed = p_;  // bytes from here to p are not in the CRC yet
    std::size_t avail = avail_;
    std::uint64_t offset = offset_;
    std::uint16_t c16 = crc16;
    auto fill = [&] {
      if (have <= 56 && avail >= 8) {
        // The whole bytes that fit, from one load of eight.
        std::uint64_t word = 0;
        for (int k = 0; k < 8; ++k) word = word << 8 | p[k];
        const int take = (64 - have) / 8;
        bits = take == 8 ? word : bits << (8 * take) | word >> (64 - 8 * take);
        p += take;
        avail -= static_cast<std::size_t>(take);
        offset += static_cast<std::uint64_t>(take);
        have += 8 * take;
        return;
      }
      for (; have <= 56 && avail > 0; --avail, ++offset, have += 8) bits = bits << 8 | *p++;
    };
    // At least n bits (n <= 32) in bits, from the next clusters when this one runs out.
    auto need = [&](int n) {
      fill();
      while (have < n) {
        if (summed) c16 = UpdateCrc16(c16, summed, static_cast<std::size_t>(p - summed));
        std::size_t more = 0;
        const std::uint8_t* next = b_.At(offset, more);
        if (!next) {
          failed_ = true;
          summed = nullptr;
          return false;
        }
        p = summed = next;
        avail = more;
        fill();
      }
      return true;
    };
    bool ok = true;
    for (std::uint32_t i = 0; i < count && ok; ++i) {
      std::int64_t zeros = 0;
      for (;;) {
        const std::uint64_t value = have == 0 ? 0 : bits & (~0ull >> (64 - have));
        if (value == 0) {
          zeros += have;
          have = 0;
          if (zeros > limit || !need(1)) {
            ok = false;
            break;
          }
          continue;
        }
        const int top = 63 - __builtin_clzll(value);
        zeros += have - 1 - top;
        have = top;
        if (zeros > limit) ok = false;
        break;
      }
      if (!ok || param == 0) continue;
      if (have < param && !need(param)) break;
      have -= param;
    }
    if (!failed_) {
      // Whole bytes read ahead go back: they all lie in the cluster at hand.
      const int back = have / 8;
      p -= back;
      avail += static_cast<std::size_t>(back);
      offset -= static_cast<std::uint64_t>(back);
      have -= 8 * back;
      bits >>= 8 * back;
    }
    if (summed) c16 = UpdateCrc16(c16, summed, static_cast<std::size_t>(p - summed));
    bits_ = have == 0 ? 0 : bits & ((1ull << have) - 1);
    count_ = have;
    p_ = p;
    avail_ = avail;
    offset_ = offset;
    crc16 = c16;
    return ok && !failed_;
  }

  // Running checks over every byte fetched: CRC-8 (0x07) and CRC-16 (0x8005).
  std::uint8_t crc8 = 0;
  std::uint16_t crc16 = 0;

 private:
  int Fetch() {
    if (avail_ == 0) {
      p_ = b_.At(offset_, avail_);
      if (!p_) {
        failed_ = true;
        return -1;
      }
    }
    const std::uint8_t c = *p_++;
    --avail_;
    ++offset_;
    crc8 = kCrc8[crc8 ^ c];
    crc16 = static_cast<std::uint16_t>(crc16 << 8 ^ kCrc16[(crc16 >> 8) ^ c]);
    return c;
  }
  static constexpr std::array<std::uint8_t, 256> kCrc8 = MakeCrc8();
  static constexpr std::array<std::uint16_t, 256> kCrc16 = MakeCrc16();

  FileBytes& b_;
  std::uint64_t offset_;
  bool msb_;
  const std::uint8_t* p_ = nullptr;
  std::size_t avail_ = 0;
  std::uint64_t bits_ = 0;
  int count_ = 0;
  bool failed_ = false;
};

// One FLAC frame from its header through its subframes to its CRC-16; the
// number of samples it holds, or 0 when it is no valid frame.
std::uint32_t FlacFrame(FileBytes& b, std::uint64_t& pos, std::uint32_t streamBits, std::uint32_t streamChannels) {
  BitStream s(b, pos, true);
  const std::uint32_t sync = s.Get(15);
  s.Get(1);  // blocking strategy
  const std::uint32_t sizeCode = s.Get(4), rateCode = s.Get(4);
  const std::uint32_t assignment = s.Get(4), bitsCode = s.Get(3), reserved = s.Get(1);
  if (s.Failed() || sync != 0x7FFC || sizeCode == 0 || rateCode == 15 || assignment > 10 || bitsCode == 3 ||
      reserved != 0)
    return 0;
  // The frame or sample number, UTF-8 coded.
  const std::uint32_t lead = s.Get(8);
  int more = 0;
  while (more < 7 && (lead << more & 0x80)) ++more;
  if (more == 1 || more == 8) return 0;
  for (int i = 1; i < more; ++i)
    if ((s.Get(8) & 0xC0) != 0x80) return 0;
  std::uint32_t blockSize = sizeCode == 1 ? 192
                            : sizeCode <= 5 ? 576u << (sizeCode - 2)
                            : sizeCode == 6 ? s.Get(8) + 1
                            : sizeCode == 7 ? s.Get(16) + 1
                                            : 256u << (sizeCode - 8);
  if (rateCode == 12) s.Get(8);
  if (rateCode == 13 || rateCode == 14) s.Get(16);
  const std::uint8_t headerCrc = s.crc8;
  if (s.Get(8) != headerCrc || s.Failed()) return 0;
  static constexpr std::uint32_t kBits[] = {0, 8, 12, 0, 16, 20, 24, 32};
  const std::uint32_t bits = bitsCode == 0 ? streamBits : kBits[bitsCode];
  const std::uint32_t channels = assignment < 8 ? assignment + 1 : 2;
  if (bits == 0 || (streamChannels != 0 && channels != streamChannels)) return 0;

  for (std::uint32_t ch = 0; ch < channels; ++ch) {
    const bool side = (assignment == 8 && ch == 1) || (assignment == 9 && ch == 0) || (assignment == 10 && ch == 1);
    std::uint32_t sampleBits = bits + (side ? 1 : 0);
    if (s.Get(1) != 0) return 0;
    const std::uint32_t type = s.Get(6);
    if (s.Get(1)) {
      const std::int64_t wasted = s.Unary(sampleBits);
      if (wasted < 0 || static_cast<std::uint32_t>(wasted) + 1 >= sampleBits) return 0;
      sampleBits -= static_cast<std::uint32_t>(wasted) + 1;
    }
    auto skip = [&](std::uint64_t n) { s.SkipBits(n); };
    std::uint32_t order = 0;
    if (type == 0) {
      skip(sampleBits);
      continue;
    }
    if (type == 1) {
      skip(static_cast<std::uint64_t>(blockSize) * sampleBits);
      continue;
    }
    if (type >= 8 && type <= 12) {
      order = type - 8;
      skip(static_cast<std::uint64_t>(order) * sampleBits);
    } else if (type >= 32) {
      order = (type & 31) + 1;
      skip(static_cast<std::uint64_t>(order) * sampleBits);
      const std::uint32_t precision = s.Get(4) + 1;
      if (precision == 16) return 0;
      s.Get(5);
      skip(static_cast<std::uint64_t>(order) * precision);
    } else {
      return 0;
    }
    if (order > blockSize) return 0;
    // The residual: Rice-coded partitions.
    const std::uint32_t method = s.Get(2);
    if (method > 1) return 0;
    const int paramBits = method == 0 ? 4 : 5;
    const std::uint32_t escape = method == 0 ? 15 : 31;
    const std::uint32_t partitionOrder = s.Get(4);
    const std::uint32_t partitions = 1u << partitionOrder;
    if (blockSize % partitions != 0 || (blockSize >> partitionOrder) < order) return 0;
    for (std::uint32_t part = 0; part < partitions && !s.Failed(); ++part) {
      const std::uint32_t samples = (blockSize >> partitionOrder) - (part == 0 ? order : 0);
      const std::uint32_t param = s.Get(paramBits);
      if (param == escape) {
        skip(static_cast<std::uint64_t>(samples) * s.Get(5));
        continue;
      }
      if (!s.SkipRice(samples, static_cast<int>(param), 1 << 20)) return 0;
    }
    if (s.Failed()) return 0;
  }
  s.AlignedOffset();
  const std::uint16_t frameCrc = s.crc16;
  if (s.Get(16) != frameCrc || s.Failed()) return 0;
  pos = s.AlignedOffset();
  return blockSize;
}

// Metadata blocks, then frames up to the number of samples the stream
// information tells, each checked by its CRC-8 header and CRC-16 frame sums.
// A FLAC metadata block of the given type whose data is [from, to): the
// bytes its checks test are marked. Padding must be zeros; the points of a
// seek table ascend; a picture is decoded where it is a JPEG or a PNG.
void CheckFlacMetadata(FileBytes& b, int type, std::uint64_t from, std::uint64_t to, TClusterCoverage& coverage) {
  if (type == 1) {
    for (std::uint64_t at = from; at < to;) {
      std::size_t avail = 0;
      const std::uint8_t* p = b.At(at, avail);
      if (!p) return;
      avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, to - at));
      const std::uint8_t* nonzero = std::find_if(p, p + avail, [](std::uint8_t c) { return c != 0; });
      if (nonzero != p + avail) return b.Damaged(at + static_cast<std::uint64_t>(nonzero - p));
      at += avail;
    }
    coverage.CheckedRange(from, to);
  } else if (type == 3) {
    if ((to - from) % 18 != 0) return;
    std::uint64_t sample = 0, offset = 0;
    for (std::uint64_t at = from; at < to; at += 18) {
      const std::uint64_t s = b.Be64(at), o = b.Be64(at + 8);
      if (!b.ok) return;
      if (s == ~0ull) continue;  // a placeholder
      if ((at > from && (s <= sample || o < offset)) || b.Be16(at + 16) == 0) return;
      sample = s;
      offset = o;
    }
    coverage.CheckedRange(from, to);
  } else if (type == 6) {
    // Picture type, MIME type, description, four numbers, then the data.
    std::uint64_t at = from + 4;
    const std::uint32_t mime = b.Be32(at);
    at += 4ull + mime;
    const std::uint32_t description = b.Be32(at);
    at += 4ull + description + 16;
    const std::uint32_t size = b.Be32(at);
    at += 4;
    if (!b.ok || at + size != to) return;
    coverage.CheckedRange(from, at);
    CheckEmbeddedImage(b, at, to, coverage);
  }
}

std::uint64_t FlacSize(FileBytes& b) {
  if (!b.Is(0, "fLaC")) return 0;
  std::uint64_t pos = 4;
  std::uint64_t total = 0;
  std::uint32_t bits = 0, channels = 0;
  // The frames are covered by their CRCs; of the metadata, what is checked
  // here: the block headers, the stream's facts, padding that must be zeros
  // and a picture that decodes. A cover, a long comment or an application's
  // block that holds a whole cluster unchecked leaves the file plausible.
  TClusterCoverage coverage(b.ClusterSize());
  coverage.CheckedRange(0, 4);
  for (bool last = false, first = true; !last; first = false) {
    const int type = b.Byte(pos);
    const std::uint32_t length = b.Num(pos + 1, 3, true);
    if (type < 0 || !b.ok || (type & 0x7F) == 127 || (first && (type & 0x7F) != 0)) return 0;
    last = (type & 0x80) != 0;
    coverage.CheckedRange(pos, pos + 4);
    if (first) {
      if (length != 34) return 0;
      const std::uint64_t packed = b.Be64(pos + 4 + 10);  // rate 20, channels 3, bits 5, samples 36
      channels = static_cast<std::uint32_t>(packed >> 41 & 7) + 1;
      bits = static_cast<std::uint32_t>(packed >> 36 & 31) + 1;
      total = packed & 0xFFFFFFFFFull;
      coverage.CheckedRange(pos, pos + 4 + length);
    } else if (pos + 4ull + length <= b.Limit()) {
      CheckFlacMetadata(b, type & 0x7F, pos + 4, pos + 4 + length, coverage);
    }
    pos += 4ull + length;
    if (!b.ok || pos > b.Limit()) return 0;
  }
  const std::uint64_t frames = pos;
  std::uint64_t samples = 0;
  for (;;) {
    std::uint64_t next = pos;
    const std::uint32_t n = FlacFrame(b, next, bits, channels);
    if (n == 0) {
      if (total != 0 || samples == 0) b.Damaged(pos);
      return total == 0 && samples != 0 ? pos : 0;
    }
    pos = next;
    samples += n;
    if (total != 0 && samples >= total) {
      // Every frame passed its CRC-16, and they hold the stream's samples.
      coverage.CheckedRange(frames, pos);
      if (samples == total && coverage.Covers(pos)) b.Verified();
      return samples == total ? pos : 0;
    }
  }
}

// Members of header, deflate stream and trailer whose CRC-32 and ISIZE
// match what the stream inflates to. A further member follows only inside the same cluster
// run: one that starts a cluster is taken for a file of its own.
std::uint64_t GzipSize(FileBytes& b) {
  std::uint64_t pos = 0;
  bool unchecked = false;
  do {
    const int flags = b.Byte(pos + 3);
    if (!b.Is(pos, "\x1F\x8B\x08"sv) || flags < 0 || (flags & 0xE0)) return 0;
    std::uint64_t at = pos + 10;
    if (flags & 4) at += 2 + b.Le16(at);
    for (int field : {8, 16}) {
      if (!(flags & field)) continue;
      const std::uint64_t end = b.Find(at, at + 65536, "\0"sv);
      if (end == FileBytes::npos) return 0;
      at = end + 1;
    }
    if (flags & 2) at += 2;
    if (!b.ok) return 0;
    // The extra field, name and comment are checked by nothing.
    if (HoldsWholeCluster(pos + 10, at, b.ClusterSize())) unchecked = true;
    const TInflated out = InflateAt(b, at, kMaxFileSize);
    if (!out.Ok) {
      if (!out.RanOut) b.Damaged(out.BadAt);
      return 0;
    }
    at = out.End;
    const std::uint32_t crc = b.Le32(at), isize = b.Le32(at + 4);
    if (!b.ok) return 0;
    if (crc != out.Crc || isize != static_cast<std::uint32_t>(out.Size)) {
      b.Damaged(at);
      return 0;
    }
    pos = at + 8;
  } while (pos % b.ClusterSize() != 0 && b.Is(pos, "\x1F\x8B\x08"sv));
  if (!unchecked) b.Verified();
  return pos;
}

}  // namespace

TFileExtent FindFileExtent(const std::string& typeName, IClusterSource& source) {
  TFileExtent extent;
  if (source.ClusterSize() == 0 || source.ClusterLimit() == 0) return extent;
  FileBytes b(source);
  const std::string& t = typeName;
  if (t == "JPG") extent.Size = JpegSize(b);
  else if (t == "PNG") extent.Size = PngSize(b);
  else if (t == "GIF") extent.Size = GifSize(b);
  else if (t == "BMP") extent.Size = BmpSize(b);
  else if (t == "AVI") extent.Size = AviSize(b);
  else if (t == "WAV" || t == "CDR" || t == "RIFF") extent.Size = RiffSize(b);
  else if (t == "WEBP") extent.Size = WebpSize(b);
  else if (t == "ZIP") extent = ZipExtent(b);
  else if (t == "RAR") extent.Size = RarSize(b);
  else if (t == "TAR") extent.Size = TarSize(b);
  else if (t == "MID") extent.Size = MidiSize(b);
  else if (t == "EXE") extent.Size = ExeSize(b);
  else if (t == "PDF") {
    extent.Size = PdfSize(b);
    if (extent.Size != 0) CheckPdfXref(b, extent.Size);
  }
  else if (t == "MP3") extent.Size = Mp3Size(b);
  else if (t == "DOC") extent.Size = CompoundSize(b);
  else if (t == "MOV" || t == "MP4" || t == "M4A" || t == "3GP") extent.Size = QuickTimeSize(b);
  else if (t == "OGG") extent.Size = OggSize(b);
  else if (t == "7Z") {
    extent.Size = SevenZipSize(b);
    if (extent.Size != 0 && extent.Size <= b.Limit() && b.Verdict != vdDamaged) CheckSevenZip(b, extent.Size);
  }
  else if (t == "SQLITE") {
    extent.Size = SqliteSize(b);
    if (extent.Size != 0 && extent.Size <= b.Limit()) CheckSqlite(b, extent.Size);
  }
  else if (t == "FLAC") extent.Size = FlacSize(b);
  else if (t == "GZ") extent.Size = GzipSize(b);
  else return extent;  // a type without a structure to follow: unchecked
  // Nothing beyond the volume, nor a structure that claims more.
  if (extent.Size > b.Limit()) {
    extent = TFileExtent{};
    b.Cut = true;
  }
  if (extent.Size != 0) {
    // Checks that held but cover less than the file are no verdict of it.
    extent.Verdict = b.Verdict == vdNone ? vdPlausible : b.Verdict;
  } else {
    // The structure broke off: on bytes that are wrong, or where the bytes end.
    extent.Verdict = b.Verdict == vdDamaged ? vdDamaged : b.Cut ? vdCut : vdDamaged;
  }
  // A structure that runs past the bytes there are broke off where they end.
  if (extent.Verdict == vdDamaged)
    extent.BadOffset = b.Limit() == 0 ? 0 : std::min<std::uint64_t>(b.BadOffset, b.Limit() - 1);
  return extent;
}

}  // namespace vantrel
