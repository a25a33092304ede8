// AVIs made by ffmpeg with MPEG-4, H.263 and Motion JPEG video, with and without audio:
// whole ones are verified, their frames decoded to their last bytes and
// their index landing on the chunks; any cluster replaced by another
// file's is never verified, and mostly damage where it lies.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kCluster = 2048;

const std::vector<std::string>& Avis() {
  static const std::vector<std::string> avis = [] {
    const std::string dir = test::MadeOnce("avi-check", [](const std::string& d) {
      const std::string ff = "cd " + test::ShellQuote(d) + " && ffmpeg -nostdin -loglevel error -y -fflags +bitexact ";
      test::ImageTool(ff + "-f lavfi -i testsrc=s=320x240:d=2 -c:v mpeg4 -q:v 2 a.avi");
      test::ImageTool(ff + "-f lavfi -i testsrc=s=176x144:d=2 -c:v mpeg4 -q:v 12 -g 1 b.avi");
      test::ImageTool(ff + "-f lavfi -i testsrc=s=638x358:d=1 -c:v mpeg4 -q:v 20 c.avi");
      // Audio in chunks shorter than a cluster, checked by their places.
      test::ImageTool(ff + "-f lavfi -i testsrc=s=160x120:d=2 -f lavfi -i sine=f=300 -t 2 -shortest "
                           "-c:v mpeg4 -q:v 5 -c:a pcm_s16le -ar 8000 -ac 1 d.avi");
      test::ImageTool(ff + "-f lavfi -i testsrc=s=176x144:d=2 -c:v h263 -q:v 3 e.avi");
      test::ImageTool(ff + "-f lavfi -i testsrc=s=320x240:d=1 -c:v mjpeg -q:v 4 g.avi");
      // Options of the encoder: video packets, four vectors a macroblock are
      // decoded; B-VOPs, interlace, data partitioning, quarter-pel are not.
      const std::string v = "-f lavfi -i testsrc=s=320x240:d=1 -c:v mpeg4 -q:v 2 ";
      test::ImageTool(ff + v + "-ps 300 o1.avi");
      test::ImageTool(ff + v + "-flags +mv4+aic o2.avi");
      test::ImageTool(ff + v + "-bf 2 o3.avi");
      test::ImageTool(ff + v + "-flags +ildct+ilme o4.avi");
      test::ImageTool(ff + v + "-data_partitioning 1 o5.avi");
      test::ImageTool(ff + v + "-flags +qpel o6.avi");
      // The same video in an MP4, its layer header in the decoder configuration.
      test::ImageTool(ff + "-f lavfi -i testsrc=s=320x240:d=2 -c:v mpeg4 -q:v 2 f.mp4");
    });
    std::vector<std::string> out;
    for (const char* name : {"a.avi", "b.avi", "c.avi", "d.avi", "e.avi", "g.avi"})
      out.push_back(test::ReadFile(dir + "/" + name));
    return out;
  }();
  return avis;
}

TFileExtent ExtentOf(const std::string& bytes, const std::string& type = "AVI", std::uint64_t* reads = nullptr) {
  return test::FoundExtent(type, bytes, kCluster, reads);
}

