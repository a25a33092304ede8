// Songs with their covers, as the real taggers write them: the cover is
// checked as the picture it is, the padding must be zeros, and a long text
// that nothing checks leaves the song plausible, never whole.

#include <gtest/gtest.h>

#include <string>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kCluster = 2048;

TFileExtent ExtentOf(const std::string& type, const std::string& bytes) {
  return test::FoundExtent(type, bytes, kCluster);
}

// The verdict with the cluster that holds offset replaced by bytes of noise.
TFileExtent WithClusterReplaced(const std::string& type, const std::string& bytes, std::size_t offset) {
  std::string broken = bytes;
  const std::size_t at = offset / kCluster * kCluster;
  for (std::size_t i = at; i < std::min(bytes.size(), at + kCluster); ++i)
    broken[i] = static_cast<char>((i * 2654435761u) >> 13);
  return ExtentOf(type, broken);
}

TEST(EmbeddedImage, AFlacCoverIsCheckedAsItsPictureAndItsPaddingAsZeros) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const auto q = [&](const char* name) { return test::ShellQuote(dir / name); };
  test::ImageTool("ffmpeg -nostdin -loglevel error -y -f lavfi -i anoisesrc=d=2:a=0.3:seed=5 -ar 44100 -fflags +bitexact " +
                  q("a.wav") + " && convert -seed 8 -size 300x300 plasma: -quality 80 " + q("cover.jpg") +
                  " && convert -seed 9 -size 120x90 plasma: " + q("cover.png") + " && flac --silent -f -5 " + q("a.wav") +
                  " -o " + q("jpeg.flac") + " && cp " + q("jpeg.flac") + " " + q("png.flac") + " && cp " + q("jpeg.flac") +
                  " " + q("lyrics.flac") + " && metaflac --import-picture-from=" + q("cover.jpg") + " " + q("jpeg.flac") +
                  " && metaflac --import-picture-from=" + q("cover.png") + " " + q("png.flac") +
                  " && metaflac --set-tag=LYRICS=" + std::string(9000, 'l') + " " + q("lyrics.flac"));
  for (const char* name : {"jpeg.flac", "png.flac"}) {
    SCOPED_TRACE(name);
    const std::string song = test::ReadFile(dir / name);
    const TFileExtent whole = ExtentOf("FLAC", song);
    EXPECT_EQ(whole.Size, song.size());
    EXPECT_EQ(whole.Verdict, vdVerified);
    // A cluster in the middle of the cover, and one of the padding the
    // encoder left after it.
    const std::string cover = test::ReadFile(dir / (std::string(name) == "png.flac" ? "cover.png" : "cover.jpg"));
    const std::size_t picture = song.find(cover.substr(0, 64));
    ASSERT_NE(picture, std::string::npos);
    const TFileExtent inCover = WithClusterReplaced("FLAC", song, picture + cover.size() / 2);
    EXPECT_EQ(inCover.Verdict, vdDamaged);
    EXPECT_GE(inCover.BadOffset, picture);
    const std::size_t padding = song.find(std::string(3 * kCluster, '\0'), picture);
    ASSERT_NE(padding, std::string::npos);
    EXPECT_EQ(WithClusterReplaced("FLAC", song, padding + kCluster).Verdict, vdDamaged);
  }
  // Lyrics of 9000 letters hold whole clusters no check looks into.
  const std::string lyrics = test::ReadFile(dir / "lyrics.flac");
  EXPECT_EQ(ExtentOf("FLAC", lyrics).Verdict, vdPlausible);
  EXPECT_EQ(WithClusterReplaced("FLAC", lyrics, lyrics.find(std::string(3000, 'l')) + kCluster).Verdict, vdPlausible);
}

TEST(EmbeddedImage, AnMp3CoverInItsTagIsCheckedAsItsPicture) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const auto q = [&](const char* name) { return test::ShellQuote(dir / name); };
  test::ImageTool("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=f=700:d=3 -ar 44100 -ac 2 " + q("a.wav") +
                  " && convert -seed 8 -size 300x300 plasma: -quality 80 " + q("cover.jpg") +
                  " && convert -seed 9 -size 150x100 plasma: " + q("cover.png") + " && lame --quiet -b 128 --ti " +
                  q("cover.jpg") + " --tt title " + q("a.wav") + " " + q("jpeg.mp3") + " && lame --quiet -V 4 --ti " +
                  q("cover.png") + " " + q("a.wav") + " " + q("png.mp3") + " && ffmpeg -nostdin -loglevel error -y -i " + q("a.wav") + " -metadata lyrics=" + std::string(9000, 'n') +
                  " -c:a libmp3lame -b:a 128k " + q("lyrics.mp3"));
  for (const char* name : {"jpeg.mp3", "png.mp3"}) {
    SCOPED_TRACE(name);
    const std::string song = test::ReadFile(dir / name);
    const std::string cover = test::ReadFile(dir / (std::string(name) == "png.mp3" ? "cover.png" : "cover.jpg"));
    const std::size_t picture = song.find(cover.substr(0, 64));
    ASSERT_NE(picture, std::string::npos);
    ASSERT_GT(cover.size(), 3 * kCluster);
    const TFileExtent whole = ExtentOf("MP3", song);
    EXPECT_EQ(whole.Size, song.size());
    EXPECT_EQ(whole.Verdict, vdVerified);
    EXPECT_NE(WithClusterReplaced("MP3", song, picture + cover.size() / 2).Verdict, vdVerified);
  }
  // Lyrics of 9000 letters in the tag hold whole clusters no check reads.
  const std::string lyrics = test::ReadFile(dir / "lyrics.mp3");
  const std::size_t text = lyrics.find(std::string(3 * kCluster, 'n'));
  ASSERT_NE(text, std::string::npos);
  EXPECT_EQ(ExtentOf("MP3", lyrics).Verdict, vdPlausible);
  EXPECT_EQ(WithClusterReplaced("MP3", lyrics, text + kCluster).Verdict, vdPlausible);
}

}  // namespace
}  // namespace vantrel
