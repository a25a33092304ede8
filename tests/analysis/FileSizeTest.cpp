// The size of a lost file from its bytes, on crafted structures: whole ones,
// ones that break off, and ones that claim more than the volume holds.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "analysis/FileSize.h"

namespace vantrel {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

std::string Be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string Le16(std::uint32_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string Le32(std::uint32_t v) { return Le16(v) + Le16(v >> 16); }

// The size found for the file at the start of bytes, with the volume ending
// where the bytes end; reads counts the clusters read.
std::uint64_t SizeOf(const std::string& type, const std::string& bytes, std::uint32_t cluster = 512,
                     std::uint64_t* reads = nullptr, std::string* name = nullptr) {
  TMemoryClusterSource source(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), cluster);
  const TFileExtent extent = FindFileExtent(type, source);
  if (reads) *reads = source.Reads;
  if (name) *name = extent.TypeName;
  return extent.Size;
}

std::string Garbage(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>((i * 131 + 7) % 253);
  return s;
}

TEST(FileSize, JpegRunsThroughItsScanToTheEndOfImageReadingEachClusterOnce) {
  std::string scan;
  for (int i = 0; i < 5000; ++i) scan += i % 97 == 0 ? "\xFF\x00"sv : i % 501 == 0 ? "\xFF\xD3"sv : "\x12"sv;
  const std::string jpeg = "\xFF\xD8\xFF\xE0"s + "\x00\x04xy"s + "\xFF\xDA\x00\x03z"s + scan + "\xFF\xD9";
  std::uint64_t reads = 0;
  EXPECT_EQ(SizeOf("JPG", jpeg + Garbage(3000), 512, &reads), jpeg.size());
  EXPECT_EQ(reads, jpeg.size() / 512 + 1);
  EXPECT_EQ(SizeOf("JPG", jpeg.substr(0, jpeg.size() - 2)), 0u);  // no end of image before the volume ends
  // A scan broken off by zeros ends at the first cluster of them, not at the
  // end of the volume.
  EXPECT_EQ(SizeOf("JPG", jpeg.substr(0, 1024) + std::string(100 * 512, '\0') + jpeg, 512, &reads), 0u);
  EXPECT_EQ(reads, 3u);
}

TEST(FileSize, ChunkedFormatsEndWithTheirLastChunk) {
  const std::string png = "\x89PNG\r\n\x1A\n"s + Be32(3) + "IHDRabc" + Be32(0) + Be32(0) + "IEND" + Be32(0);
  EXPECT_EQ(SizeOf("PNG", png + Garbage(100)), png.size());
  EXPECT_EQ(SizeOf("PNG", png.substr(0, 30) + Garbage(1000)), 0u);
  // A chunk that claims 2 GiB on a small volume.
  EXPECT_EQ(SizeOf("PNG", "\x89PNG\r\n\x1A\n"s + Be32(0x7FFFFFF0) + "IDAT" + Garbage(600)), 0u);

  const std::string track = "MTrk"s + Be32(4) + "\x00\xFF\x2F\x00"s;
  const std::string midi = "MThd"s + Be32(6) + "\x00\x01\x00\x02\x00\x60"s + track + track;
  EXPECT_EQ(SizeOf("MID", midi + Garbage(50)), midi.size());
  EXPECT_EQ(SizeOf("MID", midi.substr(0, midi.size() - 12)), 0u);

  const std::string gif = "GIF89a"s + "\x01\x00\x01\x00\x80\x00\x00"s + std::string(6, 'c') + "\x21\xF9\x04"s + "abcd"s +
                          "\x00\x2C"s + std::string(8, '\0') + "\x00\x02\x02xy\x00\x3B"s;
  EXPECT_EQ(SizeOf("GIF", gif + Garbage(40)), gif.size());
  EXPECT_EQ(SizeOf("GIF", gif.substr(0, gif.size() - 1) + "\x99"), 0u);

  const std::string ogg = [] {
    auto page = [](char type, const std::string& body) {
      return "OggS\0"s + type + std::string(20, '\0') + "\x01"s + static_cast<char>(body.size()) + body;
    };
    return page(2, "head") + page(0, Garbage(200)) + page(4, "tail");
  }();
  EXPECT_EQ(SizeOf("OGG", ogg + Garbage(30)), ogg.size());
  EXPECT_EQ(SizeOf("OGG", ogg.substr(0, 60) + std::string(500, '\0')), 0u);  // no last page

  const std::string movie = Be32(16) + "ftypisom" + Be32(0) + Be32(12) + "moov" + "abcd" + Be32(1) + "mdat" +
                            std::string("\0\0\0\0\0\0\0\x18", 8) + "12345678";
  EXPECT_EQ(SizeOf("MP4", movie + std::string(40, '\0')), movie.size());
  EXPECT_EQ(SizeOf("MP4", Be32(16) + "ftypisom" + Be32(0) + Be32(0) + "mdat" + Garbage(100)), 0u);  // to the end
  EXPECT_EQ(SizeOf("MOV", Be32(0x40000000) + "moov" + Garbage(100)), 0u);
}

TEST(FileSize, ArchivesEndWithTheirLastRecord) {
  // TAR: one member, the two zero blocks and the zeros of the 20-block record.
  std::string header(512, '\0');
  header.replace(0, 5, "a.txt");
  header.replace(124, 12, "00000001750 ");  // 1000 bytes
  header.replace(257, 6, "ustar\0"s);
  header.replace(148, 8, "        ");
  unsigned sum = 0;
  for (unsigned char c : header) sum += c;
  char check[8];
  std::snprintf(check, sizeof check, "%06o", sum);
  header.replace(148, 7, std::string(check, 6) + '\0');
  const std::string tar = header + Garbage(1000) + std::string(24, '\0') + std::string(10240 - 1536, '\0');
  EXPECT_EQ(SizeOf("TAR", tar + Garbage(700)), 10240u);
  std::string badSum = tar;
  badSum[0] = 'b';
  EXPECT_EQ(SizeOf("TAR", badSum), 0u);

  // RAR 4: marker, archive header, one file of 100 bytes, end of archive.
  const std::string rar4 = "Rar!\x1A\x07\x00"s + "\x00\x00\x73\x00\x00\x0D\x00"s + std::string(6, '\0') + "\x00\x00\x74\x00\x80"s +
                           Le16(32) + Le32(100) + std::string(21, '\0') + Garbage(100) + "\x00\x00\x7B\x00\x40\x07\x00"s;
  EXPECT_EQ(SizeOf("RAR", rar4 + Garbage(90)), rar4.size());
  EXPECT_EQ(SizeOf("RAR", rar4.substr(0, rar4.size() - 7) + std::string(40, '\x55')), 0u);
  // RAR 5: main header, a file header with 50 bytes of data, the end header.
  const std::string rar5 = "Rar!\x1A\x07\x01\x00"s + "abcd\x03\x01\x00\x00"s + "abcd\x03\x02\x02\x32"s + Garbage(50) +
                           "abcd\x03\x05\x00\x00"s;
  EXPECT_EQ(SizeOf("RAR", rar5 + Garbage(20)), rar5.size());

  // ZIP: an end record whose comment runs past the volume.
  const std::string eocd = "PK\x05\x06"s + std::string(16, '\0') + Le16(5000);
  EXPECT_EQ(SizeOf("ZIP", eocd + "short comment"), 0u);
  const std::string local = "PK\x03\x04"s + std::string(14, '\0') + Le32(3) + Le32(3) + Le16(1) + Le16(0) + "a" + "xyz";
  const std::string central = "PK\x01\x02"s + std::string(24, '\0') + Le16(1) + Le16(0) + Le16(0) + std::string(12, '\0') + "a";
  const std::string zip = local + central + "PK\x05\x06"s + std::string(16, '\0') + Le16(3) + "hey";
  EXPECT_EQ(SizeOf("ZIP", zip + Garbage(200)), zip.size());

  const std::string sevenZip = "7z\xBC\xAF\x27\x1C\x00\x04"s + Le32(0) + Le32(100) + Le32(0) + Le32(20) + Le32(0) +
                               Le32(0) + Garbage(100);
  EXPECT_EQ(SizeOf("7Z", sevenZip + Garbage(300)), 152u);
  // The volume ends with the cluster of 512 bytes that holds the header.
  EXPECT_EQ(SizeOf("7Z", sevenZip.substr(0, 12) + Le32(1000) + sevenZip.substr(16)), 0u);
}

TEST(FileSize, ProgramsDocumentsAndDatabases) {
  // A DOS program of 3 pages, the last holding 100 bytes.
  std::string mz = "MZ" + Le16(100) + Le16(3) + std::string(0x3C - 6, '\0') + Le32(0);
  EXPECT_EQ(SizeOf("EXE", mz + Garbage(2000)), 1124u);
  // A PE program: two sections, the second ending at 0x1200 + 0x300.
  std::string pe = "MZ" + std::string(0x3A, '\0') + Le32(0x80);
  pe.resize(0x80, '\0');
  pe += "PE\0\0"s + Le16(0x14C) + Le16(2) + std::string(12, '\0') + Le16(0xE0) + Le16(0);
  std::string optional = Le16(0x10B) + std::string(90, '\0') + Le32(16) + std::string(128, '\0');
  pe += optional;
  pe += std::string(16, '\0') + Le32(0x200) + Le32(0x400) + std::string(16, '\0');
  pe += std::string(16, '\0') + Le32(0x300) + Le32(0x1200) + std::string(16, '\0');
  EXPECT_EQ(SizeOf("EXE", pe + Garbage(0x2000)), 0x1500u);

  // A compound document of 512-byte sectors: the FAT in sector 0 uses
  // sectors up to 4, so the file is the header and five sectors.
  std::string ole(512, '\xFF');
  auto put = [&](std::size_t at, const std::string& bytes) { ole.replace(at, bytes.size(), bytes); };
  put(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"s + std::string(0x44, '\0'));
  put(0x1A, Le16(3) + Le16(0xFFFE) + Le16(9) + Le16(6));
  put(0x2C, Le32(1) + Le32(1));
  put(0x3C, Le32(0xFFFFFFFE) + Le32(0) + Le32(0xFFFFFFFE) + Le32(0) + Le32(0));
  std::string fat = Le32(0xFFFFFFFD) + Le32(2) + Le32(0xFFFFFFFE) + Le32(0xFFFFFFFF) + Le32(0xFFFFFFFE);
  fat.resize(512, '\xFF');
  EXPECT_EQ(SizeOf("DOC", ole + fat + Garbage(6000)), 6u * 512);
  EXPECT_EQ(SizeOf("DOC", ole.substr(0, 512)), 0u);  // its FAT sector is not on the volume

  std::string sqlite = "SQLite format 3\0"s + "\x10\x00"s + std::string(6, '\0') + Be32(7) + Be32(3);
  sqlite.resize(92, '\0');
  sqlite += Be32(7);
  EXPECT_EQ(SizeOf("SQLITE", sqlite + Garbage(20000)), 3u * 4096);
  sqlite.replace(92, 4, Be32(6));  // page count out of date
  EXPECT_EQ(SizeOf("SQLITE", sqlite + Garbage(20000)), 0u);

  // A PDF with an update: the last "%%EOF" before the next file's start.
  const std::string pdf = "%PDF-1.4\n" + Garbage(700) + "\n%%EOF\n" + Garbage(300) + "\n%%EOF\r\n";
  std::string next = "\x89PNG\r\n\x1A\n" + Garbage(600);
  std::string volume = pdf + std::string(1024 - pdf.size(), 'x') + next;
  EXPECT_EQ(SizeOf("PDF", volume), pdf.size());
  EXPECT_EQ(SizeOf("PDF", "%PDF-1.4\n" + Garbage(3000)), 0u);
}

TEST(FileSize, SoundRunsFromItsTagThroughItsFramesToTheClosingTag) {
  const std::string frame = "\xFF\xFB\x90\x64"s + Garbage(413);  // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz
  std::string tag = "ID3\x03\x00\x00\x00\x00\x00\x0A"s + Garbage(10);
  std::string mp3 = tag;
  for (int i = 0; i < 30; ++i) mp3 += frame;
  mp3 += "TAG" + std::string(125, 'x');
  EXPECT_EQ(SizeOf("MP3", mp3 + std::string(900, '\0'), 4096), mp3.size());
  // A cluster from the middle: the run starts at the first header.
  EXPECT_EQ(SizeOf("MP3", mp3.substr(300, 417 * 5 - 280) + std::string(500, '\0')), 417u * 5 - 280);
  EXPECT_EQ(SizeOf("MP3", std::string(3000, '\0') + frame + frame), 0u);
}

}  // namespace
}  // namespace vantrel
