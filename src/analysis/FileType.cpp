#include "analysis/FileType.h"

#include <cstring>

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "common/Bytes.h"
#include "common/TextRoutines.h"
#include "fs/TFATdrive.h"

namespace vantrel {

namespace {

using namespace std::string_view_literals;

// Reads the fixed offsets of the signature tests. The first read that would
// reach past the buffer is a fault; it sticks, and after it no comparison
// matches. The caller gives up on a fault, so a short buffer is never taken
// for a later test's type (not even "RIFF" when its subtype bytes are missing).
class SignatureProbe {
 public:
  explicit SignatureProbe(ByteSpan data) : data_(data) {}

  bool Is(std::size_t off, std::string_view signature) {
    return Fits(off, signature.size()) &&
           StartsWith(signature, data_.data() + off, data_.size() - off);
  }
  bool ByteIn(std::size_t off, std::initializer_list<std::uint8_t> values) {
    return Fits(off, 1) && std::find(values.begin(), values.end(), data_[off]) != values.end();
  }
  bool WordIn(std::size_t off, std::initializer_list<std::uint16_t> values) {
    return Fits(off, 2) && std::find(values.begin(), values.end(), Le16(data_, off)) != values.end();
  }
  bool LongIs(std::size_t off, std::uint32_t value) {
    return Fits(off, 4) && Le32(data_, off) == value;
  }
  bool Failed() const { return failed_; }

 private:
  bool Fits(std::size_t off, std::size_t count) {
    if (!failed_ && (off > data_.size() || data_.size() - off < count)) failed_ = true;
    return !failed_;
  }

  ByteSpan data_;
  bool failed_ = false;
};

// Tests #1 to #18, in this order; the first that matches decides.
const char* MatchSignature(SignatureProbe& in) {
  if (in.Is(0, "\xFF\xD8"sv)) return "JPG";
  // The identifier word of older word-processor files, or any compound document.
  if (in.WordIn(0, {0xA5DC, 0xA5DB, 0xA5EC}) || in.Is(0, "\xD0\xCF\x11\xE0"sv)) return "DOC";
  // A BIFF record BOF of the early spreadsheet versions.
  if (in.ByteIn(0, {0x09}) && in.ByteIn(1, {0x04, 0x02, 0x00, 0x08})) return "XLS";
  if (in.Is(0, "BM"sv)) return "BMP";
  if (in.Is(0, "II"sv) || in.Is(0, "MM"sv)) return "TIF";
  if (in.Is(0, "\x89PNG\r\n\x1A\n"sv)) return "PNG";
  if (in.Is(0, "RIFF"sv)) {
    if (in.Is(8, "CDR"sv)) return "CDR";
    if (in.Is(8, "WAVE"sv)) return "WAV";
    if (in.Is(8, "AVI "sv)) return "AVI";
    if (in.Is(8, "WEBP"sv)) return "WEBP";
    return "RIFF";
  }
  if (in.Is(0, "MZ"sv)) return "EXE";
  // A dBASE version byte is common at the start of anything; the reserved
  // zeros of the table header make the match worth trusting.
  if (in.ByteIn(0, {0x03, 0x83, 0xF5, 0x8B, 0x8E}) && in.ByteIn(12, {0x00}) &&
      in.ByteIn(13, {0x00}) && in.ByteIn(30, {0x00}) && in.ByteIn(31, {0x00}))
    return "DBF";
  if (in.LongIs(0, 0x00035F3F)) return "HLP";
  // The POSIX magic of a tar header; the old GNU header has "ustar " there
  // and does not count.
  if (in.Is(257, "ustar\0"sv)) return "TAR";
  if (in.Is(2, "-lh"sv) || in.Is(2, "-lz"sv)) return "LZH";
  if (in.Is(0, "PK\x03\x04"sv)) return "ZIP";
  if (in.Is(0, "\x60\xEA"sv)) return "ARJ";
  if (in.Is(0, "Rar!\x1A\x07\x00"sv)) return "RAR";
  if (in.Is(0, "%PDF-1."sv) && in.ByteIn(7, {'0', '1', '2'})) return "PDF";
  if (in.Is(0, "MThd"sv)) return "MID";
  if (in.Is(4, "moov"sv)) return "MOV";
  return nullptr;
}

// Test #19: "<HTML>" in upper case, starting before Size - 6. The bound keeps
// the last byte out of the search, so a tag that ends the buffer is not seen.
bool HasHtmlTag(ByteSpan data) {
  constexpr auto kTag = "<HTML>"sv;
  if (data.size() <= kTag.size()) return false;
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
  return text.find(kTag) != std::string_view::npos;
}

// Test #20 over the first 32 bytes: a DXF file starts with the group code 0,
// "SECTION", the group code 2 and "HEADER" on four lines; an RTF file has
// "{\rtf" on one of its first lines. A line with a "0" in it is only ever
// taken for the start of a DXF header.
const char* MatchTextLines(ByteSpan data) {
  constexpr std::size_t kLineTestBytes = 32;
  const std::uint8_t* pos = data.data();
  const std::uint8_t* const end = pos + std::min(data.size(), kLineTestBytes);
  std::string line;
  do {
    line = ReadTextLine(pos, end);
    if (line.find('0') != std::string::npos) {
      line = ReadTextLine(pos, end);
      if (line != "SECTION") continue;
      line = ReadTextLine(pos, end);
      if (line.find('2') == std::string::npos) continue;
      line = ReadTextLine(pos, end);
      if (line == "HEADER") return "DXF";
    } else if (line.find("{\\rtf") != std::string::npos) {
      return "RTF";
    }
  } while (!line.empty());
  return nullptr;
}

// Bitrates in kbit/s by bitrate index; the rows are Layer I, II and III of
// MPEG-1, then Layer I, II and III of MPEG-2, whose rows MPEG-2.5 shares.
constexpr std::uint16_t kBitrates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}}};

