// Photos as cameras write them: an EXIF segment with its thumbnail, and
// application data no check looks into. A photo is whole only when every
// cluster holds something a check tested.

#include <gtest/gtest.h>

#include <string>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kCluster = 2048;

TFileExtent ExtentOf(const std::string& bytes) { return test::FoundExtent("JPG", bytes, kCluster); }

// Each cluster of [from, to) in turn replaced by a cluster of another photo:
// never whole; the verdicts, one letter a cluster.
std::string VerdictsWithClustersReplaced(const std::string& bytes, const std::string& other, std::size_t from,
                                         std::size_t to) {
  std::string verdicts;
  for (std::size_t at = from / kCluster * kCluster; at < to && at < bytes.size(); at += kCluster) {
    std::string broken = bytes;
    broken.replace(at, std::min<std::size_t>(kCluster, bytes.size() - at), other.substr(kCluster, kCluster));
    if (broken == bytes) continue;
    const TFileExtent found = ExtentOf(broken);
    EXPECT_NE(found.Verdict, vdVerified) << "cluster at " << at;
    verdicts += VerdictName(found.Verdict)[0];
  }
  return verdicts;
}

TEST(JpegVerdict, AnExifThumbnailVouchesForItsClustersAndOtherApplicationDataDoesNot) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const auto q = [&](const char* name) { return test::ShellQuote(dir / name); };
  test::ImageTool("convert -seed 3 -size 800x600 plasma: -quality 85 " + q("photo.jpg") +
                  " && convert -seed 4 -size 160x120 plasma: -quality 90 " + q("thumb.jpg") +
                  " && convert -seed 5 -size 400x300 plasma: -quality 80 " + q("other.jpg") + " && cp " + q("photo.jpg") +
                  " " + q("camera.jpg") + " && exiftool -q -overwrite_original '-ThumbnailImage<=" + (dir / "thumb.jpg") +
                  "' -Make=Maker -Model=Camera '-DateTimeOriginal=2026:01:02 03:04:05' " + q("camera.jpg") + " && cp " +
                  q("photo.jpg") + " " + q("described.jpg") + " && exiftool -q -overwrite_original -XMP-dc:Description=" +
                  std::string(9000, 'x') + " " + q("described.jpg"));
  const std::string other = test::ReadFile(dir / "other.jpg");

  // The thumbnail takes several clusters of the EXIF segment; decoded whole,
  // it covers them, and the photo is whole.
  const std::string camera = test::ReadFile(dir / "camera.jpg");
  const std::size_t thumb = camera.find("\xFF\xD8", 2);
  ASSERT_NE(thumb, std::string::npos);
  ASSERT_GT(thumb + test::ReadFile(dir / "thumb.jpg").size(), thumb / kCluster * kCluster + 3 * kCluster);
  const TFileExtent whole = ExtentOf(camera);
  EXPECT_EQ(whole.Size, camera.size());
  EXPECT_EQ(whole.Verdict, vdVerified);
  // A cluster of the thumbnail replaced is seen by its decoder.
  const std::string inThumb = VerdictsWithClustersReplaced(camera, other, thumb + kCluster, thumb + 3 * kCluster);
  EXPECT_EQ(inThumb.find('v'), std::string::npos) << inThumb;

  // Text in an XMP segment holds whole clusters that nothing tests: the
  // photo is plausible, and so it stays with any of them replaced.
  const std::string described = test::ReadFile(dir / "described.jpg");
  const std::size_t text = described.find(std::string(3000, 'x'));
  ASSERT_NE(text, std::string::npos);
  EXPECT_EQ(ExtentOf(described).Verdict, vdPlausible);
  const std::string inText = VerdictsWithClustersReplaced(described, other, text + kCluster, text + 3 * kCluster);
  EXPECT_EQ(inText, std::string(inText.size(), 'p'));
  EXPECT_FALSE(inText.empty());
  // The photo itself, and a cluster of its scan replaced.
  const std::string photo = test::ReadFile(dir / "photo.jpg");
  EXPECT_EQ(ExtentOf(photo).Verdict, vdVerified);
  EXPECT_EQ(VerdictsWithClustersReplaced(photo, other, photo.size() / 2, photo.size() / 2 + 1), "d");
}

}  // namespace
}  // namespace vantrel
