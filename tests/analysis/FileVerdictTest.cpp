// The verdict of found files of every type, made by the real tools: whole
// ones pass the checks their format offers, and one cluster replaced by
// another file's is never taken for whole.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "analysis/FileSize.h"
#include "analysis/FileType.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kCluster = 2048;

struct Media {
  std::string type;  // the search's type name
  std::string bytes;
};

const std::vector<Media>& MediaFiles() {
  static const std::vector<Media> files = [] {
    const std::string dir = test::MadeOnce("verdict-media", [](const std::string& d) {
      const std::string script = std::string(VANTREL_FIXTURE_SCRIPT).replace(
          std::string(VANTREL_FIXTURE_SCRIPT).rfind('/'), std::string::npos, "/make_media.sh");
      test::ImageTool(script + " " + test::ShellQuote(d) + " 26 40");
    });
    static const std::map<std::string, std::string> kTypes = {
        {".jpg", "JPG"}, {".png", "PNG"}, {".gif", "GIF"}, {".bmp", "BMP"},   {".webp", "WEBP"}, {".wav", "WAV"},
        {".avi", "AVI"}, {".mid", "MID"}, {".pdf", "PDF"}, {".zip", "ZIP"},   {".docx", "ZIP"},  {".tar", "TAR"},
        {".7z", "7Z"},   {".gz", "GZ"},   {".sqlite", "SQLITE"}, {".ogg", "OGG"}, {".flac", "FLAC"}, {".mp3", "MP3"},
        {".mp4", "MP4"}, {".m4a", "M4A"}, {".mov", "MOV"}, {".3gp", "3GP"}, {".exe", "EXE"}};
    std::vector<Media> out;
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(dir))
      if (kTypes.count(entry.path().extension().string())) paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const auto& p : paths) out.push_back({kTypes.at(p.extension().string()), test::ReadFile(p.string())});
    return out;
  }();
  return files;
}

TFileExtent ExtentOf(const std::string& type, const std::string& bytes) { return test::FoundExtent(type, bytes, kCluster); }

TEST(FileVerdict, WholeFilesPassTheirChecksAndAClusterOfAnotherFileNeverDoes) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const auto& files = MediaFiles();
  ASSERT_GE(files.size(), 35u);
  // Formats whose checks cover every byte.
  const std::set<std::string> checked = {"JPG", "PNG",  "GIF", "ZIP", "GZ",  "FLAC", "OGG",  "MID", "SQLITE",
                                         "7Z",  "M4A",  "3GP", "AVI", "MP4", "MOV",  "WEBP"};
  std::map<std::string, std::string> seen;
  int verified = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const Media& m = files[i];
    SCOPED_TRACE(m.type + " #" + std::to_string(i));
    const TFileExtent whole = ExtentOf(m.type, m.bytes);
    seen[m.type] += VerdictName(whole.Verdict) + " ";
    EXPECT_EQ(whole.Size, m.bytes.size());
    if (checked.count(m.type)) EXPECT_EQ(whole.Verdict, vdVerified);
    else EXPECT_TRUE(whole.Verdict == vdVerified || whole.Verdict == vdPlausible) << VerdictName(whole.Verdict);
    verified += whole.Verdict == vdVerified;
    // One cluster in the middle taken from the next file of another type.
    const std::size_t clusters = (m.bytes.size() + kCluster - 1) / kCluster;
    if (clusters < 3) continue;
    const Media& other = files[(i + 1) % files.size()].type != m.type ? files[(i + 1) % files.size()]
                                                                      : files[(i + 7) % files.size()];
    const std::size_t at = clusters / 2 * kCluster;
    std::string broken = m.bytes;
    const std::string piece = other.bytes.substr(std::min(other.bytes.size(), std::size_t{kCluster}), kCluster);
    broken.replace(at, std::min<std::size_t>(piece.size(), broken.size() - at), piece.substr(0, broken.size() - at));
    if (broken == m.bytes) continue;
    const TFileExtent damaged = ExtentOf(m.type, broken);
    EXPECT_NE(damaged.Verdict, vdVerified) << "cluster " << clusters / 2;
    if (checked.count(m.type)) {
      EXPECT_EQ(damaged.Verdict, vdDamaged);
      // A chain of records whose break shows only at the end (a MIDI track
      // whose length no longer meets the next) fails at the file's end.
      EXPECT_LE(damaged.BadOffset, m.bytes.size());
    }
  }
  for (const auto& [type, verdicts] : seen) std::printf("%-6s %s\n", type.c_str(), verdicts.c_str());
  std::printf("verified %d of %zu\n", verified, files.size());
}