// Sample rates in Hz by version bits (0 MPEG-2.5, 1 reserved, 2 MPEG-2,
// 3 MPEG-1) and sample-rate index.
constexpr std::uint32_t kSampleRates[4][3] = {
    {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

constexpr std::uint8_t kLayerI = 3;
constexpr std::uint16_t kMinFrameLength = 32;

// The length in bytes of the frame that the header bytes 1 to 3 describe, or
// 0 when they are no valid header. An MPEG-1 Layer III frame at 128 kbit/s and
// 44.1 kHz is 417 bytes long, 418 with padding; Layer III of MPEG-2 and 2.5
// holds half as many samples per frame, so its frames are half as long.
std::uint16_t FrameLength(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  const unsigned version = (b1 >> 3) & 3;
  const unsigned layer = (b1 >> 1) & 3;
  const unsigned bitrateIndex = b2 >> 4;
  const unsigned sampleRateIndex = (b2 >> 2) & 3;
  const unsigned padding = (b2 >> 1) & 1;
  const unsigned emphasis = b3 & 3;
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 ||
      sampleRateIndex == 3 || emphasis == 2)
    return 0;

  const std::uint32_t bitrate = kBitrates[version == 3 ? 0 : 1][3 - layer][bitrateIndex];
  const std::uint32_t sampleRate = kSampleRates[version][sampleRateIndex];
  const std::uint32_t factor = (layer == 1 && version != 3) ? 72000 : 144000;
  const auto length = static_cast<std::uint16_t>(
      layer == kLayerI ? (12000 * bitrate / sampleRate + padding) * 4
                       : factor * bitrate / sampleRate + padding);
  return length < kMinFrameLength ? 0 : length;
}

// A frame whose protection bit is clear carries a CRC-16 (big-endian, after
// the header) over header bytes 2 and 3 and, for Layer III, the side
// information. Frames of the other layers, and one whose side information
// runs past the buffer, are taken as they are.
bool CrcMatches(ByteSpan data, std::size_t p) {
  const std::uint8_t b1 = data[p + 1], b3 = data[p + 3];
  if ((b1 & 1) != 0 || ((b1 >> 1) & 3) != 1) return true;
  const bool mpeg1 = ((b1 >> 3) & 3) == 3;
  const bool mono = (b3 >> 6) == 3;
  const std::size_t sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  if (data.size() - p < 6 + sideInfo) return true;
  std::uint16_t crc = 0xFFFF;
  UpdateCRC16(data[p + 2], 8, crc);
  UpdateCRC16(data[p + 3], 8, crc);
  for (std::size_t i = 0; i < sideInfo; ++i) UpdateCRC16(data[p + 6 + i], 8, crc);
  return crc == ((data[p + 4] << 8) | data[p + 5]);
}

bool IsFrameSync(ByteSpan data, std::size_t p) { return data[p] == 0xFF && (data[p + 1] & 0xE0) == 0xE0; }

// Where a frame header at p leads: the frames that follow one another from
// p, and whether they reach the end of the buffer (a missing or bad header
// on the way, at position End, stops them). Positions in dead are known to
// lead to a bad header.
struct FrameRun {
  std::size_t Frames = 0;
  bool ReachesEnd = false;
  std::size_t End = 0;
};

FrameRun FollowFrames(ByteSpan data, std::size_t p, const std::vector<bool>& dead) {
  FrameRun run;
  const unsigned key = (data[p + 1] & 0xFE) << 8 | (data[p + 2] & 0x0C);
  while (data.size() - p >= 4) {
    run.End = p;
    if (!dead.empty() && dead[p]) return run;
    if (!IsFrameSync(data, p)) return run;
    // One stream keeps its version, layer and sample rate.
    if (((data[p + 1] & 0xFE) << 8 | (data[p + 2] & 0x0C)) != key) return run;
    const std::uint16_t length = FrameLength(data[p + 1], data[p + 2], data[p + 3]);
    if (length == 0 || !CrcMatches(data, p)) return run;
    ++run.Frames;
    p += length;
    if (p >= data.size()) break;
  }
  run.ReachesEnd = true;
  return run;
}

// The longest frame of the stream of the header at p: its top bitrate, padded.
std::size_t LongestFrame(ByteSpan data, std::size_t p) {
  return FrameLength(data[p + 1], static_cast<std::uint8_t>(0xE2 | (data[p + 2] & 0x0C)), data[p + 3]);
}

// Test #21: a run of MPEG audio frames. A cluster from the middle of a file
// begins inside a frame, so the run may start after it: at most one frame of
// the stream at its top bitrate in, after bytes that are not all zero. From
// there, frames of one stream (same version, layer and sample rate), with
// their checksums where they carry one, follow one another to the end of the
// cluster, two of them at least. Data that merely ends in two good frames so
// is no sound, nor is a zero-filled cluster with frames at its end.
bool IsAudioFrameRun(ByteSpan data) {
  if (data.size() < 4) return false;
  // Only the first bytes may hold the run's first header, so the search for
  // the sync byte covers only those.
  constexpr std::size_t kLongestFrame = 1728;
  const std::uint8_t* begin = data.data();
  const std::uint8_t* end = begin + std::min(data.size() - 3, kLongestFrame);
  // A run that breaks is the same run from each of its frames: once one has
  // broken, its frames are not followed again.
  std::vector<bool> dead;
  for (const std::uint8_t* at = begin; at < end; ++at) {
    at = static_cast<const std::uint8_t*>(std::memchr(at, 0xFF, static_cast<std::size_t>(end - at)));
    if (!at) return false;
    const auto p = static_cast<std::size_t>(at - begin);
    if (!IsFrameSync(data, p) || FrameLength(data[p + 1], data[p + 2], data[p + 3]) == 0) continue;
    const FrameRun run = FollowFrames(data, p, dead);
    if (run.ReachesEnd) {
      if (run.Frames >= 2 && p <= LongestFrame(data, p) &&
          (p == 0 || std::any_of(begin, at, [](std::uint8_t b) { return b != 0; })))
        return true;
      continue;
    }
    if (run.Frames < 2) continue;
    if (dead.empty()) dead.resize(data.size());
    for (std::size_t q = p; q < run.End; q += FrameLength(data[q + 1], data[q + 2], data[q + 3])) dead[q] = true;
  }
  return false;
}

// The first frame of an encoder's file that carries the stream's frame
// count ("Xing" or "Info" after the side information of Layer III, "VBRI"
// 32 bytes in): a frame at 320 kbit/s is longer than a small cluster, so
// that a cluster holds less than the two frames a run needs.
bool IsHeaderFrame(ByteSpan data) {
  if (data.size() < 64 || !IsFrameSync(data, 0) || FrameLength(data[1], data[2], data[3]) == 0) return false;
  if (((data[1] >> 1) & 3) != 1) return false;
  const bool mpeg1 = ((data[1] >> 3) & 3) == 3, mono = (data[3] >> 6) == 3;
  const std::size_t at = 4 + ((data[1] & 1) ? 0 : 2) + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
  auto is = [&](std::size_t off, const char* tag) { return std::memcmp(data.data() + off, tag, 4) == 0; };
  return is(at, "Xing") || is(at, "Info") || is(36, "VBRI");
}

// A tag of ID3 version 2.2 to 2.4 with a size in its seven-bit bytes.
bool IsId3Tag(ByteSpan data) {
  return data.size() >= 10 && data[0] == 'I' && data[1] == 'D' && data[2] == '3' && data[3] >= 2 && data[3] <= 4 &&
         data[4] != 0xFF && (data[6] | data[7] | data[8] | data[9]) < 0x80;
}

// Signatures of types beyond the first twenty-one tests, tried after them.
const char* MatchNewerSignature(ByteSpan data) {
  auto is = [&](std::size_t off, std::string_view s) {
    return data.size() >= off + s.size() && std::memcmp(data.data() + off, s.data(), s.size()) == 0;
  };
  if (is(0, "%PDF-1.") && data.size() > 7 && data[7] >= '3' && data[7] <= '7') return "PDF";
  // The GNU tar header (GNU tar's default format), trusted when its checksum holds.
  if (data.size() >= 512 && is(257, "ustar  \0"sv)) {
    unsigned sum = 0, stored = 0;
    for (std::size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : data[i];
    std::size_t i = 148;
    while (i < 155 && data[i] == ' ') ++i;
    for (; i < 156 && data[i] >= '0' && data[i] <= '7'; ++i) stored = stored * 8 + (data[i] - '0');
    if (stored == sum) return "TAR";
  }
  if (is(0, "%PDF-2.0")) return "PDF";
  if (is(0, "GIF87a") || is(0, "GIF89a")) return "GIF";
  if (is(4, "ftyp")) {
    if (is(8, "qt  ")) return "MOV";
    if (is(8, "M4A ") || is(8, "M4B ") || is(8, "M4P ")) return "M4A";
    if (is(8, "3gp") || is(8, "3g2")) return "3GP";
    return "MP4";
  }
  if (is(0, "7z\xBC\xAF\x27\x1C"sv)) return "7Z";
  if (is(0, "\x1F\x8B\x08"sv)) return "GZ";
  if (is(0, "OggS\0"sv)) return "OGG";
  if (is(0, "fLaC")) return "FLAC";
  if (is(0, "SQLite format 3\0"sv)) return "SQLITE";
  if (is(0, "Rar!\x1A\x07\x01\x00"sv)) return "RAR";
  return nullptr;
}

}  // namespace

std::uint16_t MpegFrameLength(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) { return FrameLength(b1, b2, b3); }

void UpdateCRC16(std::uint32_t value, int bitCount, std::uint16_t& crc) {
  for (int bit = bitCount - 1; bit >= 0; --bit) {
    const bool dataBit = bit < 32 && ((value >> bit) & 1) != 0;
    const bool shiftedOut = (crc & 0x8000) != 0;
    crc = static_cast<std::uint16_t>(crc << 1);
    if (shiftedOut != dataBit) crc ^= 0x8005;
  }
}

bool DetectFileType(const std::uint8_t* buffer, std::size_t size, int& kind, std::string& typeName) {
  kind = 1;
  const ByteSpan data(buffer, size);

  SignatureProbe probe(data);
  const char* name = MatchSignature(probe);
  if (probe.Failed()) return false;
  if (name == nullptr) name = MatchNewerSignature(data);
  if (name == nullptr && HasHtmlTag(data)) name = "HTML";
  if (name == nullptr) name = MatchTextLines(data);
  if (name != nullptr) {
    typeName = name;
    return true;
  }

  // A sound file that starts with its tag or its header frame starts here.
  if (IsId3Tag(data) || IsHeaderFrame(data)) {
    typeName = "MP3";
    return true;
  }
  if (!IsAudioFrameRun(data)) return false;
  kind = 2;
  typeName = "MP3";
  return true;
}

bool DetectClusterFileType(TFATdrive& drive, std::uint32_t cluster, int& kind, std::string& typeName,
                           std::vector<std::uint8_t>& scratch) {
  kind = 1;
  if (!drive.IsValidCluster(cluster) || drive.BytesPerCluster == 0) return false;
  scratch.resize(drive.BytesPerCluster);
  if (!drive.ReadSectors(drive.ClusterToSector(cluster), static_cast<std::uint16_t>(drive.SectorsPerCluster), true,
                         scratch.data()))
    return false;
  return DetectFileType(scratch.data(), scratch.size(), kind, typeName);
}

}  // namespace vantrel
