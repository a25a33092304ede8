// Movies made by ffmpeg with every codec whose samples are checked:
// whole ones are verified, read in a forward pass; any cluster replaced is
// never verified; sample tables that point wrong are damage at the table.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kCluster = 2048;

struct Movie {
  std::string type, name, bytes;
};

const std::vector<Movie>& Movies() {
  static const std::vector<Movie> movies = [] {
    const std::string dir = test::MadeOnce("mp4-check", [](const std::string& d) {
      const std::string ff = "cd " + test::ShellQuote(d) + " && ffmpeg -nostdin -loglevel error -y ";
      const std::string av = "-f lavfi -i testsrc=s=96x64:d=2 -f lavfi -i sine=f=300 -t 2 -shortest -fflags +bitexact ";
      // H.264 and mono AAC in a QuickTime movie whose tables follow the media data.
      test::ImageTool(ff + av + "-c:v libx264 -preset ultrafast -crf 30 -pix_fmt yuv420p -c:a aac a.mov");
      // MPEG-4 video and stereo AAC, the tables first.
      test::ImageTool(ff + av + "-c:v mpeg4 -q:v 10 -c:a aac -ac 2 -movflags +faststart b.mp4");
      // H.263 pictures larger than a cluster, in groups of blocks with their headers.
      test::ImageTool(ff + "-f lavfi -i testsrc=s=176x144:d=2 -f lavfi -i sine=f=300 -t 2 -shortest -fflags +bitexact "
                           "-c:v h263 -q:v 2 -ps 600 -c:a aac -ar 8000 -ac 1 c.3gp");
      test::ImageTool(ff + "-f lavfi -i testsrc=s=96x64:d=2 -fflags +bitexact -c:v libx265 -preset ultrafast "
                           "-x265-params log-level=none -tag:v hvc1 d.mp4");
      // Fragments: track runs from the base their track fragment names, and from the fragment's start.
      test::ImageTool(ff + av + "-c:v libx264 -preset ultrafast -crf 36 -pix_fmt yuv420p -g 10 -c:a aac "
                                "-movflags +frag_keyframe+empty_moov e.mp4");
      test::ImageTool(ff + "-f lavfi -i sine=f=300:d=2 -fflags +bitexact -c:a aac -frag_duration 500000 "
                           "-movflags +empty_moov+default_base_moof f.m4a");
      // Motion JPEG: every frame an image decoded to its end.
      test::ImageTool(ff + av + "-c:v mjpeg -q:v 5 -c:a aac g.mov");
    });
    std::vector<Movie> out;
    for (const auto& [type, name] : std::vector<std::pair<std::string, std::string>>{
             {"MOV", "a.mov"}, {"MP4", "b.mp4"}, {"3GP", "c.3gp"}, {"MP4", "d.mp4"}, {"MP4", "e.mp4"}, {"M4A", "f.m4a"}, {"MOV", "g.mov"}})
      out.push_back({type, name, test::ReadFile(dir + "/" + name)});
    return out;
  }();
  return movies;
}

TFileExtent ExtentOf(const std::string& type, const std::string& bytes, std::uint64_t* reads = nullptr) {
  return test::FoundExtent(type, bytes, kCluster, reads);
}

std::uint32_t Be32At(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<std::uint8_t>(s[at + i]);
  return v;
}
void PutBe32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

TEST(Mp4Check, WholeMoviesAreVerifiedAndNoClusterOfThemCanBeReplacedUnseen) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  std::mt19937 random(26);
  for (const Movie& m : Movies()) {
    SCOPED_TRACE(m.name);
    std::uint64_t reads = 0;
    const TFileExtent whole = ExtentOf(m.type, m.bytes, &reads);
    EXPECT_EQ(whole.Size, m.bytes.size());
    EXPECT_EQ(whole.Verdict, vdVerified) << VerdictName(whole.Verdict);
    // The chain, the tables and the samples in their order: no cluster is
    // read more than twice, wherever the tables lie.
    const std::size_t clusters = (m.bytes.size() + kCluster - 1) / kCluster;
    EXPECT_LE(reads, 2 * clusters + 2);
    int damaged = 0;
    for (std::size_t c = 1; c < clusters; ++c) {
      std::string broken = m.bytes;
      for (std::size_t i = c * kCluster; i < std::min(broken.size(), (c + 1) * kCluster); ++i)
        broken[i] = static_cast<char>(random());
      const TFileExtent e = ExtentOf(m.type, broken);
      EXPECT_NE(e.Verdict, vdVerified) << "cluster " << c;
      if (e.Verdict == vdDamaged) {
        ++damaged;
        EXPECT_LT(e.BadOffset, m.bytes.size());
      }
    }
    // A cluster of samples replaced fails the check of the first sample in it.
    EXPECT_GE(damaged, static_cast<int>(clusters) / 2);
  }
}