TEST(AviCheck, WholeAvisAreVerifiedAndEveryClusterReplacedIsNot) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const auto& avis = Avis();
  for (std::size_t n = 0; n < avis.size(); ++n) {
    const std::string& avi = avis[n];
    SCOPED_TRACE("avi #" + std::to_string(n));
    std::uint64_t reads = 0;
    const TFileExtent whole = ExtentOf(avi, "AVI", &reads);
    EXPECT_EQ(whole.Size, avi.size());
    const std::size_t clusters = (avi.size() + kCluster - 1) / kCluster;
    EXPECT_LE(reads, clusters) << "every cluster read once, forward";
    EXPECT_EQ(whole.Verdict, vdVerified) << VerdictName(whole.Verdict) << " at " << whole.BadOffset;
    // Every cluster in turn taken from the frames of another movie.
    const std::string& other = avis[(n + 1) % avis.size()];
    int damaged = 0, tried = 0;
    for (std::size_t c = 0; c < clusters; ++c) {
      std::string broken = avi;
      const std::size_t at = c * kCluster, length = std::min<std::size_t>(kCluster, avi.size() - at);
      broken.replace(at, length, other.substr(other.size() / 2 / kCluster * kCluster, length));
      if (broken == avi) continue;
      ++tried;
      const TFileExtent b = ExtentOf(broken);
      EXPECT_NE(b.Verdict, vdVerified) << "cluster " << c;
      if (b.Verdict == vdDamaged) {
        ++damaged;
        EXPECT_GE(b.BadOffset + kCluster, at) << "cluster " << c;
      }
    }
    std::printf("avi #%zu: %zu clusters, %d of %d replaced ones damaged\n", n, clusters, damaged, tried);
    EXPECT_GE(damaged * 10, tried * 8);
  }
}

TEST(AviCheck, AnIndexEntryThatMissesItsChunkIsDamageAtTheEntry) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const std::string& avi = Avis()[3];  // video and audio
  const std::size_t idx1 = avi.rfind("idx1");
  ASSERT_NE(idx1, std::string::npos);
  for (const std::size_t field : {8u, 12u}) {  // the place, then the size
    std::string broken = avi;
    const std::size_t entry = idx1 + 8 + 5 * 16;
    broken[entry + field] = static_cast<char>(broken[entry + field] + 2);
    const TFileExtent b = ExtentOf(broken);
    EXPECT_EQ(b.Verdict, vdDamaged) << VerdictName(b.Verdict);
    EXPECT_EQ(b.BadOffset, entry);
  }
}

TEST(AviCheck, EncoderOptionsAreDecodedOrLeftAloneNeverTakenForDamage) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  Avis();
  const std::string dir = test::MadeOnce("avi-check", [](const std::string&) {});
  for (const char* name : {"o1.avi", "o2.avi", "o3.avi", "o4.avi", "o5.avi", "o6.avi"}) {
    SCOPED_TRACE(name);
    const TFileExtent e = ExtentOf(test::ReadFile(dir + "/" + name));
    EXPECT_NE(e.Verdict, vdDamaged) << "at " << e.BadOffset;
    if (name[1] <= '2') {
      EXPECT_EQ(e.Verdict, vdVerified) << VerdictName(e.Verdict);
    }
  }
}

TEST(AviCheck, FramesOfACodecNotDecodedHereAreNeitherDamagedNorVerified) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  // An MPEG-4 handler over frames whose bitmap header names another codec.
  std::string avi = Avis()[0];
  avi.replace(avi.find("strh") + 12, 4, "DIVX");
  avi.replace(avi.find("strf") + 8 + 16, 4, "DIV3");
  const TFileExtent e = ExtentOf(avi);
  EXPECT_EQ(e.Size, avi.size());
  EXPECT_EQ(e.Verdict, vdPlausible) << VerdictName(e.Verdict) << " at " << e.BadOffset;
}

TEST(AviCheck, Mpeg4FramesLargerThanAClusterInAnMp4AreDecodedToo) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  Avis();
  const std::string mp4 = test::ReadFile(test::MadeOnce("avi-check", [](const std::string&) {}) + "/f.mp4");
  EXPECT_EQ(ExtentOf(mp4, "MP4").Verdict, vdVerified);
  // Bytes in the middle of the media data, inside a frame, taken from another
  // frame (a single bit may be one of a coefficient's that any value fits).
  std::string broken = mp4;
  const std::size_t at = broken.size() / 2;
  broken.replace(at, 64, mp4.substr(broken.size() / 3, 64));
  const TFileExtent b = ExtentOf(broken, "MP4");
  EXPECT_EQ(b.Verdict, vdDamaged) << VerdictName(b.Verdict);
  EXPECT_GE(b.BadOffset, at - 4096);
  EXPECT_LE(b.BadOffset, at + 4096);
}

}  // namespace
}  // namespace vantrel