// Frames that carry a CRC have it checked: one byte of side information
// changed in a middle frame is damage at that frame, where a chain of
// headers alone would take the file for whole.
TEST(FileVerdict, AnMp3FrameWhoseCrcFailsIsDamagedAtThatFrame) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  test::ImageTool("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=f=500:d=4 -ar 44100 -ac 2 " +
                  test::ShellQuote(dir / "a.wav") + " && lame --quiet -p -b 96 --tt crc " +
                  test::ShellQuote(dir / "a.wav") + " " + test::ShellQuote(dir / "a.mp3"));
  const std::string bytes = test::ReadFile(dir / "a.mp3");
  ASSERT_EQ(ExtentOf("MP3", bytes).Verdict, vdVerified);
  // The frame that starts past the middle.
  std::size_t frame = 0;
  if (bytes.compare(0, 3, "ID3") == 0) {
    std::size_t size = 0;
    for (int i = 6; i < 10; ++i) size = size << 7 | static_cast<std::uint8_t>(bytes[i]);
    frame = 10 + size;
  }
  while (frame < bytes.size() / 2) {
    const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[frame + i]); };
    ASSERT_EQ(at(0), 0xFF);
    ASSERT_EQ(at(1) & 0x01, 0) << "no CRC";
    const std::size_t length = MpegFrameLength(at(1), at(2), at(3));
    ASSERT_GT(length, 0u);
    frame += length;
  }
  std::string broken = bytes;
  broken[frame + 8] = static_cast<char>(broken[frame + 8] ^ 0x10);
  const TFileExtent damaged = ExtentOf("MP3", broken);
  EXPECT_EQ(damaged.Verdict, vdDamaged);
  EXPECT_EQ(damaged.BadOffset, frame);
  EXPECT_EQ(damaged.Size, bytes.size());
}

// Frames as long as a cluster leave clusters without a header, but the
// encoder's tag in the first frame carries a CRC of all the music: with it
// holding the file is whole, and a cluster replaced anywhere is seen.
TEST(FileVerdict, AnMp3WhoseFramesOutgrowTheClusterIsWholeByItsEncodersMusicCrc) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  test::ImageTool("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=f=300:d=3 -ar 44100 -ac 2 " +
                  test::ShellQuote(dir / "a.wav") + " && lame --quiet -b 320 " + test::ShellQuote(dir / "a.wav") + " " +
                  test::ShellQuote(dir / "a.mp3"));
  const std::string song = test::ReadFile(dir / "a.mp3");
  constexpr std::uint32_t kSmall = 512;  // frames of 1044 bytes
  EXPECT_EQ(test::FoundExtent("MP3", song, kSmall).Verdict, vdVerified);
  std::mt19937 random(3);
  for (std::size_t at = kSmall; at < song.size(); at += 7 * kSmall) {
    std::string broken = song;
    for (std::size_t i = at; i < std::min(song.size(), at + kSmall); ++i) broken[i] = static_cast<char>(random());
    EXPECT_NE(test::FoundExtent("MP3", broken, kSmall).Verdict, vdVerified) << "cluster at " << at;
  }
  // A frame changed after encoding (its gain adjusted) is no damage, but
  // no longer vouched for by the tag.
  std::string changed = song;
  changed[song.size() / 2] = static_cast<char>(changed[song.size() / 2] ^ 1);
  EXPECT_NE(test::FoundExtent("MP3", changed, kSmall).Verdict, vdVerified);
}

