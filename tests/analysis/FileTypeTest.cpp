#include "analysis/FileType.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vantrel {
namespace {

using namespace std::string_view_literals;
using Bytes = std::vector<std::uint8_t>;
using Patches = std::vector<std::pair<std::size_t, std::string_view>>;

// A cluster of zeros with the given bytes written at their offsets.
Bytes Cluster(const Patches& patches, std::size_t size = 512) {
  Bytes b(size, 0);
  for (const auto& [offset, text] : patches) std::copy(text.begin(), text.end(), b.begin() + offset);
  return b;
}

// The type name found, or "" when none; checks the contract on kind and on
// the name that a failure leaves alone.
std::string Detect(const Bytes& b) {
  int kind = 0;
  std::string name = "untouched";
  const bool found = DetectFileType(b.data(), b.size(), kind, name);
  const bool tagged = b.size() >= 3 && b[0] == 'I' && b[1] == 'D' && b[2] == '3';
  EXPECT_EQ(kind, found && name == "MP3" && !tagged ? 2 : 1);
  if (found) return name;
  EXPECT_EQ(name, "untouched");
  return "";
}

struct Sample {
  Patches patches;
  std::string expected;
};

void ExpectTypes(const std::vector<Sample>& samples) {
  for (const auto& [patches, expected] : samples) {
    SCOPED_TRACE(std::string(patches.front().second) + " at " + std::to_string(patches.front().first));
    EXPECT_EQ(Detect(Cluster(patches)), expected);
  }
}

TEST(FileTypeSignature, RecognisesEachHeaderAndItsNearMisses) {
  ExpectTypes({
      {{{0, "\xDC\xA5"sv}}, "DOC"}, {{{0, "\xEC\xA5"sv}}, "DOC"}, {{{0, "\xD0\xCF\x11\xE0"sv}}, "DOC"},
      {{{0, "\x09\x04"sv}}, "XLS"}, {{{0, "\x09\x08"sv}}, "XLS"}, {{{0, "\x09\x01"sv}}, ""},
      {{{0, "BM"sv}}, "BMP"}, {{{0, "II*\0"sv}}, "TIF"}, {{{0, "MM\0*"sv}}, "TIF"},
      {{{0, "\x89PNG\r\n\x1A\n"sv}}, "PNG"}, {{{0, "\x89PNG\r\n\x1A\0"sv}}, ""},
      {{{0, "RIFF"sv}, {8, "CDR7"sv}}, "CDR"}, {{{0, "RIFF"sv}, {8, "WAVEfmt "sv}}, "WAV"},
      {{{0, "RIFF"sv}, {8, "AVI LIST"sv}}, "AVI"}, {{{0, "RIFF"sv}, {8, "AVIX"sv}}, "RIFF"},
      {{{0, "RIFF"sv}, {8, "XXXX"sv}}, "RIFF"},
      {{{0, "\x03"sv}}, "DBF"}, {{{0, "\x8E"sv}}, "DBF"}, {{{0, "?_\x03\0"sv}}, "HLP"},
      {{{257, "ustar\0"sv}}, "TAR"}, {{{257, "ustar  \0"sv}}, ""},
      {{{0, "\x1A\x1A-lh5-"sv}}, "LZH"}, {{{0, "\x1A\x1A-lz4-"sv}}, "LZH"},
      {{{0, "PK\x03\x04"sv}}, "ZIP"}, {{{0, "\x60\xEA"sv}}, "ARJ"},
      {{{0, "Rar!\x1A\x07\x00"sv}}, "RAR"}, {{{0, "Rar!\x1A\x07\x01\x00"sv}}, "RAR"},
      {{{0, "Rar!\x1A\x07\x02\x00"sv}}, ""},
      {{{0, "%PDF-1.0"sv}}, "PDF"}, {{{0, "%PDF-1.2"sv}}, "PDF"}, {{{0, "%PDF-1.3"sv}}, "PDF"},
      {{{0, "%PDF-1.7"sv}}, "PDF"}, {{{0, "%PDF-2.0"sv}}, "PDF"}, {{{0, "%PDF-1.8"sv}}, ""}, {{{0, "%PDF-2.1"sv}}, ""},
      {{{0, "MThd"sv}}, "MID"}, {{{4, "moov"sv}}, "MOV"}, {{{4, "mdat"sv}}, ""},
      {{{200, "<HTML>"sv}}, "HTML"}, {{{200, "<html>"sv}}, ""},
      {{{505, "<HTML>"sv}}, "HTML"}, {{{506, "<HTML>"sv}}, ""},  // must start before Size - 6
  });
}

TEST(FileTypeSignature, EarlierTestsWin) {
  ExpectTypes({
      {{{0, "\xFF\xD8\xFF\xE0"sv}, {100, "<HTML>"sv}}, "JPG"},
      {{{0, "MZ"sv}, {257, "ustar\0"sv}}, "EXE"},
      {{{0, "PK\x03\x04"sv}, {257, "ustar\0"sv}}, "TAR"},
      {{{0, "MThd"sv}, {4, "moov"sv}}, "MID"},
      {{{0, "{\\rtf1"sv}, {300, "<HTML>"sv}}, "HTML"},
      // A dBASE byte without the zeros of a table header goes on to later tests.
      {{{0, "\x03"sv}, {30, "\x01"sv}, {100, "<HTML>"sv}}, "HTML"},
      {{{0, "\x83"sv}, {12, "\x01"sv}, {257, "ustar\0"sv}}, "TAR"},
  });
}

constexpr auto kDxfHeader = "  0\r\nSECTION\r\n  2\r\nHEADER\r\n"sv;  // 27 bytes

TEST(FileTypeLines, FindsDxfAndRtfInTheFirst32Bytes) {
  ExpectTypes({
      {{{0, kDxfHeader}}, "DXF"},
      {{{0, "abcde\r\n"sv}, {7, kDxfHeader}}, "DXF"},   // "HEADER" ends on byte 31
      {{{0, "abcdef\r\n"sv}, {8, kDxfHeader}}, ""},     // ... and here on byte 32
      {{{0, "  0\nSECTION\n  2\nHEADER\n"sv}}, ""},     // lone line feeds cut the last letter
      {{{0, "  0\r\nSECTIOM\r\n  2\r\nHEADER\r\n"sv}}, ""},
      {{{0, "  0\r\nSECTION\r\n  3\r\nHEADER\r\n"sv}}, ""},
      {{{0, "{\\rtf1\\ansi"sv}}, "RTF"},
      {{{0, "abc\r\n{\\rtf1"sv}}, "RTF"},
      {{{27, "{\\rtf1"sv}}, "RTF"},
      {{{28, "{\\rtf1"sv}}, ""},
      {{{0, "{\\rtf1\\ansi\\deff0"sv}}, ""},            // a line with a 0 is only tried as DXF
  });
}

// MPEG audio header bytes 1 to 3 and the frame length they give.
struct Frame {
  std::uint8_t b1, b2, b3;
  std::size_t length;
};
constexpr Frame kLayer3{0xFB, 0x90, 0x44, 417};  // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, no CRC

// Writes count frames from start (all that fit when count is 0). The bodies
// are 0xFF, so a scan that steps a wrong length meets a bad header.
void WriteFrames(Bytes& b, std::size_t start, std::size_t count, Frame f) {
  for (std::size_t p = start, n = 0; p < b.size() && (count == 0 || n < count); p += f.length, ++n) {
    for (std::size_t i = p; i < std::min(p + f.length, b.size()); ++i) b[i] = 0xFF;
    b[p + 1] = f.b1, b[p + 2] = f.b2, b[p + 3] = f.b3;
  }
}

TEST(FileTypeAudio, FrameLengthsOfEveryVersionAndLayer) {
  for (const Frame f : {kLayer3, Frame{0xFB, 0x92, 0, 418},   // padded
                        Frame{0xFF, 0xC8, 0, 576},            // MPEG-1 Layer I, 384 kbit/s, 32 kHz
                        Frame{0xFF, 0xCA, 0, 580},            // ... padded by a 4-byte slot
                        Frame{0xFD, 0xA4, 0, 576},            // MPEG-1 Layer II, 192 kbit/s, 48 kHz
                        Frame{0xF7, 0x94, 0, 288},            // MPEG-2 Layer I, 144 kbit/s, 24 kHz
                        Frame{0xF5, 0x40, 0, 208},            // MPEG-2 Layer II, 32 kbit/s, 22.05 kHz
                        Frame{0xF3, 0x80, 0, 208},            // MPEG-2 Layer III, 64 kbit/s, 22.05 kHz
                        Frame{0xE3, 0x18, 0, 72}}) {          // MPEG-2.5 Layer III, 8 kbit/s, 8 kHz
    SCOPED_TRACE(f.length);
    Bytes b(4096, 0);
    WriteFrames(b, 0, 0, f);
    EXPECT_EQ(Detect(b), "MP3");
  }
}

TEST(FileTypeAudio, FramesMustFollowOneAnotherToTheEnd) {
  Bytes b(4096, 0);
  WriteFrames(b, 100, 0, kLayer3);  // the cluster starts inside a frame
  EXPECT_EQ(Detect(b), "MP3");
  // A gap between two frames breaks the run.
  Bytes gap(4096, 0);
  WriteFrames(gap, 0, 3, kLayer3);
  WriteFrames(gap, 3 * kLayer3.length + 5, 0, kLayer3);
  // The run after the gap reaches the end, but starts further in than any
  // frame of its stream is long: no cluster of a sound file looks so.
  EXPECT_EQ(Detect(gap), "");
  WriteFrames(gap, 0, 0, kLayer3);  // a broken header near the end leaves no run that reaches it
  gap[9 * kLayer3.length] = 0x00;
  EXPECT_EQ(Detect(gap), "");

  // Reserved version, layer 0, free or bad bitrate, sample-rate index 3,
  // emphasis 2 in the last header of ten: no run reaches the end.
  for (const auto& [at, value] : {std::pair{1, 0xEA}, {1, 0xF8}, {2, 0x00}, {2, 0xF0}, {2, 0x9C}, {3, 0x46}}) {
    Bytes bad(4096, 0);
    WriteFrames(bad, 0, 0, kLayer3);
    bad[9 * kLayer3.length + at] = static_cast<std::uint8_t>(value);
    EXPECT_EQ(Detect(bad), "") << "byte " << at << " = " << value;
  }
  EXPECT_EQ(Detect(Bytes(4096, 0xFF)), "");
  // One frame alone is no run: a chance sync in other data looks like that.
  Bytes single(512, 0x11);
  WriteFrames(single, 200, 1, kLayer3);
  EXPECT_EQ(Detect(single), "");
}

// A 64 KiB cluster packed with the shortest frames there are (MPEG-1 Layer I,
// 32 kbit/s, 48 kHz: 32 bytes), every one of them a start of the run.
TEST(FileTypeAudio, ShortFramesPackedIntoALargeCluster) {
  constexpr Frame kShortest{0xFF, 0x14, 0, 32};
  Bytes b(65536, 0);
  WriteFrames(b, 0, 0, kShortest);
  EXPECT_EQ(Detect(b), "MP3");
  // With the last header broken no start reaches the end; each of the 2047
  // frames before it is followed once, not once for every start before it.
  b[65536 - 32 + 2] = 0xF0;
  EXPECT_EQ(Detect(b), "");
  // A run that starts far behind the broken ones is another file's end.
  WriteFrames(b, 40000, 0, kLayer3);
  EXPECT_EQ(Detect(b), "");
}

TEST(FileTypeAudio, RandomDataIsNotSound) {
  std::uint32_t seed = 12345;
  int found = 0;
  for (int cluster = 0; cluster < 2000; ++cluster) {
    Bytes b(cluster % 2 ? 512 : 4096);
    for (auto& byte : b) byte = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    int kind = 0;
    std::string name;
    found += DetectFileType(b.data(), b.size(), kind, name) && name == "MP3";
  }
  EXPECT_EQ(found, 0);
}

// Layer III frames with a CRC over header bytes 2 and 3 and the side information.
Bytes ProtectedRun(bool rightCrc) {
  constexpr Frame kProtected{0xFA, 0x90, 0x44, 417};  // protection bit clear: a CRC follows
  Bytes b(4096, 0);
  WriteFrames(b, 0, 0, kProtected);
  for (std::size_t p = 0; p + 6 + 32 <= b.size(); p += kProtected.length) {
    for (std::size_t i = 0; i < 32; ++i) b[p + 6 + i] = static_cast<std::uint8_t>(i * 7 + p);
    std::uint16_t crc = 0xFFFF;
    UpdateCRC16(b[p + 2], 8, crc);
    UpdateCRC16(b[p + 3], 8, crc);
    for (std::size_t i = 0; i < 32; ++i) UpdateCRC16(b[p + 6 + i], 8, crc);
    if (!rightCrc) crc ^= 1;
    b[p + 4] = static_cast<std::uint8_t>(crc >> 8), b[p + 5] = static_cast<std::uint8_t>(crc);
  }
  return b;
}

TEST(FileTypeAudio, ProtectedFramesNeedTheRightCrc) {
  EXPECT_EQ(Detect(ProtectedRun(true)), "MP3");
  EXPECT_EQ(Detect(ProtectedRun(false)), "");
}

TEST(FileTypeAudio, AnId3TagStartsASoundFile) {
  Bytes b = Cluster({{0, "ID3\x03\x00"sv}}, 4096);
  int kind = 0;
  std::string name;
  EXPECT_TRUE(DetectFileType(b.data(), b.size(), kind, name));
  EXPECT_EQ(name, "MP3");
  EXPECT_EQ(kind, 1);
}

TEST(FileTypeAudio, UpdateCRC16IsTheMsbFirstPolynomial8005) {
  std::uint16_t crc = 0;
  for (const char c : "123456789"sv) UpdateCRC16(static_cast<std::uint8_t>(c), 8, crc);
  EXPECT_EQ(crc, 0xFEE8);
  std::uint16_t wide = 0;
  UpdateCRC16(0x31323334, 32, wide);  // four bytes at once, highest first
  UpdateCRC16(0x35363738, 32, wide);
  UpdateCRC16(0x39, 8, wide);
  EXPECT_EQ(wide, 0xFEE8);
}

TEST(FileTypeBounds, ZerosAndShortBuffersAreNotRecognised) {
  EXPECT_EQ(Detect(Bytes(4096, 0)), "");
  EXPECT_EQ(Detect(Bytes{}), "");
  EXPECT_EQ(Detect(Bytes{0xFF}), "");
  EXPECT_EQ(Detect(Bytes(5, 0)), "");
  EXPECT_EQ(Detect(Bytes{0xFF, 0xFB, 0x90, 0x44, 0x00}), "");
  EXPECT_EQ(Detect(Bytes{0xFF, 0xD8}), "JPG");  // the first test fits, so it still counts
  // The tar magic ends on byte 262: one byte less and the buffer is too short.
  EXPECT_EQ(Detect(Cluster({{257, "ustar\0"sv}}, 263)), "TAR");
  EXPECT_EQ(Detect(Cluster({{257, "ustar"sv}}, 262)), "");
  EXPECT_EQ(Detect(Cluster({{0, "RIFF"sv}}, 10)), "");  // no room for the subtype
}

}  // namespace
}  // namespace vantrel