TEST(Mp4Check, SampleTablesThatMissTheMediaDataAreDamageAtTheTable) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const Movie& m = Movies()[0];
  const std::size_t stco = m.bytes.find("stco") - 4;
  const std::size_t mdat = m.bytes.find("mdat") - 4;
  ASSERT_LT(mdat, stco);
  ASSERT_GE(Be32At(m.bytes, stco + 12), 2u);
  const std::size_t first = stco + 16;
  auto damagedAt = [&](const std::string& bytes) {
    const TFileExtent e = ExtentOf(m.type, bytes);
    EXPECT_EQ(e.Size, m.bytes.size());
    EXPECT_EQ(e.Verdict, vdDamaged) << VerdictName(e.Verdict);
    return e.BadOffset;
  };
  // A chunk inside the movie atom, past the media data.
  std::string outside = m.bytes;
  PutBe32(outside, first, static_cast<std::uint32_t>(stco));
  EXPECT_EQ(damagedAt(outside), stco);
  // Two chunks at one offset.
  std::string overlap = m.bytes;
  PutBe32(overlap, first + 4, Be32At(m.bytes, first));
  EXPECT_NE(damagedAt(overlap), 0u);
  // A count of samples no table of this size can hold, and one of chunks.
  const std::size_t stsz = m.bytes.find("stsz") - 4;
  std::string sizes = m.bytes;
  PutBe32(sizes, stsz + 16, 0xFFFFFFFF);
  EXPECT_EQ(damagedAt(sizes), stsz);
  std::string chunks = m.bytes;
  PutBe32(chunks, stco + 12, 0x7FFFFFFF);
  EXPECT_EQ(damagedAt(chunks), stco);
}

// What the checks inside the samples catch that their starts do not: a byte
// changed in the middle of an H.263 picture larger than a cluster, and an
// AAC frame whose first element is none the configuration allows.
TEST(Mp4Check, ABrokenPictureOrAudioFrameIsDamageInsideIt) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const Movie& h263 = Movies()[2];
  ASSERT_EQ(h263.name, "c.3gp");
  // The picture start codes, and the first picture that holds whole clusters.
  auto isPicture = [&](std::size_t i) {
    return h263.bytes[i] == 0 && h263.bytes[i + 1] == 0 && (static_cast<std::uint8_t>(h263.bytes[i + 2]) & 0xFC) == 0x80;
  };
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i + 3 < h263.bytes.size(); ++i)
    if (isPicture(i)) starts.push_back(i);
  std::size_t picture = 0;
  while (picture + 1 < starts.size() && starts[picture + 1] - starts[picture] < 3 * kCluster) ++picture;
  ASSERT_LT(picture + 1, starts.size());
  // A cluster into the picture (audio may follow it before the next one).
  const std::size_t middle = starts[picture] + kCluster;
  std::string broken = h263.bytes;
  broken[middle] = static_cast<char>(broken[middle] ^ 0xFF);
  const TFileExtent picked = ExtentOf(h263.type, broken);
  EXPECT_EQ(picked.Verdict, vdDamaged) << VerdictName(picked.Verdict);
  EXPECT_GE(picked.BadOffset, starts[picture]);
  EXPECT_LT(picked.BadOffset, starts[picture + 1]);

  // AAC in one chunk: the samples one after another from its offset.
  const Movie& aac = Movies()[5];
  ASSERT_EQ(aac.name, "f.m4a");
  test::TempDir dir;
  test::ImageTool("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=f=440:d=2 -c:a aac " +
                  test::ShellQuote(dir / "a.m4a"));
  const std::string m4a = test::ReadFile(dir / "a.m4a");
  ASSERT_EQ(ExtentOf("M4A", m4a).Verdict, vdVerified);
  const std::size_t stco = m4a.find("stco") - 4, stsz = m4a.find("stsz") - 4;
  ASSERT_EQ(Be32At(m4a, stco + 12), 1u);
  std::size_t sample = Be32At(m4a, stco + 16);
  for (std::size_t k = 0; k < 10; ++k) sample += Be32At(m4a, stsz + 20 + 4 * k);
  std::string end = m4a;
  end[sample] = static_cast<char>(0xE0);  // ID_END where the channel's element belongs
  const TFileExtent e = ExtentOf("M4A", end);
  EXPECT_EQ(e.Verdict, vdDamaged);
  EXPECT_EQ(e.BadOffset, sample);
}

// A fragmented movie ends after any of its fragments as far as its atoms
// tell: without the index of its fragments at the end it is never whole.
TEST(Mp4Check, AFragmentedMovieCutAfterAFragmentIsNotVerified) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const Movie& m = Movies()[4];
  ASSERT_EQ(m.name, "e.mp4");
  const std::size_t third = m.bytes.find("moof", m.bytes.find("moof", m.bytes.find("moof") + 4) + 4) - 4;
  ASSERT_LT(third, m.bytes.size());
  const TFileExtent cut = ExtentOf(m.type, m.bytes.substr(0, third));
  EXPECT_EQ(cut.Size, third);
  EXPECT_EQ(cut.Verdict, vdPlausible) << VerdictName(cut.Verdict);
}

}  // namespace
}  // namespace vantrel