// A Windows program's checksum covers every byte: programs that carry one
// are whole while it holds, and a cluster changed anywhere (or a checksum
// of nothing) leaves them at most plausible.
TEST(FileVerdict, AWindowsProgramIsWholeWhileItsChecksumHolds) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const auto source = dir / "p.c";
  test::ImageTool("printf 'static const volatile unsigned char d[30000] = {7};\\nint main(void) { return d[9]; }\\n' > " +
                  test::ShellQuote(source) + " && x86_64-w64-mingw32-gcc -O1 " + test::ShellQuote(source) + " -o " +
                  test::ShellQuote(dir / "a.exe") + " && i686-w64-mingw32-gcc -s " + test::ShellQuote(source) +
                  " -o " + test::ShellQuote(dir / "b.exe"));
  for (const char* name : {"a.exe", "b.exe"}) {
    SCOPED_TRACE(name);
    const std::string bytes = test::ReadFile(dir / name);
    const TFileExtent whole = ExtentOf("EXE", bytes);
    ASSERT_EQ(whole.Size, bytes.size());
    EXPECT_EQ(whole.Verdict, vdVerified);
    // Every cluster in turn replaced by bytes of another kind: random ones,
    // and the 0xFF of erased flash, which a sum with end-around carry cannot
    // tell from zeros.
    std::mt19937 random(7);
    for (std::size_t at = kCluster; at < bytes.size(); at += kCluster) {
      for (const bool erased : {false, true}) {
        std::string broken = bytes;
        for (std::size_t i = at; i < std::min(bytes.size(), at + kCluster); ++i)
          broken[i] = static_cast<char>(erased ? 0xFF : random());
        EXPECT_NE(ExtentOf("EXE", broken).Verdict, vdVerified) << "cluster at " << at << (erased ? ", erased" : "");
      }
    }
    // A checksum field of zero is no checksum.
    std::string unsummed = bytes;
    const std::size_t pe = static_cast<std::uint8_t>(bytes[0x3C]) | static_cast<std::uint8_t>(bytes[0x3D]) << 8;
    unsummed.replace(pe + 88, 4, 4, '\0');
    EXPECT_EQ(ExtentOf("EXE", unsummed).Verdict, vdPlausible);
  }
}

// Text long enough to hold a whole cluster is checked by nothing: an
// archive's comment, a song's lyrics. The file is plausible, whatever that
// cluster holds.
TEST(FileVerdict, TextThatHoldsAWholeClusterLeavesAFilePlausible) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  test::ImageTool("cd " + test::ShellQuote(dir.Path().string()) +
                  " && head -c 20000 /dev/urandom > a.bin && printf '%9000s' | tr ' ' c | zip -q -z a.zip a.bin");
  const std::string zip = test::ReadFile(dir / "a.zip");
  const std::size_t end = zip.rfind("PK\x05\x06");
  ASSERT_NE(end, std::string::npos);
  ASSERT_GT(zip.size(), end + 22 + 3 * kCluster);
  EXPECT_EQ(ExtentOf("ZIP", zip).Verdict, vdPlausible);
  std::string other = zip;
  other.replace((end + 22) / kCluster * kCluster + kCluster, kCluster, kCluster, 'x');
  EXPECT_EQ(ExtentOf("ZIP", other).Verdict, vdPlausible);
  // Without the comment it is whole.
  EXPECT_EQ(ExtentOf("ZIP", zip.substr(0, end + 20) + std::string(2, '\0')).Verdict, vdVerified);

  // A MIDI track of notes, with and without a lyrics event of 6000 letters.
  const auto midi = [](const std::string& lyrics) {
    std::string track;
    if (!lyrics.empty())
      track += std::string("\x00\xFF\x05", 3) + static_cast<char>(0x80 | lyrics.size() >> 7) +
               static_cast<char>(lyrics.size() & 0x7F) + lyrics;  // a text of two-byte length
    for (int n = 0; n < 2000; ++n) track += std::string("\x00\x90\x3C\x64\x40\x80\x3C\x00", 8);
    track += std::string("\x00\xFF\x2F\x00", 4);
    const auto be32 = [](std::size_t v) {
      return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    return std::string("MThd\0\0\0\x06\0\0\0\x01\0\x60", 14) + "MTrk" + be32(track.size()) + track;
  };
  EXPECT_EQ(ExtentOf("MID", midi("")).Verdict, vdVerified);
  EXPECT_EQ(ExtentOf("MID", midi(std::string(6000, 'l'))).Verdict, vdPlausible);
}

}  // namespace
}  // namespace vantrel
